// Inside the registry store: the key node and the store's lock, shared by the store's sources.
#pragma once

#include <hvsim/registry.h>

#include <mutex>

namespace hvsim::registry {

struct Node {
    std::u16string name;
    Node* parent = nullptr; // null for the root and for a deleted key
    std::vector<std::shared_ptr<Node>> children;
    std::vector<Value> values;
    std::u16string class_name;
    std::vector<uint8_t> security;
    int64_t last_write_time = 0;
    bool is_volatile = false;
    bool deleted = false;
};

namespace store {

// Guards every node of the tree.
std::mutex& mutex();
// The tree's root, "\REGISTRY". Replaced as a whole by a load.
std::shared_ptr<Node>& root_locked();
bool names_equal(std::u16string_view a, std::u16string_view b);
// Creates the keys every machine has (Services, Control, Enum, DEVICEMAP\SERIALCOMM, ...) where
// they are missing.
void add_standard_keys_locked(Node& root);
std::shared_ptr<Node> find_child_locked(const Node& node, std::u16string_view name);
int64_t now();

} // namespace store
} // namespace hvsim::registry
