// The class libraries' tests with windows: a fresh kernel with the virtual clock for each test,
// the modal loops the program ends by itself, and no modal loop left unscripted.
#pragma once

#include <gtest/gtest.h>
#include <hvsim/debug_log.h>
#include <hvsim/kernel.h>
#include <hvsim/ui.h>

#include <vector>

class ClassLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        hvsim::KernelOptions options;
        options.clock = hvsim::ClockMode::Virtual;
        hvsim::kernel_boot(options);
        hvsim::debug_log::clear();
        hvsim::ui::reset_modal_loops();
    }
    void TearDown() override {
        EXPECT_EQ(0u, hvsim::ui::unscripted_modal_loops());
        hvsim::kernel_shutdown();
    }
    // Modal loops that the program's own messages and threads end: nothing for the test to do.
    static void leave_modal_loops_to_the_program(size_t count = 1) {
        hvsim::ui::script_modal_visitors(std::vector<hvsim::ui::ModalVisitor>(count, [](HWND) {}));
    }
};
