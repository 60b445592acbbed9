// The object namespace: named devices, driver objects, symbolic links and their directories.
//
//   IoCreateSymbolicLink IoCreateUnprotectedSymbolicLink IoDeleteSymbolicLink
//   ZwOpenSymbolicLinkObject ZwQuerySymbolicLinkObject
//   create_symbolic_link delete_symbolic_link symbolic_link_target symbolic_links
//   create_directory resolve_path find_device
//
// Names are full paths compared without regard to case; each keeps the case it was created
// with. "\DosDevices" and "\GLOBAL??" are aliases of "\??", the one DOS-device directory.
// Resolution walks a path component by component: a symbolic link restarts the walk at its
// target with the rest of the path appended, a device ends it and the rest of the path becomes
// the file name the device sees.
#include "io_internal.h"

#include <hv_wchar.h>
#include <hvsim/kernel.h>
#include <hvsim/object.h>

#include <cstring>
#include <map>
#include <set>

namespace hvsim::io::detail {
namespace {

constexpr int kMaxReparse = 32;

struct Entry {
    NameKind kind;
    std::u16string name; // as created, with the DOS aliases rewritten to "\??"
    void* object;        // device or driver object
    std::u16string target;
};

struct Namespace {
    std::mutex lock;
    std::map<std::u16string, Entry> entries; // by upcased name
    std::set<std::u16string> directories;    // upcased
};

Namespace& names() {
    static Namespace* ns = new Namespace; // used from static destructors of other sources
    return *ns;
}

const char16_t* const kStandardDirectories[] = {
    u"\\", u"\\DEVICE", u"\\DRIVER", u"\\??", u"\\CALLBACK", u"\\KERNELOBJECTS", u"\\FILESYSTEM",
};

std::u16string upcase(std::u16string_view text) {
    std::u16string out(text);
    for (auto& c : out) c = towupper(c);
    return out;
}

bool equal_nocase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (towupper(a[i]) != towupper(b[i])) return false;
    return true;
}

// Rewrites a DOS-device alias at the start of `path` to "\??".
NTSTATUS canonical(std::u16string_view path, std::u16string& out) {
    if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    for (std::u16string_view alias : {std::u16string_view(u"\\DosDevices"), std::u16string_view(u"\\GLOBAL??")}) {
        if (path.size() >= alias.size() && equal_nocase(path.substr(0, alias.size()), alias) &&
            (path.size() == alias.size() || path[alias.size()] == u'\\')) {
            out = u"\\??" + std::u16string(path.substr(alias.size()));
            return STATUS_SUCCESS;
        }
    }
    out = std::u16string(path);
    return STATUS_SUCCESS;
}

// A name to create: canonical, without empty components.
NTSTATUS canonical_name(std::u16string_view path, std::u16string& out) {
    NTSTATUS status = canonical(path, out);
    if (!NT_SUCCESS(status)) return status;
    if (out.size() < 2 || out.back() == u'\\' || out.find(u"\\\\") != std::u16string::npos)
        return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
}

std::u16string parent_key(const std::u16string& name) {
    size_t slash = name.rfind(u'\\');
    return slash == 0 ? std::u16string(u"\\") : upcase(name.substr(0, slash));
}

// Whether a new object or directory may take the name: its directory exists, the name is free.
NTSTATUS name_available_locked(Namespace& ns, const std::u16string& name) {
    if (!ns.directories.count(parent_key(name))) return STATUS_OBJECT_PATH_NOT_FOUND;
    std::u16string key = upcase(name);
    if (ns.entries.count(key) || ns.directories.count(key)) return STATUS_OBJECT_NAME_COLLISION;
    return STATUS_SUCCESS;
}

NTSTATUS insert_locked(Namespace& ns, const std::u16string& name, Entry entry) {
    NTSTATUS status = name_available_locked(ns, name);
    if (NT_SUCCESS(status)) ns.entries.emplace(upcase(name), std::move(entry));
    return status;
}

// Calls use(namespace, entry or entries.end(), status of the name's syntax) under the lock.
template <class Use> auto with_entry(std::u16string_view name, Use use) {
    std::u16string canon;
    NTSTATUS status = canonical(name, canon);
    auto& ns = names();
    std::lock_guard lock(ns.lock);
    auto found = NT_SUCCESS(status) ? ns.entries.find(upcase(canon)) : ns.entries.end();
    return use(ns, found, status);
}

ResolvedPath resolve_locked(Namespace& ns, std::u16string_view path, bool reference, int depth) {
    std::u16string canon;
    NTSTATUS status = canonical(path, canon);
    if (!NT_SUCCESS(status)) return {status, nullptr, {}};
    std::u16string key;
    size_t start = 1;
    for (;;) {
        size_t end = canon.find(u'\\', start);
        std::u16string_view component =
            std::u16string_view(canon).substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (component.empty()) return {STATUS_OBJECT_NAME_INVALID, nullptr, {}};
        key += u'\\';
        key += upcase(component);
        std::u16string rest = end == std::u16string::npos ? std::u16string() : canon.substr(end);
        auto found = ns.entries.find(key);
        if (found != ns.entries.end()) {
            const Entry& entry = found->second;
            switch (entry.kind) {
            case NameKind::SymbolicLink:
                if (depth >= kMaxReparse) return {STATUS_OBJECT_NAME_NOT_FOUND, nullptr, {}};
                return resolve_locked(ns, entry.target + rest, reference, depth + 1);
            case NameKind::Device:
                if (reference && !ob::reference_if_live(entry.object))
                    return {STATUS_OBJECT_NAME_NOT_FOUND, nullptr, {}};
                return {STATUS_SUCCESS, static_cast<DEVICE_OBJECT*>(entry.object), rest};
            case NameKind::Driver: return {STATUS_OBJECT_TYPE_MISMATCH, nullptr, {}};
            }
        }
        if (!ns.directories.count(key))
            return {
                end == std::u16string::npos ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND, nullptr, {}};
        if (end == std::u16string::npos) return {STATUS_OBJECT_TYPE_MISMATCH, nullptr, {}};
        start = end + 1;
    }
}

// What a link handle refers to: the target as it was when the handle was opened.
struct LinkObject {
    std::u16string target;
};

void destroy_link_object(void* body) { delete static_cast<LinkObject*>(body); }

_OBJECT_TYPE link_object_type = {"SymbolicLink", destroy_link_object};

void check_passive(const char* routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL)
        hvsim::bug_check(hvsim::IRQL_NOT_LESS_OR_EQUAL,
                         std::string(routine) + " called at IRQL " + std::to_string(irql));
}

