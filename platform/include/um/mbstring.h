// The C runtime's multibyte-string routines, in the ANSI code page.
#pragma once

#include <basetsd.h>

#include <stddef.h>

typedef int errno_t;

HV_EXTERN_C_BEGIN

// Upper-cases in place; EINVAL (and an empty string) when the text has no terminator within size.
HV_API errno_t _mbsupr_s(unsigned char* str, size_t size);
HV_API unsigned char* _mbsstr(const unsigned char* str, const unsigned char* substr);

HV_EXTERN_C_END
