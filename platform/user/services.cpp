// The service control manager (advapi32) over the registry's Services keys and the driver loader.
//
//   OpenSCManagerA/W, OpenServiceA/W, QueryServiceStatus, QueryServiceConfigA/W,
//   ControlService, DeleteService, CloseServiceHandle
//
// Handles live in one machine-wide table, each with its kind, its access and the process that
// holds it (closed when that process ends). A service marked for deletion keeps its key while a
// handle is open or its driver is loaded; the last of the two to go takes the key with it, and a
// boot deletes what is still marked.
#include <windows.h>

#include <hvsim/kernel.h>

#include <map>
#include <mutex>

#include <hvsim/format.h>

#include "internal/handles.h"
#include "internal/security_internal.h"
#include "internal/service_database.h"

namespace hvsim::user {
namespace {

constexpr size_t kMaxServiceName = 256;
constexpr uintptr_t kFirstHandle = 0x00C00000;

// What a token without an enabled Administrators group gets.
constexpr DWORD kUserManagerAccess =
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr DWORD kUserServiceAccess = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                     SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;

const GenericMapping kManagerMapping{STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS,
                                     STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG,
                                     STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK,
                                     SC_MANAGER_ALL_ACCESS};
const GenericMapping kServiceMapping{STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                         SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS,
                                     STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG,
                                     STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                                         SERVICE_USER_DEFINED_CONTROL,
                                     SERVICE_ALL_ACCESS};

enum class Kind { Manager, Service };

struct Entry {
    Kind kind;
    DWORD access;
    DWORD process;
    std::u16string service; // upper case; empty for a manager
};

struct Table {
    std::mutex mutex;
    std::map<uintptr_t, Entry> open;
    uintptr_t next = kFirstHandle;
};
Table& table() {
    static Table* t = new Table;
    return *t;
}

using text::upcase;

size_t handles_on(const Table& t, const std::u16string& service) {
    size_t count = 0;
    for (const auto& [value, entry] : t.open) count += entry.kind == Kind::Service && entry.service == service;
    return count;
}

// A marked service whose driver is not loaded loses its key with its last handle.
void delete_if_unused(const std::u16string& service) {
    if (!services::marked_for_deletion(service) || services::loaded(service)) return;
    auto& t = table();
    std::lock_guard lock(t.mutex);
    if (!handles_on(t, service)) services::delete_key(service);
}

// Runs with the loader's lock held, so it never calls the loader.
void on_unload(std::u16string_view service) {
    std::u16string name = upcase(service);
    auto& t = table();
    std::lock_guard lock(t.mutex);
    if (!handles_on(t, name) && services::marked_for_deletion(name)) services::delete_key(name);
}

bool fail(DWORD error) {
    SetLastError(error);
    return false;
}

SC_HANDLE fail_handle(DWORD error) {
    SetLastError(error);
    return nullptr;
}

bool available() { return !windows_9x() || fail(ERROR_CALL_NOT_IMPLEMENTED); }

SC_HANDLE insert(Entry entry) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    uintptr_t value = t.next;
    t.next += 8;
    t.open.emplace(value, std::move(entry));
    return reinterpret_cast<SC_HANDLE>(value);
}

// The entry behind a handle of that kind, if it grants `needed`.
std::optional<Entry> lookup(SC_HANDLE handle, Kind kind, DWORD needed) {
    Entry entry;
    {
        auto& t = table();
        std::lock_guard lock(t.mutex);
        auto it = t.open.find(reinterpret_cast<uintptr_t>(handle));
        if (it == t.open.end() || it->second.kind != kind) {
            SetLastError(ERROR_INVALID_HANDLE);
            return std::nullopt;
        }
        entry = it->second;
    }
    if ((entry.access & needed) != needed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return std::nullopt;
    }
    return entry;
}

// The access granted out of `wanted` to the caller, or nullopt (ERROR_ACCESS_DENIED).
std::optional<DWORD> grant(DWORD wanted, const GenericMapping& mapping, DWORD all, DWORD user) {
    const DWORD allowed = token_is_administrator(*current_token()) ? all : user;
    if (wanted & MAXIMUM_ALLOWED) return allowed;
    DWORD mapped = map_generic_access(wanted, mapping);
    if (mapped & ~allowed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return std::nullopt;
    }
    return mapped;
}

bool equals_ignoring_case(std::u16string_view a, std::u16string_view b) { return text::equal_nocase(a, b); }

SC_HANDLE open_manager(bool local, std::optional<std::u16string_view> database, DWORD access) {
    if (!available()) return nullptr;
    if (!local) return fail_handle(RPC_S_SERVER_UNAVAILABLE);
    if (database && !equals_ignoring_case(*database, SERVICES_ACTIVE_DATABASEW))
        return fail_handle(ERROR_DATABASE_DOES_NOT_EXIST);
    auto granted = grant(access, kManagerMapping, SC_MANAGER_ALL_ACCESS, kUserManagerAccess);
    if (!granted) return nullptr;
    return insert({Kind::Manager, *granted | SC_MANAGER_CONNECT, current_process()->id(), {}});
}

SC_HANDLE open_service(SC_HANDLE manager, std::optional<std::u16string_view> name, DWORD access) {
    if (!available()) return nullptr;
    if (!lookup(manager, Kind::Manager, SC_MANAGER_CONNECT)) return nullptr;
    if (!name || name->empty() || name->size() > kMaxServiceName || name->find_first_of(u"\\/") != std::u16string::npos)
        return fail_handle(ERROR_INVALID_NAME);
    if (!services::config(*name)) return fail_handle(ERROR_SERVICE_DOES_NOT_EXIST);
    auto granted = grant(access, kServiceMapping, SERVICE_ALL_ACCESS, kUserServiceAccess);
    if (!granted) return nullptr;
    return insert({Kind::Service, *granted, current_process()->id(), upcase(*name)});
}

void fill_status(const services::Config& config, const services::Status& status, LPSERVICE_STATUS out) {
    *out = SERVICE_STATUS{};
    out->dwServiceType = config.type;
    out->dwCurrentState = status.running ? SERVICE_RUNNING : SERVICE_STOPPED;
    out->dwControlsAccepted = status.running && status.can_stop ? SERVICE_ACCEPT_STOP : 0;
}

// The right a control needs; 0 for a code that cannot be sent.
DWORD access_for_control(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) return SERVICE_STOP;
    if (control == SERVICE_CONTROL_INTERROGATE) return SERVICE_INTERROGATE;
    if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE || (control >= 6 && control <= 16))
        return SERVICE_PAUSE_CONTINUE;
    if (control >= 128 && control <= 255) return SERVICE_USER_DEFINED_CONTROL;
    return 0;
}

