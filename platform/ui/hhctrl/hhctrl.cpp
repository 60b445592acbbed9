// The machine's HTML Help control: shows nothing and tells the window system what it was asked.
#include <windows.h>
#include <htmlhelp.h>

#include <hvsim/ui.h>

extern "C" DECLSPEC_EXPORT HWND WINAPI HtmlHelpW(HWND caller, LPCWSTR file, UINT command, DWORD_PTR data) {
    hvsim::ui::HelpCall call;
    call.caller = caller;
    call.file = file ? file : u"";
    call.command = command;
    call.data = data;
    // A context popup's table: (control id, help id) pairs ended by a zero control id.
    if (command == HH_TP_HELP_WM_HELP && data)
        for (auto* ids = reinterpret_cast<const DWORD*>(data); ids[0]; ids += 2) call.ids.emplace_back(ids[0], ids[1]);
    hvsim::ui::record_help_call(std::move(call));
    return caller ? caller : GetDesktopWindow();
}
