// A test with a fresh folder of its own (kept for a look when the test fails), and hvsim run on
// the machine kept in it.
#pragma once

#include <gtest/gtest.h>

#include "command.h"

namespace hvtest {

class FolderTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure()) folder_.keep();
    }
    std::filesystem::path machine_root() const { return folder_.path() / "machine"; }
    // `executable --root <machine> arguments`.
    CommandResult run_hvsim(const std::string& executable, const std::string& arguments) const {
        return run_command(shell_quote(executable) + " --root " + shell_quote(machine_root().string()) + " " +
                           arguments);
    }

    TemporaryFolder folder_{std::string("hv-") + ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() +
                            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

} // namespace hvtest
