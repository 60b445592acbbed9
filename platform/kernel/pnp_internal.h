// Shared state of the PnP manager's source files: the device tree, the PnP thread and the
// helpers that send PnP requests. Not part of any public header.
#pragma once

#include <hvsim/format.h>
#include <hvsim/pnp.h>
#include <hvsim/registry.h>
#include <wdm.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hvsim::pnp::detail {

inline constexpr std::u16string_view kEnumPath = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum";
inline constexpr std::u16string_view kClassPath = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class";
inline constexpr std::u16string_view kDeviceClassesPath =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses";
inline constexpr std::u16string_view kServicesPath = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";
inline constexpr std::u16string_view kRootBusInstance = u"HTREE\\ROOT\\0";

// Pool tag of the PnP manager's own allocations.
inline constexpr ULONG kPnpTag = 'PnpM';

struct Node {
    DevInst devinst = no_node;
    std::u16string instance_id;
    Node* parent = nullptr;
    std::vector<Node*> children;
    PDEVICE_OBJECT pdo = nullptr; // referenced while the node lives
    NodeState state = NodeState::Initialized;
    ULONG problem = 0;
    bool root_enumerated = false;
    bool present = true;          // its bus still reports it
    bool raw = false;             // started without a function driver
    bool removal_pending = false; // surprise-removed, REMOVE_DEVICE waits for the handles
    bool enumerated_once = false;
    DEVICE_CAPABILITIES caps{};
    PNP_DEVICE_STATE device_state = 0;
    std::optional<PNP_BUS_INFORMATION> bus_info;
    std::u16string device_id;
    std::vector<std::u16string> hardware_ids;
    std::vector<std::u16string> compatible_ids;
    std::u16string bus_description;
    std::u16string bus_location;
    // Drivers that added a device to this stack, bottom first.
    std::vector<std::u16string> services;
};

// Everything below is guarded by tree_mutex() unless said otherwise. The PnP thread is the only
// one that changes the shape of the tree; it may read without the lock.
std::mutex& tree_mutex();
Node* node_by_devinst(DevInst devinst);
Node* node_by_instance(std::u16string_view instance_id);
Node* node_by_pdo(PDEVICE_OBJECT pdo);
// The node whose stack holds the device object (any layer).
Node* node_by_stack_member(PDEVICE_OBJECT device);
Node* new_node(Node* parent, PDEVICE_OBJECT pdo, std::u16string instance_id);
void delete_node(Node* node);
std::vector<Node*> subtree_post_order(Node* node); // children first, node last
std::vector<Node*> subtree_pre_order(Node* node);  // node first
ULONG status_bits(const Node& node);
void clear_tree();

// ---- The PnP thread ----
bool on_pnp_thread();
// Runs the action on the PnP thread and waits for it (inline when already there).
void run_sync(const std::function<void()>& action);
// Queues the action and returns.
void post(std::function<void()> action);
void start_pnp_thread();
void stop_pnp_thread();

// ---- Requests ----
struct PnpResult {
    NTSTATUS status;
    ULONG_PTR information;
};
// Sends a PnP IRP to the top of the PDO's stack and waits; IoStatus starts as
// STATUS_NOT_SUPPORTED. `fill` sets the Parameters of the stack location.
PnpResult send_pnp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill = {},
                   ULONG_PTR initial_information = 0);
// Bytes a CM_RESOURCE_LIST spans by its own counts; 0 when it does not fit in `limit` bytes.
size_t resource_list_size(const CM_RESOURCE_LIST* list, size_t limit);

// ---- Strings ----
std::vector<std::u16string> parse_multi_sz(const WCHAR* text);
std::vector<std::u16string> parse_multi_sz(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> make_multi_sz(const std::vector<std::u16string>& strings);
std::vector<uint8_t> make_sz(std::u16string_view text);

// ---- Registry helpers ----
std::u16string enum_key_path(std::u16string_view instance_id);
registry::Key open_key(std::u16string_view path);   // null when missing
registry::Key create_key(std::u16string_view path); // with parents; null on failure
// A device's Enum instance key or driver key, created when missing, with the descriptor Plug and
// Play gives such keys unless it already has one.
registry::Key create_device_key(std::u16string_view path);
std::optional<std::u16string> read_string(const registry::Key& key, std::u16string_view name);
std::optional<std::vector<std::u16string>> read_multi(const registry::Key& key, std::u16string_view name);
std::optional<DWORD> read_dword(const registry::Key& key, std::u16string_view name);
void write_string(const registry::Key& key, std::u16string_view name, std::u16string_view text);
void write_multi(const registry::Key& key, std::u16string_view name, const std::vector<std::u16string>& items);
void write_dword(const registry::Key& key, std::u16string_view name, DWORD value);
// A kernel handle (ZwClose) to the key, created with its parents when missing.
NTSTATUS open_kernel_key(std::u16string path, ACCESS_MASK access, PHANDLE handle);

// ---- Text ----
using text::upcase;
inline bool iequals(std::u16string_view a, std::u16string_view b) { return text::equal_nocase(a, b); }
std::u16string to_u16(std::string_view text);
std::string to_utf8(std::u16string_view text);
std::u16string hex8(ULONG value);
std::u16string decimal(ULONG value, int width = 0);

// ---- Interfaces (pnp_interfaces.cpp) ----
// Disables every interface of the node (after its removal).
void disable_interfaces_of(Node* node);
// Forgets the node's PDO in its interfaces (the node is deleted); they stay registered.
void detach_interfaces(DevInst node);
void forget_interfaces();

// ---- Root bus (pnp_root.cpp) ----
PDEVICE_OBJECT create_root_bus();
void destroy_root_bus();
// Marks a root device as gone from the root bus (its next relations leave it out).
void unplug_root_device(std::u16string_view instance_id);
bool is_root_bus_device(PDEVICE_OBJECT device);

// ---- Loader (ldr_loader.cpp) ----
// Loads the service's driver; on failure *problem is the node's problem code.
NTSTATUS load_service(std::u16string_view service, PDRIVER_OBJECT* driver, ULONG* problem);
// Unloads the driver when none of its devices is left.
void unload_if_unused(std::u16string_view service);
void unload_all_drivers();

// ---- Manager (pnp_manager.cpp) ----
// Brings a node whose PDO exists to Started (or to its problem).
void process_node(Node* node);
void enumerate_node(Node* node);

} // namespace hvsim::pnp::detail
