// A fresh kernel with the virtual clock and the tests' driver for each test.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>
#include <hvsim/kernel.h>
#include <hvsim/user.h>

#include "test_driver.h"

// A thread blocked in a synchronous ReadFile of 4 bytes on the handle, from when the driver holds
// the read until something ends it; then its result and error.
struct BlockedRead {
    HANDLE h;
    BOOL result = TRUE;
    DWORD error = 0;
    HANDLE thread = nullptr;

    explicit BlockedRead(HANDLE handle) : h(handle) {
        thread = CreateThread(
            nullptr, 0,
            [](void* c) -> DWORD {
                auto* self = static_cast<BlockedRead*>(c);
                char buffer[4];
                DWORD n = 0;
                self->result = ReadFile(self->h, buffer, 4, &n, nullptr);
                self->error = GetLastError();
                return 0;
            },
            this, 0, nullptr);
        while (test_driver::held_requests() == 0) Sleep(1);
    }
    ~BlockedRead() { CloseHandle(thread); }
    BlockedRead(const BlockedRead&) = delete;
    BlockedRead& operator=(const BlockedRead&) = delete;
    bool ended(DWORD milliseconds) const { return WaitForSingleObject(thread, milliseconds) == WAIT_OBJECT_0; }
};

class UserModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        hvsim::KernelOptions options;
        options.clock = hvsim::ClockMode::Virtual;
        hvsim::kernel_boot(options);
        test_driver::install();
    }
    void TearDown() override {
        hvsim::user::current_process()->close_all_handles();
        test_driver::uninstall();
        hvsim::kernel_shutdown();
    }

    static HANDLE open_device(DWORD flags = 0, const WCHAR* path = u"\\\\.\\HVUTEST") {
        return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }
};
