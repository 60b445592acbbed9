// Device interfaces and device registry keys: what a driver registers, what user mode then sees,
// and where both live in the registry.
#include "pnp_test_support.h"

#include <hvsim/pool.h>

using namespace hvsim;
using namespace hvsim::pnptest;

namespace {

using PnpInterfaces = PnpMachine;

const std::u16string kGuidText = u"{5c1e8a20-7d43-4b6e-9a51-2f0c3d8e6b17}";
const std::u16string kDeviceClasses = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\";

UNICODE_STRING counted(std::u16string& text) {
    UNICODE_STRING out;
    out.Buffer = text.data();
    out.Length = (USHORT)(text.size() * sizeof(WCHAR));
    out.MaximumLength = out.Length;
    return out;
}

TEST_F(PnpInterfaces, EnabledInterfaceIsListedAndOpensWithItsReferenceString) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc", {}, {{u"InterfaceRef", u"Settings_A"}});
    pnp::start_tree();

    auto listed = pnp::interfaces(GUID_HVTEST_INTERFACE);
    ASSERT_EQ(listed.size(), 1u);
    const std::u16string tail = u"ROOT#HVTESTFUNC#0000#" + kGuidText;
    EXPECT_EQ(listed[0].user_path, u"\\\\?\\" + tail + u"\\Settings_A");
    EXPECT_EQ(listed[0].kernel_link, u"\\??\\" + tail + u"\\Settings_A");
    EXPECT_EQ(listed[0].reference, u"Settings_A");
    EXPECT_EQ(listed[0].node, node(id));
    EXPECT_TRUE(listed[0].enabled);
    EXPECT_EQ(pnp::interfaces_of(node(id)).size(), 1u);

    // Registered where SetupAPI looks for it.
    std::u16string key = kDeviceClasses + kGuidText + u"\\##?#" + tail;
    EXPECT_EQ(registry::get_string(key, u"DeviceInstance"), id);
    EXPECT_EQ(registry::get_string(key + u"\\#Settings_A", u"SymbolicLink"), listed[0].user_path);
    EXPECT_EQ(registry::get_dword(key + u"\\#Settings_A\\Control", u"Linked"), 1u);

    // The link names the PDO; a create through it carries the reference string, case kept.
    EXPECT_EQ(io::symbolic_link_target(u"\\??\\" + tail), pnp::node_info(node(id))->pdo_name);
    debug_log::clear();
    io::FileObject* file = nullptr;
    io::OpenOptions open;
    open.path = u"\\??\\" + tail + u"\\Settings_A";
    ASSERT_EQ(io::open_file(open, &file), STATUS_SUCCESS);
    EXPECT_EQ(events("HVTF"), std::vector<std::string>{"CREATE '\\Settings_A'"});
    io::close_file(file);

    // Removal disables it: user mode no longer sees it and the link is gone.
    EXPECT_FALSE(pnp::remove_device(node(id)).vetoed());
    EXPECT_TRUE(pnp::interfaces(GUID_HVTEST_INTERFACE).empty());
    EXPECT_EQ(pnp::interfaces(GUID_HVTEST_INTERFACE, false).size(), 1u);
    EXPECT_FALSE(io::symbolic_link_target(u"\\??\\" + tail));
    EXPECT_FALSE(registry::key_exists(key + u"\\#Settings_A\\Control"));
}

