// A fresh kernel (virtual clock) and this program's memory pool for the framework's unit tests;
// every allocation must be given back by the end of a test.
#pragma once

#include <hvsim/kernel.h>
#include <hvsim/pool.h>
#include <wdm.h>

#include <gtest/gtest.h>

#include <pmmemorypool.h>

namespace gendrvtest {

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override {
        hvsim::KernelOptions options;
        options.clock = hvsim::ClockMode::Virtual;
        hvsim::kernel_boot(options);
        ASSERT_TRUE(CPmMemoryPool::m_CreateGlobal());
    }
    void TearDown() override {
        CPmMemoryPool::m_DestroyGlobal();
        hvsim::kernel_shutdown();
    }

    // Runs body on a new system thread (where the kernel's waits belong) and waits for it.
    static void run_on_system_thread(void (*body)(PVOID), PVOID context) {
        HANDLE handle = nullptr;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, body,
                                                       context));
        PVOID thread = nullptr;
        ASSERT_EQ(STATUS_SUCCESS,
                  ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr));
        ZwClose(handle);
        EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr));
        ObDereferenceObject(thread);
    }
};

} // namespace gendrvtest
