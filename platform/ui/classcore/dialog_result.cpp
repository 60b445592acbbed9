// A dialog procedure's answer for a handled message.
#include <hv_classlib.h>

namespace hvclass {
namespace {

// Messages whose answer a dialog procedure returns itself instead of in DWLP_MSGRESULT.
constexpr UINT kVKeyToItem = 0x002E;
constexpr UINT kCharToItem = 0x002F;
constexpr UINT kQueryDragIcon = 0x0037;
constexpr UINT kCompareItem = 0x0039;

} // namespace

INT_PTR dialog_result(HWND dialog, UINT message, LRESULT result) {
    switch (message) {
    case kCompareItem:
    case kVKeyToItem:
    case kCharToItem:
    case kQueryDragIcon:
    case WM_INITDIALOG:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: return static_cast<INT_PTR>(result);
    default: ::SetWindowLongPtrW(dialog, DWLP_MSGRESULT, result); return TRUE;
    }
}

} // namespace hvclass