TEST_F(PnpInterfaces, StateChangesFollowWindowsRules) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    pnp::start_tree();
    PDEVICE_OBJECT pdo = pnp::node_info(node(id))->pdo;

    UNICODE_STRING first{}, again{}, plain{};
    UNICODE_STRING ref;
    RtlInitUnicodeString(&ref, u"One");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &GUID_HVTEST_INTERFACE, &ref, &first), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &GUID_HVTEST_INTERFACE, &ref, &again), STATUS_SUCCESS);
    EXPECT_TRUE(RtlEqualUnicodeString(&first, &again, FALSE)); // one interface, one link
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &GUID_HVTEST_INTERFACE, nullptr, &plain), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(plain.Buffer, plain.Length / 2), u"\\??\\ROOT#HVTESTFUNC#0000#" + kGuidText);

    EXPECT_TRUE(pnp::interfaces(GUID_HVTEST_INTERFACE).empty()); // registered, not enabled
    EXPECT_EQ(IoSetDeviceInterfaceState(&first, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoSetDeviceInterfaceState(&first, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&first, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&plain, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(pnp::interfaces(GUID_HVTEST_INTERFACE).size(), 2u);

    // The user-mode form names the same interface, in any case.
    std::u16string user = u"\\\\?\\root#hvtestfunc#0000#" + kGuidText + u"\\ONE";
    UNICODE_STRING user_link = counted(user);
    EXPECT_EQ(IoSetDeviceInterfaceState(&user_link, FALSE), STATUS_SUCCESS);
    // The plain interface still holds the shared link.
    EXPECT_TRUE(io::symbolic_link_target(u"\\??\\ROOT#HVTESTFUNC#0000#" + kGuidText));
    EXPECT_EQ(IoSetDeviceInterfaceState(&plain, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(io::symbolic_link_target(u"\\??\\ROOT#HVTESTFUNC#0000#" + kGuidText));

    PWSTR list = nullptr;
    ASSERT_EQ(IoGetDeviceInterfaces(&GUID_HVTEST_INTERFACE, nullptr, DEVICE_INTERFACE_INCLUDE_NONACTIVE, &list),
              STATUS_SUCCESS);
    size_t entries = 0;
    for (PWSTR p = list; *p; p += std::u16string(p).size() + 1) ++entries;
    EXPECT_EQ(entries, 2u);
    ExFreePool(list);
    ASSERT_EQ(IoGetDeviceInterfaces(&GUID_HVTEST_INTERFACE, pdo, 0, &list), STATUS_SUCCESS);
    EXPECT_EQ(list[0], 0); // none enabled: an empty list
    ExFreePool(list);

    // Bad requests.
    std::u16string bogus = u"\\??\\NOT#AN#INTERFACE";
    UNICODE_STRING bogus_link = counted(bogus);
    EXPECT_EQ(IoSetDeviceInterfaceState(&bogus_link, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    UNICODE_STRING bad_ref, out{};
    RtlInitUnicodeString(&bad_ref, u"a\\b");
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &GUID_HVTEST_INTERFACE, &bad_ref, &out), STATUS_INVALID_DEVICE_REQUEST);
    auto stack = pnp::device_stack(node(id));
    EXPECT_EQ(IoRegisterDeviceInterface(stack[1], &GUID_HVTEST_INTERFACE, nullptr, &out),
              STATUS_INVALID_DEVICE_REQUEST);
    for (auto* device : stack) ObDereferenceObject(device);

    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceInterfaceRegistryKey(&first, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_TRUE(registry::key_exists(kDeviceClasses + kGuidText + u"\\##?#ROOT#HVTESTFUNC#0000#" + kGuidText +
                                     u"\\#One\\Device Parameters"));

    RtlFreeUnicodeString(&first);
    RtlFreeUnicodeString(&again);
    RtlFreeUnicodeString(&plain);
}

TEST_F(PnpInterfaces, DeviceAndDriverKeys) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    pnp::start_tree();
    PDEVICE_OBJECT pdo = pnp::node_info(node(id))->pdo;

    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"PortName");
    const WCHAR port[] = u"COM7";
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, (PVOID)port, sizeof port), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(registry::get_string(kEnum + id + u"\\Device Parameters", u"PortName"), u"COM7");

    // The driver key needs the device's class.
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    const std::u16string ports = u"{4D36E978-E325-11CE-BFC1-08002BE10318}";
    registry::set_string(kEnum + id, u"ClassGUID", ports);
    registry::create_key(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + ports + u"\\0000");
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(registry::get_string(kEnum + id, u"Driver"), ports + u"\\0001");

    WCHAR text[64];
    ULONG length = 0;
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyDriverKeyName, sizeof text, text, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text), ports + u"\\0001");
    EXPECT_EQ(length, (ports.size() + 6) * sizeof(WCHAR));
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyClassGuid, sizeof text, text, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text), ports);

    // The same key next time.
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(registry::get_string(kEnum + id, u"Driver"), ports + u"\\0001");

    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, 3, KEY_READ, &key), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, nullptr), STATUS_INVALID_PARAMETER);
    auto stack = pnp::device_stack(node(id));
    EXPECT_EQ(IoOpenDeviceRegistryKey(stack[1], PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
    for (auto* device : stack) ObDereferenceObject(device);
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE, KEY_READ, &key),
              STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_TRUE(registry::key_exists(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware "
                                     u"Profiles\\Current\\System\\CurrentControlSet\\Enum\\" +
                                     id + u"\\Device Parameters"));
}

