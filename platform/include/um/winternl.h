// The status-to-error translation of the system's native layer.
#pragma once

#include <winnt.h>

#ifndef _NTDEF_NTSTATUS_DEFINED
#define _NTDEF_NTSTATUS_DEFINED
typedef LONG NTSTATUS;
#endif

HV_EXTERN_C_BEGIN

// The Win32 error code that Windows reports for a status; ERROR_MR_MID_NOT_FOUND for one it has
// no translation of.
HV_API ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status);

HV_EXTERN_C_END
