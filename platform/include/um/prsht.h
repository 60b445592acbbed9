// Property sheets and wizards (comctl32).
#pragma once

#include <windef.h>
#include <winuser.h>

struct _PSP;
typedef struct _PSP* HPROPSHEETPAGE;
struct _PROPSHEETPAGEW;
typedef UINT(CALLBACK* LPFNPSPCALLBACKW)(HWND hwnd, UINT uMsg, struct _PROPSHEETPAGEW* ppsp);
typedef int(CALLBACK* PFNPROPSHEETCALLBACK)(HWND, UINT, LPARAM);
typedef BOOL(CALLBACK* LPFNADDPROPSHEETPAGE)(HPROPSHEETPAGE, LPARAM);
typedef BOOL(CALLBACK* LPFNADDPROPSHEETPAGES)(LPVOID, LPFNADDPROPSHEETPAGE, LPARAM);

// Page flags.
#define PSP_DEFAULT 0x00000000
#define PSP_DLGINDIRECT 0x00000001
#define PSP_USEHICON 0x00000002
#define PSP_USEICONID 0x00000004
#define PSP_USETITLE 0x00000008
#define PSP_RTLREADING 0x00000010
#define PSP_HASHELP 0x00000020
#define PSP_USEREFPARENT 0x00000040
#define PSP_USECALLBACK 0x00000080
#define PSP_PREMATURE 0x00000400
#define PSP_HIDEHEADER 0x00000800
#define PSP_USEHEADERTITLE 0x00001000
#define PSP_USEHEADERSUBTITLE 0x00002000
#define PSP_USEFUSIONCONTEXT 0x00004000

// Page callback messages.
#define PSPCB_ADDREF 0
#define PSPCB_RELEASE 1
#define PSPCB_CREATE 2

// A page as its creator describes it. CreatePropertySheetPageW copies dwSize bytes, so a
// structure may carry its owner's data after these fields; the copy is the lParam of the page's
// WM_INITDIALOG and the argument of its callback.
typedef struct _PROPSHEETPAGEW {
    DWORD dwSize;
    DWORD dwFlags;
    HINSTANCE hInstance;
    union {
        LPCWSTR pszTemplate;
        LPCDLGTEMPLATE pResource;
    };
    union {
        HICON hIcon;
        LPCWSTR pszIcon;
    };
    LPCWSTR pszTitle;
    DLGPROC pfnDlgProc;
    LPARAM lParam;
    LPFNPSPCALLBACKW pfnCallback;
    UINT* pcRefParent;
    LPCWSTR pszHeaderTitle;
    LPCWSTR pszHeaderSubTitle;
    HANDLE hActCtx;
    union {
        HBITMAP hbmHeader;
        LPCWSTR pszbmHeader;
    };
} PROPSHEETPAGEW, *LPPROPSHEETPAGEW;
typedef const PROPSHEETPAGEW* LPCPROPSHEETPAGEW;
#define PROPSHEETPAGEW_V1_SIZE offsetof(PROPSHEETPAGEW, pszHeaderTitle)
#define PROPSHEETPAGEW_V2_SIZE offsetof(PROPSHEETPAGEW, hActCtx)
#define PROPSHEETPAGEW_V3_SIZE offsetof(PROPSHEETPAGEW, hbmHeader)
#define PROPSHEETPAGEW_V4_SIZE sizeof(PROPSHEETPAGEW)

// Sheet flags.
#define PSH_DEFAULT 0x00000000
#define PSH_PROPTITLE 0x00000001
#define PSH_USEHICON 0x00000002
#define PSH_USEICONID 0x00000004
#define PSH_PROPSHEETPAGE 0x00000008
#define PSH_WIZARDHASFINISH 0x00000010
#define PSH_WIZARD 0x00000020
#define PSH_USEPSTARTPAGE 0x00000040
#define PSH_NOAPPLYNOW 0x00000080
#define PSH_USECALLBACK 0x00000100
#define PSH_HASHELP 0x00000200
#define PSH_MODELESS 0x00000400
#define PSH_RTLREADING 0x00000800
#define PSH_WIZARDCONTEXTHELP 0x00001000
#define PSH_WATERMARK 0x00008000
#define PSH_USEHBMWATERMARK 0x00010000
#define PSH_USEHPLWATERMARK 0x00020000
#define PSH_STRETCHWATERMARK 0x00040000
#define PSH_HEADER 0x00080000
#define PSH_USEHBMHEADER 0x00100000
#define PSH_USEPAGELANG 0x00200000
#define PSH_WIZARD_LITE 0x00400000
#define PSH_WIZARD97 0x01000000
#define PSH_NOCONTEXTHELP 0x02000000

