// A small driver image whose exports do, from their own code, what a driver does.
#include <wdm.h>

#define TEST_IMAGE_EXPORT extern "C" __attribute__((visibility("default")))

TEST_IMAGE_EXPORT PVOID TestImageAllocate(SIZE_T size, ULONG tag) {
    return ExAllocatePoolWithTag(NonPagedPool, size, tag);
}

TEST_IMAGE_EXPORT VOID TestImageFree(PVOID block) { ExFreePool(block); }

TEST_IMAGE_EXPORT VOID TestImageBreak(void) { DbgBreakPoint(); }

// The ANSI copy of a wide text, allocated by Rtl on the image's behalf.
TEST_IMAGE_EXPORT NTSTATUS TestImageAnsiCopy(PCWSTR text, PANSI_STRING copy) {
    UNICODE_STRING wide;
    RtlInitUnicodeString(&wide, text);
    return RtlUnicodeStringToAnsiString(copy, &wide, TRUE);
}

TEST_IMAGE_EXPORT NTSTATUS TestImageInitTracing(PVOID driver_object, PWPP_TRACE_CONTROL_BLOCK blocks, ULONG count) {
    return WppInitDriverTracing(driver_object, nullptr, blocks, count);
}

// Sends the text when the block's flag is on, as a driver's trace macro does.
TEST_IMAGE_EXPORT NTSTATUS TestImageTrace(PWPP_TRACE_CONTROL_BLOCK block, ULONG flag, USHORT number, PCSTR text) {
    if (!block->Logger || !(block->Flags & flag)) return STATUS_SUCCESS;
    static const GUID message_guid = {0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 6, 6, 7, 7}};
    SIZE_T length = 0;
    while (text[length]) ++length;
    return WmiTraceMessage(block->Logger, 43, &message_guid, number, text, length + 1, nullptr);
}
