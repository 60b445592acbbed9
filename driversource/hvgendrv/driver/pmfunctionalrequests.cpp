// The functional device's create, cleanup, close, read, write and control requests.
#include <pmfunctionaldevice.h>
#include <pmdebugmanager.h>
#include <pmcontrolqueue.h>
#include <pmirphelpers.h>
#include <pmreadqueuecsq.h>
#include <pmwmi.h>
#include <pmwritequeuecsq.h>

// A settings handle is one opened through the device's settings interface: its file name begins
// with the interface's reference string. Requests built inside the kernel carry no file object.
BOOLEAN CPmFunctionalDevice::m_IsSettingsHandle(PIRP pIrp, PBOOLEAN pbSettings) {
    *pbSettings = FALSE;
    PFILE_OBJECT pFileObject = IoGetCurrentIrpStackLocation(pIrp)->FileObject;
    if (!pFileObject || !pFileObject->FileName.Length || !m_pUserModeInterface)
        return TRUE;
    return m_pUserModeInterface->m_IsInterfaceName(&pFileObject->FileName, pbSettings);
}

// A settings handle's file object carries this mark from its create on, so that its cleanup and
// close never depend on examining the name again.
static const UCHAR s_ucSettingsHandleMark = 0;

static BOOLEAN PmIsMarkedSettingsHandle(PIRP pIrp) {
    PFILE_OBJECT pFileObject = IoGetCurrentIrpStackLocation(pIrp)->FileObject;
    return pFileObject && pFileObject->FsContext2 == &s_ucSettingsHandleMark;
}

// Loads the stored settings sets and applies them through the driver.
NTSTATUS CPmFunctionalDevice::m_RunSettingsUpdate() {
    return m_pUserModeInterface && m_pUserModeInterface->m_LoadAndApplySets() ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CPmFunctionalDevice::m_Dispatch_Create(PIRP pIrp) {
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::m_Dispatch_Create IN");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    if ((pStack->Parameters.Create.Options & FILE_VALID_OPTION_FLAGS) & FILE_DIRECTORY_FILE)
        return PmCompleteWithStatus(pIrp, STATUS_NOT_A_DIRECTORY);
    PFILE_OBJECT pFileObject = pStack->FileObject;
    if (pFileObject && pFileObject->FileName.Length) {
        CPmString fileName(NonPagedPool);
        if (!NT_SUCCESS(fileName.m_AssignUnicodeString(&pFileObject->FileName)))
            return PmCompleteWithStatus(pIrp, STATUS_INSUFFICIENT_RESOURCES);
        BOOLEAN bSettings = FALSE;
        if (!m_pUserModeInterface || !m_pUserModeInterface->m_IsInterfaceName(fileName.m_GetUnicodeString(), &bSettings))
            return PmCompleteWithStatus(pIrp, STATUS_ACCESS_DENIED);
        if (bSettings) {
            pFileObject->FsContext2 = const_cast<UCHAR*>(&s_ucSettingsHandleMark);
            return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
        }
    }
    if (!m_OpenLock.m_Acquire())
        return PmCompleteWithStatus(pIrp, STATUS_ACCESS_DENIED);
    // A new open starts without credit: the first report of bytes written grants it.
    m_pWriteQueue->m_ResetForOpen();

    NTSTATUS ntStatus = STATUS_SUCCESS;
    BOOLEAN bOpened = TRUE;
    if (m_Callbacks.m_CreateCallback)
        PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::m_Dispatch_Create - before m_CreateCallback");
    if (!m_CallObjectCallback(m_Callbacks.m_CreateCallback, &bOpened))
        ntStatus = STATUS_DEVICE_REMOVED;
    else if (!bOpened)
        ntStatus = STATUS_UNSUCCESSFUL;
    else if (m_Callbacks.m_UserModeInterfaceCallback && !NT_SUCCESS(m_RunSettingsUpdate())) {
        // The driver has opened the device: close it again, or no later open could succeed.
        BOOLEAN bClosed;
        m_CallObjectCallback(m_Callbacks.m_CloseCallback, &bClosed);
        ntStatus = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(ntStatus)) {
        m_OpenLock.m_Release();
        return PmCompleteWithStatus(pIrp, ntStatus);
    }
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::m_Dispatch_Create OUT");
    return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
}

NTSTATUS CPmFunctionalDevice::m_Dispatch_Cleanup(PIRP pIrp) {
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::m_Dispatch_Cleanup IN");
    if (PmIsMarkedSettingsHandle(pIrp))
        return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
    if (m_Callbacks.m_CleanupCallback)
        PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::m_Dispatch_Cleanup - before m_CleanupCallback");
    BOOLEAN bCleaned;
    NTSTATUS ntStatus = STATUS_SUCCESS;
    if (!m_CallObjectCallback(m_Callbacks.m_CleanupCallback, &bCleaned))
        ntStatus = STATUS_DEVICE_REMOVED;
    else if (!bCleaned)
        ntStatus = STATUS_UNSUCCESSFUL;
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::m_Dispatch_Cleanup OUT");
    return PmCompleteWithStatus(pIrp, ntStatus);
}

NTSTATUS CPmFunctionalDevice::m_Dispatch_Close(PIRP pIrp) {
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::m_Dispatch_Close IN");
    if (PmIsMarkedSettingsHandle(pIrp))
        return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
    if (m_Callbacks.m_CloseCallback)
        PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::m_Dispatch_Close - before m_CloseCallback");
    BOOLEAN bClosed;
    NTSTATUS ntStatus = STATUS_SUCCESS;
    if (!m_CallObjectCallback(m_Callbacks.m_CloseCallback, &bClosed))
        ntStatus = STATUS_DEVICE_REMOVED;
    else if (!bClosed)
        ntStatus = STATUS_UNSUCCESSFUL;
    m_OpenLock.m_Release();
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::m_Dispatch_Close OUT");
    return PmCompleteWithStatus(pIrp, ntStatus);
}

NTSTATUS CPmFunctionalDevice::m_Dispatch_Read(PIRP pIrp) {
    BOOLEAN bSettings;
    if (!m_IsSettingsHandle(pIrp, &bSettings) || bSettings)
        return PmCompleteWithStatus(pIrp, STATUS_ACCESS_DENIED);
    if (IoGetCurrentIrpStackLocation(pIrp)->Parameters.Read.Length == 0)
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_SUCCESS, 0);
    return m_pReadQueue->m_QueueIrp(pIrp);
}