typedef struct _PROPSHEETHEADERW {
    DWORD dwSize;
    DWORD dwFlags;
    HWND hwndParent;
    HINSTANCE hInstance;
    union {
        HICON hIcon;
        LPCWSTR pszIcon;
    };
    LPCWSTR pszCaption;
    UINT nPages;
    union {
        UINT nStartPage;
        LPCWSTR pStartPage;
    };
    union {
        LPCPROPSHEETPAGEW ppsp;
        HPROPSHEETPAGE* phpage;
    };
    PFNPROPSHEETCALLBACK pfnCallback;
    union {
        HBITMAP hbmWatermark;
        LPCWSTR pszbmWatermark;
    };
    HPALETTE hplWatermark;
    union {
        HBITMAP hbmHeader;
        LPCWSTR pszbmHeader;
    };
} PROPSHEETHEADERW, *LPPROPSHEETHEADERW;
typedef const PROPSHEETHEADERW* LPCPROPSHEETHEADERW;
#define PROPSHEETHEADERW_V1_SIZE offsetof(PROPSHEETHEADERW, hbmWatermark)
#define PROPSHEETHEADERW_V2_SIZE sizeof(PROPSHEETHEADERW)

// Sheet callback messages.
#define PSCB_INITIALIZED 1
#define PSCB_PRECREATE 2
#define PSCB_BUTTONPRESSED 3

// Notifications to pages (WM_NOTIFY with a PSHNOTIFY).
typedef struct _PSHNOTIFY {
    NMHDR hdr;
    LPARAM lParam;
} PSHNOTIFY, *LPPSHNOTIFY;

#define PSN_FIRST (0U - 200U)
#define PSN_LAST (0U - 299U)
#define PSN_SETACTIVE (PSN_FIRST - 0)
#define PSN_KILLACTIVE (PSN_FIRST - 1)
#define PSN_APPLY (PSN_FIRST - 2)
#define PSN_RESET (PSN_FIRST - 3)
#define PSN_HELP (PSN_FIRST - 5)
#define PSN_WIZBACK (PSN_FIRST - 6)
#define PSN_WIZNEXT (PSN_FIRST - 7)
#define PSN_WIZFINISH (PSN_FIRST - 8)
#define PSN_QUERYCANCEL (PSN_FIRST - 9)
#define PSN_GETOBJECT (PSN_FIRST - 10)
#define PSN_TRANSLATEACCELERATOR (PSN_FIRST - 12)
#define PSN_QUERYINITIALFOCUS (PSN_FIRST - 13)

#define PSNRET_NOERROR 0
#define PSNRET_INVALID 1
#define PSNRET_INVALID_NOCHANGEPAGE 2
#define PSNRET_MESSAGEHANDLED 3

// Messages to the sheet.
#define PSM_SETCURSEL (WM_USER + 101)
#define PSM_REMOVEPAGE (WM_USER + 102)
#define PSM_ADDPAGE (WM_USER + 103)
#define PSM_CHANGED (WM_USER + 104)
#define PSM_RESTARTWINDOWS (WM_USER + 105)
#define PSM_REBOOTSYSTEM (WM_USER + 106)
#define PSM_CANCELTOCLOSE (WM_USER + 107)
#define PSM_QUERYSIBLINGS (WM_USER + 108)
#define PSM_UNCHANGED (WM_USER + 109)
#define PSM_APPLY (WM_USER + 110)
#define PSM_SETTITLEA (WM_USER + 111)
#define PSM_SETWIZBUTTONS (WM_USER + 112)
#define PSM_PRESSBUTTON (WM_USER + 113)
#define PSM_SETCURSELID (WM_USER + 114)
#define PSM_SETFINISHTEXTA (WM_USER + 115)
#define PSM_GETTABCONTROL (WM_USER + 116)
#define PSM_ISDIALOGMESSAGE (WM_USER + 117)
#define PSM_GETCURRENTPAGEHWND (WM_USER + 118)
#define PSM_INSERTPAGE (WM_USER + 119)
#define PSM_SETTITLEW (WM_USER + 120)
#define PSM_SETFINISHTEXTW (WM_USER + 121)
#define PSM_SETHEADERTITLEA (WM_USER + 125)
#define PSM_SETHEADERTITLEW (WM_USER + 126)
#define PSM_SETHEADERSUBTITLEA (WM_USER + 127)
#define PSM_SETHEADERSUBTITLEW (WM_USER + 128)
#define PSM_HWNDTOINDEX (WM_USER + 129)
#define PSM_INDEXTOHWND (WM_USER + 130)
#define PSM_PAGETOINDEX (WM_USER + 131)
#define PSM_INDEXTOPAGE (WM_USER + 132)
#define PSM_IDTOINDEX (WM_USER + 133)
#define PSM_INDEXTOID (WM_USER + 134)
#define PSM_GETRESULT (WM_USER + 135)

// PSM_PRESSBUTTON.
#define PSBTN_BACK 0
#define PSBTN_NEXT 1
#define PSBTN_FINISH 2
#define PSBTN_OK 3
#define PSBTN_APPLYNOW 4
#define PSBTN_CANCEL 5
#define PSBTN_HELP 6
#define PSBTN_MAX 6

// PSM_SETWIZBUTTONS.
#define PSWIZB_BACK 0x00000001
#define PSWIZB_NEXT 0x00000002
#define PSWIZB_FINISH 0x00000004
#define PSWIZB_DISABLEDFINISH 0x00000008

