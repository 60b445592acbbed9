// Device interfaces: registration on a PDO, the interface's symbolic link (enabled interfaces
// only) and its registration under Control\DeviceClasses.
#include "pnp_internal.h"

#include <hvsim/io.h>
#include <hvsim/kernel.h>
#include <hvsim/pool.h>

#include <algorithm>
#include <cstring>

namespace hvsim::pnp::detail {
namespace {

struct Interface {
    GUID guid{};
    std::u16string reference;
    std::u16string base; // "ROOT#PORTS#0000#{guid}": the link's name below "\??\" without the reference
    DevInst node = no_node;
    std::u16string instance_id;
    PDEVICE_OBJECT pdo = nullptr;
    bool enabled = false;

    std::u16string tail() const { return reference.empty() ? base : base + u"\\" + reference; }
    std::u16string kernel_link() const { return u"\\??\\" + tail(); }
    std::u16string user_path() const { return u"\\\\?\\" + tail(); }
};

struct InterfaceState {
    std::mutex mutex;
    std::vector<Interface> interfaces;
};

InterfaceState& state() {
    static InterfaceState* s = new InterfaceState;
    return *s;
}

std::u16string lower(std::u16string text) {
    for (auto& c : text)
        if (c >= u'A' && c <= u'Z') c = (char16_t)(c - u'A' + u'a');
    return text;
}

std::u16string class_key_path(const Interface& i) {
    return std::u16string(kDeviceClassesPath) + u"\\" + lower(guid_to_string(i.guid)) + u"\\##?#" + i.base;
}

std::u16string reference_key_path(const Interface& i) { return class_key_path(i) + u"\\#" + i.reference; }

// The part after "\??\" or "\\?\", or empty when the text is neither form.
std::u16string tail_of(std::u16string_view link) {
    if (link.size() > 4 && (link.substr(0, 4) == u"\\??\\" || link.substr(0, 4) == u"\\\\?\\"))
        return std::u16string(link.substr(4));
    return {};
}

Interface* find_by_link(std::u16string_view link) {
    std::u16string tail = tail_of(link);
    if (tail.empty()) return nullptr;
    for (auto& i : state().interfaces)
        if (iequals(i.tail(), tail)) return &i;
    return nullptr;
}

bool link_in_use(const Interface& self) {
    for (const auto& i : state().interfaces)
        if (&i != &self && i.enabled && iequals(i.base, self.base)) return true;
    return false;
}

NTSTATUS set_state(Interface& i, bool enable) {
    if (enable == i.enabled) return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
    if (enable && !i.pdo) return STATUS_INVALID_DEVICE_STATE; // its device is gone
    // Interfaces that differ only by reference string share one link to the PDO; the
    // reference string travels as the rest of the opened path.
    std::u16string link = u"\\??\\" + i.base;
    if (enable) {
        std::u16string target = io::ensure_device_name(i.pdo);
        if (!link_in_use(i)) {
            NTSTATUS status = io::create_symbolic_link(link, target);
            if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_COLLISION) return status;
        }
        i.enabled = true;
        registry::Key control;
        registry::CreateOptions options;
        options.create_parents = true;
        options.is_volatile = true;
        if (NT_SUCCESS(registry::create(nullptr, reference_key_path(i) + u"\\Control", &control, nullptr, options)))
            write_dword(control, u"Linked", 1);
    } else {
        i.enabled = false;
        if (!link_in_use(i)) io::delete_symbolic_link(link);
        if (registry::Key control = open_key(reference_key_path(i) + u"\\Control")) registry::delete_tree(control);
    }
    return STATUS_SUCCESS;
}

void require_passive(const char* routine) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        bug_check(IRQL_NOT_LESS_OR_EQUAL, std::string(routine) + " called above PASSIVE_LEVEL");
}

InterfaceInfo info_of(const Interface& i) {
    return {i.guid, i.reference, i.kernel_link(), i.user_path(), i.node, i.enabled};
}

} // namespace

void disable_interfaces_of(Node* node) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    for (auto& i : s.interfaces)
        if (i.node == node->devinst && i.enabled) set_state(i, false);
}

void detach_interfaces(DevInst node) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    for (auto& i : s.interfaces)
        if (i.node == node) {
            if (i.enabled) set_state(i, false);
            i.pdo = nullptr;
            i.node = no_node;
        }
}

void forget_interfaces() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    for (auto& i : s.interfaces)
        if (i.enabled) set_state(i, false);
    s.interfaces.clear();
}

} // namespace hvsim::pnp::detail

namespace hvsim::pnp {

using namespace detail;

std::vector<InterfaceInfo> interfaces(const GUID& class_guid, bool enabled_only) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    std::vector<InterfaceInfo> out;
    for (const auto& i : s.interfaces)
        if (i.guid == class_guid && (i.enabled || !enabled_only)) out.push_back(info_of(i));
    return out;
}

std::vector<InterfaceInfo> interfaces_of(DevInst node) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    std::vector<InterfaceInfo> out;
    for (const auto& i : s.interfaces)
        if (i.node == node) out.push_back(info_of(i));
    return out;
}

} // namespace hvsim::pnp

using namespace hvsim;
using namespace hvsim::pnp;
using namespace hvsim::pnp::detail;

