#include "PmUninstallData.h"

namespace {
SP_DEVINFO_DATA EmptyDeviceData() {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    return data;
}
} // namespace

CPmDeviceRecord::CPmDeviceRecord()
    : m_DeviceInfoData(EmptyDeviceData()), m_RegInfo(INVALID_HANDLE_VALUE, m_DeviceInfoData) {}

CPmRecordList::~CPmRecordList() {
    m_Free(TRUE);
}

CPmDeviceRecord* CPmRecordList::m_First() {
    m_pCursor = m_pHead;
    return m_pCursor ? m_pCursor->record : nullptr;
}

CPmDeviceRecord* CPmRecordList::m_Next() {
    if (m_pCursor) m_pCursor = m_pCursor->next;
    return m_pCursor ? m_pCursor->record : nullptr;
}

CPmDeviceRecord* CPmRecordList::m_Nth(ULONG index) const {
    if (index == 0 || index > m_nCount) return nullptr;
    Node* node = m_pHead;
    while (--index) node = node->next;
    return node->record;
}

BOOL CPmRecordList::m_Append(CPmDeviceRecord* record) {
    if (!record) return FALSE;
    Node* node = new Node{record, nullptr, m_pTail};
    (m_pTail ? m_pTail->next : m_pHead) = node;
    m_pTail = node;
    ++m_nCount;
    return TRUE;
}

void CPmRecordList::m_Free(BOOL deleteRecords) {
    while (m_pHead) {
        Node* node = m_pHead;
        m_pHead = node->next;
        if (deleteRecords) delete node->record;
        delete node;
    }
    m_pTail = m_pCursor = nullptr;
    m_nCount = 0;
}
