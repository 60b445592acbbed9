// Object manager of the stand-in kernel: reference counts and the kernel handle table.
// Kernel objects of every family (threads, registry keys, device and file objects, callback
// objects, events) are made known here so that ObReferenceObject, ObDereferenceObject,
// ObReferenceObjectByHandle and ZwClose work on all of them.
#pragma once

#include <wdm.h>

// POBJECT_TYPE of the kernel API points at one of these.
struct _OBJECT_TYPE {
    const char* name;
    // Called when the last reference goes; frees the body.
    void (*destroy)(void* body);
};

namespace hvsim::ob {

using ObjectType = ::_OBJECT_TYPE;

// Makes a body known with one reference.
void insert_object(void* body, const ObjectType* type);
// True if the body is a live object (of the given type, when one is given).
bool is_object(const void* body, const ObjectType* type = nullptr);
const ObjectType* type_of(const void* body);
LONG_PTR reference(void* body);
// Destroys the object when the count reaches zero.
LONG_PTR dereference(void* body);
LONG_PTR reference_count(const void* body);

// A handle takes its own reference to the body.
HANDLE create_handle(void* body, ACCESS_MASK granted_access);
NTSTATUS reference_by_handle(HANDLE handle, const ObjectType* type, void** body,
                             ACCESS_MASK* granted_access = nullptr);
NTSTATUS close_handle(HANDLE handle);
size_t open_handle_count(const ObjectType* type = nullptr);

} // namespace hvsim::ob
