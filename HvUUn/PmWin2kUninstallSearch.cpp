// The searches of the Windows 2000 operation: the devices, files and registry entries of every
// version of the product family, and the test that none of its COM ports is open.
#include "PmWin2kUninstallOperation.h"

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "HVServiceUtil.h"
#include "UninstallUtil.h"

namespace {

constexpr int kDirChars = 100;
constexpr DWORD kValueBytes = 260;
constexpr DWORD kKeyNameChars = 260;
constexpr DWORD kInstanceNameChars = 256;
const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarrow.USB";

CString Upper(CString text) {
    return text.MakeUpper();
}

BOOL FileExists(LPCSTR path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The whole file as text; FALSE for an empty or unreadable file.
BOOL ReadWholeFile(LPCSTR path, CString& text) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    const DWORD size = GetFileSize(file, nullptr);
    BOOL ok = FALSE;
    if (size != INVALID_FILE_SIZE && size != 0) {
        std::vector<char> buffer(static_cast<size_t>(size) + 1, 0);
        DWORD read = 0;
        if (ReadFile(file, buffer.data(), size, &read, nullptr) && read > 0) {
            // Text stops at a zero byte, as the file's 8-bit reading does.
            text = buffer.data();
            ok = TRUE;
        }
    }
    CloseHandle(file);
    return ok;
}

// The first string of a multi-string value of at most 260 bytes.
BOOL ReadFirstOfMultiString(HKEY key, LPCSTR name, CString& out) {
    char buffer[kValueBytes + 2] = {};
    DWORD type = 0, size = kValueBytes;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_MULTI_SZ)
        return FALSE;
    out = buffer;
    return TRUE;
}

BOOL ContainsAny(const CString& text, const CStringList& names) {
    for (POSITION at = names.GetHeadPosition(); at;)
        if (text.Find(Upper(names.GetNext(at))) >= 0) return TRUE;
    return FALSE;
}

BOOL IsOneOf(const CString& text, const CStringList& names) {
    for (POSITION at = names.GetHeadPosition(); at;)
        if (text == Upper(names.GetNext(at))) return TRUE;
    return FALSE;
}

CString FileNameOf(const CString& path) {
    return path.Mid(path.ReverseFind('\\') + 1);
}

CString WindowsDir() {
    char buffer[kDirChars] = {};
    GetSystemWindowsDirectoryA(buffer, kDirChars);
    return buffer;
}

CString SystemDir() {
    char buffer[kDirChars] = {};
    GetSystemDirectoryA(buffer, kDirChars);
    return buffer;
}

BOOL StartsWithNoCase(const CString& text, LPCSTR prefix) {
    return Upper(text.Left(static_cast<int>(std::char_traits<char>::length(prefix)))) ==
           Upper(CString(prefix));
}

} // namespace

// ---- Matching ------------------------------------------------------------------------------------

BOOL CPmWin2kUninstallOperation::PassesSubsystemFilter(const CString& text) {
    const int at = text.Find("SUBSYS_");
    if (at <= 0) return TRUE;
    // Only the hexadecimal digits that are there, at most eight.
    CString digits = text.Mid(at + 7, 8);
    int length = 0;
    while (length < digits.GetLength() && std::isxdigit(static_cast<unsigned char>(digits[length]))) ++length;
    if (length == 0) return TRUE;
    const unsigned long subsystem = std::strtoul(digits.Left(length).GetString(), nullptr, 16);
    return ((subsystem >> 26) & 0x3F) != 0x02;
}

BOOL CPmWin2kUninstallOperation::HasTableHardwareId(const CString& upperText) const {
    return ContainsAny(upperText, m_Data.m_HardwareIds);
}

BOOL CPmWin2kUninstallOperation::NamesProduct(const CString& upperText) const {
    return ContainsAny(upperText, m_Data.m_SetupClasses) && HasTableHardwareId(upperText);
}

BOOL CPmWin2kUninstallOperation::IsProductService(const CString& upperName) const {
    if (IsOneOf(upperName, m_Data.m_ServiceNames)) return TRUE;
    // A service of another name counts when its binary is a file of the product.
    CHVServiceUtil service;
    if (!service.m_OpenService(upperName, SERVICE_QUERY_CONFIG) || !service.m_QueryConfig()) return FALSE;
    const CString file = Upper(FileNameOf(service.m_strBinaryPath));
    return IsOneOf(file, m_Data.m_DriverFileNames) || IsOneOf(file, m_Data.m_SystemFileNames);
}

