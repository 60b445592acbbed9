// Drawing objects (gdi32). Nothing is drawn: brushes, pens, fonts, bitmaps and device contexts
// are counted handles that carry what they were made with, so that a leak or a double delete
// shows (hvsim/ui.h counts them). Stock objects are never counted or freed.
//
//   CreateSolidBrush, CreateBrushIndirect, CreatePen, CreateFontIndirectA/W,
//   CreateCompatibleBitmap, LoadBitmapW/A                    objects
//   GetStockObject, DeleteObject, SelectObject, GetObjectType, GetObjectW/A
//   GetDC, ReleaseDC, CreateCompatibleDC, DeleteDC, GetDeviceCaps,
//   SetBkMode, GetBkMode, SetBkColor, SetTextColor, GetTextColor   device contexts
#include <hv_resource.h>
#include <hvsim/ui.h>

#include "internal/ui_internal.h"

#include <cstring>

namespace hvsim::ui {
namespace {

struct GdiObject {
    DWORD type = 0; // OBJ_BRUSH...
    COLORREF color = 0;
    LOGFONTW font{};
    LONG width = 0, height = 0;
    WORD bits = 0;
    // Device contexts: their state and what is selected into them.
    int bk_mode = OPAQUE;
    COLORREF text_color = 0, bk_color = 0xFFFFFF;
    std::map<DWORD, HGDIOBJ> selected;
    HWND window = nullptr;
};

struct State {
    std::mutex mutex;
    std::map<uintptr_t, GdiObject> objects;
    uintptr_t next = 0x2000010;
};
State& state() {
    static State* s = new State;
    return *s;
}

// Stock objects live at fixed handles below the counted ones.
constexpr uintptr_t kStockBase = 0x1F00000;
constexpr int kStockCount = DC_PEN + 1;
// System colour brushes follow them.
constexpr uintptr_t kSysColorBase = kStockBase + 0x100;

DWORD stock_type(int i) {
    if (i <= NULL_BRUSH || i == DC_BRUSH) return OBJ_BRUSH;
    if (i <= NULL_PEN || i == DC_PEN) return OBJ_PEN;
    if (i == DEFAULT_PALETTE) return OBJ_PAL;
    return OBJ_FONT;
}

bool is_stock(HGDIOBJ h) {
    auto v = uintptr_t(h);
    return v >= kStockBase && v < kSysColorBase + 64;
}

HGDIOBJ add(GdiObject object) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    uintptr_t handle = s.next;
    s.next += 4;
    s.objects[handle] = std::move(object);
    return reinterpret_cast<HGDIOBJ>(handle);
}

GdiObject* lookup(State& s, HGDIOBJ h) {
    auto it = s.objects.find(uintptr_t(h));
    return it == s.objects.end() ? nullptr : &it->second;
}

HDC make_dc(HWND window) {
    GdiObject dc;
    dc.type = OBJ_DC;
    dc.window = window;
    return HDC(add(std::move(dc)));
}

bool destroy_dc(HDC dc) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto* o = lookup(s, dc);
    if (!o || o->type != OBJ_DC) return false;
    s.objects.erase(uintptr_t(dc));
    return true;
}

HBITMAP load_bitmap(HINSTANCE instance, LPCWSTR name) {
    HRSRC resource = FindResourceW(instance, name, RT_BITMAP);
    if (!resource) return nullptr;
    auto* line = static_cast<const HV_RESOURCE_LINE*>(LockResource(LoadResource(instance, resource)));
    GdiObject bitmap;
    bitmap.type = OBJ_BITMAP;
    if (line && SizeofResource(instance, resource) == sizeof(HV_RESOURCE_LINE)) {
        bitmap.width = line->Width;
        bitmap.height = line->Height;
        bitmap.bits = line->BitsPerPixel;
    }
    return HBITMAP(add(std::move(bitmap)));
}

} // namespace

HFONT create_dialog_font(const std::u16string& face, int points, int weight, bool italic) {
    LOGFONTW lf{};
    lf.lfHeight = -(points * 96 + 36) / 72;
    lf.lfWeight = weight;
    lf.lfItalic = italic;
    lf.lfCharSet = DEFAULT_CHARSET;
    const size_t n = std::min<size_t>(face.size(), LF_FACESIZE - 1);
    std::copy_n(face.data(), n, lf.lfFaceName);
    return CreateFontIndirectW(&lf);
}

bool is_gdi_object(HGDIOBJ object) {
    if (is_stock(object)) return true;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return lookup(s, object) != nullptr;
}

