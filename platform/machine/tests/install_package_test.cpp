// `hvsim install-package`: the package's INF files go into the machine's INF store, and a
// folder that cannot install as it stands (missing or wrong images, a damaged INF) is refused
// with the file, the line and the reason, before anything changes.
#include <algorithm>
#include <fstream>
#include <sstream>

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
    // Images of the right kinds: the test driver for the drivers, the test program for the
    // programs and libraries.
    void add_images() const {
        for (const char* driver : {"HvUBus.sys", "HvUVCP.sys"})
            std::filesystem::copy_file(HV_TEST_DRIVER, package() / driver);
        for (const char* program : {"HvUUI23.dll", "HvCoIn23.dll", "HvUUn23.exe"})
            std::filesystem::copy_file(HV_TEST_PROGRAM, package() / program);
    }
    std::string inf_text(const char* name) const { return hvtest::read_file(package() / name); }
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

TEST_F(InstallPackage, ADamagedSecondInfIsNamedBeforeTheFilesTheFirstOneLacks) {
    std::ofstream(package() / "HVUSER.INF", std::ios::binary | std::ios::app) << std::string("\x00\x01", 2);
    auto result = install();
    EXPECT_EQ(1, result.status);
    EXPECT_NE(std::string::npos, result.output.find("HVUSER.INF cannot be installed")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("not a text file")) << result.output;
}

TEST_F(InstallPackage, TheInfFilesGoIntoTheStoreForDevicesThatArriveLater) {
    add_images();
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

TEST_F(InstallPackage, ADamagedInfOrAWrongImageIsRefusedWithFileLineAndReason) {
    add_images();
    const std::string bus = inf_text("HVUBUS.INF");
    const std::string user = inf_text("HVUSER.INF");
    std::string binary = bus;
    binary.insert(binary.find("[Manufacturer]"), std::string("\x01\x02\x00garbage\n", 11));
    const size_t binary_line = 1 + std::count(bus.begin(), bus.begin() + bus.find("[Manufacturer]"), '\n');
    // The line before [Manufacturer] ends the class installer's AddReg section.
    std::string rootless = bus;
    rootless.insert(rootless.find("[Manufacturer]"), "garbage words\n");
    struct Case {
        const char* what;
        const char* file; // replaced by `content`
        std::string content;
        std::string message; // in the refusal
    } cases[] = {
        {"an INF cut in the middle", "HVUBUS.INF", bus.substr(0, bus.size() / 2), "HVUBUS.INF:"},
        {"an INF with binary bytes", "HVUBUS.INF", binary,
         "HVUBUS.INF:" + std::to_string(binary_line) + ": control character 0x01 (not a text file)"},
        {"a malformed line", "HVUSER.INF", "[Version\n" + user, "HVUSER.INF:1: malformed section name"},
        {"an AddReg line without a registry root", "HVUBUS.INF", rootless,
         "HVUBUS.INF:" + std::to_string(binary_line) + ": \"garbage words\" is not a registry root"},
        {"an install section that is not there", "HVUSER.INF", user.substr(0, user.find("[Strings]")) + "[Strings]\n",
         "is not in [Strings]"},
        {"an empty driver image", "HvUBus.sys", "", "HvUBus.sys (named on HVUBUS.INF line "},
        {"a foreign driver image", "HvUVCP.sys", "MZ not an image of this machine",
         "HvUVCP.sys (named on HVUSER.INF line "},
        {"an empty uninstaller", "HvUUn23.exe", "", "HvUUn23.exe (named on HVUBUS.INF line "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(package());
        SetUp();
        add_images();
        std::ofstream(package() / c.file, std::ios::binary | std::ios::trunc) << c.content;
        const auto result = install();
        EXPECT_EQ(result.status, 1) << result.output;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
        EXPECT_FALSE(std::filesystem::exists(machine_root() / "C" / "Windows" / "inf" / "oem0.inf"));
    }
}

TEST_F(InstallPackage, AnImageOfTheWrongKindIsRefusedWithWhatItLacks) {
    add_images();
    struct Case {
        const char* file;
        const char* image;
        const char* reason;
    } cases[] = {
        {"HvUBus.sys", HV_TEST_PROGRAM, "it is not a driver image (it exports no DriverEntry)"},
        {"HvUUn23.exe", HV_TEST_DRIVER, "it is not a program image (it exports no wmain)"},
        {"HvUUI23.dll", nullptr, "it is empty, not an image"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::filesystem::remove(package() / c.file);
        if (c.image)
            std::filesystem::copy_file(c.image, package() / c.file);
        else
            std::ofstream(package() / c.file).close();
        const auto result = install();
        EXPECT_EQ(result.status, 1) << result.output;
        EXPECT_NE(result.output.find(c.reason), std::string::npos) << result.output;
        std::filesystem::remove(package() / c.file);
        std::filesystem::copy_file(std::string(c.file).ends_with(".sys") ? HV_TEST_DRIVER : HV_TEST_PROGRAM,
                                   package() / c.file);
    }
    EXPECT_EQ(install().status, 0);
}

} // namespace
