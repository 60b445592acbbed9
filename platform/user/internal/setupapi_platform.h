// What SetupAPI, newdev and the INF store need of the kernel's device tree, registry and the
// machine's folder, in neutral types (the Win32 side of the library cannot include wdm.h).
#pragma once

#include <basetsd.h>
#include <guiddef.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hvsim::user::devices {

// A device as a device information set lists it. Devices that are known in the registry but
// have no node in the tree (not plugged in) get DevInst values of their own that no node uses.
struct Device {
    DWORD devinst = 0;
    std::u16string instance_id;
    bool present = false;
};
std::vector<Device> list_devices(bool present_only);
std::optional<Device> find_device(std::u16string_view instance_id);
std::optional<Device> device_of(DWORD devinst);

// The tree as the configuration manager walks it: present nodes only; 0 past the end.
constexpr DWORD kRootDevInst = 1;
DWORD parent_of(DWORD devinst);
DWORD first_child(DWORD devinst);
DWORD next_sibling(DWORD devinst);
// False for a node that is not in the tree (absent devices included).
bool node_status(DWORD devinst, ULONG* status, ULONG* problem);
std::u16string pdo_name(DWORD devinst);
void reenumerate(DWORD devinst);
// Nodes below `devinst` (itself included) that wait for a driver: not started, problem 28.
std::vector<DWORD> nodes_needing_install(DWORD devinst);

// Device key of an instance: "\Registry\Machine\SYSTEM\CurrentControlSet\Enum\<id>".
std::u16string device_key_path(std::u16string_view instance_id);
// The native form of "HKLM\..." paths, or the path itself when already native.
std::u16string native(std::u16string_view path);

// ---- Registry through the store (native or HKLM paths) ---------------------------------------
struct RegValue {
    std::u16string name;
    DWORD type = 0;
    std::vector<uint8_t> data;
};
std::optional<RegValue> read_value(std::u16string_view key, std::u16string_view name);
std::optional<std::u16string> read_string(std::u16string_view key, std::u16string_view name);
std::vector<std::u16string> read_multi(std::u16string_view key, std::u16string_view name);
bool write_value(std::u16string_view key, std::u16string_view name, DWORD type, const void* data, size_t size);
bool write_string(std::u16string_view key, std::u16string_view name, std::u16string_view text, DWORD type = 1);
bool write_multi(std::u16string_view key, std::u16string_view name, const std::vector<std::u16string>& texts);
bool write_dword(std::u16string_view key, std::u16string_view name, DWORD value);
bool delete_value(std::u16string_view key, std::u16string_view name);
bool key_exists(std::u16string_view key);
bool create_key(std::u16string_view key);
// A device's driver key, with the descriptor Plug and Play gives such keys unless it has one.
bool create_device_key(std::u16string_view key);
bool delete_tree(std::u16string_view key);
std::vector<std::u16string> subkeys(std::u16string_view key);
std::vector<RegValue> values(std::u16string_view key);

// ---- Device interfaces --------------------------------------------------------------------------
struct Interface {
    GUID class_guid{};
    std::u16string path; // "\\?\..."
    DWORD devinst = 0;
    bool enabled = false;
};
std::vector<Interface> list_interfaces(const GUID& class_guid, bool enabled_only);

// ---- Node actions (false when the node is gone or the action was vetoed) -----------------------
bool restart_device(DWORD devinst);
bool disable_device(DWORD devinst);
bool enable_device(DWORD devinst);
bool remove_device(DWORD devinst);
bool is_active(DWORD devinst); // drivers added or started
bool on_pnp_thread();          // inside an action of the PnP manager
void wait_quiet();

// Called on the PnP thread for a node that has no driver; true when the handler installed one.
void set_arrival_installer(std::function<bool(const std::u16string& instance_id)> installer);

// ---- The machine's folder -----------------------------------------------------------------------
std::filesystem::path machine_root();
// A host path for a machine path ("C:\..." below the machine's C folder, matched without regard
// to case) or for a host path given as such; empty when the file does not exist and must.
std::filesystem::path host_path(std::u16string_view path, bool must_exist);
// The host files of the driver images the loader has mapped.
std::vector<std::filesystem::path> loaded_driver_images();

std::u16string guid_text(const GUID& guid);
std::optional<GUID> guid_of(std::u16string_view text);

} // namespace hvsim::user::devices
