// Device Manager's General page: the device's name, its class's name, its manufacturer, its
// location and its status in Device Manager's words, read when the page is made.
#include "general_page.h"

#include <cfgmgr32.h>
#include <hv_resource.h>

#include <hvsim/device_manager.h>

#include <dlfcn.h>
#include <link.h>

#include <string>

namespace hvsim {
namespace {

constexpr UINT kGeneralDialog = 100;
constexpr int kTypeLabel = 1012, kManufacturerLabel = 1013, kLocationLabel = 1014, kStatusFrame = 1015;

HV_DIALOGS_BEGIN
HV_DIALOGEX(kGeneralDialog, 0, 0, 252, 218, DS_SETFONT | WS_CHILD | WS_CAPTION, u"General")
HV_FONT(8, u"MS Shell Dlg")
HV_LTEXT(u"", kGeneralDescription, 14, 10, 226, 8)
HV_LTEXT(u"Device type:", kTypeLabel, 14, 32, 60, 8)
HV_LTEXT(u"", kGeneralType, 80, 32, 160, 8)
HV_LTEXT(u"Manufacturer:", kManufacturerLabel, 14, 44, 60, 8)
HV_LTEXT(u"", kGeneralManufacturer, 80, 44, 160, 8)
HV_LTEXT(u"Location:", kLocationLabel, 14, 56, 60, 8)
HV_LTEXT(u"", kGeneralLocation, 80, 56, 160, 8)
HV_GROUPBOX(u"Device status", kStatusFrame, 7, 76, 238, 56)
HV_LTEXT(u"", kGeneralStatus, 14, 90, 224, 36)
HV_DIALOGS_END

// This library's module handle, which names its dialogs: its link map, as for any image.
HINSTANCE own_module() {
    Dl_info info;
    struct link_map* map = nullptr;
    if (!dladdr1(reinterpret_cast<void*>(&own_module), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP))
        return nullptr;
    return reinterpret_cast<HINSTANCE>(map);
}

struct PageData {
    HDEVINFO set;
    PSP_DEVINFO_DATA data;
};

// The setup class's own name ("Ports (COM & LPT)"), else the class's short name.
std::u16string class_text(HDEVINFO set, PSP_DEVINFO_DATA data) {
    if (HKEY key = SetupDiOpenClassRegKey(&data->ClassGuid, KEY_READ); key != INVALID_HANDLE_VALUE && key) {
        WCHAR text[LINE_LEN] = {};
        DWORD size = sizeof text - sizeof(WCHAR), type = 0;
        LONG result = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
        RegCloseKey(key);
        if (result == ERROR_SUCCESS && type == REG_SZ && text[0]) return text;
    }
    std::u16string name = device_property_text(set, data, SPDRP_CLASS);
    return name.empty() ? u"Unknown" : name;
}

// The location the bus reported, else the device it is on, as Device Manager says it.
std::u16string location_text(HDEVINFO set, PSP_DEVINFO_DATA data) {
    std::u16string location = device_property_text(set, data, SPDRP_LOCATION_INFORMATION);
    if (!location.empty()) return location;
    DEVINST parent = 0;
    WCHAR id[MAX_DEVICE_ID_LEN] = {};
    if (CM_Get_Parent(&parent, data->DevInst, 0) != CR_SUCCESS ||
        CM_Get_Device_IDW(parent, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
        return u"Unknown";
    HDEVINFO parents = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA above{};
    above.cbSize = sizeof above;
    std::u16string name;
    if (parents != INVALID_HANDLE_VALUE && SetupDiOpenDeviceInfoW(parents, id, nullptr, 0, &above)) {
        name = device_property_text(parents, &above, SPDRP_FRIENDLYNAME);
        if (name.empty()) name = device_property_text(parents, &above, SPDRP_DEVICEDESC);
    }
    if (parents != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(parents);
    return name.empty() ? u"Unknown" : u"on " + name;
}

INT_PTR CALLBACK general_proc(HWND page, UINT message, WPARAM, LPARAM lparam) {
    if (message != WM_INITDIALOG) return FALSE;
    auto* d = reinterpret_cast<PageData*>(reinterpret_cast<PROPSHEETPAGEW*>(lparam)->lParam);
    std::u16string name = device_property_text(d->set, d->data, SPDRP_FRIENDLYNAME);
    if (name.empty()) name = device_property_text(d->set, d->data, SPDRP_DEVICEDESC);
    std::u16string maker = device_property_text(d->set, d->data, SPDRP_MFG);
    WCHAR id[MAX_DEVICE_ID_LEN] = {};
    SetupDiGetDeviceInstanceIdW(d->set, d->data, id, MAX_DEVICE_ID_LEN, nullptr);
    SetDlgItemTextW(page, kGeneralDescription, name.empty() ? u"Unknown device" : name.c_str());
    SetDlgItemTextW(page, kGeneralType, class_text(d->set, d->data).c_str());
    SetDlgItemTextW(page, kGeneralManufacturer, maker.empty() ? u"Unknown" : maker.c_str());
    SetDlgItemTextW(page, kGeneralLocation, location_text(d->set, d->data).c_str());
    SetDlgItemTextW(page, kGeneralStatus, device_status_text(id).c_str());
    return TRUE;
}

UINT CALLBACK general_callback(HWND, UINT message, PROPSHEETPAGEW* psp) {
    if (message == PSPCB_RELEASE) delete reinterpret_cast<PageData*>(psp->lParam);
    return 1;
}

} // namespace

std::u16string device_property_text(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property) {
    WCHAR text[LINE_LEN] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, data, property, &type, reinterpret_cast<BYTE*>(text),
                                           sizeof text - sizeof(WCHAR), nullptr) ||
        type != REG_SZ)
        return {};
    return text;
}

HPROPSHEETPAGE create_general_page(HDEVINFO set, PSP_DEVINFO_DATA data) {
    PROPSHEETPAGEW psp{};
    psp.dwSize = sizeof psp;
    psp.dwFlags = PSP_USECALLBACK;
    psp.hInstance = own_module();
    psp.pszTemplate = MAKEINTRESOURCEW(kGeneralDialog);
    psp.pfnDlgProc = general_proc;
    psp.pfnCallback = general_callback;
    psp.lParam = reinterpret_cast<LPARAM>(new PageData{set, data});
    HPROPSHEETPAGE page = CreatePropertySheetPageW(&psp);
    if (!page) delete reinterpret_cast<PageData*>(psp.lParam);
    return page;
}

std::u16string device_status_text(std::u16string_view instance_id) {
    std::u16string id(instance_id);
    DEVINST node = 0;
    ULONG status = 0, problem = 0;
    if (CM_Locate_DevNodeW(&node, id.data(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS ||
        CM_Get_DevNode_Status(&status, &problem, node, 0) != CR_SUCCESS)
        return u"Currently, this hardware device is not connected to the computer. (Code 45)";
    if (!(status & DN_HAS_PROBLEM) || !problem)
        return (status & DN_STARTED) ? u"This device is working properly." : u"This device is not started.";
    struct Known {
        ULONG problem;
        const char16_t* text;
    };
    static constexpr Known kKnown[] = {
        {CM_PROB_NOT_CONFIGURED, u"This device is not configured correctly."},
        {CM_PROB_OUT_OF_MEMORY, u"The driver for this device might be corrupted, or your system may be running low "
                                u"on memory or other resources."},
        {CM_PROB_FAILED_START, u"This device cannot start."},
        {CM_PROB_NEED_RESTART, u"This device cannot work properly until you restart your computer."},
        {CM_PROB_REINSTALL, u"Reinstall the drivers for this device."},
        {CM_PROB_REGISTRY, u"Windows cannot start this hardware device because its configuration information (in "
                           u"the registry) is incomplete or damaged."},
        {CM_PROB_WILL_BE_REMOVED, u"Windows is removing this device."},
        {CM_PROB_DISABLED, u"This device is disabled."},
        {CM_PROB_DEVICE_NOT_THERE, u"This device is not present, is not working properly, or does not have all its "
                                   u"drivers installed."},
        {CM_PROB_FAILED_INSTALL, u"The drivers for this device are not installed."},
        {CM_PROB_FAILED_ADD, u"This device is not working properly because Windows cannot load the drivers required "
                             u"for this device."},
        {CM_PROB_FAILED_POST_START, u"Windows has stopped this device because it has reported problems."},
    };
    std::u16string text = u"This device has a problem.";
    for (const auto& known : kKnown)
        if (known.problem == problem) text = known.text;
    std::u16string code;
    for (ULONG n = problem; n; n /= 10) code.insert(code.begin(), char16_t(u'0' + n % 10));
    return text + u" (Code " + code + u")";
}

} // namespace hvsim
