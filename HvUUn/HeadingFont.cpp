#include "HeadingFont.h"

BOOL CreateHeadingFont(CFont& font) {
    font.DeleteObject();
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) return FALSE;
    LOGFONTA face = metrics.lfMessageFont;
    face.lfWeight = FW_BOLD;
    lstrcpyA(face.lfFaceName, "Verdana Bold");
    int pixels_per_inch = 96;
    if (HDC screen = GetDC(nullptr)) {
        pixels_per_inch = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
    }
    face.lfHeight = -(8 * pixels_per_inch) / 72;
    return font.CreateFontIndirect(&face);
}
