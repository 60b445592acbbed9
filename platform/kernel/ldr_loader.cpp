// The driver loader: finds a service's image, loads it, runs DriverEntry, and unloads it with
// the pool check when its last device is gone and no call into its code is still running.
#include "pnp_internal.h"

#include <image_calls.h>

#include <hvsim/io.h>
#include <hvsim/kernel.h>
#include <hvsim/pool.h>

#include <dlfcn.h>

#include <filesystem>
#include <map>
#include <mutex>

namespace hvsim::ldr {
namespace {

using pnp::detail::iequals;
using pnp::detail::to_u16;
using pnp::detail::to_utf8;
using pnp::detail::upcase;

struct Driver {
    std::u16string service;
    std::string host_path;  // empty for a built-in driver
    std::string image_name; // what the pool charges the image's allocations to
    void* handle = nullptr;
    ldr::ImageSlot* image = nullptr; // counts the calls into the image
    PDRIVER_OBJECT object = nullptr;
};

struct LoaderState {
    std::recursive_mutex mutex;
    std::map<std::u16string, DriverEntryRoutine> builtins; // by upper-case service name
    std::map<std::u16string, Driver> loaded;               // by upper-case service name
    void (*unload_observer)(std::u16string_view service) = nullptr;
};

LoaderState& loader() {
    static LoaderState* s = new LoaderState;
    return *s;
}

std::u16string service_key_path(std::u16string_view service) {
    return std::u16string(pnp::detail::kServicesPath) + u"\\" + std::u16string(service);
}

size_t device_count(PDRIVER_OBJECT driver) {
    size_t count = 0;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice) ++count;
    return count;
}

void require_passive(const char* what, std::u16string_view service) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        bug_check(IRQL_NOT_LESS_OR_EQUAL, std::string(what) + " of " + to_utf8(service) + " above PASSIVE_LEVEL");
}

// Finds one path component in a folder without regard to case.
std::filesystem::path find_entry(const std::filesystem::path& folder, const std::string& name) {
    std::error_code error;
    std::filesystem::path exact = folder / name;
    if (std::filesystem::exists(exact, error)) return exact;
    for (auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::string candidate = entry.path().filename().string();
        if (iequals(to_u16(candidate), to_u16(name))) return entry.path();
    }
    return {};
}

void unmap(Driver& driver) {
    dlclose(driver.handle);
    driver.handle = nullptr;
    detach_image(driver.image);
    driver.image = nullptr;
}

// A completion routine, work item, DPC or system thread of the driver may still be on its way out
// of the image: the checks and the unmapping wait for it.
void finish_unload(Driver& driver, bool check_pool = true) {
    drain_image(driver.image);
    io::delete_driver_object(driver.object);
    driver.object = nullptr;
    if (driver.handle) {
        if (check_pool) {
            pool::check_unload(driver.image_name);
            mm::check_io_space_unload(driver.image_name);
        }
        unmap(driver);
    }
}

// A driver without DriverUnload stays loaded, as on Windows, until the machine shuts down; it is
// then let go without the pool check, since it never had the chance to free anything.
NTSTATUS unload_locked(const std::u16string& key, bool shutting_down) {
    auto& s = loader();
    auto it = s.loaded.find(key);
    if (it == s.loaded.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    Driver& driver = it->second;
    if (device_count(driver.object)) return STATUS_INVALID_DEVICE_STATE;
    bool can_unload = driver.object->DriverUnload != nullptr;
    if (!can_unload && !shutting_down) return STATUS_INVALID_DEVICE_REQUEST;
    if (can_unload) {
        require_passive("DriverUnload", driver.service);
        driver.object->Flags |= DRVO_UNLOAD_INVOKED;
        driver.object->DriverUnload(driver.object);
        require_passive("DriverUnload", driver.service);
        if (size_t left = device_count(driver.object))
            bug_check(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                      "DriverUnload of " + to_utf8(driver.service) + " left " + std::to_string(left) + " device(s)");
    }
    Driver gone = std::move(driver);
    s.loaded.erase(it);
    finish_unload(gone, can_unload);
    if (s.unload_observer) s.unload_observer(gone.service);
    return STATUS_SUCCESS;
}

} // namespace

