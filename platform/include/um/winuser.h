// The window system's user-mode API. Message boxes are headless: each takes the next scripted
// answer (hvsim/user_hooks.h) and leaves an entry in the machine's transcript; none ever waits
// for a person.
#pragma once

#include <windef.h>
#include <winbase.h>

// Message box buttons.
#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_ABORTRETRYIGNORE 0x00000002L
#define MB_YESNOCANCEL 0x00000003L
#define MB_YESNO 0x00000004L
#define MB_RETRYCANCEL 0x00000005L
#define MB_CANCELTRYCONTINUE 0x00000006L
#define MB_TYPEMASK 0x0000000FL
// Icons.
#define MB_ICONHAND 0x00000010L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONASTERISK 0x00000040L
#define MB_USERICON 0x00000080L
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONMASK 0x000000F0L
// Default button and modality.
#define MB_DEFBUTTON1 0x00000000L
#define MB_DEFBUTTON2 0x00000100L
#define MB_DEFBUTTON3 0x00000200L
#define MB_DEFBUTTON4 0x00000300L
#define MB_DEFMASK 0x00000F00L
#define MB_APPLMODAL 0x00000000L
#define MB_SYSTEMMODAL 0x00001000L
#define MB_TASKMODAL 0x00002000L
#define MB_HELP 0x00004000L
#define MB_NOFOCUS 0x00008000L
#define MB_SETFOREGROUND 0x00010000L
#define MB_DEFAULT_DESKTOP_ONLY 0x00020000L
#define MB_TOPMOST 0x00040000L
#define MB_RIGHT 0x00080000L
#define MB_RTLREADING 0x00100000L
#define MB_SERVICE_NOTIFICATION 0x00200000L

// Dialog and message box results.
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7
#define IDCLOSE 8
#define IDHELP 9
#define IDTRYAGAIN 10
#define IDCONTINUE 11

HV_EXTERN_C_BEGIN

// 0 when the box cannot be shown: a question without a scripted answer, or a bad style.
HV_API int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
HV_API int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
HV_API int WINAPI MessageBoxExW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType, WORD wLanguageId);
HV_API BOOL WINAPI MessageBeep(UINT uType);

// Ending the session. On Windows NT a shutdown, restart or power-off needs SeShutdownPrivilege
// enabled in the caller's token (else ERROR_PRIVILEGE_NOT_HELD). The machine carries the request
// out once the calling program has ended. A logoff has nothing to end: the machine keeps no
// sessions.
#define EWX_LOGOFF 0x00000000
#define EWX_SHUTDOWN 0x00000001
#define EWX_REBOOT 0x00000002
#define EWX_FORCE 0x00000004
#define EWX_POWEROFF 0x00000008
#define EWX_FORCEIFHUNG 0x00000010
HV_API BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason);

// Strings from the module's string table (an image declares it with hv_resource.h; NULL is the
// process's own image). The text is cut to cchBufferMax - 1 characters and terminated; a missing
// string gives 0 and an empty buffer. With cchBufferMax 0 the buffer receives a read-only
// pointer to the string itself (not terminated) and the result is its length.
HV_API int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);
HV_API int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);

HV_EXTERN_C_END

#ifdef UNICODE
#define MessageBox MessageBoxW
#define LoadString LoadStringW
#else
#define MessageBox MessageBoxA
#define LoadString LoadStringA
#endif
