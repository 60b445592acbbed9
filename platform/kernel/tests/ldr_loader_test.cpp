// Where the loader finds a service's image in the machine's folder.
#include "pnp_test_support.h"

using namespace hvsim;
using namespace hvsim::pnptest;

namespace {

using Loader = PnpMachine;

TEST_F(Loader, ImagePathsResolveInTheMachineFolderWithoutRegardToCase) {
    std::string func = (drivers_ / "HvTestFunc.sys").string();
    EXPECT_EQ(ldr::resolve_image_path(u"\\SystemRoot\\System32\\drivers\\hvtestfunc.sys"), func);
    EXPECT_EQ(ldr::resolve_image_path(u"\\systemroot\\SYSTEM32\\DRIVERS\\HVTESTFUNC.SYS"), func);
    EXPECT_EQ(ldr::resolve_image_path(u"System32\\drivers\\HvTestFunc.sys"), func);
    EXPECT_EQ(ldr::resolve_image_path(u"\\??\\C:\\Windows\\System32\\drivers\\hvtestfunc.sys"), func);
    EXPECT_EQ(ldr::resolve_image_path(u"hvtestfunc.sys"), func);
    EXPECT_EQ(ldr::resolve_image_path(u"\\SystemRoot\\System32\\drivers\\missing.sys"), "");
    EXPECT_EQ(ldr::resolve_image_path(u"\\SystemRoot\\System32\\drivers\\..\\..\\..\\..\\etc\\passwd"), "");
    EXPECT_EQ(ldr::resolve_image_path(u"\\SystemRoot\\System32\\drivers"), ""); // a folder is no image
    EXPECT_EQ(ldr::resolve_image_path(u"D:\\elsewhere\\x.sys"), "");
    EXPECT_EQ(ldr::resolve_image_path(u""), "");
}

TEST_F(Loader, LoadAndUnloadByHand) {
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(ldr::load_driver(u"hvtestfunc", &driver), STATUS_SUCCESS);
    ASSERT_NE(driver, nullptr);
    EXPECT_NE(driver->DriverExtension->AddDevice, nullptr);
    PDRIVER_OBJECT again = nullptr;
    EXPECT_EQ(ldr::load_driver(u"HVTESTFUNC", &again), STATUS_SUCCESS);
    EXPECT_EQ(again, driver);
    EXPECT_EQ(
        count_of(events("HVTF"), "DriverEntry '\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\hvtestfunc'"),
        1);
    auto loaded = ldr::loaded_drivers();
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].device_count, 0u);
    EXPECT_EQ(ldr::unload_driver(u"hvtestfunc"), STATUS_SUCCESS);
    EXPECT_EQ(events("HVTF").back(), "UNLOAD");
    EXPECT_EQ(ldr::unload_driver(u"hvtestfunc"), STATUS_OBJECT_NAME_NOT_FOUND);

    registry::set_dword(kServices + u"hvtestfunc", u"Start", 4);
    EXPECT_EQ(ldr::load_driver(u"hvtestfunc", &driver), STATUS_DRIVER_UNABLE_TO_LOAD);
    EXPECT_EQ(ldr::load_driver(u"bad\\name", &driver), STATUS_OBJECT_NAME_INVALID);
}

// A driver built into the platform: no image, the same driver object interface.
NTSTATUS builtin_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

TEST_F(Loader, BuiltInDriversNeedNoImage) {
    ldr::register_builtin_driver(u"hvbuiltin", builtin_entry);
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(ldr::load_driver(u"hvbuiltin", &driver), STATUS_SUCCESS);
    EXPECT_TRUE(driver->Flags & DRVO_BUILTIN_DRIVER);
    EXPECT_TRUE(ldr::loaded_drivers().at(0).image_path.empty());
    EXPECT_EQ(ldr::unload_driver(u"hvbuiltin"), STATUS_SUCCESS);
}

} // namespace
