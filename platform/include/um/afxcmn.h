// The MFC-like common controls: progress bar and animation control.
#pragma once

#include <afxwin.h>

class CProgressCtrl : public CWnd {
public:
    void SetRange(short lower, short upper) { SendMessage(PBM_SETRANGE, 0, MAKELPARAM(lower, upper)); }
    void SetRange32(int lower, int upper) { SendMessage(PBM_SETRANGE32, static_cast<WPARAM>(lower), upper); }
    int SetPos(int position) { return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(position), 0)); }
    int GetPos() const { return static_cast<int>(SendMessage(PBM_GETPOS, 0, 0)); }
    int OffsetPos(int delta) { return static_cast<int>(SendMessage(PBM_DELTAPOS, static_cast<WPARAM>(delta), 0)); }
    int SetStep(int step) { return static_cast<int>(SendMessage(PBM_SETSTEP, static_cast<WPARAM>(step), 0)); }
    int StepIt() { return static_cast<int>(SendMessage(PBM_STEPIT, 0, 0)); }
};

// Clips come from the resource module (AfxGetResourceHandle) by name or id.
class CAnimateCtrl : public CWnd {
public:
    BOOL Open(LPCSTR name) {
        return static_cast<BOOL>(SendMessage(ACM_OPENA, reinterpret_cast<WPARAM>(AfxGetResourceHandle()),
                                             reinterpret_cast<LPARAM>(name)));
    }
    BOOL Open(UINT id) { return Open(MAKEINTRESOURCEA(id)); }
    BOOL Play(UINT from, UINT to, UINT repeat) {
        return static_cast<BOOL>(SendMessage(ACM_PLAY, repeat, MAKELPARAM(from, to)));
    }
    BOOL Stop() { return static_cast<BOOL>(SendMessage(ACM_STOP, 0, 0)); }
    BOOL Close() { return Open(static_cast<LPCSTR>(nullptr)); }
};
