// A COM port's life in the machine: it appears when an adapter is plugged, with its name, DOS
// link, SERIALCOMM value and COM-port interface, all gone again at unplug; it keeps its name
// across a re-plug; one handle at a time; and what start and removal must never leave behind or
// take from another device.
#include "comport_fixture.h"

#include "comport_pnp.h"

namespace comport_test {
namespace {

class ComPortLifecycle : public ComPortTest {};

TEST_F(ComPortLifecycle, EachPortAppearsWithItsNameLinkMapEntryAndInterfaceAndAllGoAtUnplug) {
    std::string id = plug("ftdi:interfaces=2");
    std::vector<Port> found = ports(id);
    ASSERT_EQ(2u, found.size());
    EXPECT_NE(found[0].name, found[1].name);
    for (const Port& port : found) {
        SCOPED_TRACE(std::string(port.name.begin(), port.name.end()));
        ASSERT_EQ(0u, port.name.rfind(u"COM", 0));
        EXPECT_EQ("started", state(port.instance_id));
        std::u16string target = dos_target(port.name);
        ASSERT_EQ(0u, target.rfind(u"\\Device\\", 0));
        // The map entry names the device the link points at.
        EXPECT_EQ(std::vector<std::u16string>{target}, serialcomm_entries(port.name));
        EXPECT_TRUE(has_com_port_interface(port.instance_id));
    }
    EXPECT_EQ(2u, com_port_interfaces());

    unplug(id);
    expect_gone(found);
}

TEST_F(ComPortLifecycle, APluggedAgainAdapterGetsTheSameComNames) {
    std::string id = plug("ftdi:interfaces=2");
    std::vector<Port> before = ports(id);
    ASSERT_EQ(2u, before.size());
    unplug(id);

    id = plug("ftdi:interfaces=2");
    std::vector<Port> after = ports(id);
    ASSERT_EQ(2u, after.size());
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(before[i].instance_id, after[i].instance_id);
        EXPECT_EQ(before[i].name, after[i].name);
        EXPECT_EQ(0u, dos_target(after[i].name).rfind(u"\\Device\\", 0));
    }

    // Pulled out while a program holds a port, and plugged back as soon as the handle closes:
    // the close lets the old device go, so the adapter is not taken for a second one.
    HANDLE held = open(after[1].name);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    unplug(id);
    EXPECT_TRUE(CloseHandle(held));
    std::vector<Port> again = ports(plug("ftdi:interfaces=2"));
    ASSERT_EQ(2u, again.size());
    for (size_t i = 0; i < again.size(); ++i) {
        EXPECT_EQ(before[i].instance_id, again[i].instance_id);
        EXPECT_EQ(before[i].name, again[i].name);
    }
}

TEST_F(ComPortLifecycle, ASecondOpenIsRefusedAndTheFirstHandleKeepsWorking) {
    std::vector<Port> found = ports(plug());
    ASSERT_EQ(1u, found.size());
    HANDLE first = open(found[0].name);
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    DWORD error = 0;
    EXPECT_EQ(INVALID_HANDLE_VALUE, open(found[0].name, &error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error);

    SERIAL_BAUD_RATE baud{};
    ControlResult result = control(first, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud);
    EXPECT_EQ(kStatusSuccess, result.status);
    EXPECT_EQ(115200u, baud.BaudRate);

    // Once the first handle is closed the port opens again.
    EXPECT_TRUE(CloseHandle(first));
    HANDLE again = open(found[0].name);
    EXPECT_NE(INVALID_HANDLE_VALUE, again);
    CloseHandle(again);
}

// Removal undoes what start made even when the registry no longer names the port.
TEST_F(ComPortLifecycle, UnplugRemovesLinkAndMapEntryWhenThePortNameCanNoLongerBeRead) {
    std::string id = plug();
    std::vector<Port> found = ports(id);
    ASSERT_EQ(1u, found.size());
    ASSERT_NE(u"<none>", dos_target(found[0].name));
    std::u16string path = u"SYSTEM\\CurrentControlSet\\Enum\\" + found[0].instance_id + u"\\Device Parameters";
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(key, u"PortName"));
    RegCloseKey(key);

    unplug(id);
    EXPECT_EQ(u"<none>", dos_target(found[0].name));
    EXPECT_TRUE(serialcomm_entries(found[0].name).empty());
    EXPECT_FALSE(has_com_port_interface(found[0].instance_id));
}

// Without a name the port does not start, and leaves nothing behind.
TEST_F(ComPortLifecycle, APortWithoutAPortNameDoesNotStart) {
    std::vector<Port> found = ports(plug());
    ASSERT_EQ(1u, found.size());
    std::u16string path = u"SYSTEM\\CurrentControlSet\\Enum\\" + found[0].instance_id + u"\\Device Parameters";
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(key, u"PortName"));
    RegCloseKey(key);