// ---- Searches ------------------------------------------------------------------------------------

BOOL CPmWin2kUninstallOperation::SearchProducts(CProgressCtrl* bar) {
    CUninstallUtil util;
    // A second search starts afresh.
    m_Data.m_DeviceList.m_Free(TRUE);
    if (m_Data.m_hDeviceInfoSet != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(m_Data.m_hDeviceInfoSet);
    if (!util.m_GetClassDevices(&m_Data.m_hDeviceInfoSet, DIGCF_ALLCLASSES)) {
        FillBar(bar);
        return TRUE;
    }
    HDEVINFO set = m_Data.m_hDeviceInfoSet;
    DWORD count = 0;
    SP_DEVINFO_DATA probe{};
    probe.cbSize = sizeof probe;
    while (SetupDiEnumDeviceInfo(set, count, &probe)) ++count;
    if (count == 0) {
        FillBar(bar);
        return TRUE;
    }
    SetBar(bar, 0, static_cast<int>(count));

    for (DWORD index = 0; index < count; ++index) {
        auto* record = new CPmDeviceRecord;
        BOOL appended = FALSE;
        if (SetupDiEnumDeviceInfo(set, index, &record->m_DeviceInfoData)) {
            CHVDeviceRegInfoA device(set, record->m_DeviceInfoData);
            // A device whose ID holds several table IDs is still one device: appended once.
            for (POSITION at = m_Data.m_HardwareIds.GetHeadPosition(); at && !appended;) {
                const CString id = Upper(m_Data.m_HardwareIds.GetNext(at));
                if (!util.m_DevicePropertyContains(set, id, &record->m_DeviceInfoData, SPDRP_HARDWAREID))
                    continue;
                std::string text;
                if (!device.m_GetHardwareId(text) || !PassesSubsystemFilter(Upper(text.c_str()))) continue;
                std::string className, service;
                device.m_GetClassName(className);
                if (!className.empty())
                    appended = IsOneOf(Upper(className.c_str()), m_Data.m_SetupClasses);
                else
                    appended = !device.m_GetServiceName(service) || Upper(service.c_str()) != "USBCCGP";
            }
        }
        if (appended) {
            record->m_RegInfo.m_SetDevice(set, record->m_DeviceInfoData);
            m_Data.m_DeviceList.m_Append(record);
        } else {
            delete record;
        }
        StepBar(bar);
    }
    return TRUE;
}

CString CPmWin2kUninstallOperation::DriverPathOf(const CString& binaryPath) {
    CString path = binaryPath;
    path.Trim();
    if (path.GetLength() > 1 && path[0] == '"') {
        const int close = path.Find('"', 1);
        path = path.Mid(1, close < 0 ? path.GetLength() - 1 : close - 1);
    }
    if (path.IsEmpty()) return path;
    const CString windows = WindowsDir();
    if (StartsWithNoCase(path, "\\SystemRoot\\")) return windows + path.Mid(11);
    if (StartsWithNoCase(path, "%SystemRoot%\\")) return windows + path.Mid(12);
    if (StartsWithNoCase(path, "\\??\\")) return path.Mid(4);
    if (path.GetLength() > 2 && path[1] == ':' && path[2] == '\\') return path;
    if (path[0] == '\\') return path.Left(2) == "\\\\" ? path : windows.Left(2) + path;
    return windows + "\\" + path;
}

BOOL CPmWin2kUninstallOperation::SearchDriverFiles(CProgressCtrl* bar) {
    SetBar(bar, 0, 9);
    const CString systemDir = SystemDir(), windowsDir = WindowsDir();
    CUninstallUtil util;

    for (CPmDeviceRecord* record = m_Data.m_DeviceList.m_First(); record;
         record = m_Data.m_DeviceList.m_Next()) {
        std::string text;
        if (record->m_RegInfo.m_GetInfPath(text)) {
            const CString inf = Upper(text.c_str());
            CString contents;
            if (!m_Data.m_InfList.Find(inf) && inf.Find("MSPORT") < 0 && inf.Find("USBCCGP") < 0 &&
                ReadWholeFile(inf, contents) && NamesProduct(contents.MakeUpper())) {
                AddUnique(m_Data.m_InfList, inf);
                AddUnique(m_Data.m_OemInfList, inf);
            }
        }
        std::string service;
        if (record->m_RegInfo.m_GetServiceName(service)) {
            const CString name = Upper(service.c_str());
            if (name != "MF" && name != "MF.SYS" && name != "USBCCGP" && IsProductService(name))
                AddUnique(m_Data.m_ServiceList, name);
        }
    }
    StepBar(bar);

    for (POSITION at = m_Data.m_ServiceNames.GetHeadPosition(); at;)
        AddUnique(m_Data.m_ServiceList, Upper(m_Data.m_ServiceNames.GetNext(at)));
    StepBar(bar);

    for (POSITION at = m_Data.m_ServiceList.GetHeadPosition(); at;) {
        CHVServiceUtil service;
        if (service.m_OpenService(m_Data.m_ServiceList.GetNext(at), SERVICE_ALL_ACCESS) &&
            service.m_QueryConfig()) {
            const CString path = DriverPathOf(service.m_strBinaryPath);
            if (!path.IsEmpty()) AddUnique(m_Data.m_DriverFileList, Upper(path));
        }
    }
    StepBar(bar);

    auto look = [](const CStringList& names, const char* format, const CString& dir, CStringList& into) {
        for (POSITION at = names.GetHeadPosition(); at;) {
            CString path;
            path.Format(format, dir.GetString(), names.GetNext(at).GetString());
            if (FileExists(path)) AddUnique(into, Upper(path));
        }
    };
    look(m_Data.m_SystemFileNames, "%s\\%s", systemDir, m_Data.m_DriverFileList);
    StepBar(bar);
    look(m_Data.m_DriverFileNames, "%s\\Drivers\\%s", systemDir, m_Data.m_DriverFileList);
    StepBar(bar);
    look(m_Data.m_HelpFileNames, "%s\\Help\\%s", windowsDir, m_Data.m_HelpFileList);
    StepBar(bar);
    look(m_Data.m_HelpFileNames, "%s\\%s", systemDir, m_Data.m_HelpFileList);
    StepBar(bar);

    const BOOL windows2000 = util.m_IsWindows2000();
    for (POSITION at = m_Data.m_InfNames.GetHeadPosition(); at;) {
        const CString name = m_Data.m_InfNames.GetNext(at);
        CString path;
        path.Format("%s\\inf\\%s", windowsDir.GetString(), name.GetString());
        if (windows2000) {
            if (FileExists(path)) AddUnique(m_Data.m_InfList, Upper(path));
            continue;
        }
        CString contents;
        if (ReadWholeFile(path, contents) && NamesProduct(contents.MakeUpper())) {
            AddUnique(m_Data.m_InfList, Upper(path));
            AddUnique(m_Data.m_OemInfList, FileNameOf(path));
        }
    }
    StepBar(bar);

    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA(windowsDir + "\\Inf\\oem*.inf", &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            CString path;
            path.Format("%s\\Inf\\%s", windowsDir.GetString(), found.cFileName);
            CString contents;
            if (!m_Data.m_InfList.Find(Upper(path)) && ReadWholeFile(path, contents) &&
                NamesProduct(contents.MakeUpper())) {
                m_Data.m_InfList.AddTail(Upper(path));
                AddUnique(m_Data.m_OemInfList, found.cFileName);
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    FillBar(bar);
    return TRUE;
}

void CPmWin2kUninstallOperation::CollectComNumber(LPCSTR instanceKey) {
    HKEY instance = nullptr, parameters = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, instanceKey, 0, KEY_READ, &instance) != ERROR_SUCCESS) return;
    CString name;
    if (RegOpenKeyExA(instance, "Device Parameters", 0, KEY_READ, &parameters) == ERROR_SUCCESS) {
        ReadString(parameters, "PortName", name);
        RegCloseKey(parameters);
    }
    RegCloseKey(instance);
    // "COM" and the number's leading digits; a name without a number names no port.
    if (name.GetLength() <= 3) return;
    ULONG number = 0;
    for (int i = 3; i < name.GetLength() && name[i] >= '0' && name[i] <= '9' && number < 10000; ++i)
        number = number * 10 + static_cast<ULONG>(name[i] - '0');
    if (number != 0 && !m_Data.m_ComNumberList.Find(number)) m_Data.m_ComNumberList.AddTail(number);
}

BOOL CPmWin2kUninstallOperation::SearchRegistryEntries(CProgressCtrl* bar) {
    SetBar(bar, 0, 3);

    for (POSITION at = m_Data.m_CandidateKeys.GetHeadPosition(); at;) {
        const CString key = m_Data.m_CandidateKeys.GetNext(at);
        HKEY opened = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &opened) != ERROR_SUCCESS) continue;
        RegCloseKey(opened);
        const CString upper = Upper(key);
        if (!m_Data.m_KeyList.Find(upper) && PassesSubsystemFilter(upper)) m_Data.m_KeyList.AddTail(upper);
    }
    StepBar(bar);

    AddUnique(m_Data.m_KeyList, kUninstallKey);

    for (POSITION at = m_Data.m_ClassKeys.GetHeadPosition(); at;) {
        const CString classKey = m_Data.m_ClassKeys.GetNext(at);
        HKEY root = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, classKey, 0, KEY_READ, &root) != ERROR_SUCCESS) continue;
        char name[kKeyNameChars + 1];
        for (DWORD index = 0; RegEnumKeyA(root, index, name, kKeyNameChars) == ERROR_SUCCESS; ++index) {
            HKEY driver = nullptr;
            if (RegOpenKeyExA(root, name, 0, KEY_READ, &driver) != ERROR_SUCCESS) continue;
            CString description, matching;
            if (ReadString(driver, "DriverDesc", description)) {
                description.MakeUpper();
                for (POSITION m = m_Data.m_ManufacturerTexts.GetHeadPosition(); m;) {
                    if (description.Find(Upper(m_Data.m_ManufacturerTexts.GetNext(m))) == 0) continue;
                    if (!ReadString(driver, "MatchingDeviceId", matching)) continue;
                    if (HasTableHardwareId(Upper(matching)))
                        AddUnique(m_Data.m_KeyList, classKey + "\\" + name);
                }
            }
            RegCloseKey(driver);
        }
        RegCloseKey(root);
    }
    StepBar(bar);

    for (POSITION at = m_Data.m_EnumRoots.GetHeadPosition(); at;) {
        const CString rootPath = m_Data.m_EnumRoots.GetNext(at);
        HKEY root = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, rootPath, 0, KEY_READ, &root) != ERROR_SUCCESS) continue;
        char deviceName[kKeyNameChars + 1];
        for (DWORD d = 0; RegEnumKeyA(root, d, deviceName, kKeyNameChars) == ERROR_SUCCESS; ++d) {
            HKEY device = nullptr;
            if (RegOpenKeyExA(root, deviceName, 0, KEY_READ, &device) != ERROR_SUCCESS) continue;
            char instanceName[kInstanceNameChars + 1];
            for (DWORD i = 0; RegEnumKeyA(device, i, instanceName, kInstanceNameChars) == ERROR_SUCCESS;
                 ++i) {
                HKEY instance = nullptr;
                if (RegOpenKeyExA(device, instanceName, 0, KEY_READ, &instance) != ERROR_SUCCESS) continue;
                CString className, service, hardwareId;
                BOOL take = TRUE;
                if (ReadString(instance, "Class", className) &&
                    IsOneOf(Upper(className), m_Data.m_SetupClasses) &&
                    ReadString(instance, "Service", service))
                    take = IsProductService(Upper(service));
                if (take && ReadFirstOfMultiString(instance, "HardwareID", hardwareId)) {
                    hardwareId.MakeUpper();
                    if (HasTableHardwareId(hardwareId)) {
                        AddUnique(m_Data.m_KeyList, Upper(rootPath + "\\" + deviceName));
                        CollectComNumber(rootPath + "\\" + deviceName + "\\" + instanceName);
                    }
                }
                RegCloseKey(instance);
            }
            RegCloseKey(device);
        }
        RegCloseKey(root);
        StepBar(bar);
    }
    return TRUE;
}

BOOL CPmWin2kUninstallOperation::ArePortsFree() {
    for (POSITION at = m_Data.m_ComNumberList.GetHeadPosition(); at;) {
        CString name;
        name.Format("\\\\.\\COM%u", m_Data.m_ComNumberList.GetNext(at));
        HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
        if (port != INVALID_HANDLE_VALUE) {
            CloseHandle(port);
            continue;
        }
        if (GetLastError() == ERROR_ACCESS_DENIED) return FALSE;
    }
    return TRUE;
}