void register_builtin_driver(std::u16string_view service, DriverEntryRoutine entry) {
    auto& s = loader();
    std::lock_guard lock(s.mutex);
    s.builtins[upcase(service)] = entry;
}

std::vector<LoadedDriver> loaded_drivers() {
    auto& s = loader();
    std::lock_guard lock(s.mutex);
    std::vector<LoadedDriver> out;
    for (auto& [key, driver] : s.loaded)
        out.push_back({driver.service, to_u16(driver.host_path), driver.object, device_count(driver.object)});
    return out;
}

bool is_loaded(std::u16string_view service) {
    auto& s = loader();
    std::lock_guard lock(s.mutex);
    return s.loaded.count(upcase(service)) != 0;
}

std::string resolve_image_path(std::u16string_view image_path) {
    const auto& root = kernel_options().root;
    if (root.empty() || image_path.empty()) return {};
    std::u16string path(image_path);
    std::u16string upper = upcase(path);
    std::u16string relative; // below the C: drive
    auto strip = [&](std::u16string_view prefix) {
        if (upper.compare(0, prefix.size(), upcase(prefix)) != 0) return false;
        relative = path.substr(prefix.size());
        return true;
    };
    if (strip(u"\\SystemRoot\\") || strip(u"%SystemRoot%\\"))
        relative = u"Windows\\" + relative;
    else if (strip(u"\\??\\C:\\") || strip(u"C:\\")) {
    } else if (upper.compare(0, 9, u"SYSTEM32\\") == 0)
        relative = u"Windows\\" + path;
    else if (path.find(u'\\') == std::u16string::npos)
        relative = u"Windows\\System32\\drivers\\" + path;
    else
        return {};

    std::filesystem::path current = root / "C";
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find(u'\\', start);
        if (end == std::u16string::npos) end = relative.size();
        std::u16string part = relative.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == u".") continue;
        if (part == u"..") return {}; // never leave the machine's drive
        current = find_entry(current, to_utf8(part));
        if (current.empty()) return {};
    }
    std::error_code error;
    return std::filesystem::is_regular_file(current, error) ? current.string() : std::string();
}

NTSTATUS load_driver(std::u16string_view service, PDRIVER_OBJECT* out) {
    ULONG problem = 0;
    return pnp::detail::load_service(service, out, &problem);
}

NTSTATUS unload_driver(std::u16string_view service) {
    auto& s = loader();
    std::lock_guard lock(s.mutex);
    return unload_locked(upcase(service), false);
}

void set_unload_observer(void (*observer)(std::u16string_view service)) {
    auto& s = loader();
    std::lock_guard lock(s.mutex);
    s.unload_observer = observer;
}

} // namespace hvsim::ldr

