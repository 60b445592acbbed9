#include "PmWin9xUninstallOperation.h"

#include <vector>

#include "PmWin2kUninstallData.h"

namespace {

const char kProductUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarrow.USB";
constexpr DWORD kNameLength = 260;
constexpr UINT kFolderLength = 100;

CString Upper(CString text) {
    text.MakeUpper();
    return text;
}

BOOL StartsWith(const CString& text, LPCSTR prefix) { return text.Find(prefix) == 0; }

std::vector<CString> SubkeyNames(HKEY key) {
    std::vector<CString> names;
    for (DWORD index = 0;; ++index) {
        char name[kNameLength + 1] = {};
        DWORD length = kNameLength + 1;
        if (RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name);
    }
    return names;
}

// A folder of the system, or empty when the system does not give it whole.
CString Folder(UINT (*query)(LPSTR, UINT)) {
    char folder[kFolderLength] = {};
    const UINT length = query(folder, kFolderLength);
    return length > 0 && length < kFolderLength ? CString(folder) : CString();
}

UINT SystemFolder(LPSTR buffer, UINT size) { return GetSystemDirectoryA(buffer, size); }
UINT WindowsFolder(LPSTR buffer, UINT size) { return GetWindowsDirectoryA(buffer, size); }

BOOL IsFile(LPCSTR path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The path with its extension `from` (compared without regard to case) replaced by `to`; empty
// when the path does not end so.
CString ReplaceExtension(const CString& path, LPCSTR from, LPCSTR to) {
    const int length = lstrlenA(from);
    if (path.GetLength() < length || path.Right(length).CompareNoCase(from) != 0) return CString();
    return path.Left(path.GetLength() - length) + to;
}

} // namespace

BOOL CPmWin9xUninstallOperation::SearchProducts(CProgressCtrl* bar) {
    SetBar(bar, 0, 2);
    Sleep(1000);
    StepBar(bar);
    Sleep(1000);
    StepBar(bar);
    return TRUE;
}

void CPmWin9xUninstallOperation::FindFiles(const CStringList& names, LPCSTR pattern, LPCSTR folder,
                                           CStringList& found) {
    if (!folder || !*folder) return;
    for (POSITION at = names.GetHeadPosition(); at;) {
        CString path;
        path.Format(pattern, folder, names.GetNext(at).GetString());
        if (IsFile(path)) AddUnique(found, path);
    }
}

BOOL CPmWin9xUninstallOperation::SearchDriverFiles(CProgressCtrl* bar) {
    SetBar(bar, 0, 7);
    const CString system = Folder(&SystemFolder);
    const CString windows = Folder(&WindowsFolder);
    const struct {
        const CStringList& names;
        LPCSTR pattern;
        const CString& folder;
        CStringList& found;
    } passes[] = {
        {m_Data.m_DriverNames, "%s\\%s", system, m_Data.m_FileList},
        {m_Data.m_LibraryNames, "%s\\%s", system, m_Data.m_FileList},
        {m_Data.m_InfNames, "%s\\Inf\\%s", windows, m_Data.m_InfList},
        {m_Data.m_InfNames, "%s\\Inf\\Other\\%s", windows, m_Data.m_InfList},
        {m_Data.m_InfNames, "%s\\%s", system, m_Data.m_InfList},
        {m_Data.m_HelpNames, "%s\\Help\\%s", windows, m_Data.m_HelpFileList},
        {m_Data.m_HelpNames, "%s\\%s", system, m_Data.m_HelpFileList},
    };
    for (const auto& pass : passes) {
        FindFiles(pass.names, pass.pattern, pass.folder, pass.found);
        StepBar(bar);
    }
    FillBar(bar);
    return TRUE;
}

void CPmWin9xUninstallOperation::AddDriverKey(HKEY instance) {
    CString driver;
    if (!ReadString(instance, "Driver", driver) || driver.IsEmpty()) return;
    CString path;
    path.Format("%s\\%s", m_Data.m_strClassRoot.GetString(), driver.GetString());
    AddUnique(m_Data.m_KeyList, path);
}

void CPmWin9xUninstallOperation::SearchEnumRoot(const CString& root) {
    HKEY rootKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, root, 0, KEY_READ, &rootKey) != ERROR_SUCCESS) return;
    const BOOL multifunction = StartsWith(root, "ENUM\\MF");
    const BOOL bus = StartsWith(root, "ENUM\\PCI") || StartsWith(root, "ENUM\\PCMCIA") || StartsWith(root, "ENUM\\USB");
    const BOOL rootDevices = StartsWith(root, "ENUM\\ROOT");
    for (const CString& device : SubkeyNames(rootKey)) {
        const CString upperDevice = Upper(device);
        CString devicePath;
        devicePath.Format("%s\\%s", root.GetString(), device.GetString());
        HKEY deviceKey = nullptr;
        if (RegOpenKeyExA(rootKey, device, 0, KEY_READ, &deviceKey) != ERROR_SUCCESS) continue;
        if (rootDevices) {
            CString maker;
            if (ReadString(deviceKey, "Mfg", maker) && Upper(maker).Find(m_Data.m_strProvider) >= 0) {
                AddUnique(m_Data.m_KeyList, devicePath);
                AddDriverKey(deviceKey);
            }
        } else if (multifunction || (bus && (StartsWith(upperDevice, m_Data.m_strVendor) ||
                                             StartsWith(upperDevice, m_Data.m_strBrand)))) {
            if (bus) AddUnique(m_Data.m_KeyList, devicePath);
            for (const CString& instance : SubkeyNames(deviceKey)) {
                const CString upperInstance = Upper(instance);
                // A multifunction card's functions are named by their instances.
                if (multifunction && upperInstance.Find(m_Data.m_strVendor) < 0 &&
                    upperInstance.Find(m_Data.m_strBrand) < 0)
                    continue;
                CString instancePath;
                instancePath.Format("%s\\%s", devicePath.GetString(), instance.GetString());
                AddUnique(m_Data.m_KeyList, instancePath);
                HKEY instanceKey = nullptr;
                if (RegOpenKeyExA(deviceKey, instance, 0, KEY_READ, &instanceKey) == ERROR_SUCCESS) {
                    AddDriverKey(instanceKey);
                    RegCloseKey(instanceKey);
                }
            }
        }
        RegCloseKey(deviceKey);
    }
    RegCloseKey(rootKey);
}

