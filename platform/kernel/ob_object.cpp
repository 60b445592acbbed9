// Object manager: reference counts on object bodies of every family and the kernel handle table.
//
//   ObReferenceObjectByHandle ObfReferenceObject ObfDereferenceObject ZwClose
//   hvsim::ob::insert_object is_object type_of reference dereference reference_if_live
//   reference_count create_handle reference_by_handle close_handle open_handle_count open_handles
//   open_handle_report live_object_count
//
// At shutdown the handles still open are reported to the debugger log and closed.
#include <hvsim/debug_log.h>
#include <hvsim/kernel.h>
#include <hvsim/object.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <unordered_map>

namespace hvsim::ob {
namespace {

constexpr ULONG REFERENCE_BY_POINTER = 0x18;

struct Record {
    const ObjectType* type;
    LONG_PTR count;
};

struct HandleEntry {
    void* body;
    ACCESS_MASK access;
};

struct State {
    std::mutex mutex;
    std::unordered_map<const void*, Record> objects;
    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t next_handle = 4;
};

State& state() {
    static State* s = new State; // used from other images' static destructors
    return *s;
}

const char* type_name(const ObjectType* type) { return type && type->name ? type->name : "?"; }

std::string describe(const void* body) {
    char text[40];
    std::snprintf(text, sizeof text, "%p", body);
    return text;
}

void destroy(void* body, const ObjectType* type) {
    if (type && type->destroy) type->destroy(body);
}

void shutdown() {
    std::string report = open_handle_report();
    if (!report.empty()) debugger_log_write("Kernel shutdown: handles still open:\n" + report);
    std::vector<uintptr_t> open;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        for (auto& [handle, entry] : s.handles) open.push_back(handle);
    }
    for (uintptr_t handle : open) close_handle((HANDLE)handle);
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.objects.empty()) {
        char line[96];
        std::snprintf(line, sizeof line, "Kernel shutdown: %zu objects still referenced\n", s.objects.size());
        debugger_log_write(line);
    }
    s.next_handle = 4;
}

const bool registered = [] {
    register_kernel_subsystem({"object manager", -80, nullptr, shutdown});
    return true;
}();

} // namespace

void insert_object(void* body, const ObjectType* type) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.objects.emplace(body, Record{type, 1}).second)
        bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "object " + describe(body) + " inserted twice");
}

bool is_object(const void* body, const ObjectType* type) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.objects.find(body);
    return it != s.objects.end() && (!type || it->second.type == type);
}

const ObjectType* type_of(const void* body) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.objects.find(body);
    return it == s.objects.end() ? nullptr : it->second.type;
}

LONG_PTR reference(void* body) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.objects.find(body);
    if (it == s.objects.end())
        bug_check(REFERENCE_BY_POINTER, "reference to " + describe(body) + ", which is not a live object");
    return ++it->second.count;
}

bool reference_if_live(void* body) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.objects.find(body);
    if (it == s.objects.end()) return false;
    ++it->second.count;
    return true;
}

LONG_PTR dereference(void* body) {
    const ObjectType* type;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        auto it = s.objects.find(body);
        if (it == s.objects.end())
            bug_check(REFERENCE_BY_POINTER, "dereference of " + describe(body) + ", which is not a live object");
        if (--it->second.count > 0) return it->second.count;
        type = it->second.type;
        s.objects.erase(it);
    }
    destroy(body, type);
    return 0;
}

LONG_PTR reference_count(const void* body) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.objects.find(body);
    return it == s.objects.end() ? 0 : it->second.count;
}

HANDLE create_handle(void* body, ACCESS_MASK granted_access) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.objects.find(body);
    if (it == s.objects.end())
        bug_check(REFERENCE_BY_POINTER, "handle to " + describe(body) + ", which is not a live object");
    ++it->second.count;
    uintptr_t handle = s.next_handle;
    s.next_handle += 4;
    s.handles.emplace(handle, HandleEntry{body, granted_access});
    return (HANDLE)handle;
}

NTSTATUS reference_by_handle(HANDLE handle, const ObjectType* type, void** body, ACCESS_MASK* granted_access) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.handles.find((uintptr_t)handle);
    if (it == s.handles.end()) return STATUS_INVALID_HANDLE;
    auto object = s.objects.find(it->second.body);
    if (object == s.objects.end()) return STATUS_INVALID_HANDLE;
    if (type && object->second.type != type) return STATUS_OBJECT_TYPE_MISMATCH;
    ++object->second.count;
    if (body) *body = it->second.body;
    if (granted_access) *granted_access = it->second.access;
    return STATUS_SUCCESS;
}

NTSTATUS close_handle(HANDLE handle) {
    void* body;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        auto it = s.handles.find((uintptr_t)handle);
        if (it == s.handles.end()) return STATUS_INVALID_HANDLE;
        body = it->second.body;
        s.handles.erase(it);
    }
    dereference(body);
    return STATUS_SUCCESS;
}

size_t open_handle_count(const ObjectType* type) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    size_t n = 0;
    for (auto& [handle, entry] : s.handles) {
        auto object = s.objects.find(entry.body);
        if (!type || (object != s.objects.end() && object->second.type == type)) ++n;
    }
    return n;
}

std::vector<OpenHandle> open_handles() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    std::vector<OpenHandle> out;
    for (auto& [handle, entry] : s.handles) {
        auto object = s.objects.find(entry.body);
        out.push_back(
            {(HANDLE)handle, object == s.objects.end() ? nullptr : object->second.type, entry.body, entry.access});
    }
    return out;
}

std::string open_handle_report() {
    std::string report;
    for (const auto& h : open_handles()) {
        char line[128];
        std::snprintf(line, sizeof line, "  handle 0x%zx %s (access 0x%x)\n", (size_t)(uintptr_t)h.handle,
                      type_name(h.type), h.granted_access);
        report += line;
    }
    return report;
}

size_t live_object_count(const ObjectType* type) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!type) return s.objects.size();
    size_t n = 0;
    for (auto& [body, record] : s.objects)
        if (record.type == type) ++n;
    return n;
}

} // namespace hvsim::ob

HV_EXTERN_C_BEGIN

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
    if (!Object) return STATUS_INVALID_PARAMETER;
    *Object = nullptr;
    void* body = nullptr;
    ACCESS_MASK granted = 0;
    NTSTATUS status = hvsim::ob::reference_by_handle(Handle, ObjectType, &body, &granted);
    if (!NT_SUCCESS(status)) return status;
    if (AccessMode == UserMode && (granted & DesiredAccess) != DesiredAccess && !(granted & GENERIC_ALL)) {
        hvsim::ob::dereference(body);
        return STATUS_ACCESS_DENIED;
    }
    *Object = body;
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = granted;
    }
    return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object) { return hvsim::ob::reference(Object); }
LONG_PTR ObfDereferenceObject(PVOID Object) { return hvsim::ob::dereference(Object); }
NTSTATUS ZwClose(HANDLE Handle) { return hvsim::ob::close_handle(Handle); }

HV_EXTERN_C_END
