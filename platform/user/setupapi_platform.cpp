// The kernel side of SetupAPI and newdev: the device tree, the registry store and the machine's
// folder, as internal/setupapi_platform.h offers them to the Win32 side.
#include <wdm.h>

#include <hvsim/format.h>
#include <hvsim/kernel.h>
#include <hvsim/pnp.h>
#include <hvsim/registry.h>
#include <hvsim/security.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>

#include "internal/machine_files.h"
#include "internal/setupapi_platform.h"

namespace hvsim::user::devices {
namespace {

constexpr std::u16string_view kEnumPath = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum";
// DevInst values of devices without a node; far above anything the PnP manager hands out.
constexpr DWORD kPhantomBase = 0x40000000;

using text::upcase;

struct Phantoms {
    std::mutex mutex;
    std::map<std::u16string, DWORD> by_id; // upper-cased instance ID
    std::map<DWORD, std::u16string> by_devinst;
    DWORD next = kPhantomBase;
};
Phantoms& phantoms() {
    static Phantoms* p = new Phantoms;
    return *p;
}

DWORD phantom_devinst(const std::u16string& instance_id) {
    auto& p = phantoms();
    std::lock_guard lock(p.mutex);
    auto [it, added] = p.by_id.emplace(upcase(instance_id), 0);
    if (added) {
        it->second = ++p.next;
        p.by_devinst[it->second] = instance_id;
    }
    return it->second;
}

registry::Key open_key(std::u16string_view path) {
    registry::Key key;
    if (!NT_SUCCESS(registry::open(nullptr, native(path), &key))) return nullptr;
    return key;
}

thread_local bool g_in_arrival = false;

registry::CreateOptions parents() {
    registry::CreateOptions options;
    options.create_parents = true;
    return options;
}

} // namespace

std::u16string native(std::u16string_view path) {
    if (auto n = registry::native_path(path)) return *n;
    return std::u16string(path);
}

std::u16string device_key_path(std::u16string_view instance_id) {
    return std::u16string(kEnumPath) + u"\\" + std::u16string(instance_id);
}

namespace {
bool in_tree(pnp::DevInst node) {
    if (node == pnp::no_node) return false;
    auto info = pnp::node_info(node);
    return info && info->present && info->state != pnp::NodeState::Deleted;
}
} // namespace

DWORD parent_of(DWORD devinst) {
    if (!in_tree(devinst)) return 0;
    return pnp::parent_of(devinst);
}

DWORD first_child(DWORD devinst) {
    if (!in_tree(devinst)) return 0;
    for (pnp::DevInst child : pnp::children_of(devinst))
        if (in_tree(child)) return child;
    return 0;
}

DWORD next_sibling(DWORD devinst) {
    if (!in_tree(devinst) || devinst == pnp::root_node) return 0;
    auto siblings = pnp::children_of(pnp::parent_of(devinst));
    auto it = std::find(siblings.begin(), siblings.end(), devinst);
    if (it == siblings.end()) return 0;
    for (++it; it != siblings.end(); ++it)
        if (in_tree(*it)) return *it;
    return 0;
}

bool node_status(DWORD devinst, ULONG* status, ULONG* problem) {
    if (!in_tree(devinst)) return false;
    *status = pnp::status_of(devinst);
    *problem = pnp::problem_of(devinst);
    return true;
}

std::u16string pdo_name(DWORD devinst) {
    auto info = pnp::node_info(devinst);
    return info ? info->pdo_name : std::u16string();
}

// The node and every started node below it, parents first, so that a device that was removed
// while present comes back wherever it sits in the subtree.
void reenumerate(DWORD devinst) {
    if (!in_tree(devinst)) return;
    std::vector<DWORD> pending{devinst};
    for (size_t i = 0; i < pending.size(); ++i) {
        const DWORD node = pending[i];
        auto info = pnp::node_info(node);
        if (!info || !info->present || info->state == pnp::NodeState::Deleted) continue;
        if (node != devinst && info->state != pnp::NodeState::Started) continue;
        pnp::reenumerate(node);
        if (auto now = pnp::node_info(node))
            for (auto child : now->children) pending.push_back(child);
    }
}

std::vector<DWORD> nodes_needing_install(DWORD devinst) {
    std::vector<DWORD> out;
    std::vector<DWORD> pending{devinst};
    while (!pending.empty()) {
        DWORD node = pending.back();
        pending.pop_back();
        auto info = pnp::node_info(node);
        if (!info || !info->present || info->state == pnp::NodeState::Deleted) continue;
        if (info->problem == pnp::prob::failed_install && info->state != pnp::NodeState::Started) out.push_back(node);
        for (auto child : info->children) pending.push_back(child);
    }
    return out;
}

std::vector<Device> list_devices(bool present_only) {
    std::vector<Device> out;
    std::vector<std::u16string> seen;
    for (pnp::DevInst node : pnp::all_nodes()) {
        if (node == pnp::root_node) continue;
        auto info = pnp::node_info(node);
        if (!info || info->state == pnp::NodeState::Deleted) continue;
        out.push_back({node, info->instance_id, info->present});
        seen.push_back(upcase(info->instance_id));
    }
    if (present_only) {
        std::erase_if(out, [](const Device& d) { return !d.present; });
        return out;
    }
    // Every instance the registry knows: Enum\<enumerator>\<device>\<instance>.
    for (const auto& enumerator : subkeys(kEnumPath)) {
        std::u16string e = std::u16string(kEnumPath) + u"\\" + enumerator;
        for (const auto& device : subkeys(e)) {
            for (const auto& instance : subkeys(e + u"\\" + device)) {
                std::u16string id = enumerator + u"\\" + device + u"\\" + instance;
                if (std::find(seen.begin(), seen.end(), upcase(id)) != seen.end()) continue;
                if (upcase(enumerator) == u"HTREE") continue;
                out.push_back({phantom_devinst(id), id, false});
            }
        }
    }
    return out;
}

std::optional<Device> find_device(std::u16string_view instance_id) {
    if (pnp::DevInst node = pnp::find_node(instance_id); node != pnp::no_node) {
        auto info = pnp::node_info(node);
        if (info && info->state != pnp::NodeState::Deleted) return Device{node, info->instance_id, info->present};
    }
    // Known but absent: the device key has the instance's three components.
    if (std::count(instance_id.begin(), instance_id.end(), u'\\') != 2) return std::nullopt;
    std::u16string path = device_key_path(instance_id);
    registry::Key key = open_key(path);
    if (!key) return std::nullopt;
    std::u16string id = registry::path_of(key).substr(path.size() - instance_id.size());
    return Device{phantom_devinst(id), id, false};
}

std::optional<Device> device_of(DWORD devinst) {
    if (devinst > kPhantomBase) {
        std::u16string id;
        {
            auto& p = phantoms();
            std::lock_guard lock(p.mutex);
            auto it = p.by_devinst.find(devinst);
            if (it == p.by_devinst.end()) return std::nullopt;
            id = it->second;
        }
        auto found = find_device(id);
        return found;
    }
    auto info = pnp::node_info(devinst);
    if (!info || info->state == pnp::NodeState::Deleted) return std::nullopt;
    return Device{devinst, info->instance_id, info->present};
}

std::optional<RegValue> read_value(std::u16string_view key_path, std::u16string_view name) {
    registry::Key key = open_key(key_path);
    registry::Value value;
    if (!key || !NT_SUCCESS(registry::query_value(key, name, &value))) return std::nullopt;
    return RegValue{value.name, value.type, std::move(value.data)};
}

std::optional<std::u16string> read_string(std::u16string_view key, std::u16string_view name) {
    auto value = read_value(key, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
    std::u16string text(value->data.size() / 2, u'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * 2);
    if (auto end = text.find(u'\0'); end != std::u16string::npos) text.resize(end);
    return text;
}

std::vector<std::u16string> read_multi(std::u16string_view key, std::u16string_view name) {
    std::vector<std::u16string> out;
    auto value = read_value(key, name);
    if (!value || (value->type != REG_MULTI_SZ && value->type != REG_SZ)) return out;
    std::u16string text(value->data.size() / 2, u'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * 2);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u'\0', start);
        if (end == std::u16string::npos) end = text.size();
        if (end == start) break;
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

bool write_value(std::u16string_view key_path, std::u16string_view name, DWORD type, const void* data, size_t size) {
    registry::Key key;
    if (!NT_SUCCESS(registry::create(nullptr, native(key_path), &key, nullptr, parents()))) return false;
    return NT_SUCCESS(registry::set_value(key, name, type, data, size));
}

bool write_string(std::u16string_view key, std::u16string_view name, std::u16string_view text, DWORD type) {
    std::u16string data(text);
    return write_value(key, name, type, data.c_str(), (data.size() + 1) * 2);
}

bool write_multi(std::u16string_view key, std::u16string_view name, const std::vector<std::u16string>& texts) {
    std::u16string data;
    for (const auto& t : texts) data += t + u'\0';
    data += u'\0';
    return write_value(key, name, REG_MULTI_SZ, data.data(), data.size() * 2);
}

bool write_dword(std::u16string_view key, std::u16string_view name, DWORD value) {
    return write_value(key, name, REG_DWORD, &value, sizeof value);
}

bool delete_value(std::u16string_view key_path, std::u16string_view name) {
    registry::Key key = open_key(key_path);
    return key && NT_SUCCESS(registry::delete_value(key, name));
}

bool key_exists(std::u16string_view key) { return open_key(key) != nullptr; }

bool create_key(std::u16string_view key_path) {
    registry::Key key;
    return NT_SUCCESS(registry::create(nullptr, native(key_path), &key, nullptr, parents()));
}

bool create_device_key(std::u16string_view key_path) {
    registry::Key key;
    if (!NT_SUCCESS(registry::create(nullptr, native(key_path), &key, nullptr, parents()))) return false;
    security::give_descriptor(key, security::device_key_descriptor());
    return true;
}

bool delete_tree(std::u16string_view key_path) {
    registry::Key key = open_key(key_path);
    return key && NT_SUCCESS(registry::delete_tree(key));
}

std::vector<std::u16string> subkeys(std::u16string_view key_path) {
    std::vector<std::u16string> out;
    registry::Key key = open_key(key_path);
    if (!key) return out;
    registry::KeyInfo info;
    for (size_t i = 0; NT_SUCCESS(registry::enum_key(key, i, &info)); ++i) out.push_back(info.name);
    return out;
}

std::vector<RegValue> values(std::u16string_view key_path) {
    std::vector<RegValue> out;
    registry::Key key = open_key(key_path);
    if (!key) return out;
    registry::Value value;
    for (size_t i = 0; NT_SUCCESS(registry::enum_value(key, i, &value)); ++i)
        out.push_back({value.name, value.type, value.data});
    return out;
}

std::vector<Interface> list_interfaces(const GUID& class_guid, bool enabled_only) {
    std::vector<Interface> out;
    for (const auto& i : pnp::interfaces(class_guid, enabled_only))
        out.push_back({i.class_guid, i.user_path, i.node, i.enabled});
    return out;
}

bool restart_device(DWORD devinst) { return !pnp::restart_device(devinst).vetoed(); }
bool disable_device(DWORD devinst) { return !pnp::disable_device(devinst).vetoed(); }
bool enable_device(DWORD devinst) { return NT_SUCCESS(pnp::enable_device(devinst)); }
bool remove_device(DWORD devinst) {
    if (devinst > kPhantomBase) return false;
    return !pnp::remove_device(devinst).vetoed();
}
bool is_active(DWORD devinst) {
    auto state = pnp::state_of(devinst);
    return state == pnp::NodeState::Started || state == pnp::NodeState::DriversAdded;
}
bool on_pnp_thread() { return g_in_arrival; }
void wait_quiet() { pnp::wait_quiet(); }

void set_arrival_installer(std::function<bool(const std::u16string& instance_id)> installer) {
    if (!installer) {
        pnp::set_new_device_handler(nullptr);
        return;
    }
    pnp::set_new_device_handler([installer = std::move(installer)](pnp::DevInst node) {
        auto info = pnp::node_info(node);
        if (!info) return false;
        g_in_arrival = true;
        bool installed = installer(info->instance_id);
        g_in_arrival = false;
        return installed;
    });
}

std::filesystem::path machine_root() { return kernel_options().root; }

std::filesystem::path host_path(std::u16string_view path, bool must_exist) {
    std::error_code error;
    // A path of a drive: the machine's own rules (case, dots, never out of its folder).
    const bool drive_path =
        (path.size() >= 3 && path[1] == u':') || path.starts_with(u"\\??\\") || path.starts_with(u"\\\\?\\");
    if (drive_path) {
        files::MachinePath resolved;
        if (files::resolve(path, &resolved) != 0) return {};
        if (must_exist && !std::filesystem::exists(resolved.host, error)) return {};
        return resolved.host;
    }
    if (!path.empty() && path[0] == u'/') {
        std::string host;
        for (char16_t c : path) host += char(c);
        if (must_exist && !std::filesystem::exists(host, error)) return {};
        return host;
    }
    return {};
}

std::vector<std::filesystem::path> loaded_driver_images() {
    std::vector<std::filesystem::path> out;
    for (const auto& driver : ldr::loaded_drivers())
        if (!driver.image_path.empty()) out.emplace_back(text::to_utf8(driver.image_path));
    return out;
}

std::u16string guid_text(const GUID& guid) { return pnp::guid_to_string(guid); }
std::optional<GUID> guid_of(std::u16string_view text) { return pnp::guid_from_string(text); }

} // namespace hvsim::user::devices