// PropertySheet's result for a modal sheet (besides 1 for OK, 0 for Cancel, -1 for an error).
#define ID_PSRESTARTWINDOWS 0x2
#define ID_PSREBOOTSYSTEM (ID_PSRESTARTWINDOWS | 0x1)

// The sheet's own controls.
#define IDC_PS_TABCONTROL 0x3020
#define IDC_PS_APPLYNOW 0x3021
#define IDC_PS_BACK 0x3023
#define IDC_PS_NEXT 0x3024
#define IDC_PS_FINISH 0x3025

#define MAXPROPPAGES 100

HV_EXTERN_C_BEGIN

HV_API HPROPSHEETPAGE WINAPI CreatePropertySheetPageW(LPCPROPSHEETPAGEW constPropSheetPagePointer);
// For a page that no sheet took: its PSPCB_RELEASE runs and it is freed.
HV_API BOOL WINAPI DestroyPropertySheetPage(HPROPSHEETPAGE hPSPage);
// Modal: the sheet's result (1 after OK, 0 after Cancel, ID_PSREBOOTSYSTEM...; -1 when it could
// not be made). Modeless (PSH_MODELESS): the sheet's window.
HV_API INT_PTR WINAPI PropertySheetW(LPCPROPSHEETHEADERW lppsph);

HV_EXTERN_C_END

#define PropSheet_SetCurSel(hDlg, hpage, index) \
    SendMessageW(hDlg, PSM_SETCURSEL, (WPARAM)(index), (LPARAM)(hpage))
#define PropSheet_RemovePage(hDlg, index, hpage) \
    SendMessageW(hDlg, PSM_REMOVEPAGE, (WPARAM)(index), (LPARAM)(hpage))
#define PropSheet_AddPage(hDlg, hpage) SendMessageW(hDlg, PSM_ADDPAGE, 0, (LPARAM)(hpage))
#define PropSheet_Changed(hDlg, hwnd) SendMessageW(hDlg, PSM_CHANGED, (WPARAM)(hwnd), 0L)
#define PropSheet_UnChanged(hDlg, hwnd) SendMessageW(hDlg, PSM_UNCHANGED, (WPARAM)(hwnd), 0L)
#define PropSheet_RebootSystem(hDlg) SendMessageW(hDlg, PSM_REBOOTSYSTEM, 0, 0L)
#define PropSheet_RestartWindows(hDlg) SendMessageW(hDlg, PSM_RESTARTWINDOWS, 0, 0L)
#define PropSheet_CancelToClose(hDlg) PostMessageW(hDlg, PSM_CANCELTOCLOSE, 0, 0L)
#define PropSheet_Apply(hDlg) SendMessageW(hDlg, PSM_APPLY, 0, 0L)
#define PropSheet_SetTitle(hDlg, dwStyle, lpszText) \
    SendMessageW(hDlg, PSM_SETTITLEW, (WPARAM)(dwStyle), (LPARAM)(LPCWSTR)(lpszText))
#define PropSheet_SetWizButtons(hDlg, dwFlags) PostMessageW(hDlg, PSM_SETWIZBUTTONS, 0, (LPARAM)(dwFlags))
#define PropSheet_PressButton(hDlg, iButton) PostMessageW(hDlg, PSM_PRESSBUTTON, (WPARAM)(iButton), 0)
#define PropSheet_SetFinishText(hDlg, lpszText) SendMessageW(hDlg, PSM_SETFINISHTEXTW, 0, (LPARAM)(lpszText))
#define PropSheet_GetCurrentPageHwnd(hDlg) (HWND) SendMessageW(hDlg, PSM_GETCURRENTPAGEHWND, 0, 0L)
#define PropSheet_GetTabControl(hDlg) (HWND) SendMessageW(hDlg, PSM_GETTABCONTROL, 0, 0)
#define PropSheet_HwndToIndex(hDlg, hwnd) (int)SendMessageW(hDlg, PSM_HWNDTOINDEX, (WPARAM)(hwnd), 0)
#define PropSheet_IndexToHwnd(hDlg, i) (HWND) SendMessageW(hDlg, PSM_INDEXTOHWND, (WPARAM)(i), 0)
#define PropSheet_GetResult(hDlg) SendMessageW(hDlg, PSM_GETRESULT, 0, 0)

#ifdef __cplusplus
static_assert(sizeof(PROPSHEETPAGEW) == 104 && PROPSHEETPAGEW_V1_SIZE == 72 && offsetof(PROPSHEETPAGEW, lParam) == 48,
              "PROPSHEETPAGEW as on x64");
static_assert(sizeof(PROPSHEETHEADERW) == 96 && PROPSHEETHEADERW_V1_SIZE == 72 &&
                  offsetof(PROPSHEETHEADERW, nStartPage) == 48,
              "PROPSHEETHEADERW as on x64");
static_assert(sizeof(PSHNOTIFY) == 32, "PSHNOTIFY as on x64");
#endif
