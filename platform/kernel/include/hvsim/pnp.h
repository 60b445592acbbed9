// C++ API of the stand-in PnP manager and driver loader, for the machine, the user-mode
// configuration manager and SetupAPI, and tests.
//
// The tree is a set of device nodes, each with an instance ID ("ROOT\PORTS\0000",
// "USB\VID_7A5C&PID_1015\5&2a3b4c5d&0&1") and a device key under
// \Registry\Machine\SYSTEM\CurrentControlSet\Enum\<instance ID> that is kept in step with it.
// Every PnP action (start, removal, enumeration, power transitions) runs on the PnP manager's
// own thread, one at a time, as on Windows; the calls below queue an action and wait for it,
// except where they say otherwise. They may also be called from a driver running on that thread.
#pragma once

#include <wdm.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hvsim::pnp {

// A device node's handle, stable for the node's lifetime (the DEVINST of the configuration
// manager). 0 is no node; the root node is 1.
using DevInst = ULONG;
constexpr DevInst no_node = 0;
constexpr DevInst root_node = 1;

// Node status bits as the configuration manager reports them.
namespace dn {
constexpr ULONG root_enumerated = 0x00000001;
constexpr ULONG driver_loaded = 0x00000002;
constexpr ULONG enum_loaded = 0x00000004;
constexpr ULONG started = 0x00000008;
constexpr ULONG need_to_enum = 0x00000020;
constexpr ULONG has_problem = 0x00000400;
constexpr ULONG disableable = 0x00002000;
constexpr ULONG removable = 0x00004000;
constexpr ULONG will_be_removed = 0x00040000;
constexpr ULONG nt_enumerator = 0x00800000;
constexpr ULONG nt_driver = 0x01000000;
constexpr ULONG no_show_in_dm = 0x40000000;
} // namespace dn

// Problem codes as the configuration manager reports them.
namespace prob {
constexpr ULONG none = 0;
constexpr ULONG not_configured = 1;
constexpr ULONG invalid_data = 9;
constexpr ULONG out_of_memory = 3;
constexpr ULONG failed_start = 10;
constexpr ULONG disabled = 22;
constexpr ULONG device_not_there = 24;
constexpr ULONG failed_install = 28;
constexpr ULONG failed_add = 31;
constexpr ULONG failed_driver_entry = 37;
constexpr ULONG disabled_service = 32;
constexpr ULONG driver_failed_load = 39;
constexpr ULONG driver_service_key_invalid = 40;
constexpr ULONG failed_post_start = 43;
} // namespace prob

// ConfigFlags bits in the device key.
namespace configflag {
constexpr ULONG disabled = 0x00000001;
constexpr ULONG reinstall = 0x00000020;
constexpr ULONG failed_install = 0x00000040;
constexpr ULONG finish_install = 0x00000400;
} // namespace configflag

// Where a node is in the PnP sequence.
enum class NodeState {
    Initialized,     // known (found by its bus or in the registry), no driver added yet
    DriversAdded,    // AddDevice done
    Started,         // START_DEVICE succeeded
    QueryStopped,    // after a successful QUERY_STOP_DEVICE
    Stopped,         // STOP_DEVICE sent, waiting for the restart
    QueryRemoved,    // after a successful QUERY_REMOVE_DEVICE
    SurpriseRemoved, // SURPRISE_REMOVAL sent; REMOVE_DEVICE follows when the last handle closes
    Removed,         // REMOVE_DEVICE sent; the node stays when it has a problem or is disabled
    Deleted,         // gone from the tree
};
const char* to_string(NodeState state);

// A snapshot of one node.
struct NodeInfo {
    DevInst devinst = no_node;
    std::u16string instance_id;
    DevInst parent = no_node;
    std::vector<DevInst> children; // in enumeration order
    std::vector<std::u16string> hardware_ids;
    std::vector<std::u16string> compatible_ids;
    std::u16string service;
    std::u16string class_name;
    std::optional<GUID> class_guid;
    std::u16string driver_key; // "{GUID}\0000" or empty
    std::u16string description;
    std::u16string friendly_name;
    std::u16string location;
    std::u16string manufacturer;
    NodeState state = NodeState::Initialized;
    ULONG status = 0;  // dn:: bits
    ULONG problem = 0; // prob:: code, 0 when none
    bool present = true;
    DEVICE_CAPABILITIES capabilities{};
    PNP_DEVICE_STATE device_state = 0; // last answer to QUERY_PNP_DEVICE_STATE
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string pdo_name; // "\Device\..." or empty
};

// ---- Queries ---------------------------------------------------------------------------------

bool running();
std::vector<DevInst> all_nodes(); // depth first, parents before children
std::optional<NodeInfo> node_info(DevInst node);
DevInst find_node(std::u16string_view instance_id); // case-insensitive; no_node if none
DevInst node_of_pdo(PDEVICE_OBJECT pdo);            // no_node unless pdo is a node's PDO
DevInst parent_of(DevInst node);
std::vector<DevInst> children_of(DevInst node);
DevInst first_child(DevInst node);
DevInst next_sibling(DevInst node);
ULONG status_of(DevInst node);
ULONG problem_of(DevInst node);
NodeState state_of(DevInst node);
// The device stack from the bottom (the PDO) to the top; each entry referenced (dereference them).
std::vector<PDEVICE_OBJECT> device_stack(DevInst node);
// The node's device key path ("\Registry\Machine\SYSTEM\CurrentControlSet\Enum\<id>").
std::u16string device_key_path(DevInst node);

// ---- Root-enumerated devices -----------------------------------------------------------------

