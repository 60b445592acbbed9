// The registry store: one tree of keys for kernel mode, user mode and the machine.
//
//   native_path root open create delete_key delete_tree is_deleted path_of set_value query_value
//   delete_value enum_key enum_value query_key get_security set_security key_exists create_key
//   set_dword set_string get_dword get_string get_value reset fail_next set_time_source
#include "cm_store.h"

#include <hv_wchar.h>
#include <wdm.h>

#include <cstring>
#include <map>

namespace hvsim::registry {
namespace {

constexpr NTSTATUS STATUS_CHILD_MUST_BE_VOLATILE = (NTSTATUS)0xC0000181L;
constexpr size_t max_key_name = 255;
constexpr size_t max_value_name = 16383;

struct Hooks {
    std::map<Operation, NTSTATUS> fail_next;
    std::function<int64_t()> now;
};

Hooks& hooks() {
    static Hooks* h = new Hooks;
    return *h;
}

// Takes a pending injected failure of the operation, if any.
bool injected(Operation op, NTSTATUS* status) {
    auto& h = hooks();
    auto it = h.fail_next.find(op);
    if (it == h.fail_next.end()) return false;
    *status = it->second;
    h.fail_next.erase(it);
    return true;
}

std::shared_ptr<Node> make_node(std::u16string name, Node* parent) {
    auto node = std::make_shared<Node>();
    node->name = std::move(name);
    node->parent = parent;
    node->last_write_time = store::now();
    return node;
}

int depth_of(const Node* node) {
    int depth = 0;
    for (; node->parent; node = node->parent) ++depth;
    return depth;
}

// \REGISTRY, MACHINE, USER and the hive keys right below those two.
bool is_root_key(const Node* node) { return depth_of(node) <= 2; }

// Splits a path into its components; an empty component (a doubled, leading or trailing
// separator) or a name above 255 characters is invalid.
NTSTATUS split(std::u16string_view path, std::vector<std::u16string_view>* parts) {
    parts->clear();
    if (path.empty()) return STATUS_SUCCESS;
    size_t start = 0;
    for (;;) {
        size_t end = path.find(u'\\', start);
        std::u16string_view part =
            path.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
        if (part.empty() || part.size() > max_key_name) return STATUS_OBJECT_NAME_INVALID;
        parts->push_back(part);
        if (end == std::u16string_view::npos) return STATUS_SUCCESS;
        start = end + 1;
    }
}

// The node to start from and the components below it.
NTSTATUS resolve_start(const Key& base, std::u16string_view path, std::shared_ptr<Node>* start,
                       std::vector<std::u16string_view>* parts) {
    if (!base) {
        if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        NTSTATUS status = split(path.substr(1), parts);
        if (!NT_SUCCESS(status)) return status;
        if (parts->empty() || !store::names_equal((*parts)[0], u"Registry")) return STATUS_OBJECT_NAME_NOT_FOUND;
        parts->erase(parts->begin());
        *start = store::root_locked();
        return STATUS_SUCCESS;
    }
    if (base->deleted) return STATUS_KEY_DELETED;
    if (!path.empty() && path[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    *start = base;
    return split(path, parts);
}

const Value* find_value(const Node& node, std::u16string_view name) {
    for (const auto& v : node.values)
        if (store::names_equal(v.name, name)) return &v;
    return nullptr;
}

void fill_info(const Node& node, KeyInfo* out) {
    out->name = node.name;
    out->class_name = node.class_name;
    out->last_write_time = node.last_write_time;
    out->subkeys = node.children.size();
    out->values = node.values.size();
    out->max_subkey_name_bytes = out->max_subkey_class_bytes = 0;
    out->max_value_name_bytes = out->max_value_data_bytes = 0;
    for (const auto& child : node.children) {
        out->max_subkey_name_bytes = std::max(out->max_subkey_name_bytes, child->name.size() * 2);
        out->max_subkey_class_bytes = std::max(out->max_subkey_class_bytes, child->class_name.size() * 2);
    }
    for (const auto& v : node.values) {
        out->max_value_name_bytes = std::max(out->max_value_name_bytes, v.name.size() * 2);
        out->max_value_data_bytes = std::max(out->max_value_data_bytes, v.data.size());
    }
}

void detach_locked(Node* node) {
    Node* parent = node->parent;
    if (!parent) return;
    auto& siblings = parent->children;
    for (auto it = siblings.begin(); it != siblings.end(); ++it)
        if (it->get() == node) {
            siblings.erase(it);
            break;
        }
    parent->last_write_time = store::now();
    node->parent = nullptr;
}

void mark_deleted(Node* node) {
    node->deleted = true;
    for (auto& child : node->children) {
        mark_deleted(child.get());
        child->parent = nullptr;
    }
    node->children.clear();
}

// Below \REGISTRY, in the case Windows gives them.
constexpr std::u16string_view standard_keys[] = {
    u"MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
    u"MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
    u"MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
    u"MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System",
    u"MACHINE\\SYSTEM\\CurrentControlSet\\Control",
    u"MACHINE\\SYSTEM\\CurrentControlSet\\Enum",
    u"USER\\CurrentUser",
};

std::shared_ptr<Node> seeded_tree() {
    auto root = make_node(u"REGISTRY", nullptr);
    store::add_standard_keys_locked(*root);
    return root;
}

struct RootName {
    std::u16string_view user_name;
    std::u16string_view native;
};

constexpr RootName root_names[] = {
    {u"HKEY_LOCAL_MACHINE", u"\\Registry\\Machine"},
    {u"HKLM", u"\\Registry\\Machine"},
    {u"HKEY_USERS", u"\\Registry\\User"},
    {u"HKU", u"\\Registry\\User"},
    {u"HKEY_CURRENT_USER", u"\\Registry\\User\\CurrentUser"},
    {u"HKCU", u"\\Registry\\User\\CurrentUser"},
    {u"HKEY_CLASSES_ROOT", u"\\Registry\\Machine\\SOFTWARE\\Classes"},
    {u"HKCR", u"\\Registry\\Machine\\SOFTWARE\\Classes"},
    {u"HKEY_CURRENT_CONFIG", u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"},
    {u"HKCC", u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"},
};

} // namespace

namespace store {

std::mutex& mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::shared_ptr<Node>& root_locked() {
    static auto* root = new std::shared_ptr<Node>;
    if (!*root) *root = seeded_tree();
    return *root;
}

bool names_equal(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && towupper(a[i]) != towupper(b[i])) return false;
    return true;
}

void add_standard_keys_locked(Node& root) {
    for (std::u16string_view path : standard_keys) {
        Node* node = &root;
        std::vector<std::u16string_view> parts;
        split(path, &parts);
        for (auto part : parts) {
            auto child = find_child_locked(*node, part);
            if (!child) {
                child = make_node(std::u16string(part), node);
                node->children.push_back(child);
                node->last_write_time = child->last_write_time;
            }
            node = child.get();
        }
    }
}

std::shared_ptr<Node> find_child_locked(const Node& node, std::u16string_view name) {
    for (const auto& child : node.children)
        if (names_equal(child->name, name)) return child;
    return nullptr;
}

int64_t now() {
    auto& h = hooks();
    if (h.now) return h.now();
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    return t.QuadPart;
}

} // namespace store

std::optional<std::u16string> native_path(std::u16string_view path) {
    if (!path.empty() && path[0] == u'\\') return std::u16string(path);
    size_t end = path.find(u'\\');
    std::u16string_view head = path.substr(0, end);
    for (const auto& r : root_names) {
        if (!store::names_equal(head, r.user_name)) continue;
        std::u16string out(r.native);
        if (end != std::u16string_view::npos) out += path.substr(end);
        return out;
    }
    return std::nullopt;
}

Key root() {
    std::lock_guard lock(store::mutex());
    return store::root_locked();
}

NTSTATUS open(const Key& base, std::u16string_view path, Key* out) {
    if (!out) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store::mutex());
    std::shared_ptr<Node> node;
    std::vector<std::u16string_view> parts;
    NTSTATUS status = resolve_start(base, path, &node, &parts);
    if (!NT_SUCCESS(status)) return status;
    for (auto part : parts) {
        node = store::find_child_locked(*node, part);
        if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *out = node;
    return STATUS_SUCCESS;
}

NTSTATUS create(const Key& base, std::u16string_view path, Key* out, bool* created, const CreateOptions& options) {
    if (!out) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store::mutex());
    NTSTATUS status;
    if (injected(Operation::Create, &status)) return status;
    std::shared_ptr<Node> node;
    std::vector<std::u16string_view> parts;
    status = resolve_start(base, path, &node, &parts);
    if (!NT_SUCCESS(status)) return status;
    bool made = false;
    for (size_t i = 0; i < parts.size(); ++i) {
        auto child = store::find_child_locked(*node, parts[i]);
        if (!child) {
            if (i + 1 < parts.size() && !options.create_parents) return STATUS_OBJECT_NAME_NOT_FOUND;
            if (node->is_volatile && !options.is_volatile) return STATUS_CHILD_MUST_BE_VOLATILE;
            child = make_node(std::u16string(parts[i]), node.get());
            child->is_volatile = options.is_volatile;
            if (i + 1 == parts.size()) child->class_name = options.class_name;
            node->children.push_back(child);
            node->last_write_time = child->last_write_time;
            made = true;
        }
        node = child;
    }
    *out = node;
    if (created) *created = made;
    return STATUS_SUCCESS;
}

NTSTATUS delete_key(const Key& key) {
    if (!key) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store::mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    if (is_root_key(key.get()) || !key->children.empty()) return STATUS_CANNOT_DELETE;
    NTSTATUS status;
    if (injected(Operation::Delete, &status)) return status;
    detach_locked(key.get());
    mark_deleted(key.get());
    return STATUS_SUCCESS;
}

NTSTATUS delete_tree(const Key& key) {
    if (!key) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store::mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    if (is_root_key(key.get())) return STATUS_CANNOT_DELETE;
    NTSTATUS status;
    if (injected(Operation::Delete, &status)) return status;
    detach_locked(key.get());
    mark_deleted(key.get());
    return STATUS_SUCCESS;
}

bool is_deleted(const Key& key) {
    std::lock_guard lock(store::mutex());
    return !key || key->deleted;
}

std::u16string path_of(const Key& key) {
    if (!key) return {};
    std::lock_guard lock(store::mutex());
    std::vector<const Node*> chain;
    for (const Node* n = key.get(); n; n = n->parent) chain.push_back(n);
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += u"\\" + (*it)->name;
    return path;
}

NTSTATUS set_value(const Key& key, std::u16string_view name, ULONG type, const void* data, size_t size) {
    if (!key || (size && !data) || name.size() > max_value_name || size > MAXULONG) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store::mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    NTSTATUS status;
    if (injected(Operation::Set, &status)) return status;
    auto bytes = static_cast<const uint8_t*>(data);
    Value* target = const_cast<Value*>(find_value(*key, name));
    if (!target) {
        key->values.push_back(Value{std::u16string(name), type, {}});
        target = &key->values.back();
    }
    target->type = type;
    target->data.assign(bytes, bytes + size);
    key->last_write_time = store::now();
    return STATUS_SUCCESS;
}

NTSTATUS query_value(const Key& key, std::u16string_view name, Value* out) {
    if (!key || !out) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store::mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    const Value* v = find_value(*key, name);
    if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
    *out = *v;
    return STATUS_SUCCESS;
}

NTSTATUS delete_value(const Key& key, std::u16string_view name) {
    if (!key) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store::mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (!store::names_equal(it->name, name)) continue;
        NTSTATUS status;
        if (injected(Operation::Delete, &status)) return status;
        key->values.erase(it);
        key->last_write_time = store::now();
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS enum_key(const Key& key, size_t index, KeyInfo* out) {
    if (!key || !out) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store::mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    if (index >= key->children.size()) return STATUS_NO_MORE_ENTRIES;
    fill_info(*key->children[index], out);
    return STATUS_SUCCESS;
}

NTSTATUS enum_value(const Key& key, size_t index, Value* out) {
    if (!key || !out) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store::mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    if (index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
    *out = key->values[index];
    return STATUS_SUCCESS;
}

NTSTATUS query_key(const Key& key, KeyInfo* out) {
    if (!key || !out) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store::mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    fill_info(*key, out);
    return STATUS_SUCCESS;
}

NTSTATUS get_security(const Key& key, std::vector<uint8_t>* descriptor) {
    if (!key || !descriptor) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store::mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    *descriptor = key->security;
    return STATUS_SUCCESS;
}

NTSTATUS set_security(const Key& key, const void* descriptor, size_t size) {
    if (!key || (size && !descriptor)) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store::mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    auto bytes = static_cast<const uint8_t*>(descriptor);
    key->security.assign(bytes, bytes + size);
    key->last_write_time = store::now();
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Shortcuts by path.

namespace {
NTSTATUS open_path(std::u16string_view path, Key* key) {
    auto native = native_path(path);
    if (!native) return STATUS_OBJECT_NAME_NOT_FOUND;
    return open(nullptr, *native, key);
}
} // namespace

bool key_exists(std::u16string_view path) {
    Key key;
    return NT_SUCCESS(open_path(path, &key));
}

NTSTATUS create_key(std::u16string_view path) {
    auto native = native_path(path);
    if (!native) return STATUS_OBJECT_NAME_NOT_FOUND;
    Key key;
    CreateOptions options;
    options.create_parents = true;
    return create(nullptr, *native, &key, nullptr, options);
}

NTSTATUS set_dword(std::u16string_view key_path, std::u16string_view name, DWORD value) {
    Key key;
    NTSTATUS status = open_path(key_path, &key);
    return NT_SUCCESS(status) ? set_value(key, name, REG_DWORD, &value, sizeof value) : status;
}

NTSTATUS set_string(std::u16string_view key_path, std::u16string_view name, std::u16string_view text, ULONG type) {
    Key key;
    NTSTATUS status = open_path(key_path, &key);
    if (!NT_SUCCESS(status)) return status;
    std::u16string data(text);
    return set_value(key, name, type, data.c_str(), (data.size() + 1) * sizeof(char16_t));
}

std::optional<Value> get_value(std::u16string_view key_path, std::u16string_view name) {
    Key key;
    Value v;
    if (!NT_SUCCESS(open_path(key_path, &key)) || !NT_SUCCESS(query_value(key, name, &v))) return std::nullopt;
    return v;
}

std::optional<DWORD> get_dword(std::u16string_view key_path, std::u16string_view name) {
    auto v = get_value(key_path, name);
    if (!v || v->type != REG_DWORD || v->data.size() != sizeof(DWORD)) return std::nullopt;
    DWORD value;
    std::memcpy(&value, v->data.data(), sizeof value);
    return value;
}

std::optional<std::u16string> get_string(std::u16string_view key_path, std::u16string_view name) {
    auto v = get_value(key_path, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
    std::u16string text(v->data.size() / 2, u'\0');
    std::memcpy(text.data(), v->data.data(), text.size() * 2);
    if (!text.empty() && text.back() == 0) text.pop_back();
    return text;
}

// ---------------------------------------------------------------------------------------------
// The whole store and the test hooks.

void reset() {
    std::lock_guard lock(store::mutex());
    store::root_locked() = seeded_tree();
    hooks().fail_next.clear();
}

void fail_next(Operation operation, NTSTATUS status) {
    std::lock_guard lock(store::mutex());
    hooks().fail_next[operation] = status;
}

void set_time_source(std::function<int64_t()> now) {
    std::lock_guard lock(store::mutex());
    hooks().now = std::move(now);
}

} // namespace hvsim::registry
