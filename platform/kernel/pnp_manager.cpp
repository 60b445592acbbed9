// The PnP manager: its thread, and the IRP_MN sequences that bring device nodes up and down.
#include "pnp_internal.h"

#include <hvsim/io.h>
#include <hvsim/kernel.h>
#include <hvsim/sched.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <set>

namespace hvsim::pnp {
namespace detail {
namespace {

// ---- The thread and its queue --------------------------------------------------------------

// While a surprise-removed device waits for its handles to close, the thread looks again this
// often (machine time).
constexpr int64_t kHandlePollTicks = 50 * sched::kTicksPerMillisecond;

struct ManagerState {
    std::mutex mutex;
    sched::ConditionVariable wake;
    sched::ConditionVariable idle;
    std::deque<std::function<void()>> queue;
    bool busy = false;
    bool stopping = false;
    bool thread_running = false;
    std::thread thread;
    std::thread::id thread_id;
    bool tree_running = false;
    NewDeviceHandler new_device_handler;
    PDEVICE_OBJECT root_bus = nullptr;
};

ManagerState& manager() {
    static ManagerState* m = new ManagerState;
    return *m;
}

bool any_removal_pending() {
    std::lock_guard lock(tree_mutex());
    if (Node* root = node_by_devinst(root_node))
        for (Node* node : subtree_pre_order(root))
            if (node->removal_pending) return true;
    return false;
}

void complete_pending_removals();

void thread_body() {
    auto& m = manager();
    std::unique_lock lock(m.mutex);
    for (;;) {
        if (m.queue.empty() && !m.stopping) {
            lock.unlock();
            bool poll = any_removal_pending();
            lock.lock();
            if (m.queue.empty() && !m.stopping) {
                if (poll) {
                    if (!m.wake.wait_until(lock, sched::now() + kHandlePollTicks)) {
                        m.busy = true;
                        lock.unlock();
                        complete_pending_removals();
                        lock.lock();
                        m.busy = false;
                        m.idle.notify_all();
                    }
                } else {
                    m.wake.wait(lock);
                }
                continue;
            }
        }
        if (m.queue.empty() && m.stopping) break;
        auto action = std::move(m.queue.front());
        m.queue.pop_front();
        m.busy = true;
        lock.unlock();
        action();
        lock.lock();
        m.busy = false;
        if (m.queue.empty()) m.idle.notify_all();
    }
}

// ---- Helpers -----------------------------------------------------------------------------------

void log_line(const std::string& text) { DbgPrint("PNP: %s\n", text.c_str()); }

bool is_active(NodeState state) {
    switch (state) {
    case NodeState::DriversAdded:
    case NodeState::Started:
    case NodeState::QueryStopped:
    case NodeState::Stopped:
    case NodeState::QueryRemoved:
    case NodeState::SurpriseRemoved: return true;
    default: return false;
    }
}

void set_state(Node* node, NodeState state) {
    std::lock_guard lock(tree_mutex());
    node->state = state;
}

void set_problem(Node* node, ULONG problem) {
    std::lock_guard lock(tree_mutex());
    node->problem = problem;
}

LONG open_files(const Node* node) {
    LONG count = 0;
    for (PDEVICE_OBJECT layer = node->pdo; layer; layer = layer->AttachedDevice) count += layer->ReferenceCount;
    return count;
}

std::u16string take_string_answer(const PnpResult& result) {
    std::u16string text;
    if (NT_SUCCESS(result.status) && result.information) text = (const WCHAR*)result.information;
    if (result.information) ExFreePool((PVOID)result.information);
    return text;
}

std::vector<std::u16string> take_multi_answer(const PnpResult& result) {
    std::vector<std::u16string> items;
    if (NT_SUCCESS(result.status) && result.information) items = parse_multi_sz((const WCHAR*)result.information);
    if (result.information) ExFreePool((PVOID)result.information);
    return items;
}

PnpResult query_id(Node* node, BUS_QUERY_ID_TYPE type) {
    return send_pnp(node->pdo, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
}

PnpResult query_text(Node* node, DEVICE_TEXT_TYPE type) {
    return send_pnp(node->pdo, IRP_MN_QUERY_DEVICE_TEXT, [type](PIO_STACK_LOCATION s) {
        s->Parameters.QueryDeviceText.DeviceTextType = type;
        s->Parameters.QueryDeviceText.LocaleId = 0x409;
    });
}

void query_capabilities(Node* node) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    PnpResult result = send_pnp(node->pdo, IRP_MN_QUERY_CAPABILITIES,
                                [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
    if (!NT_SUCCESS(result.status)) return;
    std::lock_guard lock(tree_mutex());
    node->caps = caps;
}

ULONG capability_bits(const DEVICE_CAPABILITIES& caps) {
    ULONG bits = 0;
    if (caps.LockSupported) bits |= 0x1;
    if (caps.EjectSupported) bits |= 0x2;
    if (caps.Removable) bits |= 0x4;
    if (caps.DockDevice) bits |= 0x8;
    if (caps.UniqueID) bits |= 0x10;
    if (caps.SilentInstall) bits |= 0x20;
    if (caps.RawDeviceOK) bits |= 0x40;
    if (caps.SurpriseRemovalOK) bits |= 0x80;
    if (caps.HardwareDisabled) bits |= 0x100;
    if (caps.NonDynamic) bits |= 0x200;
    return bits;
}

void query_device_state(Node* node) {
    PnpResult result = send_pnp(node->pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
    std::lock_guard lock(tree_mutex());
    node->device_state = NT_SUCCESS(result.status) ? (PNP_DEVICE_STATE)result.information : 0;
}

ULONG fnv_hash(std::u16string_view text) {
    ULONG hash = 2166136261u;
    for (char16_t c : upcase(text)) {
        hash ^= (ULONG)c;
        hash *= 16777619u;
    }
    return hash;
}

ULONG depth_of(const Node* node) {
    ULONG depth = 0;
    for (; node && node->parent; node = node->parent) ++depth;
    return depth;
}

// The prefix that makes a child's instance ID unique below its parent when its bus does not
// promise unique IDs, kept in the parent's device key as Windows keeps it.
std::u16string parent_id_prefix(Node* parent) {
    registry::Key key = create_device_key(enum_key_path(parent->instance_id));
    if (auto prefix = read_string(key, u"ParentIdPrefix"); prefix && !prefix->empty()) return *prefix;
    std::u16string prefix = decimal(depth_of(parent) + 1) + u"&" + hex8(fnv_hash(parent->instance_id)) + u"&0";
    write_string(key, u"ParentIdPrefix", prefix);
    return prefix;
}

CM_RESOURCE_LIST* copy_resource_list(const CM_RESOURCE_LIST* list, size_t size) {
    if (!list) return nullptr;
    auto* copy = (CM_RESOURCE_LIST*)ExAllocatePoolWithTag(PagedPool, size, kPnpTag);
    if (copy) std::memcpy(copy, list, size);
    return copy;
}

} // namespace

// Size of a resource list as its counts describe it; 0 when it is malformed for `limit` bytes.
size_t resource_list_size(const CM_RESOURCE_LIST* list, size_t limit) {
    if (!list || limit < sizeof(ULONG)) return 0;
    size_t size = offsetof(CM_RESOURCE_LIST, List);
    const UCHAR* base = (const UCHAR*)list;
    for (ULONG f = 0; f < list->Count; ++f) {
        size_t head = offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList.PartialDescriptors);
        if (size + head > limit) return 0;
        auto* full = (const CM_FULL_RESOURCE_DESCRIPTOR*)(base + size);
        size += head;
        for (ULONG p = 0; p < full->PartialResourceList.Count; ++p) {
            if (size + sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) > limit) return 0;
            auto* partial = (const CM_PARTIAL_RESOURCE_DESCRIPTOR*)(base + size);
            size += sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
            if (partial->Type == CmResourceTypeDeviceSpecific) size += partial->u.DeviceSpecificData.DataSize;
        }
    }
    return size <= limit ? size : 0;
}

bool on_pnp_thread() {
    auto& m = manager();
    std::lock_guard lock(m.mutex);
    return m.thread_running && std::this_thread::get_id() == m.thread_id;
}

void run_sync(const std::function<void()>& action) {
    if (on_pnp_thread()) {
        action();
        return;
    }
    auto& m = manager();
    sched::Event done;
    {
        std::lock_guard lock(m.mutex);
        if (!m.thread_running) {
            // Before boot or after shutdown there is no thread: nothing can race with the caller.
            action();
            return;
        }
        m.queue.push_back([&] {
            action();
            done.set();
        });
    }
    m.wake.notify_all();
    done.wait();
}

void post(std::function<void()> action) {
    auto& m = manager();
    {
        std::lock_guard lock(m.mutex);
        if (!m.thread_running) return;
        m.queue.push_back(std::move(action));
    }
    m.wake.notify_all();
}

void start_pnp_thread() {
    auto& m = manager();
    std::lock_guard lock(m.mutex);
    if (m.thread_running) return;
    m.stopping = false;
    m.queue.clear();
    m.thread = sched::start_thread("pnp", thread_body);
    m.thread_id = m.thread.get_id();
    m.thread_running = true;
}

void stop_pnp_thread() {
    auto& m = manager();
    {
        std::lock_guard lock(m.mutex);
        if (!m.thread_running) return;
        m.stopping = true;
    }
    m.wake.notify_all();
    sched::join(m.thread);
    std::lock_guard lock(m.mutex);
    m.thread_running = false;
    m.queue.clear();
}

namespace {

// ---- Removal -----------------------------------------------------------------------------------

void unload_unused(const std::vector<std::u16string>& services) {
    std::set<std::u16string> seen;
    for (auto it = services.rbegin(); it != services.rend(); ++it)
        if (seen.insert(upcase(*it)).second) unload_if_unused(*it);
}

// REMOVE_DEVICE to one node's stack; afterwards its drivers' devices are gone from it.
void send_remove(Node* node) {
    if (!node->pdo) return;
    send_pnp(node->pdo, IRP_MN_REMOVE_DEVICE);
    disable_interfaces_of(node);
    std::vector<std::u16string> services;
    {
        std::lock_guard lock(tree_mutex());
        node->state = NodeState::Removed;
        node->removal_pending = false;
        services.swap(node->services);
    }
    unload_unused(services);
}

// Deletes the node's descendants (their bus is gone) and, when its own bus no longer reports it,
// the node itself.
void prune(Node* node) {
    std::lock_guard lock(tree_mutex());
    for (Node* child : std::vector<Node*>(node->children)) delete_node(child);
    if (!node->present) delete_node(node);
}

void surprise_remove_subtree(Node* top) {
    for (Node* node : subtree_post_order(top)) {
        if (node->state == NodeState::SurpriseRemoved || node->removal_pending) continue;
        bool started = node->state == NodeState::Started || node->state == NodeState::QueryStopped ||
                       node->state == NodeState::Stopped || node->state == NodeState::QueryRemoved;
        if (started) {
            log_line("surprise removal of " + to_utf8(node->instance_id));
            send_pnp(node->pdo, IRP_MN_SURPRISE_REMOVAL);
            disable_interfaces_of(node);
            std::lock_guard lock(tree_mutex());
            node->state = NodeState::SurpriseRemoved;
        }
        std::lock_guard lock(tree_mutex());
        node->removal_pending = true;
    }
}

// A surprise-removed node gets REMOVE_DEVICE once its children are gone and no file is open
// on its stack.
void complete_pending_removals() {
    bool progress = true;
    while (progress) {
        progress = false;
        Node* root = node_by_devinst(root_node);
        if (!root) return;
        for (Node* node : subtree_post_order(root)) {
            if (!node->removal_pending) continue;
            bool children_done = std::all_of(node->children.begin(), node->children.end(),
                                             [](Node* c) { return !c->removal_pending && !is_active(c->state); });
            if (!children_done || open_files(node) > 0) continue;
            log_line("remove after surprise removal of " + to_utf8(node->instance_id));
            send_remove(node);
            prune(node);
            progress = true;
            break; // the tree changed
        }
    }
}

// Query-remove (when asked) and remove of a subtree, children first. Returns the veto.
Veto remove_subtree(Node* top, bool query) {
    std::vector<Node*> order = subtree_post_order(top);
    if (query) {
        std::vector<std::pair<Node*, NodeState>> queried;
        for (Node* node : order) {
            if (node->state != NodeState::Started) continue;
            PnpResult result = send_pnp(node->pdo, IRP_MN_QUERY_REMOVE_DEVICE);
            queried.emplace_back(node, node->state);
            if (!NT_SUCCESS(result.status)) {
                log_line("query-remove of " + to_utf8(node->instance_id) + " refused");
                for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
                    send_pnp(it->first->pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
                    set_state(it->first, it->second);
                }
                return {result.status, node->devinst};
            }
            set_state(node, NodeState::QueryRemoved);
        }
    }
    for (Node* node : order) {
        bool below = node != top;
        if (is_active(node->state) || (below && node->state != NodeState::Removed)) send_remove(node);
        if (below) {
            std::lock_guard lock(tree_mutex());
            node->present = false;
        }
    }
    prune(top);
    return {};
}

// ---- Bringing a node up ------------------------------------------------------------------------

// The IDs, capabilities, texts and bus information of a new PDO, and its instance ID.
void identify(Node* node) {
    std::u16string device_id = take_string_answer(query_id(node, BusQueryDeviceID));
    auto hardware_ids = take_multi_answer(query_id(node, BusQueryHardwareIDs));
    auto compatible_ids = take_multi_answer(query_id(node, BusQueryCompatibleIDs));
    std::u16string instance = take_string_answer(query_id(node, BusQueryInstanceID));
    query_capabilities(node);
    std::u16string description = take_string_answer(query_text(node, DeviceTextDescription));
    std::u16string location = take_string_answer(query_text(node, DeviceTextLocationInformation));
    PnpResult bus = send_pnp(node->pdo, IRP_MN_QUERY_BUS_INFORMATION);
    std::optional<PNP_BUS_INFORMATION> bus_info;
    if (NT_SUCCESS(bus.status) && bus.information) bus_info = *(PNP_BUS_INFORMATION*)bus.information;
    if (bus.information) ExFreePool((PVOID)bus.information);
    query_device_state(node);

    std::u16string instance_id;
    ULONG problem = 0;
    if (device_id.empty()) {
        // A PDO that cannot name itself cannot be installed.
        instance_id = u"UNKNOWN\\" + hex8((ULONG)(ULONG_PTR)node->pdo) + u"\\" + decimal(node->devinst);
        problem = prob::invalid_data;
    } else if (node->root_enumerated || node->caps.UniqueID) {
        instance_id = device_id + u"\\" + (instance.empty() ? u"0000" : instance);
    } else {
        instance_id = device_id + u"\\" + parent_id_prefix(node->parent) + u"&" + (instance.empty() ? u"0" : instance);
    }
    std::lock_guard lock(tree_mutex());
    node->instance_id = instance_id;
    node->device_id = device_id;
    node->hardware_ids = hardware_ids;
    node->compatible_ids = compatible_ids;
    node->bus_description = description;
    node->bus_location = location;
    node->bus_info = bus_info;
    node->problem = problem;
}

void write_device_key(Node* node) {
    registry::Key key = create_device_key(enum_key_path(node->instance_id));
    if (!key) return;
    if (!node->hardware_ids.empty()) write_multi(key, u"HardwareID", node->hardware_ids);
    if (!node->compatible_ids.empty()) write_multi(key, u"CompatibleIDs", node->compatible_ids);
    if (!node->bus_description.empty() && !read_string(key, u"DeviceDesc"))
        write_string(key, u"DeviceDesc", node->bus_description);
    if (!node->bus_location.empty()) write_string(key, u"LocationInformation", node->bus_location);
    write_dword(key, u"Capabilities", capability_bits(node->caps));
    if (node->caps.UINumber != 0xFFFFFFFF) write_dword(key, u"UINumber", node->caps.UINumber);
    if (!read_dword(key, u"ConfigFlags"))
        write_dword(key, u"ConfigFlags", read_string(key, u"Service") || node->raw ? 0 : configflag::reinstall);
}

// Lower filters, the function driver and upper filters, as the device and class keys name them.
std::vector<std::u16string> driver_stack_services(const registry::Key& device_key, std::u16string* function) {
    registry::Key class_key;
    if (auto guid = read_string(device_key, u"ClassGUID"); guid && !guid->empty())
        class_key = open_key(std::u16string(kClassPath) + u"\\" + *guid);
    std::vector<std::u16string> out;
    auto add = [&](const registry::Key& key, std::u16string_view name) {
        if (auto items = read_multi(key, name))
            for (auto& item : *items)
                if (!item.empty()) out.push_back(item);
    };
    add(device_key, u"LowerFilters");
    add(class_key, u"LowerFilters");
    *function = read_string(device_key, u"Service").value_or(u"");
    if (!function->empty()) out.push_back(*function);
    add(device_key, u"UpperFilters");
    add(class_key, u"UpperFilters");
    return out;
}

bool stack_has_more_than_pdo(const Node* node) { return node->pdo && node->pdo->AttachedDevice; }

void fail_node(Node* node, ULONG problem, const std::string& why) {
    log_line(to_utf8(node->instance_id) + ": " + why);
    if (stack_has_more_than_pdo(node)) send_remove(node);
    std::vector<std::u16string> services;
    {
        std::lock_guard lock(tree_mutex());
        node->problem = problem;
        node->state = NodeState::Removed;
        services.swap(node->services);
    }
    unload_unused(services);
}

// Resource lists from the bus driver (QUERY_RESOURCES), given to START as raw and translated.
struct StartResources {
    CM_RESOURCE_LIST* raw = nullptr;
    CM_RESOURCE_LIST* translated = nullptr;
    ~StartResources() {
        if (raw) ExFreePool(raw);
        if (translated) ExFreePool(translated);
    }
};

void query_start_resources(Node* node, StartResources* out) {
    PnpResult result = send_pnp(node->pdo, IRP_MN_QUERY_RESOURCES);
    auto* list = (CM_RESOURCE_LIST*)result.information;
    if (NT_SUCCESS(result.status) && list) {
        // The answer carries no size: trust its counts only within a sane bound.
        size_t size = resource_list_size(list, 64 * 1024);
        if (size) {
            out->raw = copy_resource_list(list, size);
            out->translated = copy_resource_list(list, size);
        } else {
            log_line(to_utf8(node->instance_id) + ": malformed resource list ignored");
        }
    }
    if (list) ExFreePool(list);
}

void filter_requirements(Node* node) {
    PnpResult query = send_pnp(node->pdo, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    auto* original = NT_SUCCESS(query.status) ? (IO_RESOURCE_REQUIREMENTS_LIST*)query.information : nullptr;
    if (!NT_SUCCESS(query.status) && query.information) ExFreePool((PVOID)query.information);
    // As on Windows, Information starts as the list itself: a driver that does not filter keeps it.
    PnpResult filtered = send_pnp(
        node->pdo, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
        [&](PIO_STACK_LOCATION s) { s->Parameters.FilterResourceRequirements.IoResourceRequirementList = original; },
        (ULONG_PTR)original);
    auto* answer = (IO_RESOURCE_REQUIREMENTS_LIST*)filtered.information;
    if (answer && answer != original) ExFreePool(answer);
    if (original) ExFreePool(original);
}

void handle_device_state(Node* node);

// Starts a node whose PDO is identified and whose device key exists.
void start_node(Node* node) {
    registry::Key key = create_device_key(enum_key_path(node->instance_id));
    DWORD flags = read_dword(key, u"ConfigFlags").value_or(0);
    if (flags & configflag::disabled) {
        set_problem(node, prob::disabled);
        set_state(node, NodeState::Initialized);
        return;
    }
    std::u16string function;
    std::vector<std::u16string> services = driver_stack_services(key, &function);
    // A device marked for reinstallation gets its driver again before it starts.
    if (function.empty() || (flags & configflag::reinstall)) {
        NewDeviceHandler handler = manager().new_device_handler;
        if (handler && handler(node->devinst)) services = driver_stack_services(key, &function);
    }
    if (function.empty() && !node->caps.RawDeviceOK) {
        log_line(to_utf8(node->instance_id) + ": no driver installed");
        write_dword(key, u"ConfigFlags", flags | configflag::failed_install);
        set_problem(node, prob::failed_install);
        set_state(node, NodeState::Initialized);
        return;
    }
    set_problem(node, prob::none);

    // Load every driver of the stack first, so that a missing one leaves nothing attached.
    std::vector<PDRIVER_OBJECT> drivers;
    for (const auto& service : services) {
        PDRIVER_OBJECT driver = nullptr;
        ULONG problem = 0;
        NTSTATUS status = load_service(service, &driver, &problem);
        if (!NT_SUCCESS(status)) {
            for (const auto& loaded : services) unload_if_unused(loaded);
            set_problem(node, problem);
            set_state(node, NodeState::Initialized);
            log_line(to_utf8(node->instance_id) + ": driver " + to_utf8(service) + " did not load");
            return;
        }
        drivers.push_back(driver);
    }
    for (size_t i = 0; i < services.size(); ++i) {
        PDRIVER_ADD_DEVICE add = drivers[i]->DriverExtension ? drivers[i]->DriverExtension->AddDevice : nullptr;
        NTSTATUS status = add ? add(drivers[i], node->pdo) : STATUS_INVALID_DEVICE_REQUEST;
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            bug_check(IRQL_NOT_LESS_OR_EQUAL, "AddDevice of " + to_utf8(services[i]) + " returned above PASSIVE_LEVEL");
        {
            std::lock_guard lock(tree_mutex());
            node->services.push_back(services[i]);
        }
        if (!NT_SUCCESS(status)) {
            char text[64];
            std::snprintf(text, sizeof text, "AddDevice failed with 0x%08X", (unsigned)status);
            fail_node(node, prob::failed_add, to_utf8(services[i]) + " " + text);
            for (const auto& loaded : services) unload_if_unused(loaded);
            return;
        }
    }
    set_state(node, NodeState::DriversAdded);

    filter_requirements(node);
    StartResources resources;
    query_start_resources(node, &resources);
    PnpResult start = send_pnp(node->pdo, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION s) {
        s->Parameters.StartDevice.AllocatedResources = resources.raw;
        s->Parameters.StartDevice.AllocatedResourcesTranslated = resources.translated;
    });
    if (!NT_SUCCESS(start.status)) {
        char text[64];
        std::snprintf(text, sizeof text, "START_DEVICE failed with 0x%08X", (unsigned)start.status);
        fail_node(node, prob::failed_start, text);
        return;
    }
    set_state(node, NodeState::Started);
    log_line(to_utf8(node->instance_id) + " started");
    // A device that runs with its driver is installed, whatever the installer left behind.
    DWORD installed = read_dword(key, u"ConfigFlags").value_or(0);
    if (installed & (configflag::reinstall | configflag::failed_install))
        write_dword(key, u"ConfigFlags", installed & ~(configflag::reinstall | configflag::failed_install));
    query_capabilities(node);
    write_dword(key, u"Capabilities", capability_bits(node->caps));
    query_device_state(node);
    if (node->device_state & (PNP_DEVICE_FAILED | PNP_DEVICE_REMOVED)) {
        handle_device_state(node);
        return;
    }
    enumerate_node(node);
}

// Query-stop, stop and start again with fresh resources (a rebalance). Returns the veto.
Veto stop_and_start(Node* node) {
    PnpResult query = send_pnp(node->pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(query.status)) {
        send_pnp(node->pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return {query.status, node->devinst};
    }
    set_state(node, NodeState::QueryStopped);
    send_pnp(node->pdo, IRP_MN_STOP_DEVICE);
    set_state(node, NodeState::Stopped);
    StartResources resources;
    query_start_resources(node, &resources);
    PnpResult start = send_pnp(node->pdo, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION s) {
        s->Parameters.StartDevice.AllocatedResources = resources.raw;
        s->Parameters.StartDevice.AllocatedResourcesTranslated = resources.translated;
    });
    if (!NT_SUCCESS(start.status)) {
        fail_node(node, prob::failed_start, "restart after stop failed");
        return {start.status, node->devinst};
    }
    set_state(node, NodeState::Started);
    return {};
}

void handle_device_state(Node* node) {
    if (node->device_state & PNP_DEVICE_FAILED) {
        surprise_remove_subtree(node);
        set_problem(node, prob::failed_post_start);
        complete_pending_removals();
    } else if (node->device_state & PNP_DEVICE_REMOVED) {
        surprise_remove_subtree(node);
        complete_pending_removals();
    } else if (node->device_state & PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED) {
        stop_and_start(node);
    }
}

} // namespace

void process_node(Node* node) {
    if (!node->enumerated_once) {
        identify(node);
        {
            std::lock_guard lock(tree_mutex());
            node->enumerated_once = true;
            if (Node* other = node_by_instance(node->instance_id); other && other != node) {
                // Two PDOs that claim one identity: only the first is installed.
                node->instance_id += u"#" + decimal(node->devinst);
                node->problem = prob::invalid_data;
            }
        }
        if (node->problem) {
            set_state(node, NodeState::Initialized);
            return;
        }
        write_device_key(node);
    }
    start_node(node);
}

void enumerate_node(Node* node) {
    if (!node->pdo || node->state != NodeState::Started) return;
    PnpResult result = send_pnp(node->pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                                [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
    auto* relations = (DEVICE_RELATIONS*)result.information;
    if (!NT_SUCCESS(result.status)) {
        // Nobody answered: the children stay as they are.
        if (relations) ExFreePool(relations);
        return;
    }
    std::vector<PDEVICE_OBJECT> reported;
    if (relations) {
        for (ULONG i = 0; i < relations->Count; ++i) reported.push_back(relations->Objects[i]);
        ExFreePool(relations);
    }

    // Children no longer reported are gone from their bus.
    for (Node* child : std::vector<Node*>(node->children)) {
        if (std::find(reported.begin(), reported.end(), child->pdo) != reported.end()) continue;
        {
            std::lock_guard lock(tree_mutex());
            child->present = false;
        }
        if (is_active(child->state)) {
            surprise_remove_subtree(child);
        } else {
            if (child->state != NodeState::Removed) send_remove(child);
            prune(child);
        }
    }

    std::vector<Node*> fresh;
    std::set<PDEVICE_OBJECT> seen;
    for (PDEVICE_OBJECT pdo : reported) {
        if (!seen.insert(pdo).second) {
            ObDereferenceObject(pdo);
            continue;
        }
        Node* existing = nullptr;
        for (Node* child : node->children)
            if (child->pdo == pdo) existing = child;
        if (existing) {
            ObDereferenceObject(pdo); // the node holds its own reference
            std::lock_guard lock(tree_mutex());
            existing->present = true;
            if (existing->state == NodeState::Removed && !existing->problem && !existing->removal_pending)
                fresh.push_back(existing);
            continue;
        }
        std::lock_guard lock(tree_mutex());
        Node* child = new_node(node, pdo, u""); // keeps the relation's reference
        child->root_enumerated = is_root_bus_device(node->pdo);
        fresh.push_back(child);
    }
    for (Node* child : fresh) process_node(child);
    complete_pending_removals();
}

} // namespace detail

using namespace detail;

// ---- Public actions ---------------------------------------------------------------------------

bool running() {
    auto& m = manager();
    std::lock_guard lock(m.mutex);
    return m.tree_running;
}

void start_tree() {
    run_sync([] {
        auto& m = manager();
        if (m.tree_running) return;
        m.root_bus = create_root_bus();
        Node* root;
        {
            std::lock_guard lock(tree_mutex());
            ObReferenceObject(m.root_bus);
            root = new_node(nullptr, m.root_bus, std::u16string(kRootBusInstance));
            root->state = NodeState::Started;
            root->raw = true;
            root->enumerated_once = true;
            root->caps.Size = sizeof root->caps;
            root->caps.Version = 1;
        }
        write_device_key(root);
        {
            std::lock_guard lock(m.mutex);
            m.tree_running = true;
        }
        enumerate_node(root);
    });
}

void stop_tree() {
    run_sync([] {
        auto& m = manager();
        if (!m.tree_running) return;
        if (Node* root = node_by_devinst(root_node)) {
            for (Node* child : std::vector<Node*>(root->children)) {
                {
                    std::lock_guard lock(tree_mutex());
                    child->present = false;
                }
                for (Node* node : subtree_post_order(child))
                    if (is_active(node->state) || node->state != NodeState::Removed) send_remove(node);
                prune(child);
            }
        }
        unload_all_drivers();
        clear_tree();
        forget_interfaces();
        destroy_root_bus();
        m.root_bus = nullptr;
        std::lock_guard lock(m.mutex);
        m.tree_running = false;
    });
}

NTSTATUS create_root_device(const RootDeviceSpec& spec, std::u16string* instance_id) {
    if (spec.hardware_id.empty()) return STATUS_INVALID_PARAMETER;
    std::u16string name = spec.class_name;
    if (name.empty()) {
        name = spec.hardware_id;
        if (name.size() > 5 && iequals(name.substr(0, 5), u"ROOT\\")) name = name.substr(5);
        std::replace(name.begin(), name.end(), u'\\', u'_');
    }
    name = upcase(name);
    if (name.empty() || name.find(u'\\') != std::u16string::npos) return STATUS_INVALID_PARAMETER;
    std::u16string id;
    NTSTATUS status = STATUS_SUCCESS;
    run_sync([&] {
        std::u16string base = std::u16string(kEnumPath) + u"\\ROOT\\" + name;
        for (ULONG n = 0; n < 10000; ++n) {
            std::u16string candidate = u"ROOT\\" + name + u"\\" + decimal(n, 4);
            if (!open_key(enum_key_path(candidate))) {
                id = candidate;
                break;
            }
        }
        registry::Key key = id.empty() ? nullptr : create_device_key(enum_key_path(id));
        if (!key) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            return;
        }
        write_multi(key, u"HardwareID", {spec.hardware_id});
        if (!spec.compatible_ids.empty()) write_multi(key, u"CompatibleIDs", spec.compatible_ids);
        if (!spec.service.empty()) write_string(key, u"Service", spec.service);
        if (!spec.class_name.empty()) write_string(key, u"Class", spec.class_name);
        if (spec.class_guid) write_string(key, u"ClassGUID", guid_to_string(*spec.class_guid));
        if (!spec.description.empty()) write_string(key, u"DeviceDesc", spec.description);
        write_dword(key, u"ConfigFlags", 0);
        if (running())
            if (Node* root = node_by_devinst(root_node)) enumerate_node(root);
    });
    if (instance_id) *instance_id = id;
    return status;
}

namespace {

template <class F> auto with_node(DevInst devinst, F body) {
    return [devinst, body]() {
        Node* node = node_by_devinst(devinst);
        if (node) body(node);
    };
}

// An action that removes a node first: refused for unknown nodes and for the root.
template <class F> Veto removal_action(DevInst devinst, F body) {
    Veto veto{STATUS_NO_SUCH_DEVICE, no_node};
    run_sync(with_node(devinst, [&](Node* node) {
        if (node->devinst == root_node) {
            veto = {STATUS_INVALID_PARAMETER, no_node};
            return;
        }
        veto = body(node);
    }));
    return veto;
}

} // namespace

Veto remove_device(DevInst devinst) {
    return removal_action(devinst, [](Node* node) { return remove_subtree(node, true); });
}

Veto disable_device(DevInst devinst) {
    return removal_action(devinst, [devinst](Node* node) {
        std::u16string instance_id = node->instance_id; // the removal may delete the node
        Veto veto = remove_subtree(node, true);
        if (veto.vetoed()) return veto;
        registry::Key key = create_device_key(enum_key_path(instance_id));
        write_dword(key, u"ConfigFlags", read_dword(key, u"ConfigFlags").value_or(0) | configflag::disabled);
        if (Node* still = node_by_devinst(devinst)) set_problem(still, prob::disabled);
        return veto;
    });
}

NTSTATUS enable_device(DevInst devinst) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    run_sync(with_node(devinst, [&](Node* node) {
        registry::Key key = create_device_key(enum_key_path(node->instance_id));
        write_dword(key, u"ConfigFlags", read_dword(key, u"ConfigFlags").value_or(0) & ~configflag::disabled);
        status = STATUS_SUCCESS;
        if (is_active(node->state)) return;
        set_problem(node, prob::none);
        start_node(node);
        if (node->problem) status = STATUS_UNSUCCESSFUL;
    }));
    return status;
}

Veto restart_device(DevInst devinst) {
    return removal_action(devinst, [devinst](Node* node) {
        Veto veto;
        if (is_active(node->state)) {
            veto = remove_subtree(node, true);
            if (veto.vetoed()) return veto;
        }
        node = node_by_devinst(devinst);
        if (!node || !node->present) return veto;
        set_problem(node, prob::none);
        if (!node->enumerated_once)
            process_node(node);
        else
            start_node(node);
        return veto;
    });
}

Veto rebalance_device(DevInst devinst) {
    Veto veto{STATUS_NO_SUCH_DEVICE, no_node};
    run_sync(with_node(devinst, [&](Node* node) {
        if (node->state != NodeState::Started) {
            veto = {STATUS_INVALID_DEVICE_STATE, node->devinst};
            return;
        }
        veto = stop_and_start(node);
    }));
    return veto;
}

NTSTATUS usage_notification(DevInst devinst, DEVICE_USAGE_NOTIFICATION_TYPE type, bool in_path) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    run_sync(with_node(devinst, [&](Node* node) {
        if (node->state != NodeState::Started) {
            status = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        status = send_pnp(node->pdo, IRP_MN_DEVICE_USAGE_NOTIFICATION, [&](PIO_STACK_LOCATION s) {
                     s->Parameters.UsageNotification.Type = type;
                     s->Parameters.UsageNotification.InPath = in_path;
                 }).status;
    }));
    return status;
}

void reenumerate(DevInst devinst) {
    run_sync(with_node(devinst, [](Node* node) { enumerate_node(node); }));
}

void surprise_remove(DevInst devinst) {
    run_sync(with_node(devinst, [](Node* node) {
        if (node->devinst == root_node) return;
        if (node->root_enumerated) {
            unplug_root_device(node->instance_id);
            if (Node* root = node_by_devinst(root_node)) enumerate_node(root);
            return;
        }
        surprise_remove_subtree(node);
        set_problem(node, prob::device_not_there);
        complete_pending_removals();
    }));
}

void wait_quiet() {
    if (on_pnp_thread()) {
        complete_pending_removals();
        return;
    }
    auto& m = manager();
    for (;;) {
        run_sync([] { complete_pending_removals(); });
        std::unique_lock lock(m.mutex);
        if (!m.thread_running || (m.queue.empty() && !m.busy)) return;
        m.idle.wait(lock, [&] { return m.queue.empty() && !m.busy; });
    }
}

void set_new_device_handler(NewDeviceHandler handler) {
    auto& m = manager();
    std::lock_guard lock(m.mutex);
    m.new_device_handler = std::move(handler);
}

} // namespace hvsim::pnp

// ---- Kernel routines ---------------------------------------------------------------------------

using namespace hvsim::pnp;
using namespace hvsim::pnp::detail;

namespace {

DevInst stack_node(PDEVICE_OBJECT device) {
    std::lock_guard lock(tree_mutex());
    Node* node = node_by_stack_member(device);
    return node ? node->devinst : no_node;
}

} // namespace

HV_EXTERN_C_BEGIN

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
    if (Type != BusRelations || !DeviceObject) return;
    DevInst devinst = stack_node(DeviceObject);
    if (devinst == no_node) return;
    post([devinst] {
        if (Node* node = node_by_devinst(devinst)) enumerate_node(node);
    });
}

VOID IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject) {
    DevInst devinst = stack_node(PhysicalDeviceObject);
    if (devinst == no_node) return;
    post([devinst] {
        Node* node = node_by_devinst(devinst);
        if (!node || node->state != NodeState::Started) return;
        query_device_state(node);
        handle_device_state(node);
    });
}

HV_EXTERN_C_END

// ---- Boot and shutdown -------------------------------------------------------------------------

namespace {

void pnp_boot(const hvsim::KernelOptions&) { start_pnp_thread(); }

void pnp_shutdown() {
    stop_tree();
    stop_pnp_thread();
}

const bool registered = [] {
    hvsim::register_kernel_subsystem({"pnp", 60, pnp_boot, pnp_shutdown});
    return true;
}();

} // namespace
