// Records from a framework physical device to the functional device of another framework driver
// above it, without an interface record: the physical device keeps a record queue that announces
// each record through an event and a size word of the reader's; the functional device keeps a
// reader whose thread reads the records as they are announced and hands them to its driver.
//
// A record, as the queue announces it and as a read at the physical device carries it:
//
//   offset 0   ULONG_PTR value (8 bytes, the machine's byte order)
//   offset 8   the data (any length, also none)
//
// The size word holds the whole record's length, data + 8, of the record at the head of the queue
// (0 when the queue is empty); a read must ask for exactly that length to take the record.
#pragma once

#include <wdm.h>

#include <pmbuffer.h>
#include <pmmemorypool.h>
#include <pmspinlock.h>

#define PM_RECORD_HEADER_SIZE sizeof(ULONG_PTR)

// The 16-byte input of IOCTL_HVGENDRV_ATTACH_NOTIFIER: where the reader wants to be told. Both
// NULL detaches the reader (the queue and its records go).
struct PmNotifierRecord {
    PKEVENT m_pkNotificationEvent;
    PULONG m_pulSizeWord;
};

static_assert(sizeof(PmNotifierRecord) == 16, "notifier record layout");

// Base of the record queue; an operation a queue does not have answers FALSE.
class CPmLowerStackIoObject : public CPmObject {
  public:
    ~CPmLowerStackIoObject() override {}
    // Appends {value, data}; the data is taken over whatever the result (freed on FALSE).
    virtual BOOLEAN m_Post(CPmBuffer* pData, ULONG_PTR ulValue) { return FALSE; }
    // Copies the head record into the area when the area is exactly its length, and removes it.
    // On FALSE *pulRecordLength is the head record's length (0 when there is none).
    virtual BOOLEAN m_Take(PVOID pvArea, ULONG ulAreaLength, PULONG pulRecordLength) { return FALSE; }
};

struct PmRecord {
    PmRecord* m_pNext;
    ULONG_PTR m_ulValue;
    CPmBuffer* m_pData;
};

// The physical device's side. Used at up to DISPATCH_LEVEL.
class CPmRecordQueue : public CPmLowerStackIoObject {
  public:
    CPmSpinLock m_SpinLock;
    // The reader's, given at attach; they outlive the queue (the reader detaches before they go).
    PKEVENT m_pkNotificationEvent;
    PULONG m_pulSizeWord;
    PmRecord* m_pHead;
    PmRecord* m_pTail;

    CPmRecordQueue(PKEVENT pkNotificationEvent, PULONG pulSizeWord);
    // Frees the records left; the reader's event and size word are not touched, for the reader
    // may be gone.
    ~CPmRecordQueue() override;
    CPmRecordQueue(const CPmRecordQueue&) = delete;
    CPmRecordQueue& operator=(const CPmRecordQueue&) = delete;

    BOOLEAN m_Post(CPmBuffer* pData, ULONG_PTR ulValue) override;
    BOOLEAN m_Take(PVOID pvArea, ULONG ulAreaLength, PULONG pulRecordLength) override;
    // Tells a reader that is still there that nothing is announced any more.
    void m_Withdraw();

  private:
    // Under the spin lock: the size word and the event as the head record says.
    void m_Announce();
};

// What the reader hands each record to, in the reader's thread at PASSIVE_LEVEL; the routine owns
// the buffer (the record's data).
typedef VOID PM_RECORD_DELIVERY(PVOID pvContext, ULONG_PTR ulValue, CPmBuffer* pBuffer);
typedef PM_RECORD_DELIVERY* PPM_RECORD_DELIVERY;

// Base of the reader; an operation a reader does not have answers FALSE.
class CPmReaderBase : public CPmObject {
  public:
    ~CPmReaderBase() override {}
    virtual BOOLEAN m_Open(PPM_RECORD_DELIVERY pfnDelivery, PVOID pvContext) { return FALSE; }
};

// The functional device's side: made at the device's first start, opened by its driver.
class CPmLowerStackReader : public CPmReaderBase {
  public:
    PPM_RECORD_DELIVERY m_pfnDelivery;
    PVOID m_pvContext;
    PDEVICE_OBJECT m_pTargetDevice; // the PDO below
    LARGE_INTEGER m_liOpenTimeout;
    KEVENT m_kStopEvent;
    KEVENT m_kThreadFinishedEvent;
    PKEVENT m_pkNotificationEvent; // system pool, tag PmKO
    ULONG volatile m_ulSizeWord;
    HANDLE m_hThread;
    PVOID m_pThreadObject;
    // Kept from the open so that the detach at destruction cannot fail for want of memory: the
    // target must not keep pointers to the event and the size word once they go.
    PIRP m_pDetachIrp;
    PmNotifierRecord m_DetachRecord;

    explicit CPmLowerStackReader(PDEVICE_OBJECT pTargetDevice);
    // An opened reader stops its thread, detaches and closes the target. PASSIVE_LEVEL.
    ~CPmLowerStackReader() override;
    CPmLowerStackReader(const CPmLowerStackReader&) = delete;
    CPmLowerStackReader& operator=(const CPmLowerStackReader&) = delete;

    // Opens the target, attaches the notifier and starts the thread; FALSE leaves the reader as it
    // was before (and closed). Once only. PASSIVE_LEVEL.
    BOOLEAN m_Open(PPM_RECORD_DELIVERY pfnDelivery, PVOID pvContext) override;
    BOOLEAN m_IsOpen() const { return m_hThread != NULL; }

  private:
    BOOLEAN m_StartThread();
    void m_Detach();
    void m_ReleaseOpenParts();
    // One announced record read and delivered. FALSE when it could not be (a failed read or no
    // memory): the thread tries again a little later.
    BOOLEAN m_ReadAndDeliver();
    NTSTATUS m_ReadRecord(PUCHAR pucRecord, ULONG ulLength);
    BOOLEAN m_IsStopping() { return KeReadStateEvent(&m_kStopEvent) != 0; }
    static KSTART_ROUTINE sm_ThreadRoutine;
};
