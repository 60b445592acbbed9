// The window procedures of the ATL-like layer: every message goes to the object its window is
// bound to; a window an object waits for is bound by its first message.
#include <atldlgs.h>

namespace ATL {
namespace {

CWindowDispatch* bound(HWND window, hvclass::Kind kind) {
    if (auto* object = static_cast<CWindowDispatch*>(hvclass::lookup(window, kind))) return object;
    auto* waiting = static_cast<CWindowDispatch*>(hvclass::take_pending(kind));
    if (!waiting) return nullptr;
    return waiting->AttachWindow(window, kind) ? waiting : nullptr;
}

} // namespace

LRESULT CALLBACK AtlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CWindowDispatch* object = bound(window, hvclass::Kind::AtlWindow);
    if (!object) return ::DefWindowProcW(window, message, wParam, lParam);
    return object->DispatchWindowMessage(window, message, wParam, lParam);
}

INT_PTR CALLBACK AtlDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CWindowDispatch* object = bound(window, hvclass::Kind::AtlDialog);
    if (!object) return FALSE;
    return object->DispatchWindowMessage(window, message, wParam, lParam);
}

INT_PTR CALLBACK AtlPageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* object = static_cast<CWindowDispatch*>(hvclass::lookup(window, hvclass::Kind::AtlDialog));
    if (!object && message == WM_INITDIALOG && lParam) {
        const auto* psp = reinterpret_cast<const PROPSHEETPAGEW*>(lParam);
        if (psp->dwSize >= sizeof(CPropertyPageData))
            object =
                static_cast<CWindowDispatch*>(hvclass::find_page(static_cast<const CPropertyPageData*>(psp)->serial));
        if (object && !object->AttachWindow(window, hvclass::Kind::AtlDialog)) object = nullptr;
        if (HWND sheet = ::GetParent(window); sheet && !hvclass::lookup(sheet, hvclass::Kind::AtlWindow))
            AtlAttachPendingSheet(sheet);
    }
    if (!object) return FALSE;
    return object->DispatchWindowMessage(window, message, wParam, lParam);
}

void AtlAttachPendingSheet(HWND sheet) {
    if (auto* object = static_cast<CWindowDispatch*>(hvclass::take_pending(hvclass::Kind::AtlSheet)))
        object->AttachWindow(sheet, hvclass::Kind::AtlWindow);
}

} // namespace ATL
