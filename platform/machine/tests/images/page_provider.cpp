// A property-page provider and co-installer for the Device Manager tests. What it was asked and
// what became of its pages is kept in HKLM\SOFTWARE\HvTestPages:
//   Request     "<cbSize> <PageRequested> <instance ID of the request's set and data>"
//   Pages       DWORD read: how many "Test Page N" the provider adds (2 when missing)
//   Refused     pages the add-page callback refused (each destroyed at once)
//   Released    pages that got PSPCB_RELEASE
//   Applied     the edit field's text at PSN_APPLY; AdvancedApplied that of the nested sheet
//   PropertyChanges  DIF_PROPERTYCHANGE calls seen by the co-installer
// A page's "Change" button sets DI_PROPERTIES_CHANGE; its check box sets DI_NEEDRESTART at apply,
// where the name "ask" is asked about (Yes applies, No keeps the page);
// "Advanced..." opens a nested modal sheet. The co-installer adds "Co-installer Page".
#include <windows.h>
#include <commctrl.h>
#include <hv_resource.h>
#include <prsht.h>
#include <setupapi.h>

#include <string>

namespace {

constexpr UINT kPageDialog = 100, kNestedDialog = 101;
constexpr int kEdit = 300, kNeedsRestart = 301, kChange = 302, kChoice = 304, kLevel = 303, kAdvanced = 305,
              kNestedEdit = 310;
const WCHAR* kKey = u"SOFTWARE\\HvTestPages";

HINSTANCE g_module = nullptr;

HV_DIALOGS_BEGIN
HV_DIALOGEX(kPageDialog, 0, 0, 252, 218, DS_SETFONT | WS_CHILD | WS_CAPTION, u"Test")
HV_FONT(8, u"MS Shell Dlg")
HV_LTEXT(u"&Name:", 320, 10, 10, 40, 8)
HV_EDITTEXT(kEdit, 60, 8, 80, 12)
HV_COMBOBOX(kChoice, 60, 26, 80, 60, CBS_DROPDOWNLIST | WS_VSCROLL)
HV_CONTROL(u"", kLevel, TRACKBAR_CLASSW, TBS_AUTOTICKS | WS_TABSTOP, 10, 46, 150, 15)
HV_AUTOCHECKBOX(u"Needs restart", kNeedsRestart, 10, 68, 80, 10)
HV_PUSHBUTTON(u"&Change", kChange, 10, 84, 50, 14)
HV_PUSHBUTTON(u"&Advanced...", kAdvanced, 70, 84, 60, 14)
HV_DIALOGEX(kNestedDialog, 0, 0, 200, 100, DS_SETFONT | WS_CHILD | WS_CAPTION, u"Nested")
HV_FONT(8, u"MS Shell Dlg")
HV_EDITTEXT(kNestedEdit, 10, 10, 80, 12)
HV_DIALOGS_END

HKEY open_key() {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
}

DWORD read_dword(const WCHAR* name, DWORD fallback) {
    HKEY key = open_key();
    DWORD value = fallback, size = sizeof value, type = 0;
    if (!key || RegQueryValueExW(key, name, nullptr, &type, (BYTE*)&value, &size) != ERROR_SUCCESS || type != REG_DWORD)
        value = fallback;
    if (key) RegCloseKey(key);
    return value;
}

void write_dword(const WCHAR* name, DWORD value) {
    if (HKEY key = open_key()) {
        RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE*)&value, sizeof value);
        RegCloseKey(key);
    }
}

void write_text(const WCHAR* name, const std::u16string& text) {
    if (HKEY key = open_key()) {
        RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)text.c_str(), DWORD((text.size() + 1) * 2));
        RegCloseKey(key);
    }
}

std::u16string decimal(DWORD n) {
    std::u16string out;
    do out.insert(out.begin(), char16_t(u'0' + n % 10));
    while (n /= 10);
    return out;
}

struct Page {
    HDEVINFO set;
    PSP_DEVINFO_DATA data;
};

void set_flag(const Page& page, DWORD flag) {
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params;
    if (SetupDiGetDeviceInstallParamsW(page.set, page.data, &params)) {
        params.Flags |= flag;
        SetupDiSetDeviceInstallParamsW(page.set, page.data, &params);
    }
}

std::u16string item_text(HWND dialog, int id) {
    WCHAR text[128] = {};
    GetDlgItemTextW(dialog, id, text, 127);
    return text;
}

INT_PTR CALLBACK nested_proc(HWND dialog, UINT message, WPARAM, LPARAM lparam) {
    if (message == WM_NOTIFY && reinterpret_cast<NMHDR*>(lparam)->code == PSN_APPLY) {
        write_text(u"AdvancedApplied", item_text(dialog, kNestedEdit));
        return TRUE;
    }
    return message == WM_INITDIALOG;
}

void open_nested(HWND page) {
    PROPSHEETPAGEW psp{};
    psp.dwSize = sizeof psp;
    psp.dwFlags = PSP_USETITLE;
    psp.hInstance = g_module;
    psp.pszTemplate = MAKEINTRESOURCEW(kNestedDialog);
    psp.pszTitle = u"Nested";
    psp.pfnDlgProc = nested_proc;
    HPROPSHEETPAGE pages[] = {CreatePropertySheetPageW(&psp)};
    PROPSHEETHEADERW header{};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_NOAPPLYNOW;
    header.hwndParent = GetParent(page);
    header.pszCaption = u"Test Advanced";
    header.nPages = 1;
    header.phpage = pages;
    PropertySheetW(&header);
}