BOOL CPmWin9xUninstallOperation::SearchRegistryEntries(CProgressCtrl* bar) {
    SetBar(bar, 0, 2);
    AddUnique(m_Data.m_KeyList, kProductUninstallKey);
    for (POSITION at = m_Data.m_EnumRoots.GetHeadPosition(); at;) SearchEnumRoot(Upper(m_Data.m_EnumRoots.GetNext(at)));
    StepBar(bar);

    for (POSITION at = m_Data.m_ClassKeys.GetHeadPosition(); at;) {
        const CString& classKey = m_Data.m_ClassKeys.GetNext(at);
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, classKey, 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
        for (const CString& name : SubkeyNames(key)) {
            HKEY driver = nullptr;
            if (RegOpenKeyExA(key, name, 0, KEY_READ, &driver) != ERROR_SUCCESS) continue;
            CString provider;
            if (ReadString(driver, "ProviderName", provider) && Upper(provider).Find(m_Data.m_strProvider) >= 0) {
                CString path;
                path.Format("%s\\%s", classKey.GetString(), name.GetString());
                AddUnique(m_Data.m_KeyList, path);
            }
            RegCloseKey(driver);
        }
        RegCloseKey(key);
    }
    StepBar(bar);
    return TRUE;
}

BOOL CPmWin9xUninstallOperation::UninstallProducts(CProgressCtrl* bar) {
    Sleep(1000);
    FillBar(bar);
    return TRUE;
}

void CPmWin9xUninstallOperation::DeleteWithCompanion(const CString& path, LPCSTR extension, LPCSTR companion) {
    if (DeletePath(m_Data, path) == DeleteResult::Missing) return;
    const CString other = ReplaceExtension(path, extension, companion);
    if (!other.IsEmpty()) DeletePath(m_Data, other);
}

BOOL CPmWin9xUninstallOperation::UninstallDriverFiles(CProgressCtrl* bar) {
    const INT_PTR count = m_Data.m_InfList.GetCount() + m_Data.m_HelpFileList.GetCount() + m_Data.m_FileList.GetCount();
    if (count == 0) {
        FillBar(bar);
        return TRUE;
    }
    SetBar(bar, 1, static_cast<int>(count));
    for (POSITION at = m_Data.m_InfList.GetHeadPosition(); at;) {
        const CString& path = m_Data.m_InfList.GetNext(at);
        // A driver database has no compiled companion.
        if (Upper(path).Find(".BIN") >= 0) DeletePath(m_Data, path);
        else DeleteWithCompanion(path, ".inf", ".pnf");
        StepBar(bar);
    }
    for (POSITION at = m_Data.m_HelpFileList.GetHeadPosition(); at;) {
        DeleteWithCompanion(m_Data.m_HelpFileList.GetNext(at), ".hlp", ".gid");
        StepBar(bar);
    }
    for (POSITION at = m_Data.m_FileList.GetHeadPosition(); at;) {
        DeletePath(m_Data, m_Data.m_FileList.GetNext(at));
        StepBar(bar);
    }
    return TRUE;
}

BOOL CPmWin9xUninstallOperation::UninstallRegistryEntries(CProgressCtrl* bar) {
    const INT_PTR count = m_Data.m_KeyList.GetCount();
    if (count == 0) {
        FillBar(bar);
        return TRUE;
    }
    SetBar(bar, 1, static_cast<int>(count));
    // On Windows 9x a key goes with its subtree.
    for (POSITION at = m_Data.m_KeyList.GetHeadPosition(); at;) {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, m_Data.m_KeyList.GetNext(at));
        StepBar(bar);
    }
    return TRUE;
}

BOOL CPmWin9xUninstallOperation::IsRebootNeeded() {
    BOOL needRestart = FALSE;
    RescanDevices(&needRestart);
    return needRestart || m_Data.m_bRebootNeeded;
}