struct RootDeviceSpec {
    std::u16string hardware_id; // e.g. u"root\\hvtestdev"
    std::u16string service;     // the driver bound to it; may be empty
    std::u16string class_name;  // e.g. u"Ports"; names the instance when given
    std::optional<GUID> class_guid;
    std::u16string description; // DeviceDesc
    std::vector<std::u16string> compatible_ids;
};

// Writes Enum\ROOT\<NAME>\<NNNN> and, when the tree is running, creates and starts the node.
// The instance ID is returned in *instance_id.
NTSTATUS create_root_device(const RootDeviceSpec& spec, std::u16string* instance_id = nullptr);

// ---- Actions ---------------------------------------------------------------------------------

// Creates the root node, enumerates Enum\ROOT and starts every present device. The kernel's
// boot only starts the PnP thread: the machine calls this once its registry is set up, and may
// call it again after stop_tree(). The kernel's shutdown calls stop_tree().
void start_tree();
// Shutdown: removes every device (children before parents) and unloads every driver.
void stop_tree();

// Outcome of an action that a driver or another component may refuse.
struct Veto {
    NTSTATUS status = STATUS_SUCCESS;
    DevInst vetoed_by = no_node; // the node whose stack refused
    bool vetoed() const { return !NT_SUCCESS(status); }
};

// Query-remove then remove of the node and its subtree (children first). A refused query
// cancels the removal of every node already queried and keeps the device.
Veto remove_device(DevInst node);
// Removal that marks the node disabled (ConfigFlags, problem 22); it stays in the tree.
Veto disable_device(DevInst node);
// Clears the disabled flag and starts the node again.
NTSTATUS enable_device(DevInst node);
// Query-remove, remove and start again (a reinstalled driver takes effect).
Veto restart_device(DevInst node);
// Query-stop, stop and start again with the same resources.
Veto rebalance_device(DevInst node);
// IRP_MN_DEVICE_USAGE_NOTIFICATION to the node's stack (a paging, hibernation or dump file
// placed on the device, or taken off it).
NTSTATUS usage_notification(DevInst node, DEVICE_USAGE_NOTIFICATION_TYPE type, bool in_path);
// Queries the node's bus relations again (IoInvalidateDeviceRelations from outside).
void reenumerate(DevInst node);
// Surprise removal of the node (an unplug): SURPRISE_REMOVAL to its subtree, children first;
// each REMOVE_DEVICE follows once no file object is open on that stack.
void surprise_remove(DevInst node);
// Waits until the PnP manager has no queued or running action and no removal is waiting for
// handles that are already closed.
void wait_quiet();

// Called on the PnP thread when a node is found that has no function driver and its PDO is
// not raw, or whose ConfigFlags mark it for reinstallation; the handler may install it (write Service, ClassGUID...
// into its device key) and return true to have the node started at once. Without a handler the node gets problem 28.
using NewDeviceHandler = std::function<bool(DevInst node)>;
void set_new_device_handler(NewDeviceHandler handler);

// ---- Device interfaces ----------------------------------------------------------------------

struct InterfaceInfo {
    GUID class_guid;
    std::u16string reference;   // empty when none
    std::u16string kernel_link; // "\??\ROOT#PORTS#0000#{guid}\ref"
    std::u16string user_path;   // "\\?\ROOT#PORTS#0000#{guid}\ref"
    DevInst node = no_node;
    bool enabled = false;
};
// Registered interfaces of a class; enabled_only lists what user mode sees as present.
std::vector<InterfaceInfo> interfaces(const GUID& class_guid, bool enabled_only = true);
std::vector<InterfaceInfo> interfaces_of(DevInst node);

// ---- Text helpers shared with the configuration manager --------------------------------------

std::u16string guid_to_string(const GUID& guid); // "{4D36E978-E325-11CE-BFC1-08002BE10318}"
std::optional<GUID> guid_from_string(std::u16string_view text);

} // namespace hvsim::pnp

namespace hvsim::ldr {

// A driver built into the platform (the root bus, later the USB host controller): same
// DRIVER_OBJECT API as an image, without a file. Registered before boot; the service name is
// what a device key's Service value names.
using DriverEntryRoutine = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
void register_builtin_driver(std::u16string_view service, DriverEntryRoutine entry);

struct LoadedDriver {
    std::u16string service;
    std::u16string image_path; // the host path of the image; empty for a built-in driver
    PDRIVER_OBJECT driver_object = nullptr;
    size_t device_count = 0;
};
std::vector<LoadedDriver> loaded_drivers();
bool is_loaded(std::u16string_view service);

// Loads the service's driver (DriverEntry) if it is not loaded yet. Returns the driver object
// through *driver (not referenced). Runs in the caller's thread at PASSIVE_LEVEL.
NTSTATUS load_driver(std::u16string_view service, PDRIVER_OBJECT* driver);
// Unloads a driver that has no device left (DriverUnload, the pool check, dlclose):
// STATUS_OBJECT_NAME_NOT_FOUND when it is not loaded, STATUS_INVALID_DEVICE_STATE while it has
// devices, STATUS_INVALID_DEVICE_REQUEST when it has no DriverUnload.
NTSTATUS unload_driver(std::u16string_view service);
// Told the service name after each unload, with the loader's lock held: it must not call the
// loader. One observer (the service control manager); nullptr removes it.
void set_unload_observer(void (*observer)(std::u16string_view service));

// The host file behind an ImagePath value ("\SystemRoot\System32\drivers\x.sys",
// "System32\drivers\x.sys", "\??\C:\..."), resolved in the machine's folder without regard
// to case; empty when the machine has no folder or the file does not exist.
std::string resolve_image_path(std::u16string_view image_path);

} // namespace hvsim::ldr
