// `hvsim install-package`: the package's INF files go into the machine's INF store, and a
// folder without the images they install is refused with the names of the missing files.
#include <fstream>

#include "support/folder_test.h"

namespace {

using hvtest::shell_quote;

class InstallPackage : public hvtest::FolderTest {
protected:
    std::filesystem::path package() const { return folder_.path() / "package"; }
    void SetUp() override {
        std::filesystem::create_directories(package());
        for (const char* inf : {"HVUBUS.INF", "HVUSER.INF"})
            std::filesystem::copy_file(std::filesystem::path(HV_PACKAGE_DIR) / inf, package() / inf);
    }
    hvtest::CommandResult install() {
        return hvtest::run_command(shell_quote(HVSIM_EXECUTABLE) + " --root " + shell_quote(machine_root().string()) +
                                   " --clock virtual install-package " + shell_quote(package().string()));
    }
};

TEST_F(InstallPackage, AFolderWithoutTheImagesIsRefusedBeforeAnythingChanges) {
    auto result = install();
    EXPECT_EQ(1, result.status);
    EXPECT_NE(std::string::npos, result.output.find("HVUBUS.INF installs HvUBus.sys")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("build the driver package first")) << result.output;
    EXPECT_FALSE(std::filesystem::exists(machine_root() / "C" / "Windows" / "inf" / "oem0.inf"));
}

TEST_F(InstallPackage, TheInfFilesGoIntoTheStoreForDevicesThatArriveLater) {
    for (const char* image : {"HvUBus.sys", "HvUVCP.sys", "HvUUI23.dll", "HvCoIn23.dll", "HvUUn23.exe"})
        std::ofstream(package() / image) << "image";
    auto result = install();
    ASSERT_EQ(0, result.status) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("HVUBUS.INF: C:\\Windows\\inf\\oem0.inf")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("HVUSER.INF: C:\\Windows\\inf\\oem1.inf")) << result.output;
    // Installing again finds the same copies.
    result = install();
    ASSERT_EQ(0, result.status) << result.output;
    EXPECT_FALSE(std::filesystem::exists(machine_root() / "C" / "Windows" / "inf" / "oem2.inf"));
}

TEST_F(InstallPackage, AFolderWithoutTheInfIsRefused) {
    std::filesystem::remove(package() / "HVUSER.INF");
    auto result = install();
    EXPECT_EQ(1, result.status);
    EXPECT_NE(std::string::npos, result.output.find("has no HVUSER.INF")) << result.output;
}

} // namespace
