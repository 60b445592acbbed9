// Drawing objects (gdi32): brushes, fonts, bitmaps and device contexts are counted handles, so a
// leak shows; nothing is drawn.
#pragma once

#include <windef.h>

#define RGB(r, g, b) ((COLORREF)(((BYTE)(r) | ((WORD)((BYTE)(g)) << 8)) | (((DWORD)(BYTE)(b)) << 16)))
#define GetRValue(rgb) (LOBYTE(rgb))
#define GetGValue(rgb) (LOBYTE(((WORD)(rgb)) >> 8))
#define GetBValue(rgb) (LOBYTE((rgb) >> 16))
#define CLR_INVALID 0xFFFFFFFF

// Background modes.
#define TRANSPARENT 1
#define OPAQUE 2

// Stock objects.
#define WHITE_BRUSH 0
#define LTGRAY_BRUSH 1
#define GRAY_BRUSH 2
#define DKGRAY_BRUSH 3
#define BLACK_BRUSH 4
#define NULL_BRUSH 5
#define HOLLOW_BRUSH NULL_BRUSH
#define WHITE_PEN 6
#define BLACK_PEN 7
#define NULL_PEN 8
#define OEM_FIXED_FONT 10
#define ANSI_FIXED_FONT 11
#define ANSI_VAR_FONT 12
#define SYSTEM_FONT 13
#define DEVICE_DEFAULT_FONT 14
#define DEFAULT_PALETTE 15
#define SYSTEM_FIXED_FONT 16
#define DEFAULT_GUI_FONT 17
#define DC_BRUSH 18
#define DC_PEN 19

// GetDeviceCaps.
#define HORZSIZE 4
#define VERTSIZE 6
#define HORZRES 8
#define VERTRES 10
#define BITSPIXEL 12
#define PLANES 14
#define NUMCOLORS 24
#define LOGPIXELSX 88
#define LOGPIXELSY 90

// Font weights and character sets.
#define FW_DONTCARE 0
#define FW_THIN 100
#define FW_LIGHT 300
#define FW_NORMAL 400
#define FW_MEDIUM 500
#define FW_SEMIBOLD 600
#define FW_BOLD 700
#define FW_HEAVY 900
#define ANSI_CHARSET 0
#define DEFAULT_CHARSET 1
#define OUT_DEFAULT_PRECIS 0
#define CLIP_DEFAULT_PRECIS 0
#define DEFAULT_QUALITY 0
#define DEFAULT_PITCH 0
#define FF_DONTCARE (0 << 4)
#define FF_SWISS (2 << 4)

// GetObjectType.
#define OBJ_PEN 1
#define OBJ_BRUSH 2
#define OBJ_DC 3
#define OBJ_PAL 5
#define OBJ_FONT 6
#define OBJ_BITMAP 7

#define LF_FACESIZE 32

typedef struct tagLOGFONTA {
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    CHAR lfFaceName[LF_FACESIZE];
} LOGFONTA, *PLOGFONTA, *LPLOGFONTA;

typedef struct tagLOGFONTW {
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    WCHAR lfFaceName[LF_FACESIZE];
} LOGFONTW, *PLOGFONTW, *LPLOGFONTW;

typedef struct tagLOGBRUSH {
    UINT lbStyle;
    COLORREF lbColor;
    ULONG_PTR lbHatch;
} LOGBRUSH, *LPLOGBRUSH;
#define BS_SOLID 0
#define BS_NULL 1

typedef struct tagBITMAP {
    LONG bmType;
    LONG bmWidth;
    LONG bmHeight;
    LONG bmWidthBytes;
    WORD bmPlanes;
    WORD bmBitsPixel;
    LPVOID bmBits;
} BITMAP, *PBITMAP, *LPBITMAP;

// What SPI_GETNONCLIENTMETRICS fills (with iPaddedBorderWidth, as from Vista on).
typedef struct tagNONCLIENTMETRICSA {
    UINT cbSize;
    int iBorderWidth;
    int iScrollWidth;
    int iScrollHeight;
    int iCaptionWidth;
    int iCaptionHeight;
    LOGFONTA lfCaptionFont;
    int iSmCaptionWidth;
    int iSmCaptionHeight;
    LOGFONTA lfSmCaptionFont;
    int iMenuWidth;
    int iMenuHeight;
    LOGFONTA lfMenuFont;
    LOGFONTA lfStatusFont;
    LOGFONTA lfMessageFont;
    int iPaddedBorderWidth;
} NONCLIENTMETRICSA, *PNONCLIENTMETRICSA, *LPNONCLIENTMETRICSA;

