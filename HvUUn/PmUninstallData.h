// The data every uninstall operation keeps, and the list of the devices a search found.
#pragma once

#include <afx.h>
#include <setupapi.h>

#include "HVDeviceRegInfo.h"

class CPmUninstallData {
  public:
    CPmUninstallData() = default;
    virtual ~CPmUninstallData() = default;

    // Set once some part of the removal is completed only by a restart.
    DWORD m_bRebootNeeded = FALSE;
    // Paths that could not be deleted now (each scheduled for deletion at the next start).
    CStringList m_FailedDeletionList;
};

// One found device, and the accessor bound to it.
class CPmDeviceRecord {
  public:
    CPmDeviceRecord();
    virtual ~CPmDeviceRecord() = default;

    SP_DEVINFO_DATA m_DeviceInfoData;
    CHVDeviceRegInfoA m_RegInfo;
};

// A doubly linked list of record pointers with a cursor.
class CPmRecordList {
  public:
    CPmRecordList() = default;
    ~CPmRecordList();
    CPmRecordList(const CPmRecordList&) = delete;
    CPmRecordList& operator=(const CPmRecordList&) = delete;

    CPmDeviceRecord* m_First();
    // Moves the cursor on; null past the last.
    CPmDeviceRecord* m_Next();
    // 1-based; null when out of range.
    CPmDeviceRecord* m_Nth(ULONG index) const;
    BOOL m_Append(CPmDeviceRecord* record);
    // Deletes the nodes, and the records too when asked.
    void m_Free(BOOL deleteRecords);
    ULONG m_Count() const { return m_nCount; }

  private:
    struct Node {
        CPmDeviceRecord* record;
        Node* next;
        Node* previous;
    };
    Node* m_pHead = nullptr;
    Node* m_pTail = nullptr;
    Node* m_pCursor = nullptr;
    ULONG m_nCount = 0;
};
