// The co-installer the chain tests load through HvCoIn23.dll. HvChainedCoInstall writes each
// call as "Call<n>" = "<DIF> pre|post <InstallResult> <set> <data> <context>" under
// HKLM\SOFTWARE\HvChainTest ("Calls" counts them) and answers what the DWORD "Pre<DIF>" or
// "Post<DIF>" says; without one, the pre pass of DIF_INSTALLDEVICE asks for the post pass and
// the post pass returns InstallResult; the answer 0xDEAD is a C++ exception thrown instead.
// Before the post pass it leaves in the context's
// PrivateData a pointer into the library, which the post pass reads, as a co-installer may.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

const WCHAR* kKey = u"SOFTWARE\\HvChainTest";
DWORD g_postProcessingMark = 0x600D;
constexpr DWORD kThrow = 0xDEAD;

std::u16string widen(const char* text) { return std::u16string(text, text + std::char_traits<char>::length(text)); }

DWORD read_dword(HKEY key, const std::u16string& name, DWORD fallback) {
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, (BYTE*)&value, &size) || type != REG_DWORD) return fallback;
    return value;
}

void write_dword(HKEY key, const std::u16string& name, DWORD value) {
    RegSetValueExW(key, name.c_str(), 0, REG_DWORD, (const BYTE*)&value, sizeof value);
}

void count(const char16_t* name) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)) return;
    write_dword(key, name, read_dword(key, name, 0) + 1);
    RegCloseKey(key);
}

} // namespace

extern "C" __attribute__((visibility("default"))) BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) count(u"Attached");
    if (reason == DLL_PROCESS_DETACH) count(u"Detached");
    return TRUE;
}

extern "C" __attribute__((visibility("default"))) DWORD CALLBACK HvChainedCoInstall(DI_FUNCTION function,
                                                                                   HDEVINFO set,
                                                                                   PSP_DEVINFO_DATA data,
                                                                                   PCOINSTALLER_CONTEXT_DATA context) {
    HKEY key;
    if (!context || RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return NO_ERROR;
    const bool post = context->PostProcessing != FALSE;
    // Reading what the pre pass left fails loudly if the library was unloaded in between.
    DWORD mark = post && context->PrivateData ? *static_cast<DWORD*>(context->PrivateData) : 0;
    char line[160];
    std::snprintf(line, sizeof line, "%u %s %X %p %p %p %X", function, post ? "post" : "pre", context->InstallResult,
                  (void*)set, (void*)data, (void*)context, mark);
    const DWORD calls = read_dword(key, u"Calls", 0);
    const std::u16string text = widen(line);
    RegSetValueExW(key, (u"Call" + widen(std::to_string(calls).c_str())).c_str(), 0, REG_SZ, (const BYTE*)text.c_str(),
                   DWORD((text.size() + 1) * sizeof(WCHAR)));
    write_dword(key, u"Calls", calls + 1);
    const DWORD fallback = post ? context->InstallResult
                                : (function == DIF_INSTALLDEVICE ? ERROR_DI_POSTPROCESSING_REQUIRED : NO_ERROR);
    const DWORD answer = read_dword(key, (post ? u"Post" : u"Pre") + widen(std::to_string(function).c_str()), fallback);
    RegCloseKey(key);
    if (answer == kThrow) throw std::runtime_error("the chained co-installer fails");
    if (!post && answer == ERROR_DI_POSTPROCESSING_REQUIRED) context->PrivateData = &g_postProcessingMark;
    return answer;
}

extern "C" __attribute__((visibility("default"))) DWORD CALLBACK HvThrowingCoInstall(DI_FUNCTION, HDEVINFO,
                                                                                    PSP_DEVINFO_DATA,
                                                                                    PCOINSTALLER_CONTEXT_DATA) {
    throw std::runtime_error("the chained co-installer fails");
}