// A resource list of one range.
CM_RESOURCE_LIST one_range(const CM_PARTIAL_RESOURCE_DESCRIPTOR& range) {
    CM_RESOURCE_LIST list{};
    list.Count = 1;
    list.List[0].InterfaceType = Internal;
    list.List[0].PartialResourceList.Version = 1;
    list.List[0].PartialResourceList.Revision = 1;
    list.List[0].PartialResourceList.Count = 1;
    list.List[0].PartialResourceList.PartialDescriptors[0] = range;
    return list;
}

// The resources of a root device, as LogConf\BootConfig describes them; gives the LogConf key.
registry::Key set_boot_config(const std::u16string& id, const CM_RESOURCE_LIST& list) {
    registry::Key logconf;
    registry::CreateOptions options;
    options.create_parents = true;
    EXPECT_EQ(registry::create(nullptr, kEnum + id + u"\\LogConf", &logconf, nullptr, options), STATUS_SUCCESS);
    EXPECT_EQ(registry::set_value(logconf, u"BootConfig", REG_RESOURCE_LIST, &list, sizeof list), STATUS_SUCCESS);
    return logconf;
}

void give_memory_range(const std::u16string& id, LONGLONG start, ULONG length) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR memory{};
    memory.Type = CmResourceTypeMemory;
    memory.u.Memory.Start.QuadPart = start;
    memory.u.Memory.Length = length;
    set_boot_config(id, one_range(memory));
}

TEST_F(PnpInterfaces, RootDeviceResourcesComeFromItsBootConfiguration) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"");
    // One I/O port range.
    CM_PARTIAL_RESOURCE_DESCRIPTOR port{};
    port.Type = CmResourceTypePort;
    port.Flags = 0x31;
    port.u.Port.Start.QuadPart = 0x3F8;
    port.u.Port.Length = 8;
    CM_RESOURCE_LIST list = one_range(port);
    registry::Key logconf = set_boot_config(id, list);
    pnp::start_tree();
    pnp::DevInst dev = node(id);
    PDEVICE_OBJECT pdo = pnp::node_info(dev)->pdo;

    auto query_resources = [&] {
        return io::send_and_wait(
            pdo,
            [](PIRP, PIO_STACK_LOCATION s) {
                s->MajorFunction = IRP_MJ_PNP;
                s->MinorFunction = IRP_MN_QUERY_RESOURCES;
            },
            STATUS_NOT_SUPPORTED);
    };
    auto result = query_resources();
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    auto* answer = (CM_RESOURCE_LIST*)result.information;
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->List[0].PartialResourceList.PartialDescriptors[0].u.Port.Start.QuadPart, 0x3F8);
    ExFreePool(answer);
    // A corrupt value gives no resources rather than a bad read.
    ASSERT_EQ(registry::set_value(logconf, u"BootConfig", REG_RESOURCE_LIST, &list, 12), STATUS_SUCCESS);
    result = query_resources();
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.information, 0u);
}

// What a driver maps of its memory resources at start is unmapped when the stack stops, is
// surprise removed or is removed.
TEST_F(PnpInterfaces, MemoryResourcesAreMappedAtStartAndUnmappedWhenTheStackGoes) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    give_memory_range(id, 0xFED40000, 0x1000);
    pnp::start_tree();
    pnp::DevInst dev = node(id);
    EXPECT_EQ(count_of(events("HVTF"), "MAP 4096 ok"), 1);
    EXPECT_EQ(mm::io_space_mappings("HvTestFunc.sys"), 1u);

    EXPECT_FALSE(pnp::rebalance_device(dev).vetoed());
    EXPECT_EQ(count_of(events("HVTF"), "MAP 4096 ok"), 2);
    EXPECT_EQ(mm::io_space_mappings("HvTestFunc.sys"), 1u);

    pnp::surprise_remove(dev);
    pnp::wait_quiet();
    EXPECT_EQ(mm::io_space_mappings(), 0u);
}

TEST_F(PnpInterfaces, ARangeThatCannotBeMappedFailsTheStart) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    give_memory_range(id, 0xFED40000, 0x1000);
    mm::fail_io_space_mappings(true);
    pnp::start_tree();
    EXPECT_EQ(count_of(events("HVTF"), "MAP 4096 failed"), 1);
    EXPECT_EQ(pnp::problem_of(node(id)), pnp::prob::failed_start);
    EXPECT_EQ(mm::io_space_mappings(), 0u);
}

} // namespace
