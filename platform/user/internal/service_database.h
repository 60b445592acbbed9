// The service control manager's view of the registry's Services keys and the driver loader, in
// neutral types (the Win32 side of the library cannot include wdm.h).
#pragma once

#include <basetsd.h>

#include <optional>
#include <string>
#include <string_view>

namespace hvsim::user::services {

// A service's key, as QueryServiceConfig reports it. `dependencies` holds the services and the
// groups (with a leading '+'), each ended by a zero, the whole list by one more.
struct Config {
    DWORD type = 0;
    DWORD start = 0;
    DWORD error_control = 0;
    DWORD tag = 0;
    std::u16string binary_path;
    std::u16string group;
    std::u16string dependencies;
    std::u16string start_name;
    std::u16string display_name;
};

// A Services subkey with a Type value; nullopt when there is none.
std::optional<Config> config(std::u16string_view service);

struct Status {
    bool running = false;  // its driver is loaded
    bool can_stop = false; // and has DriverUnload
    size_t devices = 0;
};
Status status(std::u16string_view service);

enum class StopResult { Stopped, NotActive, Refused };
// Unloads the driver when it has no device left.
StopResult stop(std::u16string_view service);

bool marked_for_deletion(std::u16string_view service);
bool mark_for_deletion(std::u16string_view service);
// Deletes the key of a marked service.
void delete_key(std::u16string_view service);
// Whether the service's driver is loaded now.
bool loaded(std::u16string_view service);

// Called after each driver unload (with the loader's lock held).
void observe_unloads(void (*observer)(std::u16string_view service));
// Deletes every service marked for deletion (at boot, before any driver loads).
void delete_marked_services();

} // namespace hvsim::user::services
