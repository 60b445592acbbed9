// What the support library's tests share: a fresh kernel per test with this image's pool, and a
// few probes of the platform's logs and registry.
#pragma once

#include <wdm.h>

#include <hvsim/debug_log.h>
#include <hvsim/kernel.h>
#include <hvsim/pool.h>
#include <hvsim/registry.h>

#include <gtest/gtest.h>

#include <pmmemorypool.h>

#include <string>
#include <string_view>

namespace pmtest {

// The image this test program is, as the pool accounts it.
std::string this_image();

// Allocations the global pool tracks right now.
ULONG tracked_allocations();

// UTF-16 and 8-bit views of counted strings.
std::u16string text_of(PCUNICODE_STRING text);
std::string text_of(PCANSI_STRING text);

// Opens a key of the registry by its absolute path (NULL when that fails).
HANDLE open_key(std::u16string_view path, ACCESS_MASK access = KEY_ALL_ACCESS);

// The PDO of a new root-enumerated device without a driver; with driver_key, its driver key name.
PDEVICE_OBJECT make_root_device(const char16_t* hardware_id, const char16_t* driver_key = nullptr);

// Runs body on a new system thread and waits for it.
void run_on_system_thread(void (*body)(PVOID), PVOID context);

// Waits on a dispatcher object without time-out; FALSE on anything but success.
bool wait(PVOID object, LONGLONG relative_timeout_100ns = 0);

} // namespace pmtest

// A fresh kernel (virtual clock) and this image's memory pool for each test; at the end every
// allocation must have been given back before the pool goes.
class PmKernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Tests that destroy the pool themselves clear this.
    bool pool_created_ = false;
    // A failed check (an assertion line, a debugger break) fails the test, unless the test
    // provokes such checks on purpose and says so here.
    bool expect_failed_checks_ = false;
    size_t key_handles_at_start_ = 0;
};
