// Ex: the executive's pool and its named callback objects.
//
//   ExAllocatePoolWithTag ExAllocatePool ExAllocatePoolZero ExFreePool ExFreePoolWithTag
//   ExCreateCallback ExRegisterCallback ExUnregisterCallback ExNotifyCallback ExRaiseStatus
//
// Pool rules checked always (each a bug check): paged pool at DISPATCH_LEVEL or above, nonpaged
// pool above DISPATCH_LEVEL, a double free, a free of memory the pool never gave, a free with a
// tag other than the allocation's. Fresh blocks are filled with a non-zero pattern; freed blocks
// are poisoned.
#pragma once

#include <ntdef.h>
#include <hv/ob.h>

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = NonPagedPool,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    MaxPoolType = 7,
    NonPagedPoolBase = 0,
    NonPagedPoolSession = 32,
    PagedPoolSession = 33,
    NonPagedPoolMustSucceedSession = 34,
    DontUseThisTypeSession = 35,
    NonPagedPoolCacheAlignedSession = 36,
    PagedPoolCacheAlignedSession = 37,
    NonPagedPoolCacheAlignedMustSSession = 38,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
    NonPagedPoolSessionNx = 544,
} POOL_TYPE;

// Modifiers that may be or-ed into a pool type.
#define POOL_QUOTA_FAIL_INSTEAD_OF_RAISE 8
#define POOL_RAISE_IF_ALLOCATION_FAILURE 16
#define POOL_COLD_ALLOCATION 256

// Callback objects are opaque.
typedef struct _CALLBACK_OBJECT* PCALLBACK_OBJECT;
typedef VOID CALLBACK_FUNCTION(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
typedef CALLBACK_FUNCTION* PCALLBACK_FUNCTION;

HV_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// Pool. Blocks are 16-byte aligned. A size of 0 gives a valid block. NULL on failure (including
// an injected one).
HV_API PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
// Tag "None".
HV_API PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
// As ExAllocatePoolWithTag, the block zeroed.
HV_API PVOID ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
HV_API VOID ExFreePool(PVOID P);
HV_API VOID ExFreePoolWithTag(PVOID P, ULONG Tag);

// Raises a status: there is no structured exception handling here, so this is a bug check
// (KMODE_EXCEPTION_NOT_HANDLED) naming the status.
HV_API __attribute__((noreturn)) VOID ExRaiseStatus(NTSTATUS Status);

// ---------------------------------------------------------------------------------------------
// Callback objects, in the "\Callback\" namespace shared by every image of the machine. Names are
// compared without regard to case. With OBJ_PERMANENT the object stays in the namespace after its
// last reference goes.
//
// ExCreateCallback: opens the named object, or creates it when Create is TRUE; the object comes
// back referenced (release with ObDereferenceObject). STATUS_OBJECT_NAME_NOT_FOUND when it does
// not exist and Create is FALSE; STATUS_OBJECT_PATH_NOT_FOUND for a name outside "\Callback\".
HV_API NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes,
                                 BOOLEAN Create, BOOLEAN AllowMultipleCallbacks);
// Returns the registration, or NULL when the object allows one callback and has it already. The
// registration keeps a reference to the object.
HV_API PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction,
                                PVOID CallbackContext);
// Waits until no other thread is inside this registration's routine.
HV_API VOID ExUnregisterCallback(PVOID CallbackRegistration);
// Calls every registered routine in registration order, in the caller's thread and at its IRQL.
HV_API VOID ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2);

extern __attribute__((visibility("default"))) POBJECT_TYPE* ExCallbackObjectType;

HV_EXTERN_C_END
