// Worker threads: CWinThread and AfxBeginThread.
#include "mfc_internal.h"

namespace {

DWORD WINAPI thread_start(LPVOID param) {
    auto* thread = static_cast<CWinThread*>(param);
    UINT code = thread->m_pfnThreadProc ? thread->m_pfnThreadProc(thread->m_pThreadParams) : 0;
    if (thread->m_bAutoDelete) delete thread;
    return code;
}

} // namespace

CWinThread::CWinThread() = default;

CWinThread::CWinThread(AFX_THREADPROC proc, LPVOID param) : m_pfnThreadProc(proc), m_pThreadParams(param) {}

CWinThread::~CWinThread() {
    if (m_hThread) ::CloseHandle(m_hThread);
}

BOOL CWinThread::CreateThread(DWORD flags, UINT stack_size, LPSECURITY_ATTRIBUTES security) {
    if (!HV_CLASSLIB_CHECK(m_hThread == nullptr, "CreateThread on a thread object that has a thread")) return FALSE;
    // Started suspended, so that the object is complete before its thread can delete it.
    DWORD id = 0;
    m_hThread = ::CreateThread(security, stack_size, &thread_start, this, flags | CREATE_SUSPENDED, &id);
    if (!m_hThread) return FALSE;
    m_nThreadID = id;
    if (!(flags & CREATE_SUSPENDED)) ::ResumeThread(m_hThread);
    return TRUE;
}

int CWinThread::Run() {
    MSG msg{};
    for (;;) {
        BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) break;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    m_msgCur = msg;
    return ExitInstance();
}

int CWinThread::ExitInstance() { return static_cast<int>(m_msgCur.wParam); }

CWinThread* AFXAPI AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority, UINT stack_size, DWORD flags,
                                  LPSECURITY_ATTRIBUTES security) {
    if (!HV_CLASSLIB_CHECK(proc, "AfxBeginThread without a thread function")) return nullptr;
    (void)priority; // every thread of the machine runs at the normal priority
    auto* thread = new CWinThread(proc, param);
    if (!thread->CreateThread(flags, stack_size, security)) {
        delete thread;
        return nullptr;
    }
    return thread;
}