template <typename Char> std::basic_string<Char> convert(const std::u16string& text) {
    if constexpr (sizeof(Char) == 1)
        return narrow_ansi(text);
    else
        return text;
}

template <typename Char, typename Config> BOOL query_config(SC_HANDLE handle, Config* out, DWORD size, LPDWORD needed) {
    if (!available()) return FALSE;
    auto entry = lookup(handle, Kind::Service, SERVICE_QUERY_CONFIG);
    if (!entry) return FALSE;
    if (!needed) return fail(ERROR_INVALID_ADDRESS);
    auto config = services::config(entry->service);
    if (!config) return fail(ERROR_SERVICE_DOES_NOT_EXIST);
    // Each string with its zero; the dependency list carries its own and one more.
    std::basic_string<Char> texts[] = {convert<Char>(config->binary_path), convert<Char>(config->group),
                                       convert<Char>(config->dependencies), convert<Char>(config->start_name),
                                       convert<Char>(config->display_name)};
    size_t bytes = sizeof(Config);
    for (const auto& text : texts) bytes += (text.size() + 1) * sizeof(Char);
    *needed = DWORD(bytes);
    if (!out || size < bytes) return fail(ERROR_INSUFFICIENT_BUFFER);
    Config result{};
    result.dwServiceType = config->type;
    result.dwStartType = config->start;
    result.dwErrorControl = config->error_control;
    result.dwTagId = config->tag;
    Char* at = reinterpret_cast<Char*>(reinterpret_cast<BYTE*>(out) + sizeof(Config));
    Char** fields[] = {&result.lpBinaryPathName, &result.lpLoadOrderGroup, &result.lpDependencies,
                       &result.lpServiceStartName, &result.lpDisplayName};
    for (size_t i = 0; i < 5; ++i) {
        *fields[i] = at;
        std::copy(texts[i].begin(), texts[i].end(), at);
        at += texts[i].size();
        *at++ = 0;
    }
    *out = result;
    return TRUE;
}

void boot(const KernelOptions&) {
    services::delete_marked_services();
    services::observe_unloads(on_unload);
}

void shutdown() {
    services::observe_unloads(nullptr);
    auto& t = table();
    std::lock_guard lock(t.mutex);
    t.open.clear();
}

// After the registry (its boot loads the machine's file), before Plug and Play loads drivers.
[[maybe_unused]] const bool g_registered = [] {
    register_kernel_subsystem({"service control manager", 58, boot, shutdown});
    return true;
}();

} // namespace