namespace {

std::u16string from_counted(PCUNICODE_STRING text) {
    if (!text || !text->Buffer) return {};
    return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

// A string in pool memory charged to the driver that asked, which frees it with
// RtlFreeUnicodeString (hence the Rtl strings' tag).
bool pool_unicode_string(std::u16string_view text, PUNICODE_STRING out, const void* caller) {
    size_t bytes = (text.size() + 1) * sizeof(WCHAR);
    auto* buffer = (WCHAR*)pool::allocate(PagedPool, bytes, pool::tag_from_text("Strg"), caller);
    if (!buffer) return false;
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = 0;
    out->Buffer = buffer;
    out->Length = (USHORT)(text.size() * sizeof(WCHAR));
    out->MaximumLength = (USHORT)bytes;
    return true;
}

} // namespace

HV_EXTERN_C_BEGIN

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    const void* caller = __builtin_return_address(0);
    require_passive("IoRegisterDeviceInterface");
    if (!InterfaceClassGuid || !SymbolicLinkName) return STATUS_INVALID_PARAMETER;
    std::u16string reference = from_counted(ReferenceString);
    if (reference.find_first_of(u"\\/") != std::u16string::npos) return STATUS_INVALID_DEVICE_REQUEST;

    Interface wanted;
    {
        std::lock_guard lock(tree_mutex());
        Node* node = node_by_pdo(PhysicalDeviceObject);
        if (!node) return STATUS_INVALID_DEVICE_REQUEST;
        wanted.node = node->devinst;
        wanted.instance_id = node->instance_id;
    }
    wanted.guid = *InterfaceClassGuid;
    wanted.reference = reference;
    wanted.pdo = PhysicalDeviceObject;
    wanted.base = wanted.instance_id;
    std::replace(wanted.base.begin(), wanted.base.end(), u'\\', u'#');
    wanted.base += u"#" + lower(guid_to_string(wanted.guid));

    auto& s = state();
    std::u16string link;
    {
        std::lock_guard lock(s.mutex);
        // A device that comes back (a new node for the same instance) keeps its interfaces.
        auto it = std::find_if(s.interfaces.begin(), s.interfaces.end(), [&](const Interface& i) {
            return iequals(i.instance_id, wanted.instance_id) && i.guid == wanted.guid &&
                   iequals(i.reference, wanted.reference);
        });
        if (it == s.interfaces.end()) {
            s.interfaces.push_back(wanted);
            it = s.interfaces.end() - 1;
        }
        it->pdo = PhysicalDeviceObject;
        it->node = wanted.node;
        link = it->kernel_link();
        registry::Key class_key = create_key(class_key_path(*it));
        write_string(class_key, u"DeviceInstance", it->instance_id);
        registry::Key reference_key = create_key(reference_key_path(*it));
        write_string(reference_key, u"SymbolicLink", it->user_path());
    }
    if (!pool_unicode_string(link, SymbolicLinkName, caller)) return STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    require_passive("IoSetDeviceInterfaceState");
    std::u16string link = from_counted(SymbolicLinkName);
    auto& s = state();
    std::lock_guard lock(s.mutex);
    Interface* i = find_by_link(link);
    if (!i) return STATUS_OBJECT_NAME_NOT_FOUND;
    return set_state(*i, Enable != FALSE);
}

NTSTATUS IoGetDeviceInterfaces(const GUID* InterfaceClassGuid, PDEVICE_OBJECT PhysicalDeviceObject, ULONG Flags,
                               PWSTR* SymbolicLinkList) {
    const void* caller = __builtin_return_address(0);
    require_passive("IoGetDeviceInterfaces");
    if (!InterfaceClassGuid || !SymbolicLinkList) return STATUS_INVALID_PARAMETER;
    *SymbolicLinkList = nullptr;
    DevInst only = no_node;
    if (PhysicalDeviceObject) {
        std::lock_guard lock(tree_mutex());
        Node* node = node_by_pdo(PhysicalDeviceObject);
        if (!node) return STATUS_INVALID_DEVICE_REQUEST;
        only = node->devinst;
    }
    std::u16string list;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        for (const auto& i : s.interfaces) {
            if (!(i.guid == *InterfaceClassGuid)) continue;
            if (only != no_node && i.node != only) continue;
            if (!i.enabled && !(Flags & DEVICE_INTERFACE_INCLUDE_NONACTIVE)) continue;
            list += i.kernel_link();
            list.push_back(0);
        }
    }
    list.push_back(0);
    auto* buffer = (WCHAR*)pool::allocate(PagedPool, list.size() * sizeof(WCHAR), kPnpTag, caller);
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, list.data(), list.size() * sizeof(WCHAR));
    *SymbolicLinkList = buffer;
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceInterfaceRegistryKey(PUNICODE_STRING SymbolicLinkName, ACCESS_MASK DesiredAccess,
                                          PHANDLE DeviceInterfaceKey) {
    require_passive("IoOpenDeviceInterfaceRegistryKey");
    if (!DeviceInterfaceKey) return STATUS_INVALID_PARAMETER;
    *DeviceInterfaceKey = nullptr;
    std::u16string path;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        Interface* i = find_by_link(from_counted(SymbolicLinkName));
        if (!i) return STATUS_OBJECT_NAME_NOT_FOUND;
        path = reference_key_path(*i) + u"\\Device Parameters";
    }
    return open_kernel_key(path, DesiredAccess, DeviceInterfaceKey);
}

HV_EXTERN_C_END
