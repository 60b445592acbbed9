// Security of advapi32: SIDs, ACLs and security descriptors in memory, and the tokens of
// processes and threads. On the Windows 9x platform the token routines fail with
// ERROR_CALL_NOT_IMPLEMENTED.
#pragma once

#include <winnt.h>
#include <winnt_security.h>
#include <winbase.h>

HV_EXTERN_C_BEGIN

// ---- SIDs ----
// FreeSid releases what AllocateAndInitializeSid gave (it returns NULL), nothing else.
HV_API BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                                            DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                                            DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                                            DWORD nSubAuthority6, DWORD nSubAuthority7, PSID* pSid);
HV_API PVOID WINAPI FreeSid(PSID pSid);
HV_API BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2);
HV_API BOOL WINAPI IsValidSid(PSID pSid);
HV_API DWORD WINAPI GetLengthSid(PSID pSid);

// ---- ACLs ----
HV_API BOOL WINAPI InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision);
HV_API BOOL WINAPI IsValidAcl(PACL pAcl);
HV_API BOOL WINAPI AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid);
HV_API BOOL WINAPI AddAccessAllowedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask, PSID pSid);
HV_API BOOL WINAPI AddAccessDeniedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid);
HV_API BOOL WINAPI GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce);

// ---- Security descriptors ----
HV_API BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision);
HV_API BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor);
HV_API DWORD WINAPI GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR pSecurityDescriptor);
HV_API BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                             BOOL bDaclDefaulted);
HV_API BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent,
                                             PACL* pDacl, LPBOOL lpbDaclDefaulted);

// ---- Tokens ----
// A thread has no token of its own (nothing impersonates): OpenThreadToken fails with
// ERROR_NO_TOKEN and callers take the process token, as on Windows.
HV_API BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
HV_API BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf, PHANDLE TokenHandle);
// TokenUser, TokenGroups, TokenPrivileges, TokenOwner, TokenType, and from Windows Vista on
// TokenElevationType and TokenElevation.
HV_API BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                       LPVOID TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength);
HV_API BOOL WINAPI DuplicateTokenEx(HANDLE hExistingToken, DWORD dwDesiredAccess,
                                    LPSECURITY_ATTRIBUTES lpTokenAttributes,
                                    SECURITY_IMPERSONATION_LEVEL ImpersonationLevel, TOKEN_TYPE TokenType,
                                    PHANDLE phNewToken);
// Succeeds with ERROR_NOT_ALL_ASSIGNED as the last error when the token lacks one of the
// privileges; ERROR_SUCCESS otherwise.
HV_API BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                         DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);
// Only the local system (NULL or an empty name) is known.
HV_API BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid);
HV_API BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid);

HV_EXTERN_C_END

#ifdef UNICODE
#define LookupPrivilegeValue LookupPrivilegeValueW
#else
#define LookupPrivilegeValue LookupPrivilegeValueA
#endif
