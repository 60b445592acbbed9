// A fresh kernel with the virtual clock and the tests' driver for each test.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>
#include <hvsim/kernel.h>
#include <hvsim/user.h>

#include "test_driver.h"

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