NTSTATUS create_link(PUNICODE_STRING link, PUNICODE_STRING target) {
    if (!link || !target || !link->Buffer || !target->Buffer || !target->Length) return STATUS_INVALID_PARAMETER;
    return io::create_symbolic_link({link->Buffer, link->Length / sizeof(WCHAR)},
                                    {target->Buffer, target->Length / sizeof(WCHAR)});
}

} // namespace

NTSTATUS insert_name(std::u16string_view name, NameKind kind, void* object) {
    std::u16string canon;
    NTSTATUS status = canonical_name(name, canon);
    if (!NT_SUCCESS(status)) return status;
    auto& ns = names();
    std::lock_guard lock(ns.lock);
    return insert_locked(ns, canon, Entry{kind, canon, object, {}});
}

void remove_name(std::u16string_view name, void* object) {
    with_entry(name, [object](Namespace& ns, auto found, NTSTATUS) {
        if (found != ns.entries.end() && found->second.object == object) ns.entries.erase(found);
    });
}

void* find_named_object(std::u16string_view name, NameKind kind) {
    return with_entry(name, [kind](Namespace& ns, auto found, NTSTATUS) -> void* {
        return found != ns.entries.end() && found->second.kind == kind ? found->second.object : nullptr;
    });
}

ResolvedPath resolve_referenced(std::u16string_view path) {
    auto& ns = names();
    std::lock_guard lock(ns.lock);
    return resolve_locked(ns, path, true, 0);
}

void reset_namespace() {
    auto& ns = names();
    std::lock_guard lock(ns.lock);
    ns.entries.clear();
    ns.directories.clear();
    for (const char16_t* directory : kStandardDirectories) ns.directories.insert(directory);
}

} // namespace hvsim::io::detail

