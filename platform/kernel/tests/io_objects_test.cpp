// Driver and device objects, device stacks, structure layouts and the WDM version.
#include "io_test_driver.h"

#include <hvsim/object.h>
#include <hvsim/pool.h>

#include <cstring>

using namespace hvsim;
using namespace hvsim::iotest;

namespace {

using IoObjects = IoTest;

TEST_F(IoObjects, StructuresHaveTheOffsetsDriversAssume) {
    EXPECT_EQ(sizeof(IO_STACK_LOCATION), 0x48u);
    EXPECT_EQ(offsetof(IO_STACK_LOCATION, Parameters), 8u);
    EXPECT_EQ(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength), 16u);
    EXPECT_EQ(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode), 24u);
    EXPECT_EQ(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer), 32u);
    // The USB stack reads the URB from Argument1 and the code from Argument3.
    EXPECT_EQ(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument3),
              offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode));
    EXPECT_EQ(offsetof(IO_STACK_LOCATION, Parameters.Read.ByteOffset), 24u);
    EXPECT_EQ(offsetof(IO_STACK_LOCATION, DeviceObject), 40u);
    EXPECT_EQ(CTL_CODE(0x8001, 0x800, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS), 0x8001E000u);
    EXPECT_EQ(CTL_CODE(0x8006, 0x801, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS), 0x8006E004u);
    EXPECT_EQ(IoGetFunctionCodeFromCtlCode(0x8001E014u), 0x805u);
}

TEST_F(IoObjects, DriverObjectsComeNamedWithTheirServiceAndDefaults) {
    PDRIVER_OBJECT driver =
        io::create_driver_object(u"HvUVCP", u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HvUVCP");
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(std::u16string(driver->DriverName.Buffer, driver->DriverName.Length / 2), u"\\Driver\\HvUVCP");
    EXPECT_EQ(std::u16string(driver->DriverExtension->ServiceKeyName.Buffer,
                             driver->DriverExtension->ServiceKeyName.Length / 2),
              u"HvUVCP");
    EXPECT_EQ(driver->DriverExtension->DriverObject, driver);
    PUNICODE_STRING path = io::driver_registry_path(driver);
    EXPECT_EQ(std::u16string(path->Buffer, path->Length / 2),
              u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HvUVCP");
    EXPECT_NE(driver->HardwareDatabase, nullptr);
    EXPECT_EQ(driver->DriverUnload, nullptr);
    EXPECT_EQ(driver->DriverStartIo, nullptr);
    EXPECT_NE(driver->MajorFunction[IRP_MJ_MAXIMUM_FUNCTION], nullptr);
    EXPECT_EQ(io::find_driver_object(u"hvuvcp"), driver);
    EXPECT_EQ(io::create_driver_object(u"HvUVCP", u""), nullptr) << "one driver object per service";
    io::delete_driver_object(driver);
    EXPECT_EQ(io::find_driver_object(u"HvUVCP"), nullptr);
}

TEST_F(IoObjects, NewDevicesAreInitializingWithAZeroedExtensionAndTheirFlags) {
    TestDriver driver;
    PDEVICE_OBJECT device = nullptr;
    std::u16string name = u"\\Device\\HvVCP0";
    UNICODE_STRING counted_name = counted(name);
    ASSERT_EQ(IoCreateDevice(driver.object, 64, &counted_name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device),
              STATUS_SUCCESS);
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_TRUE(device->Flags & DO_EXCLUSIVE);
    EXPECT_TRUE(device->Flags & DO_DEVICE_HAS_NAME);
    EXPECT_EQ(device->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DriverObject, driver.object);
    EXPECT_EQ(driver.object->DeviceObject, device);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(device->DeviceExtension) % 16, 0u);
    unsigned char zero[64] = {};
    EXPECT_EQ(memcmp(device->DeviceExtension, zero, 64), 0);
    EXPECT_EQ(io::device_name(device), name);
    io::finish_driver_initialization(driver.object);
    EXPECT_FALSE(device->Flags & DO_DEVICE_INITIALIZING);
    IoDeleteDevice(device);
    EXPECT_EQ(driver.object->DeviceObject, nullptr);
}

TEST_F(IoObjects, DeviceMemoryLastsUntilTheLastReferenceAfterIoDeleteDevice) {
    TestDriver driver;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver.object, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    size_t live = io::live_device_count();
    ObReferenceObject(device);
    IoDeleteDevice(device);
    EXPECT_TRUE(io::is_device_deleted(device));
    EXPECT_EQ(io::live_device_count(), live) << "still referenced";
    EXPECT_TRUE(device->DeviceObjectExtension->ExtensionFlags & DOE_DELETE_PENDING);
    ObDereferenceObject(device);
    EXPECT_EQ(io::live_device_count(), live - 1);
}

TEST_F(IoObjects, AttachingReturnsTheTopOfTheStackAndDetachingUndoesIt) {
    TestDriver driver;
    TestDevice& pdo = driver.create("pdo");
    TestDevice& fdo = driver.attach("fdo", pdo);
    EXPECT_EQ(fdo.lower, pdo.object);
    PDEVICE_OBJECT filter = nullptr;
    ASSERT_EQ(IoCreateDevice(driver.object, sizeof(void*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter),
              STATUS_SUCCESS);
    PDEVICE_OBJECT below = nullptr;
    // Attaching to the PDO lands on the top of its stack.
    EXPECT_EQ(IoAttachDeviceToDeviceStackSafe(filter, pdo.object, &below), STATUS_SUCCESS);
    EXPECT_EQ(below, fdo.object);
    EXPECT_EQ(filter->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(pdo.object), filter);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo.object);
    EXPECT_EQ(top, filter);
    ObDereferenceObject(top);
    PDEVICE_OBJECT lower = IoGetLowerDeviceObject(filter);
    EXPECT_EQ(lower, fdo.object);
    ObDereferenceObject(lower);
    EXPECT_EQ(IoGetLowerDeviceObject(pdo.object), nullptr);

    IoDetachDevice(fdo.object);
    EXPECT_EQ(fdo.object->AttachedDevice, nullptr);
    EXPECT_EQ(IoGetLowerDeviceObject(filter), nullptr);
    EXPECT_EQ(IoGetAttachedDevice(pdo.object), fdo.object);
    IoDeleteDevice(filter);
}

TEST_F(IoObjects, ADeletedDeviceTakesNoNewAttachments) {
    TestDriver driver;
    PDEVICE_OBJECT bottom = nullptr, top = nullptr;
    IoCreateDevice(driver.object, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &bottom);
    IoCreateDevice(driver.object, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &top);
    ObReferenceObject(bottom);
    IoDeleteDevice(bottom);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), nullptr);
    ObDereferenceObject(bottom);
    IoDeleteDevice(top);
}

