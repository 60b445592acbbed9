// What the FTDI port object's source files share and nobody else needs.
#pragma once

#include <wdm.h>

#include "hvubustrace.h"

// What the port worker hands to the port driver.
#define FTDI_EVENT_MODEM_STATUS 1
#define FTDI_EVENT_LINE_STATUS 2
#define FTDI_EVENT_READ 3
#define FTDI_EVENT_DATA_WRITTEN 4
#define FTDI_EVENT_XON_XOFF 5
#define FTDI_EVENT_FENCE 6

// Holds a kernel mutex for a scope.
class FtdiMutexHolder {
public:
    explicit FtdiMutexHolder(PRKMUTEX pMutex) : m_pMutex(pMutex) {
        KeWaitForSingleObject(m_pMutex, Executive, KernelMode, FALSE, NULL);
    }
    ~FtdiMutexHolder() { KeReleaseMutex(m_pMutex, FALSE); }
    FtdiMutexHolder(const FtdiMutexHolder&) = delete;
    FtdiMutexHolder& operator=(const FtdiMutexHolder&) = delete;

private:
    PRKMUTEX m_pMutex;
};

// Machine time in milliseconds, for the WMI timing block.
inline ULONG FtdiMilliseconds() { return (ULONG)(KeQueryInterruptTime() / 10000); }
