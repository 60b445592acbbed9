// HvUCoInstall does no installation work of its own: the device INF names, in the device's
// hardware key, a co-installer library of the system directory and its entry point, and every
// call is forwarded to it with the same four arguments. A chain that cannot be followed is
// passed over, so that it never stops an installation.
#include "CoInstall.h"

#include <map>
#include <mutex>
#include <string>

#include "IsolatedLoad.h"

namespace {

constexpr DWORD kValueBytes = 300;

struct ChainedCoInstaller {
    HMODULE module = nullptr;
    PCOINSTALLER_ROUTINE routine = nullptr;
};

// Chained co-installers that asked for the pass after the class installer, by the context that
// pass comes with: their post-processing may use code or data of the library, so it stays
// loaded until that pass has returned.
std::mutex g_awaitingLock;
std::map<PCOINSTALLER_CONTEXT_DATA, ChainedCoInstaller> g_awaitingPostProcessing;

bool IsPostProcessing(PCOINSTALLER_CONTEXT_DATA context) { return context && context->PostProcessing; }

// What a call that chains nothing answers: nothing to add before the class installer, the
// installation's own result after it.
DWORD PassedOver(PCOINSTALLER_CONTEXT_DATA context) {
    return IsPostProcessing(context) ? context->InstallResult : NO_ERROR;
}

// A REG_SZ value of the device's hardware key. One character of the buffer is kept back for
// the terminator, which the registry need not hold; a longer value or another type is not read.
BOOL ReadDeviceKeyValue(HDEVINFO set, PSP_DEVINFO_DATA data, const WCHAR* name, std::u16string& out) {
    HKEY key = SetupDiOpenDevRegKey(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_READ);
    if (key == (HKEY)INVALID_HANDLE_VALUE) return FALSE;
    WCHAR buffer[kValueBytes / sizeof(WCHAR)] = {};
    DWORD size = kValueBytes - sizeof(WCHAR), type = REG_NONE;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return FALSE;
    buffer[size / sizeof(WCHAR)] = 0;
    out = buffer;
    return TRUE;
}

// The value names a file of the system directory, not a path that leads out of it.
bool IsSystemDirectoryFileName(const std::u16string& name) {
    if (name.find_first_of(u"\\/:") != std::u16string::npos) return false;
    return name.find_first_not_of(u'.') != std::u16string::npos;
}

std::string ToThreadAnsi(const std::u16string& text) {
    int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    std::string out(size_t(bytes), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), -1, out.data(), bytes, nullptr, nullptr);
    out.resize(size_t(bytes) - 1);
    return out;
}

void KeepUntilPostProcessing(PCOINSTALLER_CONTEXT_DATA context, const ChainedCoInstaller& chained) {
    ChainedCoInstaller replaced;
    {
        std::lock_guard<std::mutex> lock(g_awaitingLock);
        auto& slot = g_awaitingPostProcessing[context];
        replaced = slot;
        slot = chained;
    }
    if (replaced.module) FreeLibrary(replaced.module);
}

bool TakeAwaiting(PCOINSTALLER_CONTEXT_DATA context, ChainedCoInstaller& out) {
    std::lock_guard<std::mutex> lock(g_awaitingLock);
    auto it = g_awaitingPostProcessing.find(context);
    if (it == g_awaitingPostProcessing.end()) return false;
    out = it->second;
    g_awaitingPostProcessing.erase(it);
    return true;
}

// Calls the chained co-installer and releases its library, unless it asked for the pass after
// the class installer. A C++ exception out of it is caught here; a crash in it is not.
DWORD CallChained(const ChainedCoInstaller& chained, DI_FUNCTION installFunction, HDEVINFO set,
                  PSP_DEVINFO_DATA data, PCOINSTALLER_CONTEXT_DATA context) {
    DWORD result;
    try {
        result = chained.routine(installFunction, set, data, context);
    } catch (...) {
        FreeLibrary(chained.module);
        return PassedOver(context);
    }
    if (result == ERROR_DI_POSTPROCESSING_REQUIRED && context && !context->PostProcessing) {
        KeepUntilPostProcessing(context, chained);
        return result;
    }
    FreeLibrary(chained.module);
    return result;
}

// Loads the library and finds its entry point; FALSE, with nothing left loaded, when either fails.
BOOL LoadChained(const std::u16string& path, const std::u16string& entryPoint, ChainedCoInstaller& out) {
    HMODULE module = nullptr;
    try {
        module = IsolationAwareLoadLibrary(path.c_str());
        if (!module) return FALSE;
        const std::string name = ToThreadAnsi(entryPoint);
        FARPROC routine = name.empty() ? nullptr : GetProcAddress(module, name.c_str());
        if (!routine) {
            FreeLibrary(module);
            return FALSE;
        }
        out.module = module;
        out.routine = reinterpret_cast<PCOINSTALLER_ROUTINE>(reinterpret_cast<void (*)()>(routine));
        return TRUE;
    } catch (...) {
        if (module) FreeLibrary(module);
        return FALSE;
    }
}

} // namespace

void ReleaseAwaitingCoInstallers() {
    std::map<PCOINSTALLER_CONTEXT_DATA, ChainedCoInstaller> left;
    {
        std::lock_guard<std::mutex> lock(g_awaitingLock);
        left.swap(g_awaitingPostProcessing);
    }
    for (auto& [context, chained] : left) FreeLibrary(chained.module);
}

DWORD CALLBACK HvUCoInstall(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                            PCOINSTALLER_CONTEXT_DATA context) {
    ChainedCoInstaller chained;
    if (IsPostProcessing(context) && TakeAwaiting(context, chained))
        return CallChained(chained, installFunction, deviceInfoSet, deviceInfoData, context);

    WCHAR systemDirectory[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return PassedOver(context);

    std::u16string file;
    if (!ReadDeviceKeyValue(deviceInfoSet, deviceInfoData, u"CoInstallerDLL", file)) {
        if (installFunction != DIF_INSTALLDEVICE) return NO_ERROR;
        return IsPostProcessing(context) ? context->InstallResult : ERROR_DI_POSTPROCESSING_REQUIRED;
    }
    if (file.empty() || !IsSystemDirectoryFileName(file)) return PassedOver(context);
    std::u16string entryPoint;
    if (!ReadDeviceKeyValue(deviceInfoSet, deviceInfoData, u"CoInstallerEntryPoint", entryPoint) || entryPoint.empty())
        return PassedOver(context);

    const std::u16string path = std::u16string(systemDirectory) + u"\\" + file;
    if (!LoadChained(path, entryPoint, chained)) return PassedOver(context);
    return CallChained(chained, installFunction, deviceInfoSet, deviceInfoData, context);
}
