// What the class libraries (the ATL/WTL-like and the MFC-like layer) share inside one image: the
// map from a window to the C++ object that handles its messages, the objects waiting to be bound
// to the next window their thread creates, the registry of live property pages, and the
// libraries' assertion line. Everything here is per image (the libraries are static and hidden),
// so two images in one process never see each other's objects.
//
// A window is bound to its object through the map, never through generated machine code.
#pragma once

#include <windows.h>

#define HV_CLASSLIB_INTERNAL __attribute__((visibility("hidden")))

namespace hvclass {

// Which library bound a window (an object is only ever handed back to the library that bound
// it), and what a pending object waits for.
enum class Kind { AtlWindow, AtlDialog, AtlSheet, MfcWindow, MfcDialog, MfcSheet };

// A binding fails (FALSE) when the window is already bound or the handle is null.
HV_CLASSLIB_INTERNAL bool bind(HWND window, Kind kind, void* object);
// Removes the binding only when it is still this object's.
HV_CLASSLIB_INTERNAL void unbind(HWND window, const void* object);
HV_CLASSLIB_INTERNAL void* lookup(HWND window, Kind kind);

// An object that the next window of this thread belongs to: a dialog being created, a sheet
// whose window the system makes inside PropertySheet. Entries nest as creations do.
struct Pending {
    Kind kind;
    void* object;
};
HV_CLASSLIB_INTERNAL void push_pending(Kind kind, void* object);
// The newest entry of the thread when it is of that kind (it is removed), else null.
HV_CLASSLIB_INTERNAL void* take_pending(Kind kind);
// Drops the entry of an object whose window was never created.
HV_CLASSLIB_INTERNAL void drop_pending(const void* object);

// Live property-page objects by serial number. A page's serial travels in its PROPSHEETPAGE, so
// a notification or release for a page whose object is gone finds nothing instead of freed memory.
HV_CLASSLIB_INTERNAL ULONGLONG register_page(void* page);
HV_CLASSLIB_INTERNAL void unregister_page(ULONGLONG serial);
HV_CLASSLIB_INTERNAL void* find_page(ULONGLONG serial);

// A dialog procedure's answer for a handled message: the result itself for the messages that
// return it, else TRUE with the result in DWLP_MSGRESULT.
HV_CLASSLIB_INTERNAL INT_PTR dialog_result(HWND dialog, UINT message, LRESULT result);

// "ASSERT at - <file> <line>: <what>" to the debugger log; the caller then fails its operation.
HV_CLASSLIB_INTERNAL void report_assert(const char* file, int line, const char* what);

} // namespace hvclass

#define HV_CLASSLIB_CHECK(condition, what) \
    ((condition) ? true : (::hvclass::report_assert(__FILE__, __LINE__, what), false))