void close_service_handles_of(DWORD process) {
    std::vector<std::u16string> services;
    {
        auto& t = table();
        std::lock_guard lock(t.mutex);
        for (auto it = t.open.begin(); it != t.open.end();) {
            if (it->second.process != process) {
                ++it;
                continue;
            }
            if (it->second.kind == Kind::Service) services.push_back(it->second.service);
            it = t.open.erase(it);
        }
    }
    for (const auto& service : services) delete_if_unused(service);
}

} // namespace hvsim::user

using namespace hvsim;
using namespace hvsim::user;

namespace {
std::optional<std::u16string> wide_name(LPCSTR text) {
    if (!text) return std::nullopt;
    return widen_ansi(text);
}
std::optional<std::u16string_view> view(LPCWSTR text) {
    if (!text) return std::nullopt;
    return std::u16string_view(text);
}
} // namespace

HV_EXTERN_C_BEGIN

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
    return open_manager(!lpMachineName || !*lpMachineName, view(lpDatabaseName), dwDesiredAccess);
}

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    auto database = wide_name(lpDatabaseName);
    return open_manager(!lpMachineName || !*lpMachineName,
                        database ? std::optional<std::u16string_view>(*database) : std::nullopt, dwDesiredAccess);
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
    return open_service(hSCManager, view(lpServiceName), dwDesiredAccess);
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    auto name = wide_name(lpServiceName);
    return open_service(hSCManager, name ? std::optional<std::u16string_view>(*name) : std::nullopt, dwDesiredAccess);
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    if (!available()) return FALSE;
    auto entry = lookup(hService, Kind::Service, SERVICE_QUERY_STATUS);
    if (!entry) return FALSE;
    if (!lpServiceStatus) return fail(ERROR_INVALID_ADDRESS);
    auto config = services::config(entry->service);
    if (!config) return fail(ERROR_SERVICE_DOES_NOT_EXIST);
    fill_status(*config, services::status(entry->service), lpServiceStatus);
    return TRUE;
}

BOOL WINAPI QueryServiceConfigW(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGW lpServiceConfig, DWORD cbBufSize,
                                LPDWORD pcbBytesNeeded) {
    return query_config<char16_t>(hService, lpServiceConfig, cbBufSize, pcbBytesNeeded);
}

BOOL WINAPI QueryServiceConfigA(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGA lpServiceConfig, DWORD cbBufSize,
                                LPDWORD pcbBytesNeeded) {
    return query_config<char>(hService, lpServiceConfig, cbBufSize, pcbBytesNeeded);
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    if (!available()) return FALSE;
    DWORD needed = access_for_control(dwControl);
    if (!lookup(hService, Kind::Service, 0)) return FALSE;
    if (!needed || !lpServiceStatus) return fail(ERROR_INVALID_PARAMETER);
    auto entry = lookup(hService, Kind::Service, needed);
    if (!entry) return FALSE;
    auto config = services::config(entry->service);
    if (!config) return fail(ERROR_SERVICE_DOES_NOT_EXIST);
    services::Status status = services::status(entry->service);
    fill_status(*config, status, lpServiceStatus);
    // Only a loaded driver runs here; programs never run as services.
    if (!status.running) return fail(ERROR_SERVICE_NOT_ACTIVE);
    if (dwControl == SERVICE_CONTROL_INTERROGATE) return TRUE;
    if (dwControl != SERVICE_CONTROL_STOP || status.devices || !status.can_stop)
        return fail(ERROR_INVALID_SERVICE_CONTROL);
    services::StopResult result = services::stop(entry->service);
    fill_status(*config, services::status(entry->service), lpServiceStatus);
    if (result == services::StopResult::NotActive) return fail(ERROR_SERVICE_NOT_ACTIVE);
    if (result == services::StopResult::Refused) return fail(ERROR_INVALID_SERVICE_CONTROL);
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
    if (!available()) return FALSE;
    auto entry = lookup(hService, Kind::Service, DELETE);
    if (!entry) return FALSE;
    if (!services::config(entry->service)) return fail(ERROR_SERVICE_DOES_NOT_EXIST);
    if (services::marked_for_deletion(entry->service)) return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (!services::mark_for_deletion(entry->service)) return fail(ERROR_ACCESS_DENIED);
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    if (!available()) return FALSE;
    Entry closed;
    {
        auto& t = table();
        std::lock_guard lock(t.mutex);
        auto it = t.open.find(reinterpret_cast<uintptr_t>(hSCObject));
        if (it == t.open.end()) return fail(ERROR_INVALID_HANDLE);
        closed = std::move(it->second);
        t.open.erase(it);
    }
    if (closed.kind == Kind::Service) delete_if_unused(closed.service);
    return TRUE;
}

HV_EXTERN_C_END
