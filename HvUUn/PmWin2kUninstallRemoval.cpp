// The removals of the Windows 2000 operation: devices and services, then files, then COM numbers
// and registry keys. What only a restart can finish is scheduled for it and sets the reboot flag.
#include "PmWin2kUninstallOperation.h"

#include <msports.h>
#include <setupapi.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "HVServiceUtil.h"
#include "SystemShims.h"
#include "UninstallUtil.h"

namespace {

constexpr int kDirChars = 100;
constexpr DWORD kKeyNameChars = 260;
constexpr DWORD kDosTargetChars = 256;
const char kPortsKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

// The path with its extension replaced, compared without regard to case; unchanged when it has
// another one.
CString WithExtension(const CString& path, LPCSTR from, LPCSTR to) {
    const int length = static_cast<int>(std::char_traits<char>::length(from));
    if (path.GetLength() < length || path.Right(length).CompareNoCase(from) != 0) return path;
    return path.Left(path.GetLength() - length) + to;
}

BOOL KeyExists(LPCSTR path, REGSAM view) {
    HKEY key = nullptr;
    const LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, &key);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    // A key that cannot even be read is still there.
    return status != ERROR_FILE_NOT_FOUND;
}

// The DACLs of a key and the keys below it, as far as they can be read.
struct SavedDacl {
    CString path;
    std::vector<BYTE> descriptor;
};

void SaveDacls(const CString& path, std::vector<SavedDacl>& saved) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL | KEY_ENUMERATE_SUB_KEYS, &key) !=
            ERROR_SUCCESS &&
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL, &key) != ERROR_SUCCESS)
        return;
    DWORD size = 0;
    RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    if (size) {
        SavedDacl entry{path, std::vector<BYTE>(size)};
        if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, entry.descriptor.data(), &size) ==
            ERROR_SUCCESS)
            saved.push_back(std::move(entry));
    }
    char name[kKeyNameChars];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        SaveDacls(path + "\\" + name, saved);
    }
    RegCloseKey(key);
}

void RestoreDacls(const std::vector<SavedDacl>& saved) {
    for (const SavedDacl& entry : saved) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, entry.path, 0, WRITE_DAC, &key) != ERROR_SUCCESS) continue;
        RegSetKeySecurity(
            key, DACL_SECURITY_INFORMATION,
            const_cast<PSECURITY_DESCRIPTOR>(static_cast<const void*>(entry.descriptor.data())));
        RegCloseKey(key);
    }
}

} // namespace