void CPmFunctionalDevice::sm_DirectWriteWork(PVOID pvArgument1, PVOID pvArgument2) {
    CPmFunctionalDevice* pDevice = static_cast<CPmFunctionalDevice*>(pvArgument1);
    CPmBuffer* pBuffer = static_cast<CPmBuffer*>(pvArgument2);
    if (pDevice->m_EnterCallback()) {
        pDevice->m_Callbacks.m_DirectWriteCallback(pDevice->m_pDriverClass, 0, pBuffer);
        pDevice->m_LeaveCallback();
    }
    pBuffer->m_Delete();
}

NTSTATUS CPmFunctionalDevice::m_Dispatch_Write(PIRP pIrp) {
    BOOLEAN bSettings;
    if (!m_IsSettingsHandle(pIrp, &bSettings) || bSettings)
        return PmCompleteWithStatus(pIrp, STATUS_ACCESS_DENIED);
    ULONG ulLength = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Write.Length;
    if (ulLength == 0)
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_SUCCESS, 0);
    if (m_Callbacks.m_DirectWriteCallback) {
        PVOID pvData = (m_pDeviceObject->Flags & DO_BUFFERED_IO)
                           ? pIrp->AssociatedIrp.SystemBuffer
                           : (pIrp->MdlAddress ? MmGetSystemAddressForMdlSafe(pIrp->MdlAddress, NormalPagePriority) : NULL);
        if (!pvData)
            return PmCompleteWithStatusAndInformation(pIrp, STATUS_INVALID_PARAMETER, 0);
        CPmBuffer* pBuffer = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
        if (pBuffer)
            pBuffer->m_pPool = g_pPmMemoryPool;
        if (!pBuffer || !pBuffer->m_Assign(pvData, ulLength)) {
            if (pBuffer)
                pBuffer->m_Delete();
            return PmCompleteWithStatusAndInformation(pIrp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        if (!m_pDeviceWorker->m_Post(sm_DirectWriteWork, this, pBuffer)) {
            pBuffer->m_Delete();
            return PmCompleteWithStatusAndInformation(pIrp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_SUCCESS, ulLength);
    }
    if (m_Callbacks.m_WriteCallback)
        return m_pWriteQueue->m_QueueIrp(pIrp);
    return PmCompleteWithStatusAndInformation(pIrp, STATUS_UNSUCCESSFUL, 0);
}

NTSTATUS CPmFunctionalDevice::m_Dispatch_DeviceControl(PIRP pIrp) {
    if (m_ulPnpState != PM_PNP_STARTED)
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_DEVICE_REMOVED, 0);
    BOOLEAN bSettings;
    if (!m_IsSettingsHandle(pIrp, &bSettings))
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_ACCESS_DENIED, 0);
    if (bSettings)
        return m_pUserModeInterface->m_DeviceControl(pIrp);

    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulCode = pStack->Parameters.DeviceIoControl.IoControlCode;
    if ((!m_Callbacks.m_SimpleDeviceControlCallback && !m_Callbacks.m_DeviceControlCallback) ||
        METHOD_FROM_CTL_CODE(ulCode) != METHOD_BUFFERED)
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_NOT_SUPPORTED, 0);

    PVOID pvBuffer = pIrp->AssociatedIrp.SystemBuffer;
    ULONG ulInputLength = pStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOutputLength = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR ulInformation = 0;
    CPmControlQueue* pControlQueue = NULL;
    if (!m_EnterCallback())
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_DEVICE_REMOVED, 0);
    NTSTATUS ntStatus;
    if (m_Callbacks.m_SimpleDeviceControlCallback)
        ntStatus = m_Callbacks.m_SimpleDeviceControlCallback(m_pDriverClass, ulCode, pvBuffer, ulInputLength, pvBuffer,
                                                             ulOutputLength, &ulInformation);
    else
        ntStatus = m_Callbacks.m_DeviceControlCallback(m_pDriverClass, ulCode, pvBuffer, ulInputLength, pvBuffer,
                                                       ulOutputLength, &ulInformation, &pControlQueue);
    m_LeaveCallback();
    if (!pControlQueue)
        return PmCompleteWithStatusAndInformation(pIrp, ntStatus, ulInformation);
    // The wait-on-mask request waits in the control queue; once queued it is pending, even when an
    // event already received completes it at once.
    return pControlQueue->m_QueueIrp(pIrp);
}

