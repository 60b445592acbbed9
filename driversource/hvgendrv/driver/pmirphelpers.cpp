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

BOOLEAN PmTimedClose(PLARGE_INTEGER pliTimeout, PDEVICE_OBJECT pDeviceObject) {
    PIRP pIrp = IoAllocateIrp((CCHAR)(pDeviceObject->StackSize + 1), FALSE);
    if (!pIrp)
        return FALSE;
    KEVENT kEvent;
    KeInitializeEvent(&kEvent, NotificationEvent, FALSE);
    pIrp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION pStack = IoGetNextIrpStackLocation(pIrp);
    pStack->MajorFunction = IRP_MJ_CLOSE;
    IoSetCompletionRoutine(pIrp, PmEventCompletionRoutine, &kEvent, TRUE, TRUE, TRUE);
    NTSTATUS ntStatus = IofCallDriver(pDeviceObject, pIrp);
    if (ntStatus == STATUS_PENDING) {
        if (KeWaitForSingleObject(&kEvent, Executive, KernelMode, FALSE, pliTimeout) == STATUS_TIMEOUT) {
            IoCancelIrp(pIrp);
            KeWaitForSingleObject(&kEvent, Executive, KernelMode, FALSE, NULL);
        }
    }
    ntStatus = pIrp->IoStatus.Status;
    IoFreeIrp(pIrp);
    return ntStatus == STATUS_SUCCESS;
}
