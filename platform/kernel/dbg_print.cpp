// Debugger output of drivers.
//
//   DbgPrint DbgPrintEx vDbgPrintEx vDbgPrintExWithPrefix
//
// Every component and level is written (there is no filter mask to set up here). As on Windows, one
// call writes at most 512 bytes.
#include <hvsim/debug_log.h>
#include <hvsim/format.h>
#include <wdm.h>

namespace {

constexpr size_t max_output = 512;

ULONG print(PCSTR prefix, PCSTR format, va_list args) {
    if (!format) return STATUS_INVALID_PARAMETER;
    std::string text = prefix ? prefix : "";
    text += hvsim::text::vformat(format, args);
    if (text.size() > max_output) text.resize(max_output);
    hvsim::debugger_log_write(text);
    return STATUS_SUCCESS;
}

} // namespace

HV_EXTERN_C_BEGIN

ULONG DbgPrint(PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    ULONG status = print(nullptr, Format, ap);
    va_end(ap);
    return status;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    ULONG status = print(nullptr, Format, ap);
    va_end(ap);
    return status;
}

ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist) {
    return print(nullptr, Format, arglist);
}

ULONG vDbgPrintExWithPrefix(PCSTR Prefix, ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist) {
    return print(Prefix, Format, arglist);
}

HV_EXTERN_C_END
