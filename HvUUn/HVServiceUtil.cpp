#include "HVServiceUtil.h"

#include <vector>

namespace {
constexpr DWORD kFirstConfigBlock = 4096;
}

CHVServiceUtil::CHVServiceUtil() : m_pStatus(new SERVICE_STATUS{}) {}

CHVServiceUtil::~CHVServiceUtil() {
    if (m_bServiceOpen) CloseServiceHandle(m_hService);
    if (m_bManagerOpen) CloseServiceHandle(m_hManager);
    delete m_pStatus;
}

BOOL CHVServiceUtil::m_OpenManager(DWORD access) {
    if (m_bManagerOpen) return TRUE;
    m_hManager = OpenSCManagerA(nullptr, nullptr, access);
    if (!m_hManager) return FALSE;
    m_bManagerOpen = TRUE;
    return TRUE;
}

BOOL CHVServiceUtil::m_CloseManager() {
    if (!m_bManagerOpen) return TRUE;
    if (!CloseServiceHandle(m_hManager)) return FALSE;
    m_hManager = nullptr;
    m_bManagerOpen = FALSE;
    return TRUE;
}

BOOL CHVServiceUtil::m_OpenService(LPCSTR name, DWORD access) {
    if (!m_bManagerOpen && !m_OpenManager(SC_MANAGER_ALL_ACCESS)) return FALSE;
    if (!m_CloseService()) return FALSE;
    m_hService = OpenServiceA(m_hManager, name, access);
    if (!m_hService) return FALSE;
    m_bServiceOpen = TRUE;
    return TRUE;
}

BOOL CHVServiceUtil::m_CloseService() {
    if (!m_bServiceOpen) return TRUE;
    if (!CloseServiceHandle(m_hService)) return FALSE;
    m_hService = nullptr;
    m_bServiceOpen = FALSE;
    return TRUE;
}

BOOL CHVServiceUtil::m_Control(DWORD code) {
    if (!m_bServiceOpen) return FALSE;
    delete m_pStatus;
    m_pStatus = new SERVICE_STATUS{};
    return ControlService(m_hService, code, m_pStatus);
}

BOOL CHVServiceUtil::m_QueryStatus(SERVICE_STATUS* status) {
    if (!m_bServiceOpen) return FALSE;
    return QueryServiceStatus(m_hService, status ? status : m_pStatus);
}

BOOL CHVServiceUtil::m_IsRunning() {
    SERVICE_STATUS status{};
    return m_QueryStatus(&status) && status.dwCurrentState == SERVICE_RUNNING;
}

BOOL CHVServiceUtil::m_Stop() {
    return m_Control(SERVICE_CONTROL_STOP);
}

BOOL CHVServiceUtil::m_Delete() {
    if (!m_bServiceOpen) return TRUE;
    if (!DeleteService(m_hService)) return FALSE;
    m_CloseService();
    return TRUE;
}

BOOL CHVServiceUtil::m_QueryConfig() {
    if (!m_bServiceOpen) return FALSE;
    std::vector<BYTE> block(kFirstConfigBlock, 0);
    DWORD needed = 0;
    auto* config = reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(block.data());
    if (!QueryServiceConfigA(m_hService, config, static_cast<DWORD>(block.size()), &needed)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= block.size()) return FALSE;
        block.assign(needed, 0);
        config = reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(block.data());
        if (!QueryServiceConfigA(m_hService, config, needed, &needed)) return FALSE;
    }
    m_strBinaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : "";
    m_strDisplayName.Format("%s", config->lpDisplayName ? config->lpDisplayName : "");
    return TRUE;
}
