// Worker threads that their window waits for: a window must not let go of what its worker uses
// (the operation, the page's controls) while the worker still runs.
#pragma once

#include <afxwin.h>

// Starts proc(param) at normal priority; the thread object stays until WaitForWorker.
CWinThread* StartWorker(AFX_THREADPROC proc, LPVOID param);
// Waits until the worker has ended, handling the messages other threads send to this one
// meanwhile (the worker's own among them), then deletes it and clears the pointer.
void WaitForWorker(CWinThread*& worker);
// Whether the worker has ended (or never started).
BOOL WorkerEnded(const CWinThread* worker);
