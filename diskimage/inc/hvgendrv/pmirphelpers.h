// IRP helpers of the framework and of both drivers: forward and wait, completion with a status,
// synchronous control requests to another device and a close with a time-out.
#pragma once

#include <wdm.h>

// The framework's own internal control codes.
#define IOCTL_HVGENDRV_ATTACH_NOTIFIER 0x8000E000
#define IOCTL_HVGENDRV_QUERY_CONTEXT 0x8000E004

// Passes the IRP to the lower device and waits for it there; the caller still owns the IRP and
// completes it. Returns the lower stack's final status. PASSIVE_LEVEL.
NTSTATUS PmForwardAndWait(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PDEVICE_OBJECT pLowerDevice);

// Signals the KEVENT given as context and keeps the IRP for the waiter.
IO_COMPLETION_ROUTINE PmEventCompletionRoutine;

// Completion with the IRP's current status, with a new status, or with a status and information.
NTSTATUS PmCompleteWithCurrentStatus(PIRP pIrp);
NTSTATUS PmCompleteWithStatus(PIRP pIrp, NTSTATUS ntStatus);
NTSTATUS PmCompleteWithStatusAndInformation(PIRP pIrp, NTSTATUS ntStatus, ULONG_PTR ulInformation);

// A buffered control request to pDeviceObject, waited for; *pulOutputLength is the output room on
// entry and the byte count on success. The bus driver always sends it as a device control.
BOOLEAN SendInternalDeviceControlSync(PDEVICE_OBJECT pDeviceObject, ULONG ulControlCode, PVOID pvInput,
                                      ULONG ulInputLength, PVOID pvOutput, PULONG pulOutputLength,
                                      BOOLEAN bInternal, PFILE_OBJECT pFileObject);

// IOCTL_HVGENDRV_ATTACH_NOTIFIER with its 16-byte record.
BOOLEAN PmSendAttachNotifier(PDEVICE_OBJECT pDeviceObject, PVOID pvRecord);

// Sends an IRP of the caller's own (its next stack location filled) and waits for its end: up to
// the relative time-out (NULL: no limit) and, with pkStop, until that is signalled; past either the
// IRP is cancelled and waited for, and *pbExpired is TRUE. Returns the IRP's final status; the IRP
// is the caller's again (to free or to send anew). PASSIVE_LEVEL.
NTSTATUS PmSendOwnIrp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PLARGE_INTEGER pliTimeout, PKEVENT pkStop,
                      PBOOLEAN pbExpired);
// One request (create, close, or a read or write of the buffer at offset 0) in an IRP allocated
// for it, sent as PmSendOwnIrp sends it; STATUS_INSUFFICIENT_RESOURCES when there is no IRP.
NTSTATUS PmSendOwnRequest(PDEVICE_OBJECT pDeviceObject, UCHAR ucMajorFunction, PVOID pvBuffer, ULONG ulLength,
                          PLARGE_INTEGER pliTimeout, PKEVENT pkStop, PULONG_PTR pulInformation,
                          PBOOLEAN pbExpired);

// IRP_MJ_CLOSE in an IRP of its own; waits up to the relative time-out, then cancels and waits
// for the end. TRUE when the close succeeded.
BOOLEAN PmTimedClose(PLARGE_INTEGER pliTimeout, PDEVICE_OBJECT pDeviceObject);