GdiCounts gdi_objects() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    GdiCounts counts;
    for (auto& [handle, o] : s.objects) {
        ++counts.total;
        switch (o.type) {
        case OBJ_BRUSH: ++counts.brushes; break;
        case OBJ_PEN: ++counts.pens; break;
        case OBJ_FONT: ++counts.fonts; break;
        case OBJ_BITMAP: ++counts.bitmaps; break;
        case OBJ_DC: ++counts.device_contexts; break;
        default: break;
        }
    }
    return counts;
}

std::optional<COLORREF> brush_color(HBRUSH brush) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto* o = lookup(s, brush);
    if (!o || o->type != OBJ_BRUSH) return std::nullopt;
    return o->color;
}

} // namespace hvsim::ui

using namespace hvsim::ui;

namespace hvsim::ui {
template <class F> auto with_dc(HDC dc, F f) -> decltype(f(std::declval<GdiObject&>())) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto* d = lookup(s, dc);
    if (!d || d->type != OBJ_DC) return {};
    return f(*d);
}
} // namespace hvsim::ui

HV_EXTERN_C_BEGIN

HBRUSH WINAPI CreateSolidBrush(COLORREF color) {
    GdiObject brush;
    brush.type = OBJ_BRUSH;
    brush.color = color;
    return HBRUSH(add(std::move(brush)));
}

HBRUSH WINAPI CreateBrushIndirect(const LOGBRUSH* lb) {
    if (!lb) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (lb->lbStyle == BS_NULL) return HBRUSH(GetStockObject(NULL_BRUSH));
    return CreateSolidBrush(lb->lbColor);
}

HPEN WINAPI CreatePen(int, int, COLORREF color) {
    GdiObject pen;
    pen.type = OBJ_PEN;
    pen.color = color;
    return HPEN(add(std::move(pen)));
}

HFONT WINAPI CreateFontIndirectW(const LOGFONTW* lf) {
    if (!lf) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    GdiObject font;
    font.type = OBJ_FONT;
    font.font = *lf;
    font.font.lfFaceName[LF_FACESIZE - 1] = 0;
    return HFONT(add(std::move(font)));
}

HFONT WINAPI CreateFontIndirectA(const LOGFONTA* lf) {
    if (!lf) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    LOGFONTW w{};
    std::memcpy(&w, lf, offsetof(LOGFONTA, lfFaceName));
    char face[LF_FACESIZE + 1] = {};
    std::memcpy(face, lf->lfFaceName, LF_FACESIZE);
    const std::u16string wide = widen(face);
    std::copy_n(wide.data(), std::min<size_t>(wide.size(), LF_FACESIZE - 1), w.lfFaceName);
    return CreateFontIndirectW(&w);
}

HBITMAP WINAPI CreateCompatibleBitmap(HDC, int cx, int cy) {
    GdiObject bitmap;
    bitmap.type = OBJ_BITMAP;
    bitmap.width = cx;
    bitmap.height = cy;
    bitmap.bits = 32;
    return HBITMAP(add(std::move(bitmap)));
}

HBITMAP WINAPI LoadBitmapW(HINSTANCE instance, LPCWSTR name) { return load_bitmap(instance, name); }

HBITMAP WINAPI LoadBitmapA(HINSTANCE instance, LPCSTR name) {
    if (IS_INTRESOURCE(name)) return load_bitmap(instance, reinterpret_cast<LPCWSTR>(name));
    const std::u16string wide = widen(name);
    return load_bitmap(instance, wide.c_str());
}

HGDIOBJ WINAPI GetStockObject(int i) {
    if (i < 0 || i >= kStockCount || i == 9) return nullptr;
    return reinterpret_cast<HGDIOBJ>(kStockBase + uintptr_t(i) * 4);
}

HBRUSH WINAPI GetSysColorBrush(int index) {
    if (index < 0 || index > 30) return nullptr;
    return reinterpret_cast<HBRUSH>(kSysColorBase + uintptr_t(index));
}

BOOL WINAPI DeleteObject(HGDIOBJ h) {
    if (!h) return FALSE;
    if (is_stock(h)) return TRUE;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto* o = lookup(s, h);
    if (!o || o->type == OBJ_DC) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // An object still selected into a device context stays.
    for (auto& [handle, other] : s.objects)
        if (other.type == OBJ_DC)
            for (auto& [type, selected] : other.selected)
                if (selected == h) return FALSE;
    s.objects.erase(uintptr_t(h));
    return TRUE;
}

HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ h) {
    const DWORD type = GetObjectType(h);
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto* d = lookup(s, dc);
    if (!d || d->type != OBJ_DC || !type || type == OBJ_DC) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HGDIOBJ previous = d->selected.count(type) ? d->selected[type] : nullptr;
    if (!previous) {
        previous = type == OBJ_BRUSH  ? GetStockObject(WHITE_BRUSH)
                   : type == OBJ_PEN  ? GetStockObject(BLACK_PEN)
                   : type == OBJ_FONT ? GetStockObject(SYSTEM_FONT)
                                      : nullptr;
    }
    if (is_stock(h))
        d->selected.erase(type);
    else
        d->selected[type] = h;
    return previous;
}

