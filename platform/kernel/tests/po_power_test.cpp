// System sleep, wake and shutdown: the system and device power IRPs, their order through the
// tree, and the device state each stack ends in.
#include "pnp_test_support.h"

using namespace hvsim;
using namespace hvsim::pnptest;

namespace {

using Power = PnpMachine;

std::vector<std::string> power_lines(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (auto& line : lines)
        if (line.find("POWER") != std::string::npos || line.find("REQUEST") != std::string::npos) out.push_back(line);
    return out;
}

TEST_F(Power, SleepAndWakeSendSystemThenDeviceIrps) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    pnp::start_tree();
    pnp::DevInst dev = node(id);
    debug_log::clear();
    power::clear_irp_log();

    power::TransitionResult slept = power::sleep(PowerSystemSleeping3);
    EXPECT_EQ(slept.status, STATUS_SUCCESS);
    EXPECT_EQ(power::system_state(), PowerSystemSleeping3);
    EXPECT_EQ(power_lines(events("HVTF")),
              (std::vector<std::string>{"POWER QUERY S3", "POWER SET S3", "REQUEST D3 at IRQL 0", "POWER SET D3"}));
    EXPECT_EQ(power::device_state(dev), PowerDeviceD3);

    auto log = power::irp_log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(log[1].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(log[1].type, SystemPowerState);
    EXPECT_EQ(log[2].type, DevicePowerState);
    EXPECT_EQ(log[2].state, (ULONG)PowerDeviceD3);
    EXPECT_TRUE(log[2].requested_by_driver);
    for (auto& record : log) EXPECT_EQ(record.status, STATUS_SUCCESS);

    debug_log::clear();
    EXPECT_EQ(power::wake().status, STATUS_SUCCESS);
    EXPECT_EQ(power::system_state(), PowerSystemWorking);
    EXPECT_EQ(power_lines(events("HVTF")),
              (std::vector<std::string>{"POWER SET S0", "REQUEST D0 at IRQL 0", "POWER SET D0"}));
    EXPECT_EQ(power::device_state(dev), PowerDeviceD0);
    EXPECT_GT(power::start_next_count(), 0u);
}

TEST_F(Power, CompletionAtDispatchLevelReachesThePolicyOwnerThere) {
    add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    pnp::start_tree();
    power::set_complete_at_dispatch(true);
    debug_log::clear();
    EXPECT_EQ(power::sleep().status, STATUS_SUCCESS);
    auto lines = power_lines(events("HVTF"));
    EXPECT_NE(std::find(lines.begin(), lines.end(), "REQUEST D3 at IRQL 2"), lines.end());
    EXPECT_EQ(power::wake().status, STATUS_SUCCESS);
    power::set_complete_at_dispatch(false);
}

TEST_F(Power, PowerManagerRequestsTheDeviceStateWhenTheStackDoesNot) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc", {{u"NoPowerPolicy", 1}});
    pnp::start_tree();
    power::clear_irp_log();
    EXPECT_EQ(power::sleep(PowerSystemSleeping3).status, STATUS_SUCCESS);
    auto log = power::irp_log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2].type, DevicePowerState);
    EXPECT_EQ(log[2].state, (ULONG)PowerDeviceD3);
    EXPECT_FALSE(log[2].requested_by_driver);
    EXPECT_EQ(power::device_state(node(id)), PowerDeviceD3);
}

TEST_F(Power, ChildrenSleepBeforeTheirBusAndWakeAfterIt) {
    pnp::set_new_device_handler([](pnp::DevInst dev) {
        registry::set_string(pnp::device_key_path(dev), u"Service", u"hvtestfunc");
        return true;
    });
    std::u16string bus = add_root_device(u"root\\hvtestbus", u"hvtestbus", {{u"Children", 1}});
    pnp::start_tree();
    pnp::DevInst child = pnp::children_of(node(bus)).at(0);
    power::clear_irp_log();

    EXPECT_EQ(power::sleep().status, STATUS_SUCCESS);
    auto log = power::irp_log();
    auto first_set = [&](pnp::DevInst who) {
        for (size_t i = 0; i < log.size(); ++i)
            if (log[i].node == who && log[i].minor == IRP_MN_SET_POWER && log[i].type == SystemPowerState) return i;
        return SIZE_MAX;
    };
    EXPECT_LT(first_set(child), first_set(node(bus)));
    // The bus's stack has no power policy owner that asks: the power manager asks for D3.
    EXPECT_EQ(power::device_state(node(bus)), PowerDeviceD3);
    EXPECT_EQ(power::device_state(child), PowerDeviceD3);

    power::clear_irp_log();
    EXPECT_EQ(power::wake().status, STATUS_SUCCESS);
    log = power::irp_log();
    EXPECT_LT(first_set(node(bus)), first_set(child));
    EXPECT_EQ(power::device_state(child), PowerDeviceD0);
    pnp::set_new_device_handler(nullptr);
}

TEST_F(Power, RequestsThatMakeNoSenseAreRefused) {
    pnp::start_tree();
    EXPECT_EQ(power::sleep(PowerSystemWorking).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(power::sleep(PowerSystemShutdown).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(power::wake().status, STATUS_SUCCESS); // already working
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoRequestPowerIrp(nullptr, IRP_MN_SET_POWER, state, nullptr, nullptr, nullptr),
              STATUS_INVALID_PARAMETER_1);
    auto root = pnp::node_info(pnp::root_node);
    EXPECT_EQ(PoRequestPowerIrp(root->pdo, 0x05, state, nullptr, nullptr, nullptr), // no power minor code
              STATUS_INVALID_PARAMETER_2);
    EXPECT_EQ(power::shutdown().status, STATUS_SUCCESS);
    EXPECT_EQ(power::system_state(), PowerSystemShutdown);
    EXPECT_EQ(power::sleep().status, STATUS_INVALID_DEVICE_STATE);
}

TEST_F(Power, RequestedIrpCompletesThroughItsCallback) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    pnp::start_tree();
    PDEVICE_OBJECT pdo = pnp::node_info(node(id))->pdo;
    struct Seen {
        bool called = false;
        NTSTATUS status = STATUS_PENDING;
        UCHAR minor = 0xFF;
        DEVICE_POWER_STATE state = PowerDeviceUnspecified;
        PDEVICE_OBJECT device = nullptr;
    } seen;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD2;
    PIRP irp = nullptr;
    NTSTATUS status = PoRequestPowerIrp(
        pdo, IRP_MN_SET_POWER, state,
        [](PDEVICE_OBJECT device, UCHAR minor, POWER_STATE s, PVOID context, PIO_STATUS_BLOCK io) {
            auto* out = (Seen*)context;
            out->called = true;
            out->status = io->Status;
            out->minor = minor;
            out->state = s.DeviceState;
            out->device = device;
        },
        &seen, &irp);
    EXPECT_EQ(status, STATUS_PENDING);
    EXPECT_NE(irp, nullptr);
    EXPECT_TRUE(seen.called);
    EXPECT_EQ(seen.status, STATUS_SUCCESS);
    EXPECT_EQ(seen.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(seen.state, PowerDeviceD2);
    EXPECT_EQ(seen.device, pdo);
    EXPECT_EQ(power::device_state(pdo), PowerDeviceD2);
}

} // namespace
