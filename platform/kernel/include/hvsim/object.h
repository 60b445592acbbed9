// Object manager of the stand-in kernel: reference counts and the kernel handle table.
// Kernel objects of every family (threads, registry keys, device and file objects, callback
// objects, events) are made known here so that ObReferenceObject, ObDereferenceObject,
// ObReferenceObjectByHandle and ZwClose work on all of them.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

// POBJECT_TYPE of the kernel API points at one of these.
struct _OBJECT_TYPE {
    const char* name;
    // Called when the last reference goes; frees the body.
    void (*destroy)(void* body);
};

namespace hvsim::ob {

using ObjectType = ::_OBJECT_TYPE;

// Makes a body known with one reference. A body known already is a bug check.
void insert_object(void* body, const ObjectType* type);
// True if the body is a live object (of the given type, when one is given).
bool is_object(const void* body, const ObjectType* type = nullptr);
const ObjectType* type_of(const void* body);
// Referencing or dereferencing a body that is not a live object is a bug check.
LONG_PTR reference(void* body);
// Destroys the object (outside the object manager's lock) when the count reaches zero.
LONG_PTR dereference(void* body);
// Takes a reference only when the body is still live; for namespaces that look a body up by name
// while its last reference may be going.
bool reference_if_live(void* body);
LONG_PTR reference_count(const void* body);

// A handle takes its own reference to the body. Handles are small non-zero multiples of 4, never
// given out twice in one boot.
HANDLE create_handle(void* body, ACCESS_MASK granted_access);
NTSTATUS reference_by_handle(HANDLE handle, const ObjectType* type, void** body, ACCESS_MASK* granted_access = nullptr);
// STATUS_INVALID_HANDLE for a handle that is not open.
NTSTATUS close_handle(HANDLE handle);
size_t open_handle_count(const ObjectType* type = nullptr);

struct OpenHandle {
    HANDLE handle;
    const ObjectType* type;
    void* body;
    ACCESS_MASK granted_access;
};
std::vector<OpenHandle> open_handles();
// One line per open handle ("handle 0x10 Key (access 0x20019)"); empty when none is open.
std::string open_handle_report();
// Objects still known to the object manager (with or without handles).
size_t live_object_count(const ObjectType* type = nullptr);

} // namespace hvsim::ob