namespace hvsim::pnp::detail {

NTSTATUS load_service(std::u16string_view service, PDRIVER_OBJECT* out, ULONG* problem) {
    using namespace ldr;
    auto& s = loader();
    std::lock_guard lock(s.mutex);
    *out = nullptr;
    *problem = 0;
    std::u16string key = upcase(service);
    if (service.empty() || service.find(u'\\') != std::u16string_view::npos) {
        *problem = prob::driver_service_key_invalid;
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (auto it = s.loaded.find(key); it != s.loaded.end()) {
        *out = it->second.object;
        return STATUS_SUCCESS;
    }
    require_passive("DriverEntry", service);

    Driver driver;
    driver.service = std::u16string(service);
    DriverEntryRoutine entry = nullptr;
    if (auto builtin = s.builtins.find(key); builtin != s.builtins.end()) {
        entry = builtin->second;
    } else {
        registry::Key service_key = open_key(service_key_path(service));
        if (!service_key) {
            *problem = prob::driver_service_key_invalid;
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (read_dword(service_key, u"DeleteFlag").value_or(0) != 0) {
            DbgPrint("LDR: %s: the service is marked for deletion\n", to_utf8(service).c_str());
            *problem = prob::driver_failed_load;
            return STATUS_DELETE_PENDING;
        }
        if (read_dword(service_key, u"Start").value_or(3) == 4) { // SERVICE_DISABLED
            *problem = prob::disabled_service;
            return STATUS_DRIVER_UNABLE_TO_LOAD;
        }
        std::u16string image =
            read_string(service_key, u"ImagePath").value_or(u"System32\\drivers\\" + std::u16string(service) + u".sys");
        driver.host_path = resolve_image_path(image);
        if (driver.host_path.empty()) {
            DbgPrint("LDR: %s: image %s not found\n", to_utf8(service).c_str(), to_utf8(image).c_str());
            *problem = prob::driver_failed_load;
            return STATUS_DRIVER_UNABLE_TO_LOAD;
        }
        driver.handle = dlopen(driver.host_path.c_str(), RTLD_LOCAL | RTLD_NOW);
        if (!driver.handle) {
            DbgPrint("LDR: %s: %s\n", to_utf8(service).c_str(), dlerror());
            *problem = prob::driver_failed_load;
            return STATUS_DRIVER_UNABLE_TO_LOAD;
        }
        entry = (DriverEntryRoutine)dlsym(driver.handle, "DriverEntry");
        if (!entry) {
            DbgPrint("LDR: %s: the image has no DriverEntry\n", to_utf8(service).c_str());
            dlclose(driver.handle);
            *problem = prob::driver_failed_load;
            return STATUS_DRIVER_UNABLE_TO_LOAD;
        }
        driver.image_name = pool::image_of_address((const void*)entry);
        driver.image = attach_image(driver.handle, driver.image_name);
        if (!driver.image) {
            DbgPrint("LDR: %s: too many images loaded\n", to_utf8(service).c_str());
            dlclose(driver.handle);
            *problem = prob::driver_failed_load;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    driver.object = io::create_driver_object(service, service_key_path(service));
    if (!driver.object) {
        if (driver.handle) unmap(driver);
        *problem = prob::driver_failed_load;
        return STATUS_OBJECT_NAME_COLLISION;
    }
    driver.object->DriverInit = entry;
    if (driver.handle)
        driver.object->DriverSection = driver.handle;
    else
        driver.object->Flags |= DRVO_BUILTIN_DRIVER;

    NTSTATUS status = entry(driver.object, io::driver_registry_path(driver.object));
    require_passive("DriverEntry", service);
    if (!NT_SUCCESS(status)) {
        DbgPrint("LDR: DriverEntry of %s failed with 0x%08X\n", to_utf8(service).c_str(), (unsigned)status);
        // Unload is never called after a failed DriverEntry: what it left behind is its own leak.
        finish_unload(driver);
        *problem = prob::failed_driver_entry;
        return status;
    }
    io::finish_driver_initialization(driver.object);
    *out = driver.object;
    s.loaded.emplace(key, std::move(driver));
    return STATUS_SUCCESS;
}

void unload_if_unused(std::u16string_view service) {
    auto& s = ldr::loader();
    std::lock_guard lock(s.mutex);
    auto it = s.loaded.find(upcase(service));
    if (it == s.loaded.end() || ldr::device_count(it->second.object)) return;
    ldr::unload_locked(it->first, false);
}

void unload_all_drivers() {
    auto& s = ldr::loader();
    std::lock_guard lock(s.mutex);
    while (!s.loaded.empty()) {
        std::u16string key = s.loaded.begin()->first;
        if (!NT_SUCCESS(ldr::unload_locked(key, true))) {
            // Devices outlived every PnP removal: the driver never deleted them.
            ldr::Driver& driver = s.loaded.begin()->second;
            bug_check(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                      "driver " + to_utf8(driver.service) + " still has " +
                          std::to_string(ldr::device_count(driver.object)) + " device(s) at shutdown");
        }
    }
}

} // namespace hvsim::pnp::detail
