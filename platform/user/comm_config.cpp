// A port's configuration as the comm provider keeps it: GetCommConfig and SetCommConfig on an
// open port, the default configuration of a port by name (its "COMn:" entry of the Ports key, in
// the mode command's short form "9600,n,8,1"), and the list of the machine's COM ports.
#include <windows.h>

#include <hv_wchar.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "internal/user_internal.h"

namespace hvsim::user {
namespace {

constexpr const WCHAR* kPortsKey = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
constexpr const WCHAR* kSerialCommKey = u"HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr WORD kCommConfigVersion = 1;

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The buffer must hold a COMMCONFIG; *size says how much it needs when it does not.
bool room_for_config(LPCOMMCONFIG config, LPDWORD size) {
    if (!size) return fail(ERROR_INVALID_PARAMETER);
    if (!config || *size < sizeof(COMMCONFIG)) {
        *size = sizeof(COMMCONFIG);
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    return true;
}

bool valid_config(LPCOMMCONFIG config, DWORD size) {
    if (!config || size < sizeof(COMMCONFIG) || config->dwSize < sizeof(COMMCONFIG) || config->dwSize > size ||
        config->dcb.DCBlength != sizeof(DCB))
        return fail(ERROR_INVALID_PARAMETER);
    return true;
}

void fill_config(LPCOMMCONFIG config, const DCB& dcb, DWORD subtype) {
    *config = COMMCONFIG{};
    config->dwSize = sizeof(COMMCONFIG);
    config->wVersion = kCommConfigVersion;
    config->dcb = dcb;
    config->dwProviderSubType = subtype;
}

// The COM ports of SERIALCOMM, by name.
std::vector<std::u16string> serialcomm_ports() {
    std::vector<std::u16string> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return ports;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        WCHAR data[64];
        DWORD name_length = 256, data_size = sizeof data, type = 0;
        LONG result =
            RegEnumValueW(key, index, name, &name_length, nullptr, &type, reinterpret_cast<LPBYTE>(data), &data_size);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ || data_size < sizeof(WCHAR)) continue;
        std::u16string port(data, data_size / sizeof(WCHAR));
        port.resize(std::min(port.size(), port.find(u'\0')));
        ports.push_back(std::move(port));
    }
    RegCloseKey(key);
    return ports;
}

bool is_port(const WCHAR* name) {
    const auto ports = serialcomm_ports();
    return std::any_of(ports.begin(), ports.end(),
                       [&](const std::u16string& port) { return _wcsicmp(port.c_str(), name) == 0; });
}

// "COMn" -> n; none for other names.
std::optional<ULONG> com_number(const std::u16string& name) {
    if (name.size() < 4 || _wcsnicmp(name.c_str(), u"COM", 3) != 0) return std::nullopt;
    ULONG number = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < u'0' || name[i] > u'9' || number > 25500) return std::nullopt;
        number = number * 10 + static_cast<ULONG>(name[i] - u'0');
    }
    return number ? std::optional<ULONG>(number) : std::nullopt;
}

std::u16string entry_name(const WCHAR* port) { return std::u16string(port) + u":"; }

// What a port opens with when its entry says nothing: 9600 baud, 8 data bits, no parity, one
// stop bit, no flow control.
DCB default_dcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    BuildCommDCBA("9600,n,8,1", &dcb);
    return dcb;
}

// The entry in the short form; flow control as "x" (XON/XOFF) or "p" (hardware).
std::string entry_text(const DCB& dcb) {
    static constexpr char kParity[] = {'n', 'o', 'e', 'm', 's'};
    static constexpr const char* kStop[] = {"1", "1.5", "2"};
    if (dcb.Parity >= sizeof kParity || dcb.StopBits >= 3) return {};
    char text[64];
    snprintf(text, sizeof text, "%u,%c,%u,%s%s", static_cast<unsigned>(dcb.BaudRate), kParity[dcb.Parity],
             static_cast<unsigned>(dcb.ByteSize), kStop[dcb.StopBits],
             dcb.fOutX && dcb.fInX ? ",x"
             : dcb.fOutxCtsFlow    ? ",p"
                                   : "");
    return text;
}

} // namespace
} // namespace hvsim::user

using namespace hvsim::user;

HV_EXTERN_C_BEGIN

BOOL WINAPI GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!room_for_config(lpCC, lpdwSize)) return FALSE;
    DCB dcb{};
    COMMPROP properties{};
    if (!GetCommState(hCommDev, &dcb) || !GetCommProperties(hCommDev, &properties)) return FALSE;
    fill_config(lpCC, dcb, properties.dwProvSubType);
    *lpdwSize = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL WINAPI SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize) {
    if (!valid_config(lpCC, dwSize)) return FALSE;
    DCB dcb = lpCC->dcb;
    return SetCommState(hCommDev, &dcb);
}

BOOL WINAPI GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!lpszName) return fail(ERROR_INVALID_PARAMETER);
    if (!room_for_config(lpCC, lpdwSize)) return FALSE;
    if (!is_port(lpszName)) return fail(ERROR_FILE_NOT_FOUND);
    DCB dcb = default_dcb();
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortsKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        WCHAR text[128] = {};
        DWORD size = sizeof text - sizeof(WCHAR), type = 0;
        const std::u16string name = entry_name(lpszName);
        // An entry that does not parse leaves the default: the port still opens.
        if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(text), &size) ==
                ERROR_SUCCESS &&
            type == REG_SZ) {
            DCB parsed = dcb;
            if (BuildCommDCBW(text, &parsed)) dcb = parsed;
        }
        RegCloseKey(key);
    }
    fill_config(lpCC, dcb, PST_RS232);
    *lpdwSize = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL WINAPI SetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, DWORD dwSize) {
    if (!lpszName || !valid_config(lpCC, dwSize)) return fail(ERROR_INVALID_PARAMETER);
    const std::string text = entry_text(lpCC->dcb);
    if (text.empty()) return fail(ERROR_INVALID_PARAMETER);
    if (!is_port(lpszName)) return fail(ERROR_FILE_NOT_FOUND);
    HKEY key = nullptr;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPortsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) return fail(static_cast<DWORD>(result));
    const std::u16string data = widen_ansi(text.c_str());
    const std::u16string name = entry_name(lpszName);
    result = RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return fail(static_cast<DWORD>(result));
    return TRUE;
}

ULONG WINAPI GetCommPorts(PULONG lpPortNumbers, ULONG uPortNumbersCount, PULONG puPortNumbersFound) {
    if (!puPortNumbersFound || (!lpPortNumbers && uPortNumbersCount)) return ERROR_INVALID_PARAMETER;
    std::vector<ULONG> numbers;
    for (const auto& port : serialcomm_ports())
        if (auto number = com_number(port)) numbers.push_back(*number);
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    *puPortNumbersFound = static_cast<ULONG>(numbers.size());
    if (numbers.empty()) return ERROR_FILE_NOT_FOUND;
    if (numbers.size() > uPortNumbersCount) return ERROR_MORE_DATA;
    std::copy(numbers.begin(), numbers.end(), lpPortNumbers);
    return ERROR_SUCCESS;
}

HV_EXTERN_C_END