TEST_F(IoObjects, WdmVersionIsWindows7AndCanBeLowered) {
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x20));
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x30));
    EXPECT_TRUE(IoIsWdmVersionAvailable(6, 0x01));
    EXPECT_FALSE(IoIsWdmVersionAvailable(6, 0x02));
    io::set_wdm_version(1, 0x10);
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x20));
    io::set_wdm_version(1, 0x05);
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x10));
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x00));
}

TEST_F(IoObjects, DeviceCreationFailsCleanlyWhenThePoolDoes) {
    TestDriver driver;
    pool::fail_tag(pool::tag_from_text("Devi"));
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    std::u16string name = u"\\Device\\NoMemory";
    UNICODE_STRING counted_name = counted(name);
    EXPECT_EQ(IoCreateDevice(driver.object, 64, &counted_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(io::find_device(name), nullptr);
    pool::fail_tag(pool::tag_from_text("Irp "));
    EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
    pool::clear_faults();
}

using IoObjectsDeathTest = IoObjects;

TEST_F(IoObjectsDeathTest, DeletingAnAttachedDeviceIsABugCheck) {
    TestDriver driver;
    TestDevice& pdo = driver.create("pdo");
    TestDevice& fdo = driver.attach("fdo", pdo);
    EXPECT_DEATH(IoDeleteDevice(fdo.object), "BUGCHECK 0x000000C9.*still attached to");
}

TEST_F(IoObjects, APdoDeletedUnderAnAttachedDeviceLivesUntilTheDetach) {
    TestDriver driver;
    TestDevice& pdo = driver.create("pdo");
    TestDevice& fdo = driver.attach("fdo", pdo);
    PDEVICE_OBJECT lower = pdo.object;
    IoDeleteDevice(lower);
    EXPECT_TRUE(hvsim::ob::is_object(lower)) << "the attachment still holds the PDO";
    EXPECT_EQ(lower->AttachedDevice, fdo.object);
    IoDetachDevice(lower);
    IoDeleteDevice(fdo.object);
    EXPECT_FALSE(hvsim::ob::is_object(lower));
    pdo.object = fdo.object = fdo.lower = nullptr;
}

TEST_F(IoObjectsDeathTest, DeletingADeviceTwiceIsABugCheck) {
    TestDriver driver;
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver.object, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    ObReferenceObject(device);
    IoDeleteDevice(device);
    EXPECT_DEATH(IoDeleteDevice(device), "BUGCHECK 0x000000C9.*called twice");
    ObDereferenceObject(device);
}

TEST_F(IoObjectsDeathTest, UnloadingADriverWithDevicesIsABugCheck) {
    PDRIVER_OBJECT driver = io::create_driver_object(u"Leaky", u"");
    PDEVICE_OBJECT device = nullptr;
    std::u16string name = u"\\Device\\Leak0";
    UNICODE_STRING counted_name = counted(name);
    IoCreateDevice(driver, 0, &counted_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    EXPECT_DEATH(io::delete_driver_object(driver), "BUGCHECK 0x000000CE.*Leaky unloaded with 1 device.*Leak0");
    IoDeleteDevice(device);
    io::delete_driver_object(driver);
}

TEST_F(IoObjectsDeathTest, TouchingTheExtensionAfterIoDeleteDeviceIsCaught) {
#if defined(__SANITIZE_ADDRESS__)
    TestDriver driver;
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver.object, 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    ObReferenceObject(device); // someone still holds the object, as the PnP manager may
    auto* extension = static_cast<volatile char*>(device->DeviceExtension);
    IoDeleteDevice(device);
    EXPECT_DEATH(extension[0] = 1, "use-after-poison");
    ObDereferenceObject(device);
#else
    GTEST_SKIP() << "the sanitizer build catches this";
#endif
}

} // namespace