    restart(found[0].instance_id);
    EXPECT_NE("started", state(found[0].instance_id));
    EXPECT_EQ(u"<none>", dos_target(found[0].name));
    EXPECT_TRUE(serialcomm_entries(found[0].name).empty());
    EXPECT_FALSE(has_com_port_interface(found[0].instance_id));
}

// The COM name the port is given is held by another device's link: the port does not start,
// and neither its failed start nor its removal touches the other device's link.
TEST_F(ComPortLifecycle, AFailedStartLeavesAnotherDevicesComLinkAlone) {
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"COM1", u"\\Device\\Elsewhere"));
    std::string id = plug();
    std::vector<Port> found = ports(id);
    ASSERT_EQ(1u, found.size());
    ASSERT_EQ(u"COM1", found[0].name);
    EXPECT_NE("started", state(found[0].instance_id));
    EXPECT_EQ(u"\\Device\\Elsewhere", dos_target(u"COM1"));
    EXPECT_TRUE(serialcomm_entries(u"COM1").empty());
    EXPECT_FALSE(has_com_port_interface(found[0].instance_id));

    unplug(id);
    EXPECT_EQ(u"\\Device\\Elsewhere", dos_target(u"COM1"));
    EXPECT_TRUE(DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_RAW_TARGET_PATH | DDD_EXACT_MATCH_ON_REMOVE, u"COM1",
                                 u"\\Device\\Elsewhere"));
}

// What a rename in user mode does to a running port: its link moves to the new name (to the
// same device) and its registry name follows; the port is then restarted.
void rename_running_port(const Port& port, const std::u16string& to, const std::u16string& target) {
    ASSERT_TRUE(DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_RAW_TARGET_PATH | DDD_EXACT_MATCH_ON_REMOVE,
                                 port.name.c_str(), target.c_str()));
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, to.c_str(), target.c_str()));
    std::u16string path = u"SYSTEM\\CurrentControlSet\\Enum\\" + port.instance_id + u"\\Device Parameters";
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(to.c_str()),
                                            static_cast<DWORD>((to.size() + 1) * sizeof(WCHAR))));
    RegCloseKey(key);
}

// The link a rename made to the port is its own: the restarted port takes it over, and its
// removal deletes it. The old name, given to another device since, stays with that device.
TEST_F(ComPortLifecycle, ARestartedPortAdoptsTheLinkARenameMadeToItAndRemovesItAtRemoval) {
    std::string id = plug();
    std::vector<Port> found = ports(id);
    ASSERT_EQ(1u, found.size());
    ASSERT_EQ(u"COM1", found[0].name);
    std::u16string target = dos_target(u"COM1");
    ASSERT_EQ(0u, target.rfind(u"\\Device\\", 0));
    rename_running_port(found[0], u"COM4", target);
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"COM1", u"\\Device\\Elsewhere"));

    ASSERT_TRUE(restart(found[0].instance_id));
    EXPECT_EQ("started", state(found[0].instance_id));
    EXPECT_EQ(target, dos_target(u"COM4"));
    EXPECT_EQ(std::vector<std::u16string>{target}, serialcomm_entries(u"COM4"));
    EXPECT_TRUE(has_com_port_interface(found[0].instance_id));
    EXPECT_EQ(u"\\Device\\Elsewhere", dos_target(u"COM1"));

    unplug(id);
    EXPECT_EQ(u"<none>", dos_target(u"COM4"));
    EXPECT_TRUE(serialcomm_entries(u"COM4").empty());
    EXPECT_EQ(u"\\Device\\Elsewhere", dos_target(u"COM1"));
    EXPECT_TRUE(DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_RAW_TARGET_PATH | DDD_EXACT_MATCH_ON_REMOVE, u"COM1",
                                 u"\\Device\\Elsewhere"));
}