namespace hvsim::io {
using namespace detail;

LONG create_symbolic_link(std::u16string_view link, std::u16string_view target) {
    if (target.empty()) return STATUS_INVALID_PARAMETER;
    std::u16string canon;
    NTSTATUS status = canonical_name(link, canon);
    if (!NT_SUCCESS(status)) return status;
    auto& ns = names();
    std::lock_guard lock(ns.lock);
    return insert_locked(ns, canon, Entry{NameKind::SymbolicLink, canon, nullptr, std::u16string(target)});
}

LONG delete_symbolic_link(std::u16string_view link) {
    return with_entry(link, [](Namespace& ns, auto found, NTSTATUS status) -> LONG {
        if (!NT_SUCCESS(status)) return status;
        if (found == ns.entries.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (found->second.kind != NameKind::SymbolicLink) return STATUS_OBJECT_TYPE_MISMATCH;
        ns.entries.erase(found);
        return STATUS_SUCCESS;
    });
}

std::optional<std::u16string> symbolic_link_target(std::u16string_view link) {
    return with_entry(link, [](Namespace& ns, auto found, NTSTATUS) -> std::optional<std::u16string> {
        if (found == ns.entries.end() || found->second.kind != NameKind::SymbolicLink) return std::nullopt;
        return found->second.target;
    });
}

std::vector<std::pair<std::u16string, std::u16string>> symbolic_links(std::u16string_view directory) {
    std::vector<std::pair<std::u16string, std::u16string>> links;
    std::u16string canon;
    if (!NT_SUCCESS(canonical(directory, canon))) return links;
    std::u16string dir = upcase(canon);
    if (dir.size() > 1 && dir.back() == u'\\') dir.pop_back();
    auto& ns = names();
    std::lock_guard lock(ns.lock);
    for (const auto& [key, entry] : ns.entries)
        if (entry.kind == NameKind::SymbolicLink && parent_key(entry.name) == dir)
            links.emplace_back(entry.name, entry.target);
    return links;
}

LONG create_directory(std::u16string_view path) {
    std::u16string canon;
    NTSTATUS status = canonical_name(path, canon);
    if (!NT_SUCCESS(status)) return status;
    auto& ns = names();
    std::lock_guard lock(ns.lock);
    status = name_available_locked(ns, canon);
    if (NT_SUCCESS(status)) ns.directories.insert(upcase(canon));
    return status;
}

ResolvedPath resolve_path(std::u16string_view path) {
    auto& ns = names();
    std::lock_guard lock(ns.lock);
    return resolve_locked(ns, path, false, 0);
}

DeviceObject* find_device(std::u16string_view name) {
    ResolvedPath resolved = resolve_path(name);
    return NT_SUCCESS(resolved.status) && resolved.remainder.empty() ? resolved.device : nullptr;
}

} // namespace hvsim::io

using namespace hvsim::io::detail;

HV_EXTERN_C_BEGIN

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    return create_link(SymbolicLinkName, DeviceName);
}

// The machine keeps no security descriptors on links, so both kinds are the same.
NTSTATUS IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    return create_link(SymbolicLinkName, DeviceName);
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    if (!SymbolicLinkName || !SymbolicLinkName->Buffer) return STATUS_INVALID_PARAMETER;
    return hvsim::io::delete_symbolic_link({SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR)});
}

NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    check_passive("ZwOpenSymbolicLinkObject");
    if (!LinkHandle) return STATUS_INVALID_PARAMETER;
    *LinkHandle = nullptr;
    if (!ObjectAttributes || ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
    // No directory objects are handed out here, so names are always full paths.
    if (ObjectAttributes->RootDirectory) return STATUS_INVALID_HANDLE;
    PCUNICODE_STRING name = ObjectAttributes->ObjectName;
    if (!name || !name->Length || !name->Buffer || (name->Length & 1) || name->Length > name->MaximumLength)
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string target;
    NTSTATUS status = with_entry({name->Buffer, name->Length / sizeof(WCHAR)},
                                 [&target](Namespace& ns, auto found, NTSTATUS syntax) -> NTSTATUS {
                                     if (!NT_SUCCESS(syntax)) return syntax;
                                     if (found == ns.entries.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
                                     if (found->second.kind != NameKind::SymbolicLink)
                                         return STATUS_OBJECT_TYPE_MISMATCH;
                                     target = found->second.target;
                                     return STATUS_SUCCESS;
                                 });
    if (!NT_SUCCESS(status)) return status;
    auto* object = new LinkObject{std::move(target)};
    hvsim::ob::insert_object(object, &link_object_type);
    *LinkHandle = hvsim::ob::create_handle(object, DesiredAccess);
    hvsim::ob::dereference(object); // the handle holds it now
    return STATUS_SUCCESS;
}

NTSTATUS ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget, PULONG ReturnedLength) {
    check_passive("ZwQuerySymbolicLinkObject");
    if (!LinkTarget) return STATUS_INVALID_PARAMETER;
    void* body = nullptr;
    NTSTATUS status = hvsim::ob::reference_by_handle(LinkHandle, &link_object_type, &body);
    if (!NT_SUCCESS(status)) return status;
    const std::u16string& target = static_cast<LinkObject*>(body)->target;
    ULONG bytes = (ULONG)(target.size() * sizeof(WCHAR));
    if (ReturnedLength) *ReturnedLength = bytes;
    if (bytes > LinkTarget->MaximumLength || (bytes && !LinkTarget->Buffer)) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        if (bytes) std::memcpy(LinkTarget->Buffer, target.data(), bytes);
        LinkTarget->Length = (USHORT)bytes;
        if (bytes + sizeof(WCHAR) <= LinkTarget->MaximumLength) LinkTarget->Buffer[target.size()] = 0;
    }
    hvsim::ob::dereference(body);
    return status;
}

HV_EXTERN_C_END