typedef struct tagNONCLIENTMETRICSW {
    UINT cbSize;
    int iBorderWidth;
    int iScrollWidth;
    int iScrollHeight;
    int iCaptionWidth;
    int iCaptionHeight;
    LOGFONTW lfCaptionFont;
    int iSmCaptionWidth;
    int iSmCaptionHeight;
    LOGFONTW lfSmCaptionFont;
    int iMenuWidth;
    int iMenuHeight;
    LOGFONTW lfMenuFont;
    LOGFONTW lfStatusFont;
    LOGFONTW lfMessageFont;
    int iPaddedBorderWidth;
} NONCLIENTMETRICSW, *PNONCLIENTMETRICSW, *LPNONCLIENTMETRICSW;

HV_EXTERN_C_BEGIN

HV_API HBRUSH WINAPI CreateSolidBrush(COLORREF color);
HV_API HBRUSH WINAPI CreateBrushIndirect(const LOGBRUSH* plbrush);
HV_API HPEN WINAPI CreatePen(int iStyle, int cWidth, COLORREF color);
HV_API HFONT WINAPI CreateFontIndirectA(const LOGFONTA* lplf);
HV_API HFONT WINAPI CreateFontIndirectW(const LOGFONTW* lplf);
HV_API HBITMAP WINAPI CreateCompatibleBitmap(HDC hdc, int cx, int cy);
// Stock objects are never freed: DeleteObject on one succeeds and changes nothing.
HV_API HGDIOBJ WINAPI GetStockObject(int i);
// FALSE for a handle that is not a live object, or one selected into a device context.
HV_API BOOL WINAPI DeleteObject(HGDIOBJ ho);
HV_API HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ h);
HV_API DWORD WINAPI GetObjectType(HGDIOBJ h);
HV_API int WINAPI GetObjectW(HANDLE h, int c, LPVOID pv);
HV_API int WINAPI GetObjectA(HANDLE h, int c, LPVOID pv);

// Device contexts: GetDC(NULL) is the screen's; every one must be released.
HV_API HDC WINAPI GetDC(HWND hWnd);
HV_API int WINAPI ReleaseDC(HWND hWnd, HDC hDC);
HV_API HDC WINAPI CreateCompatibleDC(HDC hdc);
HV_API BOOL WINAPI DeleteDC(HDC hdc);
HV_API int WINAPI GetDeviceCaps(HDC hdc, int index);
HV_API int WINAPI SetBkMode(HDC hdc, int mode);
HV_API int WINAPI GetBkMode(HDC hdc);
HV_API COLORREF WINAPI SetBkColor(HDC hdc, COLORREF color);
HV_API COLORREF WINAPI SetTextColor(HDC hdc, COLORREF color);
HV_API COLORREF WINAPI GetTextColor(HDC hdc);

// Bitmaps from a module's resources (hv_resource.h); a bitmap named but absent gives NULL.
HV_API HBITMAP WINAPI LoadBitmapW(HINSTANCE hInstance, LPCWSTR lpBitmapName);
HV_API HBITMAP WINAPI LoadBitmapA(HINSTANCE hInstance, LPCSTR lpBitmapName);

HV_EXTERN_C_END

#ifdef UNICODE
#define CreateFontIndirect CreateFontIndirectW
#define LoadBitmap LoadBitmapW
#define GetObject GetObjectW
#else
#define CreateFontIndirect CreateFontIndirectA
#define LoadBitmap LoadBitmapA
#define GetObject GetObjectA
#endif

#ifdef __cplusplus
static_assert(sizeof(LOGFONTA) == 60 && sizeof(LOGFONTW) == 92, "LOGFONT as on Windows");
static_assert(sizeof(NONCLIENTMETRICSA) == 344 && sizeof(NONCLIENTMETRICSW) == 504, "NONCLIENTMETRICS as on Windows");
#endif
