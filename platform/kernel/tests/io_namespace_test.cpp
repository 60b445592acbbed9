// The object namespace: device names, symbolic links, the DOS-device aliases, case and the part
// of a path that a device receives as its file name.
#include "io_test_driver.h"

using namespace hvsim;
using namespace hvsim::iotest;

namespace {

using IoNamespace = IoTest;

NTSTATUS create_link(std::u16string link, std::u16string target) {
    UNICODE_STRING l = counted(link), t = counted(target);
    return IoCreateSymbolicLink(&l, &t);
}

NTSTATUS delete_link(std::u16string link) {
    UNICODE_STRING l = counted(link);
    return IoDeleteSymbolicLink(&l);
}

TEST_F(IoNamespace, TheThreeDosPrefixesNameOneDirectory) {
    TestDriver driver;
    TestDevice& port = driver.create("port", u"\\Device\\HvVCP0");
    ASSERT_EQ(create_link(u"\\??\\COM3", u"\\Device\\HvVCP0"), STATUS_SUCCESS);
    for (std::u16string alias : {u"\\??\\COM3", u"\\DosDevices\\COM3", u"\\GLOBAL??\\COM3", u"\\dosdevices\\com3"}) {
        EXPECT_EQ(io::find_device(alias), port.object);
        EXPECT_EQ(io::symbolic_link_target(alias), std::optional<std::u16string>(u"\\Device\\HvVCP0"));
    }
    EXPECT_EQ(create_link(u"\\DosDevices\\COM3", u"\\Device\\Other"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(delete_link(u"\\DosDevices\\com3"), STATUS_SUCCESS);
    EXPECT_EQ(io::find_device(u"\\??\\COM3"), nullptr);
    EXPECT_EQ(delete_link(u"\\??\\COM3"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoNamespace, LinksResolveWithTheRestOfThePathAndKeepItsCase) {
    TestDriver driver;
    TestDevice& pdo = driver.create("pdo", u"\\Device\\00000012");
    std::u16string interface = u"\\??\\USB#VID_7A5C&PID_1015#5&2a3b4c5d&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    ASSERT_EQ(io::create_symbolic_link(interface, u"\\Device\\00000012"), STATUS_SUCCESS);
    io::ResolvedPath resolved = io::resolve_path(
        u"\\??\\usb#vid_7a5c&pid_1015#5&2A3B4C5D&0&1#{86E0D1E0-8089-11D0-9CE4-08003E301F73}\\HvGenDrv_Settings");
    EXPECT_EQ(resolved.status, STATUS_SUCCESS);
    EXPECT_EQ(resolved.device, pdo.object);
    EXPECT_EQ(resolved.remainder, u"\\HvGenDrv_Settings");
    EXPECT_EQ(io::resolve_path(u"\\Device\\00000012\\a\\B").remainder, u"\\a\\B");
    EXPECT_EQ(io::resolve_path(u"\\Device\\00000012").remainder, u"");
}

TEST_F(IoNamespace, LinksToLinksAreFollowedAndLoopsEnd) {
    TestDriver driver;
    TestDevice& port = driver.create("port", u"\\Device\\Serial7");
    io::create_symbolic_link(u"\\??\\COM7", u"\\Device\\Serial7");
    io::create_symbolic_link(u"\\??\\MODEM", u"\\DosDevices\\COM7");
    EXPECT_EQ(io::find_device(u"\\??\\MODEM"), port.object);
    io::create_symbolic_link(u"\\??\\A", u"\\??\\B");
    io::create_symbolic_link(u"\\??\\B", u"\\??\\A");
    EXPECT_EQ(io::resolve_path(u"\\??\\A").status, STATUS_OBJECT_NAME_NOT_FOUND);
    io::create_symbolic_link(u"\\??\\DANGLING", u"\\Device\\Nothing");
    EXPECT_EQ(io::resolve_path(u"\\??\\DANGLING").status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoNamespace, NamesAreCheckedAtCreation) {
    TestDriver driver;
    driver.create("port", u"\\Device\\Serial0");
    PDEVICE_OBJECT device = nullptr;
    for (auto [name, status] : std::vector<std::pair<std::u16string, NTSTATUS>>{
             {u"\\Device\\serial0", STATUS_OBJECT_NAME_COLLISION},
             {u"\\NoSuchDir\\Serial1", STATUS_OBJECT_PATH_NOT_FOUND},
             {u"Serial1", STATUS_OBJECT_PATH_SYNTAX_BAD},
             {u"\\Device\\", STATUS_OBJECT_NAME_INVALID},
             {u"\\Device\\\\Serial1", STATUS_OBJECT_NAME_INVALID},
         }) {
        UNICODE_STRING counted_name = counted(name);
        EXPECT_EQ(IoCreateDevice(driver.object, 0, &counted_name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device), status);
        EXPECT_EQ(device, nullptr);
    }
    EXPECT_EQ(io::create_symbolic_link(u"\\Device\\Serial0", u"\\Device\\X"), STATUS_OBJECT_NAME_COLLISION)
        << "links and devices share names";
    EXPECT_EQ(io::delete_symbolic_link(u"\\Device\\Serial0"), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_NE(io::find_device(u"\\Device\\Serial0"), nullptr);
}

// A driver reads a link's target through a handle: the target as it stood at the open, whole or
// not at all, and only of a link.
TEST_F(IoNamespace, ALinksTargetIsReadThroughAHandle) {
    ASSERT_EQ(create_link(u"\\DosDevices\\COM4", u"\\Device\\HvVCP3"), STATUS_SUCCESS);
    auto open = [](std::u16string name, HANDLE* handle) {
        UNICODE_STRING n = counted(name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &n, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        return ZwOpenSymbolicLinkObject(handle, SYMBOLIC_LINK_QUERY, &attributes);
    };
    HANDLE link = nullptr;
    ASSERT_EQ(open(u"\\??\\com4", &link), STATUS_SUCCESS);
    // The handle keeps the target even when the link goes.
    EXPECT_EQ(delete_link(u"\\??\\COM4"), STATUS_SUCCESS);

    WCHAR text[16];
    std::fill(std::begin(text), std::end(text), u'#');
    UNICODE_STRING target = {0, 13 * sizeof(WCHAR), text};
    ULONG length = 0;
    EXPECT_EQ(ZwQuerySymbolicLinkObject(link, &target, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 14u * sizeof(WCHAR));
    EXPECT_EQ(target.Length, 0u);
    EXPECT_EQ(text[0], u'#');
    target.MaximumLength = 14 * sizeof(WCHAR);
    EXPECT_EQ(ZwQuerySymbolicLinkObject(link, &target, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text, target.Length / sizeof(WCHAR)), u"\\Device\\HvVCP3");
    EXPECT_EQ(text[14], u'#'); // no room for a terminator
    target.MaximumLength = sizeof text;
    EXPECT_EQ(ZwQuerySymbolicLinkObject(link, &target, &length), STATUS_SUCCESS);
    EXPECT_EQ(text[14], u'\0');
    EXPECT_EQ(ZwClose(link), STATUS_SUCCESS);
    EXPECT_EQ(ZwQuerySymbolicLinkObject(link, &target, &length), STATUS_INVALID_HANDLE);

    EXPECT_EQ(open(u"\\??\\COM4", &link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(link, nullptr);
    TestDriver driver;
    driver.create("port", u"\\Device\\HvVCP3");
    EXPECT_EQ(open(u"\\Device\\HvVCP3", &link), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(open(u"COM4", &link), STATUS_OBJECT_PATH_SYNTAX_BAD);
}

TEST_F(IoNamespace, LinksAreListedPerDirectoryWithTheirTargets) {
    io::create_symbolic_link(u"\\DosDevices\\COM4", u"\\Device\\HvVCP1");
    io::create_symbolic_link(u"\\??\\COM3", u"\\Device\\HvVCP0");
    ASSERT_EQ(io::create_directory(u"\\KernelObjects\\Test"), STATUS_SUCCESS);
    io::create_symbolic_link(u"\\KernelObjects\\Test\\Elsewhere", u"\\Device\\HvVCP2");
    auto links = io::symbolic_links(u"\\DosDevices");
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0], std::make_pair(std::u16string(u"\\??\\COM3"), std::u16string(u"\\Device\\HvVCP0")));
    EXPECT_EQ(links[1], std::make_pair(std::u16string(u"\\??\\COM4"), std::u16string(u"\\Device\\HvVCP1")));
    EXPECT_EQ(io::symbolic_links(u"\\KernelObjects\\Test").size(), 1u);
}

TEST_F(IoNamespace, NamesGoWithTheirDeviceAndTheNextBootStartsEmpty) {
    {
        TestDriver driver;
        TestDevice& port = driver.create("port", u"\\Device\\Gone");
        driver.remove(port);
        EXPECT_EQ(io::find_device(u"\\Device\\Gone"), nullptr);
        io::create_symbolic_link(u"\\??\\LEFT", u"\\Device\\Gone");
    }
    kernel_shutdown();
    KernelOptions options;
    kernel_boot(options);
    EXPECT_FALSE(io::symbolic_link_target(u"\\??\\LEFT").has_value());
    EXPECT_TRUE(io::symbolic_links().empty());
}

TEST_F(IoNamespace, AutogeneratedNamesAreUniqueAndUnnamedDevicesCanBeNamedLater) {
    TestDriver driver;
    PDEVICE_OBJECT a = nullptr, b = nullptr, c = nullptr;
    ASSERT_EQ(
        IoCreateDevice(driver.object, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &a),
        STATUS_SUCCESS);
    ASSERT_EQ(
        IoCreateDevice(driver.object, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &b),
        STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver.object, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &c), STATUS_SUCCESS);
    std::u16string name_a = io::device_name(a), name_b = io::device_name(b);
    EXPECT_EQ(name_a.size(), std::u16string(u"\\Device\\00000000").size());
    EXPECT_TRUE(name_a.starts_with(u"\\Device\\"));
    EXPECT_NE(name_a, name_b);
    EXPECT_TRUE(a->Flags & DO_DEVICE_HAS_NAME);
    EXPECT_EQ(io::find_device(name_a), a);
    EXPECT_EQ(io::device_name(c), u"");
    EXPECT_FALSE(c->Flags & DO_DEVICE_HAS_NAME);
    std::u16string name_c = io::ensure_device_name(c);
    EXPECT_EQ(io::ensure_device_name(c), name_c);
    EXPECT_EQ(io::find_device(name_c), c);
    for (PDEVICE_OBJECT device : {a, b, c}) IoDeleteDevice(device);
}

} // namespace
