// What the machine's screen and desktop look like to programs (user32): one 1024 x 768 screen
// at 96 dots per inch, the standard metrics and colours of that desktop, and the message font.
#include "internal/ui_internal.h"

#include <cstring>

namespace hvsim::ui {
namespace {

struct Metric {
    int index;
    int value;
};
constexpr Metric kMetrics[] = {
    {SM_CXSCREEN, 1024},    {SM_CYSCREEN, 768},   {SM_CXVSCROLL, 17}, {SM_CYHSCROLL, 17},    {SM_CYCAPTION, 23},
    {SM_CXBORDER, 1},       {SM_CYBORDER, 1},     {SM_CXDLGFRAME, 3}, {SM_CYDLGFRAME, 3},    {SM_CXICON, 32},
    {SM_CYICON, 32},        {SM_CXCURSOR, 32},    {SM_CYCURSOR, 32},  {SM_CYMENU, 20},       {SM_CXFULLSCREEN, 1024},
    {SM_CYFULLSCREEN, 705}, {SM_MOUSEPRESENT, 1}, {SM_CXMIN, 132},    {SM_CYMIN, 38},        {SM_CXSMICON, 16},
    {SM_CYSMICON, 16},      {SM_CLEANBOOT, 0},    {SM_CMONITORS, 1},  {SM_REMOTESESSION, 0},
};

struct SysColor {
    int index;
    COLORREF color;
};
constexpr SysColor kColors[] = {
    {COLOR_SCROLLBAR, 0xC8C8C8}, {COLOR_BACKGROUND, 0x000000}, {COLOR_ACTIVECAPTION, 0xD1B499},
    {COLOR_WINDOW, 0xFFFFFF},    {COLOR_WINDOWTEXT, 0x000000}, {COLOR_BTNFACE, 0xF0F0F0},
    {COLOR_BTNSHADOW, 0xA0A0A0}, {COLOR_GRAYTEXT, 0x6D6D6D},   {COLOR_BTNTEXT, 0x000000},
    {COLOR_HOTLIGHT, 0xCC6600},
};

template <class Font> void fill_font(Font& f, int height, int weight) {
    std::memset(&f, 0, sizeof f);
    f.lfHeight = height;
    f.lfWeight = weight;
    f.lfCharSet = DEFAULT_CHARSET;
    const char* face = "Segoe UI";
    for (size_t i = 0; face[i]; ++i) f.lfFaceName[i] = decltype(f.lfFaceName[0])(face[i]);
}

template <class Metrics> BOOL nonclient_metrics(UINT size, PVOID out) {
    // Earlier versions of the structure lack iPaddedBorderWidth.
    if (!out || (size != sizeof(Metrics) && size != sizeof(Metrics) - sizeof(int))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Metrics m;
    std::memset(&m, 0, sizeof m);
    m.cbSize = size;
    m.iBorderWidth = 1;
    m.iScrollWidth = m.iScrollHeight = 17;
    m.iCaptionWidth = m.iCaptionHeight = 22;
    m.iSmCaptionWidth = m.iSmCaptionHeight = 22;
    m.iMenuWidth = m.iMenuHeight = 19;
    fill_font(m.lfCaptionFont, -12, FW_NORMAL);
    fill_font(m.lfSmCaptionFont, -12, FW_NORMAL);
    fill_font(m.lfMenuFont, -12, FW_NORMAL);
    fill_font(m.lfStatusFont, -12, FW_NORMAL);
    fill_font(m.lfMessageFont, -12, FW_NORMAL);
    std::memcpy(out, &m, size);
    return TRUE;
}

template <class Font> BOOL parameters(UINT action, UINT size, PVOID out) {
    switch (action) {
    case SPI_GETNONCLIENTMETRICS:
        if constexpr (sizeof(Font) == sizeof(LOGFONTW))
            return nonclient_metrics<NONCLIENTMETRICSW>(size, out);
        else
            return nonclient_metrics<NONCLIENTMETRICSA>(size, out);
    case SPI_GETICONTITLELOGFONT:
        if (!out) break;
        fill_font(*static_cast<Font*>(out), -12, FW_NORMAL);
        return TRUE;
    case SPI_GETWORKAREA:
        if (!out) break;
        *static_cast<RECT*>(out) = RECT{0, 0, 1024, 728};
        return TRUE;
    default: break;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

} // namespace
} // namespace hvsim::ui

using namespace hvsim::ui;

HV_EXTERN_C_BEGIN

int WINAPI GetSystemMetrics(int index) {
    for (const auto& m : kMetrics)
        if (m.index == index) return m.value;
    return 0;
}

// SPI_GETNONCLIENTMETRICS takes the structure's size in uiParam (or, as often written, in its
// cbSize).
BOOL WINAPI SystemParametersInfoW(UINT action, UINT param, PVOID out, UINT) {
    if (action == SPI_GETNONCLIENTMETRICS && !param && out) param = *static_cast<UINT*>(out);
    return parameters<LOGFONTW>(action, param, out);
}

BOOL WINAPI SystemParametersInfoA(UINT action, UINT param, PVOID out, UINT) {
    if (action == SPI_GETNONCLIENTMETRICS && !param && out) param = *static_cast<UINT*>(out);
    return parameters<LOGFONTA>(action, param, out);
}

DWORD WINAPI GetSysColor(int index) {
    for (const auto& c : kColors)
        if (c.index == index) return c.color;
    return 0;
}

HV_EXTERN_C_END