NTSTATUS CPmFunctionalDevice::m_Dispatch_InternalDeviceControl(PIRP pIrp) {
    BOOLEAN bSettings;
    if (!m_IsSettingsHandle(pIrp, &bSettings) || bSettings)
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_ACCESS_DENIED, 0);
    if (m_Callbacks.m_InternalDeviceControlIrpCallback) {
        if (!m_EnterCallback())
            return PmCompleteWithStatusAndInformation(pIrp, STATUS_DEVICE_REMOVED, 0);
        NTSTATUS ntStatus = m_Callbacks.m_InternalDeviceControlIrpCallback(m_pDriverClass, pIrp);
        m_LeaveCallback();
        return ntStatus;
    }
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulCode = pStack->Parameters.DeviceIoControl.IoControlCode;
    if (!m_Callbacks.m_InternalDeviceControlCallback || METHOD_FROM_CTL_CODE(ulCode) != METHOD_BUFFERED)
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_NOT_SUPPORTED, 0);
    PVOID pvBuffer = pIrp->AssociatedIrp.SystemBuffer;
    if (!pvBuffer)
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_INVALID_PARAMETER, 0);
    if (!m_EnterCallback())
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_DEVICE_REMOVED, 0);
    ULONG_PTR ulInformation = 0;
    NTSTATUS ntStatus = m_Callbacks.m_InternalDeviceControlCallback(
        m_pDriverClass, ulCode, pvBuffer, pStack->Parameters.DeviceIoControl.InputBufferLength, pvBuffer,
        pStack->Parameters.DeviceIoControl.OutputBufferLength, &ulInformation);
    m_LeaveCallback();
    return PmCompleteWithStatusAndInformation(pIrp, ntStatus, ulInformation);
}

NTSTATUS CPmFunctionalDevice::m_Dispatch_FlushBuffers(PIRP pIrp) { return PmCompleteWithStatus(pIrp, STATUS_SUCCESS); }

NTSTATUS CPmFunctionalDevice::m_Dispatch_Shutdown(PIRP pIrp) { return PmCompleteWithStatus(pIrp, STATUS_SUCCESS); }

NTSTATUS CPmFunctionalDevice::m_Dispatch_SystemControl(PIRP pIrp) {
    if (!m_pWmi)
        return PmCompleteWithStatus(pIrp, STATUS_INVALID_DEVICE_REQUEST);
    return m_pWmi->m_SystemControl(pIrp);
}
