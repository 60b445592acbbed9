// A two-port adapter keeps both COM ports whatever the order of plugging and installing, through
// hvsim commands on one machine folder and the package this tree builds.
#include <string>

#include "support/folder_test.h"

namespace {

using hvtest::shell_quote;

class CompositeOrder : public hvtest::FolderTest {
protected:
    hvtest::CommandResult hvsim(const std::string& arguments) const {
        return run_hvsim(HVSIM_EXECUTABLE, "--clock virtual " + arguments);
    }
    void install() const {
        const auto result = hvsim("install-package " + shell_quote(HV_BUILT_PACKAGE_DIR));
        ASSERT_EQ(result.status, 0) << result.output;
    }
    // The port devices that the devices command shows with the port driver.
    size_t port_devices() const {
        const auto result = hvsim("devices");
        EXPECT_EQ(result.status, 0) << result.output;
        size_t n = 0;
        for (size_t at = result.output.find("service: HvUVCP"); at != std::string::npos;
             at = result.output.find("service: HvUVCP", at + 1))
            ++n;
        EXPECT_EQ(result.output.find("problem 28"), std::string::npos) << result.output;
        return n;
    }
};

TEST_F(CompositeOrder, PluggedBeforeInstallationThenInstalledAgain) {
    ASSERT_EQ(hvsim("plug ftdi:interfaces=2,wire=loopback").status, 0);
    ASSERT_EQ(hvsim("devices").status, 0);
    install();
    EXPECT_EQ(port_devices(), 2u);
    install();
    EXPECT_EQ(port_devices(), 2u);
}

TEST_F(CompositeOrder, InstalledBeforePluggingAndAFourPortAdapterBesideIt) {
    install();
    ASSERT_EQ(hvsim("plug ftdi:interfaces=2,wire=loopback").status, 0);
    EXPECT_EQ(port_devices(), 2u);
    ASSERT_EQ(hvsim("plug ftdi:interfaces=4,wire=open").status, 0);
    install();
    EXPECT_EQ(port_devices(), 6u);
}

} // namespace