BOOL CPmWin2kUninstallOperation::UninstallProducts(CProgressCtrl* bar) {
    // The confirmation may have waited long since the search: a port opened meanwhile stops the
    // removal before anything is removed.
    if (!ArePortsFree()) return FALSE;

    const ULONG n = m_Data.m_DeviceList.m_Count() + static_cast<ULONG>(m_Data.m_ServiceList.GetCount());
    auto destroySet = [this] {
        if (m_Data.m_hDeviceInfoSet != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(m_Data.m_hDeviceInfoSet);
        m_Data.m_hDeviceInfoSet = INVALID_HANDLE_VALUE;
    };
    if (n == 0) {
        FillBar(bar);
        destroySet();
        return TRUE;
    }
    SetBar(bar, 0, static_cast<int>(n));

    CUninstallUtil util;
    for (CPmDeviceRecord* record = m_Data.m_DeviceList.m_First(); record;
         record = m_Data.m_DeviceList.m_Next()) {
        BOOL needReboot = FALSE;
        util.m_RemoveDevice(m_Data.m_hDeviceInfoSet, &record->m_DeviceInfoData, &needReboot);
        // A refused removal is completed by the restart.
        if (needReboot) m_Data.m_bRebootNeeded = TRUE;
        StepBar(bar);
    }
    destroySet();

    for (POSITION at = m_Data.m_ServiceList.GetHeadPosition(); at;) {
        CHVServiceUtil service;
        if (service.m_OpenService(m_Data.m_ServiceList.GetNext(at), SERVICE_ALL_ACCESS)) {
            if (service.m_IsRunning()) service.m_Stop();
            service.m_Delete();
            service.m_CloseService();
        }
        StepBar(bar);
    }
    return TRUE;
}

BOOL CPmWin2kUninstallOperation::UninstallDriverFiles(CProgressCtrl* bar) {
    char windows[kDirChars] = {};
    GetSystemWindowsDirectoryA(windows, kDirChars);
    CString infFolder;
    infFolder.Format("%s\\Inf\\", windows);
    infFolder.MakeUpper();

    const INT_PTR n =
        m_Data.m_InfList.GetCount() + m_Data.m_DriverFileList.GetCount() + m_Data.m_HelpFileList.GetCount();
    if (n == 0) {
        FillBar(bar);
        return TRUE;
    }
    SetBar(bar, 1, static_cast<int>(n));

    if (!CUninstallUtil().m_IsWindows2000()) {
        for (POSITION at = m_Data.m_OemInfList.GetHeadPosition(); at;) {
            CString name = m_Data.m_OemInfList.GetNext(at);
            if (CString(name).MakeUpper().Find(infFolder) >= 0) name = name.Mid(infFolder.GetLength());
            SetupUninstallOEMInfA(name, SUOI_FORCEDELETE, nullptr);
        }
    }

    for (POSITION at = m_Data.m_InfList.GetHeadPosition(); at;) {
        const CString path = m_Data.m_InfList.GetNext(at);
        const CString upper = CString(path).MakeUpper();
        if (upper.Find("\\MF.INF") >= 0 || upper.Find("\\MSPORT.INF") >= 0) continue;
        if (DeletePath(m_Data, path) == DeleteResult::Missing) continue;
        DeletePath(m_Data, WithExtension(path, ".INF", ".PNF"));
        StepBar(bar);
    }
    for (POSITION at = m_Data.m_DriverFileList.GetHeadPosition(); at;) {
        if (DeletePath(m_Data, m_Data.m_DriverFileList.GetNext(at)) == DeleteResult::Missing) continue;
        StepBar(bar);
    }
    for (POSITION at = m_Data.m_HelpFileList.GetHeadPosition(); at;) {
        const CString path = m_Data.m_HelpFileList.GetNext(at);
        if (DeletePath(m_Data, path) == DeleteResult::Missing) continue;
        DeletePath(m_Data, WithExtension(path, ".HLP", ".GID"));
        StepBar(bar);
    }
    return TRUE;
}

void CPmWin2kUninstallOperation::DeleteKeyTree(LPCSTR path) {
    if (!KeyExists(path, 0)) return;
    CUninstallUtil util;
    std::vector<SavedDacl> saved;
    SaveDacls(path, saved);
    if (util.m_GrantKeyTreeAccess(path, 0) && SHDeleteKeyA(HKEY_LOCAL_MACHINE, path) == ERROR_SUCCESS) return;
    if (util.m_GrantKeyTreeAccess(path, KEY_WOW64_64KEY))
        DeleteKeyEx(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, 0);
    if (!KeyExists(path, 0)) return;
    // What survives keeps its own protection, not the grant to everyone; and the product is not
    // fully removed.
    RestoreDacls(saved);
    m_Data.m_bRebootNeeded = TRUE;
}

BOOL CPmWin2kUninstallOperation::UninstallRegistryEntries(CProgressCtrl* bar) {
    const INT_PTR n = m_Data.m_KeyList.GetCount();
    if (n == 0) {
        FillBar(bar);
        return TRUE;
    }
    SetBar(bar, 1, static_cast<int>(n));

    HCOMDB database = nullptr;
    if (ComDBOpen(&database) == ERROR_SUCCESS) {
        // The Ports key is the system's: its values are ours to delete, its protection is not ours
        // to change.
        HKEY ports = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPortsKey, 0, KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY,
                          &ports) != ERROR_SUCCESS)
            ports = nullptr;
        for (POSITION at = m_Data.m_ComNumberList.GetHeadPosition(); at;) {
            const ULONG number = m_Data.m_ComNumberList.GetNext(at);
            ComDBReleasePort(database, number);
            CString value, device;
            value.Format("COM%u:", number);
            device.Format("COM%u", number);
            if (ports) RegDeleteValueA(ports, value);
            char target[kDosTargetChars] = {};
            if (QueryDosDeviceA(device, target, kDosTargetChars))
                DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                                 device, target);
        }
        ComDBClose(database);
        if (ports) RegCloseKey(ports);
    }

    for (POSITION at = m_Data.m_KeyList.GetHeadPosition(); at;) {
        DeleteKeyTree(m_Data.m_KeyList.GetNext(at));
        StepBar(bar);
    }
    return TRUE;
}
