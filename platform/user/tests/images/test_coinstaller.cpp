// A co-installer library for the installation tests. Each entry point appends
// "<tag> <DIF> pre|post <InstallResult> <PortName>" to the REG_MULTI_SZ value "Calls" of
// HKLM\SOFTWARE\HvCoTest and answers what the DWORD value "<tag>Pre<DIF>" or "<tag>Post<DIF>"
// says; without one, the pre pass of DIF_INSTALLDEVICE and DIF_REMOVE asks for the post pass and
// the post pass returns InstallResult.
#include <windows.h>
#include <hv_resource.h>
#include <setupapi.h>

#include <cstdio>
#include <string>
#include <vector>

// Strings for the string-resource tests: the library's own table.
HV_STRINGTABLE_BEGIN
HV_STRING(100, u"The library's string 100")
HV_STRING(200, u"Only in the library")
HV_STRINGTABLE_END

namespace {

const WCHAR* kKey = u"SOFTWARE\\HvCoTest";

std::u16string widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

bool read_dword(HKEY key, const std::u16string& name, DWORD* value) {
    DWORD size = sizeof *value, type = 0;
    return RegQueryValueExW(key, name.c_str(), nullptr, &type, (BYTE*)value, &size) == ERROR_SUCCESS &&
           type == REG_DWORD;
}

std::u16string port_name(HDEVINFO set, PSP_DEVINFO_DATA data) {
    if (!data) return u"-";
    HKEY key = SetupDiOpenDevRegKey(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == (HKEY)INVALID_HANDLE_VALUE) return u"-";
    WCHAR text[32] = {};
    DWORD size = sizeof text - 2;
    LSTATUS status = RegQueryValueExW(key, u"PortName", nullptr, nullptr, (BYTE*)text, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::u16string(text) : u"-";
}

DWORD record(const char* tag, DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data,
             PCOINSTALLER_CONTEXT_DATA context) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return NO_ERROR;
    char line[128];
    std::snprintf(line, sizeof line, "%s %u %s %X ", tag, function, context->PostProcessing ? "post" : "pre",
                  context->InstallResult);
    std::u16string entry = widen(line) + port_name(set, data);

    std::vector<WCHAR> calls(4096, 0);
    DWORD size = DWORD(calls.size() * 2 - 4);
    if (RegQueryValueExW(key, u"Calls", nullptr, nullptr, (BYTE*)calls.data(), &size) != ERROR_SUCCESS) size = 0;
    size_t chars = size / 2;
    if (chars > 0 && calls[chars - 1] == 0) --chars; // drop the list's final terminator
    std::u16string list(calls.data(), chars);
    list += entry;
    list.push_back(0);
    list.push_back(0);
    RegSetValueExW(key, u"Calls", 0, REG_MULTI_SZ, (const BYTE*)list.data(), DWORD(list.size() * 2));

    DWORD answer;
    std::u16string name = widen(tag) + (context->PostProcessing ? u"Post" : u"Pre") + widen(std::to_string(function));
    bool scripted = read_dword(key, name, &answer);
    RegCloseKey(key);
    if (scripted) return answer;
    if (context->PostProcessing) return context->InstallResult;
    return function == DIF_INSTALLDEVICE || function == DIF_REMOVE ? ERROR_DI_POSTPROCESSING_REQUIRED : NO_ERROR;
}

void count(const char16_t* name) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)) return;
    DWORD value = 0;
    read_dword(key, name, &value);
    ++value;
    RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE*)&value, sizeof value);
    RegCloseKey(key);
}

} // namespace

// Counts its loads and releases in "Attached" and "Detached".
extern "C" __attribute__((visibility("default"))) BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) count(u"Attached");
    if (reason == DLL_PROCESS_DETACH) count(u"Detached");
    return TRUE;
}

extern "C" __attribute__((visibility("default"))) DWORD
HvTestClassCoInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data, PCOINSTALLER_CONTEXT_DATA context) {
    return record("class", function, set, data, context);
}

extern "C" __attribute__((visibility("default"))) DWORD
HvTestDeviceCoInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data, PCOINSTALLER_CONTEXT_DATA context) {
    return record("device", function, set, data, context);
}
