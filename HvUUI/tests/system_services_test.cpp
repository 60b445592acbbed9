// The system's services with the package installed: the bus driver's service through the service
// control manager (running while loaded, no stop while it has devices, and once deleted, gone with
// its devices and never loaded again), and device installation, which runs as the system whoever
// uses the machine.
#include "port_machine_fixture.h"

#include "card_machine.h"

namespace {

class SystemServices : public PortMachineTest {
protected:
    void SetUp() override {
        PortMachineTest::SetUp();
        if (HasFatalFailure()) return;
        if (std::string why = install_package(PortDriver::Package); !why.empty()) GTEST_SKIP() << why;
    }
    void TearDown() override {
        hvsim::user::set_registry_token(hvsim::user::TokenKind::Administrator);
        PortMachineTest::TearDown();
    }

    std::string usb_id(const std::u16string& instance) const {
        for (const auto& device : machine_->usb_devices())
            if (device.instance_id == instance) return device.id;
        return {};
    }

    static DWORD state(SC_HANDLE service) {
        SERVICE_STATUS status{};
        EXPECT_TRUE(QueryServiceStatus(service, &status));
        return status.dwCurrentState;
    }

    static ULONG problem(const std::u16string& instance) {
        DEVINST node = 0;
        ULONG status = 0, problem = 0;
        if (CM_Locate_DevNodeW(&node, const_cast<WCHAR*>(instance.c_str()), 0) != CR_SUCCESS) return 0;
        CM_Get_DevNode_Status(&status, &problem, node, 0);
        return problem;
    }
};

TEST_F(SystemServices, TheBusDriverRunsRefusesToStopWithDevicesAndIsNotLoadedOnceDeleted) {
    const std::string spec = "ftdi:vid=0x7A5C,pid=0x1001";
    std::u16string adapter = plug_adapter(spec);
    ASSERT_FALSE(ports_below(adapter).empty()) << machine_->device_tree_text();

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager);
    SC_HANDLE bus = OpenServiceA(manager, "HvUsbSam", SERVICE_ALL_ACCESS);
    ASSERT_NE(nullptr, bus);
    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(bus, &status));
    EXPECT_EQ(DWORD(SERVICE_KERNEL_DRIVER), status.dwServiceType);
    EXPECT_EQ(DWORD(SERVICE_RUNNING), status.dwCurrentState);
    EXPECT_EQ(DWORD(SERVICE_ACCEPT_STOP), status.dwControlsAccepted);

    std::vector<BYTE> block(4096);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(block.data());
    ASSERT_TRUE(QueryServiceConfigA(bus, config, DWORD(block.size()), &needed));
    std::string binary = config->lpBinaryPathName;
    EXPECT_TRUE(binary.ends_with("HvUBus.sys")) << binary;

    EXPECT_FALSE(ControlService(bus, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(DWORD(ERROR_INVALID_SERVICE_CONTROL), GetLastError());
    EXPECT_EQ(DWORD(SERVICE_RUNNING), status.dwCurrentState);

    ASSERT_TRUE(DeleteService(bus));
    EXPECT_FALSE(DeleteService(bus));
    EXPECT_EQ(DWORD(ERROR_SERVICE_MARKED_FOR_DELETE), GetLastError());

    // Its devices go: the driver unloads, the key stays while a handle is open.
    machine_->unplug(usb_id(adapter));
    card_test::wait_quiet();
    EXPECT_EQ(DWORD(SERVICE_STOPPED), state(bus));
    EXPECT_FALSE(ControlService(bus, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(DWORD(ERROR_SERVICE_NOT_ACTIVE), GetLastError());
    EXPECT_TRUE(key_exists(u"SYSTEM\\CurrentControlSet\\Services\\HvUsbSam"));

    // A marked service is not loaded again.
    machine_->plug(spec);
    hvsim::user::wait_for_device_installations();
    card_test::wait_quiet();
    EXPECT_EQ(DWORD(SERVICE_STOPPED), state(bus));
    EXPECT_NE(0u, problem(adapter)) << machine_->device_tree_text();
    EXPECT_TRUE(ports_below(adapter).empty());

    EXPECT_TRUE(CloseServiceHandle(bus));
    EXPECT_FALSE(key_exists(u"SYSTEM\\CurrentControlSet\\Services\\HvUsbSam"));
    EXPECT_EQ(nullptr, OpenServiceA(manager, "HvUsbSam", SERVICE_QUERY_STATUS));
    EXPECT_EQ(DWORD(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
    EXPECT_TRUE(CloseServiceHandle(manager));
}

// The Ports list is the administrators' to change; an arriving port is named by the platform's
// installation, which runs as the system, also while a standard user uses the machine.
TEST_F(SystemServices, AnArrivingPortIsNamedWhileAStandardUserUsesTheMachine) {
    hvsim::user::set_registry_token(hvsim::user::TokenKind::StandardUser);
    std::u16string adapter = plug_adapter("ftdi:vid=0x7A5C,pid=0x1001");
    auto ports = ports_below(adapter);
    ASSERT_EQ(1u, ports.size()) << machine_->device_tree_text();
    EXPECT_EQ(u"COM1", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"115200,n,8,1", ports_entry(u"COM1"));
    HKEY key;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports",
                                                 0, KEY_SET_VALUE, &key));
}

} // namespace
