#include "WorkerThread.h"

CWinThread* StartWorker(AFX_THREADPROC proc, LPVOID param) {
    CWinThread* worker = AfxBeginThread(proc, param, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!worker) return nullptr;
    worker->m_bAutoDelete = FALSE;
    worker->ResumeThread();
    return worker;
}

void WaitForWorker(CWinThread*& worker) {
    if (!worker) return;
    HANDLE thread = worker->m_hThread;
    for (;;) {
        const DWORD woken = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE);
        if (woken != WAIT_OBJECT_0 + 1) break;
        // Looking at the queue handles what was sent; posted messages stay for the loop.
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    }
    delete worker;
    worker = nullptr;
}

BOOL WorkerEnded(const CWinThread* worker) {
    return !worker || WaitForSingleObject(worker->m_hThread, 0) == WAIT_OBJECT_0;
}
