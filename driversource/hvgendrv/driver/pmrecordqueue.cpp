// The record queue of a framework physical device: records wait here for the reader above, which
// learns of them through its event and size word.
#include <pmlowerstackio.h>

CPmRecordQueue::CPmRecordQueue(PKEVENT pkNotificationEvent, PULONG pulSizeWord)
    : m_pkNotificationEvent(pkNotificationEvent), m_pulSizeWord(pulSizeWord), m_pHead(NULL), m_pTail(NULL) {}

static void PmFreeRecord(PmRecord* pRecord) {
    if (pRecord->m_pData)
        pRecord->m_pData->m_Delete();
    PmFreeMemory(pRecord);
}

CPmRecordQueue::~CPmRecordQueue() {
    PmRecord* pRecords = m_pHead;
    m_pHead = m_pTail = NULL;
    while (pRecords) {
        PmRecord* pNext = pRecords->m_pNext;
        PmFreeRecord(pRecords);
        pRecords = pNext;
    }
}

void CPmRecordQueue::m_Withdraw() {
    m_SpinLock.m_Lock();
    KeClearEvent(m_pkNotificationEvent);
    *m_pulSizeWord = 0;
    m_SpinLock.m_Unlock();
}

void CPmRecordQueue::m_Announce() {
    if (m_pHead) {
        *m_pulSizeWord = m_pHead->m_pData->m_ulLength + PM_RECORD_HEADER_SIZE;
        KeSetEvent(m_pkNotificationEvent, IO_NO_INCREMENT, FALSE);
    } else {
        KeClearEvent(m_pkNotificationEvent);
        *m_pulSizeWord = 0;
    }
}

BOOLEAN CPmRecordQueue::m_Post(CPmBuffer* pData, ULONG_PTR ulValue) {
    if (!pData)
        return FALSE;
    // The record's length must fit the size word.
    PmRecord* pRecord = pData->m_ulLength <= MAXULONG - PM_RECORD_HEADER_SIZE
                            ? static_cast<PmRecord*>(PmAllocateZeroedMemory(sizeof(PmRecord), NonPagedPool))
                            : NULL;
    if (!pRecord) {
        pData->m_Delete();
        return FALSE;
    }
    pRecord->m_ulValue = ulValue;
    pRecord->m_pData = pData;
    m_SpinLock.m_Lock();
    if (m_pTail)
        m_pTail->m_pNext = pRecord;
    else
        m_pHead = pRecord;
    m_pTail = pRecord;
    m_Announce();
    m_SpinLock.m_Unlock();
    return TRUE;
}

BOOLEAN CPmRecordQueue::m_Take(PVOID pvArea, ULONG ulAreaLength, PULONG pulRecordLength) {
    m_SpinLock.m_Lock();
    PmRecord* pRecord = m_pHead;
    ULONG ulRecordLength = pRecord ? pRecord->m_pData->m_ulLength + PM_RECORD_HEADER_SIZE : 0;
    if (!pRecord || !pvArea || ulAreaLength != ulRecordLength) {
        m_SpinLock.m_Unlock();
        if (pulRecordLength)
            *pulRecordLength = ulRecordLength;
        return FALSE;
    }
    PUCHAR pucArea = static_cast<PUCHAR>(pvArea);
    RtlCopyMemory(pucArea, &pRecord->m_ulValue, PM_RECORD_HEADER_SIZE);
    if (pRecord->m_pData->m_ulLength)
        RtlCopyMemory(pucArea + PM_RECORD_HEADER_SIZE, pRecord->m_pData->m_pucData,
                      pRecord->m_pData->m_ulLength);
    m_pHead = pRecord->m_pNext;
    if (!m_pHead)
        m_pTail = NULL;
    m_Announce();
    m_SpinLock.m_Unlock();
    if (pulRecordLength)
        *pulRecordLength = ulRecordLength;
    PmFreeRecord(pRecord);
    return TRUE;
}
