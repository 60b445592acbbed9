// A fresh machine kernel with the virtual clock for each test, its folder holding the window
// system's System32 files, and a recorder of the messages windows receive.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>
#include <hvsim/kernel.h>
#include <hvsim/sched.h>
#include <hvsim/ui.h>
#include <hvsim/user.h>
#include <hvsim/user_hooks.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/folder_test.h"

// Messages seen by recorded windows, as "name:MESSAGE" lines, from every thread.
class MessageLog {
public:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

MessageLog& message_log();
std::string message_name(UINT msg);
// A window class whose windows log what they receive (named by their window text) and answer
// with DefWindowProcW.
const char16_t* recording_class();

class UiTest : public hvtest::FolderTest {
protected:
    void SetUp() override {
        root_ = machine_root();
        std::filesystem::create_directories(root_ / "C" / "Windows" / "System32");
        hvsim::ui::install_system_files(root_ / "C" / "Windows" / "System32");
        hvsim::KernelOptions options;
        options.clock = hvsim::ClockMode::Virtual;
        options.root = root_;
        hvsim::kernel_boot(options);
        hvsim::ui::reset_modal_loops();
        hvsim::ui::reset_help_and_shell();
        message_log().take();
    }
    void TearDown() override {
        EXPECT_EQ(0u, hvsim::ui::unscripted_modal_loops());
        for (HWND hwnd : hvsim::ui::top_level_windows()) DestroyWindow(hwnd);
        hvsim::user::current_process()->close_all_handles();
        hvsim::kernel_shutdown();
        FolderTest::TearDown();
    }

    // A thread of the machine that runs `body` and ends.
    static std::thread machine_thread(std::function<void()> body) {
        return hvsim::sched::start_thread("ui test thread", std::move(body));
    }
    static void join(std::thread& t) { hvsim::sched::join(t); }

    std::filesystem::path root_;
};
