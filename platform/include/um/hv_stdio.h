// Console output of the CRT for programs: formatted wide output to the process's standard output.
// The format is Windows' (%s and %c take wide arguments in the wide routines, %hs and %S narrow).
#pragma once

#include <basetsd.h>

#include <stdarg.h>

#define HV_CRT_API __attribute__((visibility("default")))

// Wide forms, taking char16_t strings. They overload the C library's wchar_t routines, which
// programs of the machine never use.
HV_CRT_API int wprintf(const WCHAR* format, ...);
HV_CRT_API int vwprintf(const WCHAR* format, va_list args);