// Only a link to the port's own device is taken over: one to a device whose name merely begins
// with it fails the start and outlives the port.
TEST_F(ComPortLifecycle, ALinkToALongerDeviceNameIsNotThePortsOwn) {
    std::string id = plug();
    std::vector<Port> found = ports(id);
    ASSERT_EQ(1u, found.size());
    std::u16string target = dos_target(found[0].name);
    ASSERT_EQ(0u, target.rfind(u"\\Device\\", 0));
    std::u16string other = target + u"7";
    rename_running_port(found[0], u"COM4", target);
    ASSERT_TRUE(DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_RAW_TARGET_PATH | DDD_EXACT_MATCH_ON_REMOVE, u"COM4",
                                 target.c_str()));
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"COM4", other.c_str()));

    restart(found[0].instance_id);
    EXPECT_NE("started", state(found[0].instance_id));
    EXPECT_EQ(other, dos_target(u"COM4"));
    EXPECT_TRUE(serialcomm_entries(u"COM4").empty());
    EXPECT_FALSE(has_com_port_interface(found[0].instance_id));

    unplug(id);
    EXPECT_EQ(other, dos_target(u"COM4"));
    EXPECT_TRUE(DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_RAW_TARGET_PATH | DDD_EXACT_MATCH_ON_REMOVE, u"COM4",
                                 other.c_str()));
}

} // namespace
} // namespace comport_test

namespace comport_test {
namespace {

// A read that waits until it is full, a write the paced line is still sending and a wait for
// events that will not come, when the adapter is pulled out: every one ends, what the handle
// sends afterwards ends at once, and the handle closes, after which the port is gone.
TEST_F(ComPortLifecycle, UnplugDuringATransferEndsEveryRequestAndTheHandleStillCloses) {
    std::string id = plug("ftdi:wire=loopback");
    std::vector<Port> found = ports(id);
    ASSERT_EQ(1u, found.size());
    HANDLE port = open(found[0].name);
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    SERIAL_BAUD_RATE baud{9600};
    ASSERT_EQ(kStatusSuccess, control(port, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud).status);
    ULONG mask = SERIAL_EV_RING | SERIAL_EV_EVENT2;
    ASSERT_EQ(kStatusSuccess, control(port, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask).status);

    ULONG events = 0;
    Pending wait, read, write;
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof events, nullptr,
                                 &wait.overlapped));
    std::vector<char> incoming(64 * 1024);
    EXPECT_FALSE(ReadFile(port, incoming.data(), static_cast<DWORD>(incoming.size()), nullptr, &read.overlapped));
    std::vector<char> outgoing(16 * 1024, 'w');
    EXPECT_FALSE(WriteFile(port, outgoing.data(), static_cast<DWORD>(outgoing.size()), nullptr, &write.overlapped));
    EXPECT_FALSE(read.done());
    EXPECT_FALSE(write.done());
    EXPECT_FALSE(wait.done());

    unplug(id);
    ASSERT_TRUE(wait.wait(60000));
    ASSERT_TRUE(read.wait(60000));
    ASSERT_TRUE(write.wait(60000));
    EXPECT_EQ(kStatusSuccess, wait.status());
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_EVENT2), events);
    EXPECT_LT(read.status(), 0);
    EXPECT_LT(write.status(), 0);
    EXPECT_LT(write.information(), outgoing.size());

    // The handle outlives its port: what it sends now ends at once with an error.
    Pending late_read, late_write;
    ReadFile(port, incoming.data(), 16, nullptr, &late_read.overlapped);
    WriteFile(port, outgoing.data(), 16, nullptr, &late_write.overlapped);
    ASSERT_TRUE(late_read.done());
    ASSERT_TRUE(late_write.done());
    EXPECT_EQ(kStatusDeviceRemoved, late_read.status());
    EXPECT_EQ(kStatusDeviceRemoved, late_write.status());
    ULONG baud_back = 0;
    EXPECT_LT(control(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud_back, sizeof baud_back).status, 0);

    EXPECT_TRUE(CloseHandle(port));
    wait_quiet();
    EXPECT_EQ("gone", state(found[0].instance_id));
    EXPECT_EQ(u"<none>", dos_target(found[0].name));
    EXPECT_TRUE(serialcomm_entries(found[0].name).empty());
}

} // namespace
} // namespace comport_test
