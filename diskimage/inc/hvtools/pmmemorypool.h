// The driver's tracked memory pool, the root object of the framework classes and the pool-backed lists.
#pragma once

#include <wdm.h>

#include <pmspinlock.h>
#include <pmusagelock.h>

// Pool tags, built so that the four characters read in order in memory.
#define PM_POOL_TAG(a, b, c, d) ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))
#define PM_TAG_POOL PM_POOL_TAG('P', 'm', 'K', 'O')       // the pool object and its tracking table
#define PM_TAG_BLOCK PM_POOL_TAG('P', 'm', 'K', 'P')      // tracking blocks
#define PM_TAG_ALLOCATION PM_POOL_TAG('P', 'm', 'K', 'i') // everything handed out by the pool
#define PM_TAG_COPY PM_POOL_TAG('P', 'm', 'O', 'C')       // text copies that strings hand to callers

// A tracking block: slot 0 links to the next block, slots 1 to 100 hold tracked pointers.
#define PM_TRACKING_SLOTS 101

struct PmTrackingTable {
    PVOID* m_ppvFirstBlock;
    PVOID* m_ppvCurrentBlock;
    ULONG m_ulNextSlot; // 1 to 101 in the current block
    ULONG m_ulFailedBlockAllocations;
    CPmSpinLock m_SpinLock;
};

class CPmMemoryPool {
public:
    NTSTATUS m_ntStatus;
    PmTrackingTable* m_pTable;
    // A size of 0 is allocated as 1 byte, and a pointer the table does not hold never reaches ExFreePool.
    BOOLEAN m_bStrict;

    explicit CPmMemoryPool(BOOLEAN bStrict);
    ~CPmMemoryPool();
    CPmMemoryPool(const CPmMemoryPool&) = delete;
    CPmMemoryPool& operator=(const CPmMemoryPool&) = delete;

    // The pool object itself comes from the system (tag PmKO), not from a pool.
    static void* operator new(size_t size, POOL_TYPE ePoolType) noexcept;
    static void operator delete(void* pv) noexcept;

    // One call per pool user (driver entry); the first creates the pool.
    static BOOLEAN m_CreateGlobal();
    // The last user frees every allocation still tracked, then the pool.
    static void m_DestroyGlobal();

    PVOID m_AllocateBuffer(POOL_TYPE ePoolType, ULONG ulSize);
    PVOID m_Allocate(SIZE_T size, POOL_TYPE ePoolType);
    // Removes the pointer from the table: STATUS_SUCCESS or STATUS_INVALID_PARAMETER.
    NTSTATUS m_Free(PVOID pv);
    // What every owner calls to give memory back: ExFreePool only for memory this pool handed out
    // (or for anything, when the pool is not strict).
    void m_FreeMemory(PVOID pv);

    // Number of tracking blocks, the next free slot of the current one, and failed block allocations.
    void m_QueryTracking(PULONG pulBlocks, PULONG pulNextSlot, PULONG pulFailedBlocks);

private:
    NTSTATUS m_Enter(PVOID pv);
    NTSTATUS m_Remove(PVOID pv);
    void m_TakeOutLastSlot();
    void m_FreeAll();
};

// This driver's pool and its count of users.
extern CPmMemoryPool* g_pPmMemoryPool;
extern LONG g_lPmMemoryPoolUsers;

// The global pool; NULL (or nothing freed) while there is none.
PVOID PmAllocateMemory(SIZE_T size, POOL_TYPE ePoolType);
PVOID PmAllocateZeroedMemory(SIZE_T size, POOL_TYPE ePoolType);
void PmFreeMemory(PVOID pv);

// Objects of other classes placed in the global pool: new (PagedPool) T(...), then PmDeleteObject.
void* operator new(size_t size, POOL_TYPE ePoolType) noexcept;
void operator delete(void* pv, POOL_TYPE ePoolType) noexcept;

template <class T> inline void PmDeleteObject(T* p) {
    if (p) {
        p->~T();
        PmFreeMemory(p);
    }
}

// Root of the framework classes: created with new (pool type) and deleted through the global pool.
class CPmObject {
public:
    virtual ~CPmObject() {}

    static void* operator new(size_t size, POOL_TYPE ePoolType) noexcept;
    static void operator delete(void* pv) noexcept;
    static void operator delete(void* pv, POOL_TYPE ePoolType) noexcept;
};

struct PmListNode {
    PVOID m_pvElement;
    PmListNode* m_pNext;
    PmListNode* m_pPrevious;
    PVOID m_pvSpare;
};

static_assert(sizeof(PmListNode) == 32, "list node layout");

