// Power through the framework: a system transition becomes the device state of the power map,
// power-down runs the driver's callback before the request goes down, power-up runs it after the
// lower drivers finished, at PASSIVE_LEVEL, even when they complete at DISPATCH_LEVEL.
#include "pmframeworkmachine.h"

#include <pmdevice.h>

#include <cstring>

namespace gendrvtest {
namespace {

using hvsim::pnp::DevInst;

class DevicePower : public FrameworkMachine {
protected:
    // The device power requests the framework asked for on the node, in order.
    static std::vector<ULONG> requested_device_states(DevInst node) {
        std::vector<ULONG> states;
        for (auto& record : hvsim::power::irp_log())
            if (record.node == node && record.type == DevicePowerState && record.minor == IRP_MN_SET_POWER &&
                record.requested_by_driver)
                states.push_back(record.state);
        return states;
    }
};

TEST_F(DevicePower, SleepAndWakeRunTheDevicePathWithThePowerMap) {
    hvsim::power::set_complete_at_dispatch(true);
    DevInst node = add_device();
    hvsim::io::FileObject* file = nullptr;
    ASSERT_EQ(open(u"HVGT", &file), STATUS_SUCCESS);
    HvgtState state = query_state(file);
    EXPECT_EQ(state.ulDevicePowerState, (ULONG)PowerDeviceD0);
    // The map comes from the capabilities the PDO reported.
    auto info = hvsim::pnp::node_info(node);
    ASSERT_TRUE(info.has_value());
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(state.aulPowerMap[i], (ULONG)info->capabilities.DeviceState[PowerSystemWorking + i]) << i;
    const ULONG sleeping = state.aulPowerMap[PowerSystemSleeping3 - PowerSystemWorking];
    ASSERT_GT(sleeping, (ULONG)PowerDeviceD0);

    hvsim::power::clear_irp_log();
    ASSERT_EQ(hvsim::power::sleep(PowerSystemSleeping3).status, STATUS_SUCCESS);
    EXPECT_EQ(requested_device_states(node), std::vector<ULONG>{sleeping});
    EXPECT_EQ(hvsim::power::device_state(node), (DEVICE_POWER_STATE)sleeping);
    EXPECT_EQ(count_of(events(), "power down at passive"), 1) << ::testing::PrintToString(events());
    EXPECT_TRUE(traced("CPmFunctionalDevice::m_HandleDevicePoweringDown - m_PowerDownResetDeviceFunction"));

    hvsim::power::clear_irp_log();
    ASSERT_EQ(hvsim::power::wake().status, STATUS_SUCCESS);
    hvsim::pnp::wait_quiet();
    EXPECT_EQ(requested_device_states(node), std::vector<ULONG>{PowerDeviceD0});
    EXPECT_EQ(hvsim::power::device_state(node), PowerDeviceD0);
    auto lines = events();
    EXPECT_EQ(count_of(lines, "power up at passive"), 1) << ::testing::PrintToString(lines);
    EXPECT_EQ(count_of(lines, "power up above passive"), 0);
    EXPECT_TRUE(traced("CPmFunctionalDevice::sm_PowerUpCompletionRoutine - m_PowerUpInitDeviceFunction"));
    EXPECT_TRUE(traced("CPmFunctionalDevice::sm_PowerUpCompletionRoutine OUT SUCCESS"));

    // Every system request ended: all power requests the log saw completed with success.
    for (auto& record : hvsim::power::irp_log()) EXPECT_EQ(record.status, STATUS_SUCCESS);
    state = query_state(file);
    EXPECT_EQ(state.ulDevicePowerState, (ULONG)PowerDeviceD0);
    EXPECT_EQ(state.ulPowerUps, 1u);
    EXPECT_EQ(state.ulPowerDowns, 1u);
    EXPECT_EQ(hvsim::io::close_file(file), STATUS_SUCCESS);
    expect_driver_unloaded_clean();
}

// A request for the state the device is in does not restore the device as a power-up would.
TEST_F(DevicePower, ARequestForTheCurrentStateSkipsThePowerUp) {
    DevInst node = add_device();
    PDEVICE_OBJECT fdo = top_of(node);
    auto result = hvsim::io::send_and_wait(
        fdo,
        [](hvsim::io::Irp*, hvsim::io::StackLocation* stack) {
            stack->MajorFunction = IRP_MJ_POWER;
            stack->MinorFunction = IRP_MN_SET_POWER;
            stack->Parameters.Power.Type = DevicePowerState;
            stack->Parameters.Power.State.DeviceState = PowerDeviceD0;
        },
        STATUS_SUCCESS);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(count_of(events(), "power up at passive"), 0);
    EXPECT_FALSE(traced("CPmFunctionalDevice::m_HandleDevicePoweringUp IN"));
    expect_driver_unloaded_clean();
}

TEST_F(DevicePower, PowerRequestsOfAnUnknownTypeAreRefused) {
    DevInst node = add_device();
    PDEVICE_OBJECT fdo = top_of(node);
    for (UCHAR minor : {(UCHAR)IRP_MN_SET_POWER, (UCHAR)IRP_MN_QUERY_POWER}) {
        auto result = hvsim::io::send_and_wait(
            fdo,
            [&](hvsim::io::Irp*, hvsim::io::StackLocation* stack) {
                stack->MajorFunction = IRP_MJ_POWER;
                stack->MinorFunction = minor;
                const ULONG unknown = 7;
                std::memcpy(&stack->Parameters.Power.Type, &unknown, sizeof(unknown));
            },
            STATUS_SUCCESS);
        EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL) << (int)minor;
    }
    expect_driver_unloaded_clean();
}

} // namespace
} // namespace gendrvtest
