// The COM port database: which COM numbers are claimed, kept as a bitmap of 1-based port numbers
// (bit n-1 for COMn) in the REG_BINARY value "ComDB" of
// HKLM\SYSTEM\CurrentControlSet\Control\COM Name Arbiter. Every call reads and writes the value
// under a machine-wide lock, so that several openers see each other's claims.
#pragma once

#include <windows.h>

DECLARE_HANDLE(HCOMDB);
typedef HCOMDB* PHCOMDB;

#define HCOMDB_INVALID_HANDLE_VALUE ((HCOMDB)(LONG_PTR)-1)

// The database never shrinks below the default and never grows past the arbitrated maximum.
#define COMDB_MIN_PORTS_ARBITRATED 256
#define COMDB_MAX_PORTS_ARBITRATED 4096

// ComDBGetCurrentPortUsage report forms.
#define CDB_REPORT_BITS 0x0
#define CDB_REPORT_BYTES 0x1

#ifndef ERROR_NO_LOG_SPACE
#define ERROR_NO_LOG_SPACE 1019L
#endif

HV_EXTERN_C_BEGIN

// ERROR_ACCESS_DENIED when the database cannot be opened; *PHComDB is then
// HCOMDB_INVALID_HANDLE_VALUE.
HV_API LONG WINAPI ComDBOpen(PHCOMDB PHComDB);
HV_API LONG WINAPI ComDBClose(HCOMDB HComDB);

// Buffer null: *MaxPortsReported gets the database's size in ports. Otherwise, with
// CDB_REPORT_BITS the buffer gets the bitmap (BufferSize bytes at most), with CDB_REPORT_BYTES
// byte n-1 is 1 when COMn is claimed and 0 otherwise (BufferSize ports at most);
// *MaxPortsReported gets the number of ports reported.
HV_API LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB HComDB, PBYTE Buffer, DWORD BufferSize, ULONG ReportType,
                                            LPDWORD MaxPortsReported);

// The lowest free number, claimed; ERROR_NO_LOG_SPACE when every port is taken.
HV_API LONG WINAPI ComDBClaimNextFreePort(HCOMDB HComDB, LPDWORD ComNumber);
// ERROR_SHARING_VIOLATION when the port is claimed already and ForceClaim is FALSE; with
// ForceClaim the claim succeeds and *Forced tells whether the port was claimed before.
HV_API LONG WINAPI ComDBClaimPort(HCOMDB HComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced);
// Releasing a free port succeeds; 0 or a number beyond the database gives ERROR_INVALID_PARAMETER.
HV_API LONG WINAPI ComDBReleasePort(HCOMDB HComDB, DWORD ComNumber);
// Grows the database (a multiple of 1024 ports, at most COMDB_MAX_PORTS_ARBITRATED);
// ERROR_BAD_LENGTH for a smaller size or one out of range.
HV_API LONG WINAPI ComDBResizeDatabase(HCOMDB HComDB, DWORD NewSize);

HV_EXTERN_C_END