INT_PTR CALLBACK page_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* page = reinterpret_cast<Page*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<PROPSHEETPAGEW*>(lparam)->lParam);
        SendDlgItemMessageW(dialog, kChoice, CB_ADDSTRING, 0, LPARAM(u"one"));
        SendDlgItemMessageW(dialog, kChoice, CB_ADDSTRING, 0, LPARAM(u"two"));
        SendDlgItemMessageW(dialog, kChoice, CB_SETCURSEL, 0, 0);
        SendDlgItemMessageW(dialog, kLevel, TBM_SETRANGE, TRUE, MAKELPARAM(0, 10));
        SetDlgItemTextW(dialog, kEdit, u"start");
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) == kChange && page) set_flag(*page, DI_PROPERTIES_CHANGE);
        if (LOWORD(wparam) == kAdvanced) open_nested(dialog);
        return TRUE;
    case WM_NOTIFY:
        if (reinterpret_cast<NMHDR*>(lparam)->code == PSN_APPLY && page) {
            // The name "ask" is questioned; No keeps the sheet on the page.
            if (item_text(dialog, kEdit) == u"ask" &&
                MessageBoxW(dialog, u"Apply the name?", u"Test", MB_YESNO | MB_ICONQUESTION) != IDYES) {
                SetWindowLongPtrW(dialog, DWLP_MSGRESULT, PSNRET_INVALID);
                return TRUE;
            }
            write_text(u"Applied", item_text(dialog, kEdit));
            if (IsDlgButtonChecked(dialog, kNeedsRestart)) set_flag(*page, DI_NEEDRESTART);
            SetWindowLongPtrW(dialog, DWLP_MSGRESULT, PSNRET_NOERROR);
            return TRUE;
        }
        return FALSE;
    default: return FALSE;
    }
}

UINT CALLBACK page_callback(HWND, UINT message, PROPSHEETPAGEW* psp) {
    if (message == PSPCB_RELEASE) {
        delete reinterpret_cast<Page*>(psp->lParam);
        write_dword(u"Released", read_dword(u"Released", 0) + 1);
    }
    return 1;
}

HPROPSHEETPAGE make_page(const std::u16string& title, HDEVINFO set, PSP_DEVINFO_DATA data) {
    static std::u16string titles[8];
    static int next = 0;
    std::u16string& kept = titles[next++ % 8];
    kept = title;
    PROPSHEETPAGEW psp{};
    psp.dwSize = sizeof psp;
    psp.dwFlags = PSP_USETITLE | PSP_USECALLBACK;
    psp.hInstance = g_module;
    psp.pszTemplate = MAKEINTRESOURCEW(kPageDialog);
    psp.pszTitle = kept.c_str();
    psp.pfnDlgProc = page_proc;
    psp.pfnCallback = page_callback;
    psp.lParam = reinterpret_cast<LPARAM>(new Page{set, data});
    return CreatePropertySheetPageW(&psp);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return TRUE;
}

extern "C" BOOL WINAPI HvTestPropPages(PSP_PROPSHEETPAGE_REQUEST request, LPFNADDPROPSHEETPAGE add, LPARAM data) {
    WCHAR id[MAX_DEVICE_ID_LEN] = u"-";
    SetupDiGetDeviceInstanceIdW(request->DeviceInfoSet, request->DeviceInfoData, id, MAX_DEVICE_ID_LEN, nullptr);
    write_text(u"Request", decimal(request->cbSize) + u" " + decimal(request->PageRequested) + u" " + id);
    if (request->PageRequested != SPPSR_ENUM_ADV_DEVICE_PROPERTIES) return TRUE;
    const DWORD count = read_dword(u"Pages", 2);
    for (DWORD i = 1; i <= count; ++i) {
        HPROPSHEETPAGE page = make_page(u"Test Page " + decimal(i), request->DeviceInfoSet, request->DeviceInfoData);
        if (!add(page, data)) {
            DestroyPropertySheetPage(page);
            write_dword(u"Refused", read_dword(u"Refused", 0) + 1);
        }
    }
    return TRUE;
}

extern "C" DWORD WINAPI HvTestPageCoInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data,
                                              PCOINSTALLER_CONTEXT_DATA) {
    if (function == DIF_PROPERTYCHANGE) write_dword(u"PropertyChanges", read_dword(u"PropertyChanges", 0) + 1);
    if (function != DIF_ADDPROPERTYPAGE_ADVANCED) return NO_ERROR;
    SP_ADDPROPERTYPAGE_DATA params{};
    if (!SetupDiGetClassInstallParamsW(set, data, &params.ClassInstallHeader, sizeof params, nullptr) ||
        params.NumDynamicPages >= MAX_INSTALLWIZARD_DYNAPAGES)
        return NO_ERROR;
    params.DynamicPages[params.NumDynamicPages++] = make_page(u"Co-installer Page", set, data);
    SetupDiSetClassInstallParamsW(set, data, &params.ClassInstallHeader, sizeof params);
    return NO_ERROR;
}