// The links of the framework's doubly linked lists; positions are 1-based.
void PmLinkAtTail(PmListNode** ppHead, PmListNode** ppTail, PmListNode* pNode);
void PmUnlinkNode(PmListNode** ppHead, PmListNode** ppTail, PmListNode* pNode);
PmListNode* PmNodeAt(PmListNode* pHead, ULONG ulCount, ULONG ulPosition);

// Doubly linked list of pointers, nodes from the global pool. Not locked: its owner locks it.
class CPmPointerList {
public:
    PmListNode* m_pHead;
    PmListNode* m_pTail;
    PmListNode* m_pCursor;
    POOL_TYPE m_ePoolType;
    ULONG m_ulCount;

    explicit CPmPointerList(POOL_TYPE ePoolType = NonPagedPool);
    // Frees the nodes; elements belong to the owner.
    ~CPmPointerList() { m_RemoveAll(); }

    CPmPointerList(const CPmPointerList&) = delete;
    CPmPointerList& operator=(const CPmPointerList&) = delete;

    // Appends at the tail; the new node, or NULL when it cannot be allocated.
    PmListNode* m_Append(PVOID pvElement);
    PVOID m_RemoveHead();
    // Removes the node at the cursor and gives its element; the cursor moves to the following node.
    PVOID m_RemoveAtCursor();
    // The n-th element, 1-based.
    PVOID m_GetAt(ULONG ulIndex);

    // Iteration through the cursor.
    PVOID m_GetFirst();
    PVOID m_GetNext();
    PVOID m_GetCurrent();

    ULONG m_GetCount() const { return m_ulCount; }

    void m_RemoveAll();
    void m_Clear();
    void m_DeleteFixedListElements();
    void m_DeleteAll();

    PVOID m_AddNewPointer();
    PVOID m_AddNewRecord();
    PVOID m_AddNew();

private:
    // Unlinks and frees the node; gives its element.
    PVOID m_Take(PmListNode* pNode);
    PVOID m_AddNewZeroed(ULONG ulSize);
};

#define PM_LOCKED_LIST_RECORDS 10
#define PM_LOCKED_LIST_RECORD_SIZE 56

// A pointer list guarded by a spin lock, with records preallocated at construction.
class CPmLockedList {
public:
    CPmPointerList m_List;
    CPmSpinLock m_SpinLock;
    CPmUsageLock m_UsageLock;
    KEVENT m_kEvent;
    ULONG m_ulRecordCount;

    explicit CPmLockedList(POOL_TYPE ePoolType = NonPagedPool);
    ~CPmLockedList() { m_Clear(); }

    void m_Clear();
};

#define PM_FIXED_NODE_SIZE 32
#define PM_FIXED_ELEMENT_SIZE 24

struct PmFixedBlockArray {
    PUCHAR m_pucBase;
    PULONG m_pulInUse;  // one flag per block
    LONG m_lFirstFree;  // -1 when no free block is known
    ULONG m_ulCapacity; // in blocks
};

// A list whose nodes and elements come from two fixed-capacity block arrays instead of the pool.
class CPmFixedList {
public:
    PmListNode* m_pHead;
    PmListNode* m_pTail;
    ULONG m_ulCount;
    PmFixedBlockArray m_Nodes;
    PmFixedBlockArray m_Elements;

    CPmFixedList();
    ~CPmFixedList() { m_Clear(); }

    CPmFixedList(const CPmFixedList&) = delete;
    CPmFixedList& operator=(const CPmFixedList&) = delete;

    // Allocates both arrays with room for ulCapacity elements.
    BOOLEAN m_Initialize(ULONG ulCapacity, POOL_TYPE ePoolType);
    // A zeroed element appended at the tail, or NULL when the arrays are full or absent.
    PVOID m_AddElement();
    BOOLEAN m_RemoveElement(PVOID pvElement);
    PVOID m_GetAt(ULONG ulIndex);
    ULONG m_GetCount() const { return m_ulCount; }

    // Returns every element and node to its array, then frees both arrays.
    void m_Clear();

    // Gives a block back; FALSE (with an assertion line) when the pointer is not a block in use.
    static BOOLEAN m_ReturnBlock(PmFixedBlockArray* pArray, ULONG ulBlockSize, PVOID pvBlock);

private:
    static BOOLEAN m_AllocateArray(PmFixedBlockArray* pArray, ULONG ulBlockSize, ULONG ulCapacity,
                                   POOL_TYPE ePoolType);
    static PVOID m_TakeBlock(PmFixedBlockArray* pArray, ULONG ulBlockSize);
    static void m_FreeArray(PmFixedBlockArray* pArray);
};