DWORD WINAPI GetObjectType(HGDIOBJ h) {
    if (is_stock(h)) {
        const uintptr_t v = uintptr_t(h);
        return v >= kSysColorBase ? OBJ_BRUSH : stock_type(int((v - kStockBase) / 4));
    }
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto* o = lookup(s, h);
    return o ? o->type : 0;
}

int WINAPI GetObjectW(HANDLE h, int size, LPVOID buffer) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto* o = lookup(s, h);
    if (!o) return 0;
    if (o->type == OBJ_FONT) {
        if (!buffer) return int(sizeof(LOGFONTW));
        if (size < int(sizeof(LOGFONTW))) return 0;
        std::memcpy(buffer, &o->font, sizeof(LOGFONTW));
        return int(sizeof(LOGFONTW));
    }
    if (o->type == OBJ_BITMAP) {
        if (!buffer) return int(sizeof(BITMAP));
        if (size < int(sizeof(BITMAP))) return 0;
        BITMAP bm{0, o->width, o->height, ((o->width * o->bits + 15) / 16) * 2, 1, o->bits, nullptr};
        std::memcpy(buffer, &bm, sizeof bm);
        return int(sizeof bm);
    }
    if (o->type == OBJ_BRUSH) {
        if (!buffer) return int(sizeof(LOGBRUSH));
        if (size < int(sizeof(LOGBRUSH))) return 0;
        LOGBRUSH lb{BS_SOLID, o->color, 0};
        std::memcpy(buffer, &lb, sizeof lb);
        return int(sizeof lb);
    }
    return 0;
}

int WINAPI GetObjectA(HANDLE h, int size, LPVOID buffer) {
    if (GetObjectType(h) != OBJ_FONT) return GetObjectW(h, size, buffer);
    LOGFONTW w;
    if (!GetObjectW(h, sizeof w, &w)) return 0;
    if (!buffer) return int(sizeof(LOGFONTA));
    if (size < int(sizeof(LOGFONTA))) return 0;
    LOGFONTA a{};
    std::memcpy(&a, &w, offsetof(LOGFONTA, lfFaceName));
    const std::string face = narrow(w.lfFaceName);
    std::copy_n(face.data(), std::min<size_t>(face.size(), LF_FACESIZE - 1), a.lfFaceName);
    std::memcpy(buffer, &a, sizeof a);
    return int(sizeof a);
}

HDC WINAPI GetDC(HWND hwnd) {
    if (hwnd && !window_of(hwnd)) return nullptr;
    return make_dc(hwnd);
}

int WINAPI ReleaseDC(HWND, HDC dc) { return destroy_dc(dc) ? 1 : 0; }
HDC WINAPI CreateCompatibleDC(HDC) { return make_dc(nullptr); }
BOOL WINAPI DeleteDC(HDC dc) { return destroy_dc(dc); }

// The screen of the machine: 1024 x 768, 32 bits per pixel, 96 dots per inch.
int WINAPI GetDeviceCaps(HDC dc, int index) {
    if (GetObjectType(dc) != OBJ_DC) return 0;
    switch (index) {
    case BITSPIXEL: return 32;
    case PLANES: return 1;
    case LOGPIXELSX:
    case LOGPIXELSY: return 96;
    case HORZRES: return 1024;
    case VERTRES: return 768;
    case HORZSIZE: return 271;
    case VERTSIZE: return 203;
    case NUMCOLORS: return -1;
    default: return 0;
    }
}

int WINAPI SetBkMode(HDC dc, int mode) {
    if (mode != TRANSPARENT && mode != OPAQUE) return 0;
    return with_dc(dc, [&](GdiObject& d) { return std::exchange(d.bk_mode, mode); });
}
int WINAPI GetBkMode(HDC dc) {
    return with_dc(dc, [](GdiObject& d) { return d.bk_mode; });
}
COLORREF WINAPI SetBkColor(HDC dc, COLORREF color) {
    if (GetObjectType(dc) != OBJ_DC) return CLR_INVALID;
    return with_dc(dc, [&](GdiObject& d) { return std::exchange(d.bk_color, color); });
}
COLORREF WINAPI SetTextColor(HDC dc, COLORREF color) {
    if (GetObjectType(dc) != OBJ_DC) return CLR_INVALID;
    return with_dc(dc, [&](GdiObject& d) { return std::exchange(d.text_color, color); });
}
COLORREF WINAPI GetTextColor(HDC dc) {
    if (GetObjectType(dc) != OBJ_DC) return CLR_INVALID;
    return with_dc(dc, [](GdiObject& d) { return d.text_color; });
}

HV_EXTERN_C_END
