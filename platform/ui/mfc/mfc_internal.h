// What the MFC-like layer's sources share.
#pragma once

#include <afxdlgs.h>

// Whether the dialog procedure is called back by a Default() of its own for this message.
HV_CLASSLIB_INTERNAL bool hv_mfc_in_default(HWND window, UINT message);

// The window layer's own calls on an object.
struct CWndAccess {
    static LRESULT dispatch(CWnd* object, HWND window, UINT message, WPARAM wParam, LPARAM lParam, BOOL* handled) {
        return object->Dispatch(window, message, wParam, lParam, handled);
    }
};

// Runs a message of a dialog or page bound to `object` and gives the dialog procedure's answer.
HV_CLASSLIB_INTERNAL INT_PTR hv_mfc_dialog_message(CWnd* object, HWND window, UINT message, WPARAM wParam,
                                                   LPARAM lParam);

#include <string>
#include <vector>

// Hands arguments[1...] to the parser, a leading '-' or '/' making a switch.
HV_CLASSLIB_INTERNAL void hv_mfc_parse_arguments(CCommandLineInfo& info, const std::vector<std::string>& arguments);
