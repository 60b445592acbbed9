// One service of the service control manager at a time: open, stop, delete, query.
#pragma once

#include <afx.h>
#include <winsvc.h>

class CHVServiceUtil {
  public:
    CHVServiceUtil();
    virtual ~CHVServiceUtil();
    CHVServiceUtil(const CHVServiceUtil&) = delete;
    CHVServiceUtil& operator=(const CHVServiceUtil&) = delete;

    BOOL m_OpenManager(DWORD access);
    BOOL m_CloseManager();
    BOOL m_OpenService(LPCSTR name, DWORD access);
    BOOL m_CloseService();
    BOOL m_Control(DWORD code);
    BOOL m_QueryStatus(SERVICE_STATUS* status);
    BOOL m_IsRunning();
    // Sends the stop request; does not wait for the service to stop.
    BOOL m_Stop();
    BOOL m_Delete();
    // Fills m_strBinaryPath and m_strDisplayName.
    BOOL m_QueryConfig();

    CString m_strBinaryPath;
    CString m_strDisplayName;

  private:
    SC_HANDLE m_hManager = nullptr;
    SC_HANDLE m_hService = nullptr;
    SERVICE_STATUS* m_pStatus;
    BOOL m_bServiceOpen = FALSE;
    BOOL m_bManagerOpen = FALSE;
};
