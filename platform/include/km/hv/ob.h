// Ob: object attributes, references and handles.
#pragma once

#include <ntdef.h>

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
struct _SECURITY_QUALITY_OF_SERVICE;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

// Standard and generic access rights.
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define SPECIFIC_RIGHTS_ALL 0x0000FFFFL
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

HV_EXTERN_C_BEGIN

// Routines: ObReferenceObjectByHandle ObfReferenceObject ObfDereferenceObject ZwClose.
//
// ObReferenceObjectByHandle: the object comes back referenced. ObjectType NULL accepts any type.
// STATUS_INVALID_HANDLE for a handle that is not open, STATUS_OBJECT_TYPE_MISMATCH for another
// type; with AccessMode UserMode, STATUS_ACCESS_DENIED when the handle lacks the access. Referencing
// or dereferencing a body that is not a live object is a bug check. ZwClose closes a handle of any
// type (STATUS_INVALID_HANDLE for one that is not open).
HV_API NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                          KPROCESSOR_MODE AccessMode, PVOID* Object,
                                          POBJECT_HANDLE_INFORMATION HandleInformation);
HV_API LONG_PTR ObfReferenceObject(PVOID Object);
HV_API LONG_PTR ObfDereferenceObject(PVOID Object);
HV_API NTSTATUS ZwClose(HANDLE Handle);

HV_EXTERN_C_END

#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)
