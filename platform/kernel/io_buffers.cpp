// Buffer methods: how a caller's buffers reach a driver, and MDLs for direct I/O.
//
//   IoAllocateMdl IoFreeMdl MmBuildMdlForNonPagedPool MmProbeAndLockPages MmUnlockPages
//   HvMmGetSystemAddressForMdl (MmGetSystemAddressForMdlSafe)
//
// Control codes: METHOD_BUFFERED copies the input into one system buffer of max(input, output)
// bytes and copies Information bytes back to the output at completion; METHOD_IN_DIRECT and
// METHOD_OUT_DIRECT buffer the input and describe the output with an MDL; METHOD_NEITHER passes
// both pointers (Type3InputBuffer, UserBuffer). Reads and writes follow the target device's
// DO_BUFFERED_IO or DO_DIRECT_IO flag, or pass the caller's pointer in UserBuffer.
#include "io_internal.h"

#include <cstring>
#include <functional>
#include <mutex>

namespace hvsim::io::detail {
namespace {

NTSTATUS attach_system_buffer(IRP* irp, const void* input, ULONG input_length, ULONG size) {
    void* buffer = allocate(size, kTagBuffer);
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    if (input_length) std::memcpy(buffer, input, input_length);
    // No stale bytes reach the driver or, through Information, the caller.
    if (size > input_length) std::memset(static_cast<char*>(buffer) + input_length, 0, size - input_length);
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    record_of(irp)->owns_system_buffer = true;
    return STATUS_SUCCESS;
}

void expect_copy_back(IRP* irp, void* destination, ULONG limit) {
    auto* record = record_of(irp);
    irp->Flags |= IRP_INPUT_OPERATION;
    record->copy_back = true;
    record->copy_back_to = destination;
    record->copy_back_limit = limit;
}

void release_attached(IRP* irp) {
    auto* record = record_of(irp);
    if (record->owns_system_buffer && irp->AssociatedIrp.SystemBuffer)
        release(irp->AssociatedIrp.SystemBuffer, kTagBuffer);
    irp->AssociatedIrp.SystemBuffer = nullptr;
    record->owns_system_buffer = false;
    record->copy_back = false;
    irp->Flags &= ~(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION);
}

} // namespace

PMDL build_mdl(void* buffer, ULONG length) {
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (mdl) MmBuildMdlForNonPagedPool(mdl);
    return mdl;
}

NTSTATUS attach_control_buffers(IRP* irp, ULONG code, const void* input, ULONG input_length, void* output,
                                ULONG output_length) {
    PIO_STACK_LOCATION stack = first_location(irp);
    stack->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    stack->Parameters.DeviceIoControl.InputBufferLength = input_length;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.Type3InputBuffer = nullptr;
    irp->UserBuffer = output;
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
        ULONG size = input_length > output_length ? input_length : output_length;
        if (!size) return STATUS_SUCCESS;
        NTSTATUS status = attach_system_buffer(irp, input, input_length, size);
        if (NT_SUCCESS(status) && output_length) expect_copy_back(irp, output, output_length);
        return status;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: {
        if (input_length) {
            NTSTATUS status = attach_system_buffer(irp, input, input_length, input_length);
            if (!NT_SUCCESS(status)) return status;
        }
        if (output_length) {
            PMDL mdl = build_mdl(output, output_length);
            if (!mdl) {
                release_attached(irp);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            irp->MdlAddress = mdl;
            record_of(irp)->owned_mdl = mdl;
        }
        return STATUS_SUCCESS;
    }
    default: stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input); return STATUS_SUCCESS;
    }
}

NTSTATUS attach_transfer_buffer(IRP* irp, DEVICE_OBJECT* target, bool input_operation, void* buffer, ULONG length) {
    irp->UserBuffer = buffer;
    if (!length) return STATUS_SUCCESS;
    if (target->Flags & DO_BUFFERED_IO) {
        NTSTATUS status =
            attach_system_buffer(irp, input_operation ? nullptr : buffer, input_operation ? 0 : length, length);
        if (NT_SUCCESS(status) && input_operation) expect_copy_back(irp, buffer, length);
        return status;
    }
    if (target->Flags & DO_DIRECT_IO) {
        PMDL mdl = build_mdl(buffer, length);
        if (!mdl) return STATUS_INSUFFICIENT_RESOURCES;
        irp->MdlAddress = mdl;
        record_of(irp)->owned_mdl = mdl;
    }
    return STATUS_SUCCESS;
}

void copy_back_buffered(IRP* irp) {
    auto* record = record_of(irp);
    if (!record->copy_back || record->copied_back || NT_ERROR(irp->IoStatus.Status)) return;
    record->copied_back = true;
    ULONG_PTR information = irp->IoStatus.Information;
    if (information > record->copy_back_limit)
        bug_check(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                  "IRP " + hex(irp) + " completed with Information " + std::to_string(information) +
                      ", more than the caller's buffer of " + std::to_string(record->copy_back_limit) + " bytes");
    if (information) std::memcpy(record->copy_back_to, irp->AssociatedIrp.SystemBuffer, information);
}

} // namespace hvsim::io::detail

namespace hvsim::io {
namespace {
std::mutex g_mdl_hook_mutex;
std::function<void(PMDL)> g_mdl_hook;
} // namespace

void set_mdl_mapping_hook(std::function<void(PMDL)> hook) {
    std::lock_guard lock(g_mdl_hook_mutex);
    g_mdl_hook = std::move(hook);
}
} // namespace hvsim::io

using namespace hvsim;
using namespace hvsim::io::detail;

HV_EXTERN_C_BEGIN

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
    auto* mdl = static_cast<PMDL>(allocate(sizeof(MDL), kTagMdl));
    if (!mdl) return nullptr;
    std::memset(mdl, 0, sizeof(MDL));
    mdl->Size = sizeof(MDL);
    mdl->StartVa = VirtualAddress;
    mdl->ByteOffset = 0;
    mdl->ByteCount = Length;
    if (Irp) {
        if (SecondaryBuffer && Irp->MdlAddress) {
            PMDL last = Irp->MdlAddress;
            while (last->Next) last = last->Next;
            last->Next = mdl;
        } else {
            Irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
    if (!Mdl) return;
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
        bug_check(DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS,
                  "IoFreeMdl on MDL " + hex(Mdl) + " whose pages are still locked");
    release(Mdl, kTagMdl);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

// One address space: probing only records that the pages are locked, so a free without an
// unlock is caught.
VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

VOID MmUnlockPages(PMDL MemoryDescriptorList) {
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED))
        bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION,
                  "MmUnlockPages on MDL " + hex(MemoryDescriptorList) + " that is not locked");
    MemoryDescriptorList->MdlFlags &= ~MDL_PAGES_LOCKED;
}

PVOID HvMmGetSystemAddressForMdl(PMDL Mdl) {
    if (!Mdl) return nullptr;
    std::function<void(PMDL)> hook;
    {
        std::lock_guard lock(hvsim::io::g_mdl_hook_mutex);
        hook = hvsim::io::g_mdl_hook;
    }
    if (hook) hook(Mdl);
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return MmGetMdlVirtualAddress(Mdl);
}

HV_EXTERN_C_END
