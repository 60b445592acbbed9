// What the two test driver images share: the interface and WMI GUIDs, the control code, and
// small helpers over the kernel API.
#pragma once

#include <wdm.h>

// {5C1E8A20-7D43-4B6E-9A51-2F0C3D8E6B17}
DEFINE_GUID(GUID_HVTEST_INTERFACE, 0x5c1e8a20, 0x7d43, 0x4b6e, 0x9a, 0x51, 0x2f, 0x0c, 0x3d, 0x8e, 0x6b, 0x17);
// {A83F2D61-0E5B-4C97-B1D4-6E29F7A0C358}
DEFINE_GUID(GUID_HVTEST_WMI_BLOCK, 0xa83f2d61, 0x0e5b, 0x4c97, 0xb1, 0xd4, 0x6e, 0x29, 0xf7, 0xa0, 0xc3, 0x58);
// {3E0B7C94-51A2-4D8F-8C36-D74E1B095FA2}
DEFINE_GUID(GUID_HVTEST_BUS_TYPE, 0x3e0b7c94, 0x51a2, 0x4d8f, 0x8c, 0x36, 0xd7, 0x4e, 0x1b, 0x09, 0x5f, 0xa2);

// Sets the bus driver's child count (a ULONG) and asks for new bus relations.
#define IOCTL_HVTEST_SET_CHILDREN CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)

namespace hvtest {

inline NTSTATUS signal_event(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the IRP down and waits for the lower drivers; the caller completes it.
inline NTSTATUS forward_and_wait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, signal_event, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

// A function driver's last step of IRP_MN_REMOVE_DEVICE. Detached before the PDO sees the
// removal: its bus may delete it at once.
inline NTSTATUS remove_and_delete(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, PIRP irp) {
    IoDetachDevice(lower);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    IoDeleteDevice(device);
    return status;
}

inline NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline ULONG read_dword(HANDLE key, const WCHAR* name, ULONG fallback) {
    UNICODE_STRING value_name;
    RtlInitUnicodeString(&value_name, name);
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 8];
    } buffer;
    ULONG length = 0;
    if (!NT_SUCCESS(ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, &buffer, sizeof buffer, &length)) ||
        buffer.info.Type != REG_DWORD || buffer.info.DataLength != sizeof(ULONG))
        return fallback;
    ULONG value;
    RtlCopyMemory(&value, buffer.info.Data, sizeof value);
    return value;
}

// Reads a REG_SZ of at most 63 characters into text; FALSE when absent.
inline BOOLEAN read_string(HANDLE key, const WCHAR* name, WCHAR (&text)[64]) {
    UNICODE_STRING value_name;
    RtlInitUnicodeString(&value_name, name);
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof text];
    } buffer;
    ULONG length = 0;
    if (!NT_SUCCESS(ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, &buffer, sizeof buffer, &length)) ||
        buffer.info.Type != REG_SZ || buffer.info.DataLength > sizeof text - sizeof(WCHAR))
        return FALSE;
    RtlZeroMemory(text, sizeof text);
    RtlCopyMemory(text, buffer.info.Data, buffer.info.DataLength);
    return TRUE;
}

inline HANDLE open_key(PUNICODE_STRING path) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return nullptr;
    return key;
}

} // namespace hvtest
