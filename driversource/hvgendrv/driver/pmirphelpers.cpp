// IRP helpers.
#include <pmirphelpers.h>

NTSTATUS PmEventCompletionRoutine(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pvContext) {
    KeSetEvent(static_cast<PKEVENT>(pvContext), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PmForwardAndWait(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PDEVICE_OBJECT pLowerDevice) {
    KEVENT kEvent;
    KeInitializeEvent(&kEvent, NotificationEvent, FALSE);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoGetNextIrpStackLocation(pIrp)->Control = 0;
    IoSetCompletionRoutine(pIrp, PmEventCompletionRoutine, &kEvent, TRUE, TRUE, TRUE);
    NTSTATUS ntStatus = IofCallDriver(pLowerDevice, pIrp);
    if (ntStatus == STATUS_PENDING) {
        KeWaitForSingleObject(&kEvent, Executive, KernelMode, FALSE, NULL);
        ntStatus = pIrp->IoStatus.Status;
    }
    return ntStatus;
}

NTSTATUS PmCompleteWithCurrentStatus(PIRP pIrp) {
    if (IoGetCurrentIrpStackLocation(pIrp)->Control & SL_PENDING_RETURNED)
        IoSetCancelRoutine(pIrp, NULL);
    NTSTATUS ntStatus = pIrp->IoStatus.Status;
    IofCompleteRequest(pIrp, IO_NO_INCREMENT);
    return ntStatus;
}

NTSTATUS PmCompleteWithStatus(PIRP pIrp, NTSTATUS ntStatus) {
    pIrp->IoStatus.Status = ntStatus;
    return PmCompleteWithCurrentStatus(pIrp);
}

NTSTATUS PmCompleteWithStatusAndInformation(PIRP pIrp, NTSTATUS ntStatus, ULONG_PTR ulInformation) {
    pIrp->IoStatus.Status = ntStatus;
    pIrp->IoStatus.Information = ulInformation;
    return PmCompleteWithCurrentStatus(pIrp);
}

BOOLEAN SendInternalDeviceControlSync(PDEVICE_OBJECT pDeviceObject, ULONG ulControlCode, PVOID pvInput,
                                      ULONG ulInputLength, PVOID pvOutput, PULONG pulOutputLength,
                                      BOOLEAN bInternal, PFILE_OBJECT pFileObject) {
#if defined(HV_PM_BUS_DRIVER)
    bInternal = FALSE;
#endif
    KEVENT kEvent;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&kEvent, NotificationEvent, FALSE);
    ULONG ulOutputLength = pulOutputLength ? *pulOutputLength : 0;
    PIRP pIrp = IoBuildDeviceIoControlRequest(ulControlCode, pDeviceObject, pvInput, ulInputLength, pvOutput,
                                              ulOutputLength, bInternal, &kEvent, &ioStatus);
    if (!pIrp)
        return FALSE;
    if (pFileObject)
        IoGetNextIrpStackLocation(pIrp)->FileObject = pFileObject;
    NTSTATUS ntStatus = IofCallDriver(pDeviceObject, pIrp);
    if (ntStatus == STATUS_PENDING) {
        KeWaitForSingleObject(&kEvent, Executive, KernelMode, FALSE, NULL);
        ntStatus = ioStatus.Status;
    }
    if (ntStatus != STATUS_SUCCESS)
        return FALSE;
    if (pulOutputLength)
        *pulOutputLength = (ULONG)ioStatus.Information;
    return TRUE;
}

BOOLEAN PmSendAttachNotifier(PDEVICE_OBJECT pDeviceObject, PVOID pvRecord) {
    return SendInternalDeviceControlSync(pDeviceObject, IOCTL_HVGENDRV_ATTACH_NOTIFIER, pvRecord, 16, NULL, NULL, TRUE,
                                         NULL);
}

NTSTATUS PmSendOwnIrp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PLARGE_INTEGER pliTimeout, PKEVENT pkStop,
                      PBOOLEAN pbExpired) {
    KEVENT kEvent;
    KeInitializeEvent(&kEvent, NotificationEvent, FALSE);
    IoSetCompletionRoutine(pIrp, PmEventCompletionRoutine, &kEvent, TRUE, TRUE, TRUE);
    *pbExpired = FALSE;
    if (IofCallDriver(pDeviceObject, pIrp) == STATUS_PENDING) {
        PVOID apvObjects[2] = {&kEvent, pkStop};
        NTSTATUS ntWait = KeWaitForMultipleObjects(pkStop ? 2 : 1, apvObjects, WaitAny, Executive, KernelMode,
                                                   FALSE, pliTimeout, NULL);
        if (ntWait != STATUS_WAIT_0) {
            *pbExpired = TRUE;
            IoCancelIrp(pIrp);
            KeWaitForSingleObject(&kEvent, Executive, KernelMode, FALSE, NULL);
        }
    }
    return pIrp->IoStatus.Status;
}

NTSTATUS PmSendOwnRequest(PDEVICE_OBJECT pDeviceObject, UCHAR ucMajorFunction, PVOID pvBuffer, ULONG ulLength,
                          PLARGE_INTEGER pliTimeout, PKEVENT pkStop, PULONG_PTR pulInformation,
                          PBOOLEAN pbExpired) {
    *pbExpired = FALSE;
    if (pulInformation)
        *pulInformation = 0;
    PIRP pIrp = IoAllocateIrp((CCHAR)(pDeviceObject->StackSize + 1), FALSE);
    if (!pIrp)
        return STATUS_INSUFFICIENT_RESOURCES;
    pIrp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    pIrp->AssociatedIrp.SystemBuffer = pvBuffer;
    pIrp->UserBuffer = pvBuffer;
    PIO_STACK_LOCATION pStack = IoGetNextIrpStackLocation(pIrp);
    pStack->MajorFunction = ucMajorFunction;
    // Read and Write share the layout.
    if (ucMajorFunction == IRP_MJ_READ || ucMajorFunction == IRP_MJ_WRITE) {
        pStack->Parameters.Read.Length = ulLength;
        pStack->Parameters.Read.ByteOffset.QuadPart = 0;
    }
    NTSTATUS ntStatus = PmSendOwnIrp(pDeviceObject, pIrp, pliTimeout, pkStop, pbExpired);
    if (pulInformation)
        *pulInformation = pIrp->IoStatus.Information;
    IoFreeIrp(pIrp);
    return ntStatus;
}

BOOLEAN PmTimedClose(PLARGE_INTEGER pliTimeout, PDEVICE_OBJECT pDeviceObject) {
    BOOLEAN bExpired;
    return PmSendOwnRequest(pDeviceObject, IRP_MJ_CLOSE, NULL, 0, pliTimeout, NULL, NULL, &bExpired) ==
           STATUS_SUCCESS;
}
