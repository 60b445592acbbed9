// The device tree: node storage, lookups and the public queries.
#include "pnp_internal.h"

#include <hvsim/io.h>

#include <algorithm>

namespace hvsim::pnp {
namespace detail {
namespace {

struct TreeState {
    std::mutex mutex;
    std::map<DevInst, std::unique_ptr<Node>> nodes;
    DevInst next_devinst = root_node;
};

TreeState& tree() {
    static TreeState* t = new TreeState;
    return *t;
}

void collect_post(Node* node, std::vector<Node*>& out) {
    for (Node* child : node->children) collect_post(child, out);
    out.push_back(node);
}

void collect_pre(Node* node, std::vector<Node*>& out) {
    out.push_back(node);
    for (Node* child : node->children) collect_pre(child, out);
}

} // namespace

std::mutex& tree_mutex() { return tree().mutex; }

Node* node_by_devinst(DevInst devinst) {
    auto& t = tree();
    auto it = t.nodes.find(devinst);
    return it == t.nodes.end() ? nullptr : it->second.get();
}

Node* node_by_instance(std::u16string_view instance_id) {
    for (auto& [id, node] : tree().nodes)
        if (iequals(node->instance_id, instance_id)) return node.get();
    return nullptr;
}

Node* node_by_pdo(PDEVICE_OBJECT pdo) {
    if (!pdo) return nullptr;
    for (auto& [id, node] : tree().nodes)
        if (node->pdo == pdo) return node.get();
    return nullptr;
}

Node* node_by_stack_member(PDEVICE_OBJECT device) {
    if (!device) return nullptr;
    for (auto& [id, node] : tree().nodes)
        for (PDEVICE_OBJECT layer = node->pdo; layer; layer = layer->AttachedDevice)
            if (layer == device) return node.get();
    return nullptr;
}

Node* new_node(Node* parent, PDEVICE_OBJECT pdo, std::u16string instance_id) {
    auto& t = tree();
    auto node = std::make_unique<Node>();
    node->devinst = t.next_devinst++;
    node->instance_id = std::move(instance_id);
    node->parent = parent;
    node->pdo = pdo;
    Node* raw = node.get();
    if (parent) parent->children.push_back(raw);
    t.nodes.emplace(raw->devinst, std::move(node));
    if (pdo) io::set_device_node(pdo, raw);
    return raw;
}

void delete_node(Node* node) {
    auto& t = tree();
    for (Node* child : std::vector<Node*>(node->children)) delete_node(child);
    if (node->parent) {
        auto& siblings = node->parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
    }
    PDEVICE_OBJECT pdo = node->pdo;
    detach_interfaces(node->devinst);
    t.nodes.erase(node->devinst);
    if (pdo) {
        if (io::device_node(pdo)) io::set_device_node(pdo, nullptr);
        ObDereferenceObject(pdo);
    }
}

std::vector<Node*> subtree_post_order(Node* node) {
    std::vector<Node*> out;
    if (node) collect_post(node, out);
    return out;
}

std::vector<Node*> subtree_pre_order(Node* node) {
    std::vector<Node*> out;
    if (node) collect_pre(node, out);
    return out;
}

ULONG status_bits(const Node& node) {
    ULONG bits = 0;
    if (node.root_enumerated) bits |= dn::root_enumerated;
    if (!node.services.empty()) bits |= dn::driver_loaded | dn::nt_driver;
    if (node.state == NodeState::Started || node.state == NodeState::QueryStopped ||
        node.state == NodeState::QueryRemoved)
        bits |= dn::started;
    if (node.problem) bits |= dn::has_problem;
    if (node.caps.Removable) bits |= dn::removable;
    if (!(node.device_state & PNP_DEVICE_NOT_DISABLEABLE) && node.devinst != root_node) bits |= dn::disableable;
    if (node.device_state & PNP_DEVICE_DONT_DISPLAY_IN_UI) bits |= dn::no_show_in_dm;
    if (!node.children.empty() || node.devinst == root_node) bits |= dn::nt_enumerator;
    if (node.removal_pending) bits |= dn::will_be_removed;
    return bits;
}

void clear_tree() {
    auto& t = tree();
    std::lock_guard lock(t.mutex);
    for (auto& [id, node] : t.nodes)
        if (node->pdo) {
            if (io::device_node(node->pdo)) io::set_device_node(node->pdo, nullptr);
            ObDereferenceObject(node->pdo);
        }
    t.nodes.clear();
    t.next_devinst = root_node;
}

} // namespace detail

using namespace detail;

const char* to_string(NodeState state) {
    switch (state) {
    case NodeState::Initialized: return "initialized";
    case NodeState::DriversAdded: return "drivers added";
    case NodeState::Started: return "started";
    case NodeState::QueryStopped: return "stop pending";
    case NodeState::Stopped: return "stopped";
    case NodeState::QueryRemoved: return "remove pending";
    case NodeState::SurpriseRemoved: return "surprise removed";
    case NodeState::Removed: return "removed";
    case NodeState::Deleted: return "deleted";
    }
    return "?";
}

std::vector<DevInst> all_nodes() {
    std::lock_guard lock(tree_mutex());
    std::vector<DevInst> out;
    if (Node* root = node_by_devinst(root_node))
        for (Node* node : subtree_pre_order(root)) out.push_back(node->devinst);
    return out;
}

std::optional<NodeInfo> node_info(DevInst devinst) {
    std::lock_guard lock(tree_mutex());
    Node* node = node_by_devinst(devinst);
    if (!node) return std::nullopt;
    NodeInfo info;
    info.devinst = node->devinst;
    info.instance_id = node->instance_id;
    info.parent = node->parent ? node->parent->devinst : no_node;
    for (Node* child : node->children) info.children.push_back(child->devinst);
    info.hardware_ids = node->hardware_ids;
    info.compatible_ids = node->compatible_ids;
    info.state = node->state;
    info.status = status_bits(*node);
    info.problem = node->problem;
    info.present = node->present;
    info.capabilities = node->caps;
    info.device_state = node->device_state;
    info.pdo = node->pdo;
    if (node->pdo) info.pdo_name = io::device_name(node->pdo);
    if (registry::Key key = open_key(enum_key_path(node->instance_id))) {
        info.service = read_string(key, u"Service").value_or(u"");
        info.class_name = read_string(key, u"Class").value_or(u"");
        if (auto text = read_string(key, u"ClassGUID")) info.class_guid = guid_from_string(*text);
        info.driver_key = read_string(key, u"Driver").value_or(u"");
        info.description = read_string(key, u"DeviceDesc").value_or(node->bus_description);
        info.friendly_name = read_string(key, u"FriendlyName").value_or(u"");
        info.location = read_string(key, u"LocationInformation").value_or(node->bus_location);
        info.manufacturer = read_string(key, u"Mfg").value_or(u"");
    }
    return info;
}

DevInst find_node(std::u16string_view instance_id) {
    std::lock_guard lock(tree_mutex());
    Node* node = node_by_instance(instance_id);
    return node ? node->devinst : no_node;
}

DevInst node_of_pdo(PDEVICE_OBJECT pdo) {
    std::lock_guard lock(tree_mutex());
    Node* node = node_by_pdo(pdo);
    return node ? node->devinst : no_node;
}

DevInst parent_of(DevInst devinst) {
    std::lock_guard lock(tree_mutex());
    Node* node = node_by_devinst(devinst);
    return node && node->parent ? node->parent->devinst : no_node;
}

std::vector<DevInst> children_of(DevInst devinst) {
    std::lock_guard lock(tree_mutex());
    std::vector<DevInst> out;
    if (Node* node = node_by_devinst(devinst))
        for (Node* child : node->children) out.push_back(child->devinst);
    return out;
}

DevInst first_child(DevInst devinst) {
    std::lock_guard lock(tree_mutex());
    Node* node = node_by_devinst(devinst);
    return node && !node->children.empty() ? node->children.front()->devinst : no_node;
}

DevInst next_sibling(DevInst devinst) {
    std::lock_guard lock(tree_mutex());
    Node* node = node_by_devinst(devinst);
    if (!node || !node->parent) return no_node;
    auto& siblings = node->parent->children;
    auto it = std::find(siblings.begin(), siblings.end(), node);
    return it != siblings.end() && it + 1 != siblings.end() ? (*(it + 1))->devinst : no_node;
}

ULONG status_of(DevInst devinst) {
    std::lock_guard lock(tree_mutex());
    Node* node = node_by_devinst(devinst);
    return node ? status_bits(*node) : 0;
}

ULONG problem_of(DevInst devinst) {
    std::lock_guard lock(tree_mutex());
    Node* node = node_by_devinst(devinst);
    return node ? node->problem : 0;
}

NodeState state_of(DevInst devinst) {
    std::lock_guard lock(tree_mutex());
    Node* node = node_by_devinst(devinst);
    return node ? node->state : NodeState::Deleted;
}

std::vector<PDEVICE_OBJECT> device_stack(DevInst devinst) {
    std::lock_guard lock(tree_mutex());
    std::vector<PDEVICE_OBJECT> out;
    if (Node* node = node_by_devinst(devinst))
        for (PDEVICE_OBJECT layer = node->pdo; layer; layer = layer->AttachedDevice) {
            ObReferenceObject(layer);
            out.push_back(layer);
        }
    return out;
}

std::u16string device_key_path(DevInst devinst) {
    std::lock_guard lock(tree_mutex());
    Node* node = node_by_devinst(devinst);
    return node ? enum_key_path(node->instance_id) : std::u16string();
}

} // namespace hvsim::pnp
