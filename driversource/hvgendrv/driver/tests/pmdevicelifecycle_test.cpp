// The framework in the machine: a driver built on it goes from AddDevice through start to removal
// in the order Plug and Play drives it, names its devices, and leaves nothing behind.
#include "pmframeworkmachine.h"

#include <pmdevice.h>

namespace gendrvtest {
namespace {

using hvsim::pnp::DevInst;

class DeviceLifecycle : public FrameworkMachine {};

TEST_F(DeviceLifecycle, AddDeviceStartAndRemovalRunInPlugAndPlayOrder) {
    DevInst node = add_device();
    ASSERT_EQ(hvsim::pnp::state_of(node), hvsim::pnp::NodeState::Started);
    EXPECT_EQ(hvsim::io::symbolic_link_target(u"\\??\\HVGT"), std::u16string(u"\\Device\\HvGenTest"));

    // The device stack: the framework device sits on the PDO, and its extension leads back to it.
    auto stack = hvsim::pnp::device_stack(node);
    ASSERT_EQ(stack.size(), 2u);
    PDEVICE_OBJECT fdo = stack[1];
    for (auto device : stack) ObDereferenceObject(device);
    EXPECT_EQ(hvsim::io::device_name(fdo), u"\\Device\\HvGenTest");
    auto* extension = static_cast<PmDeviceExtension*>(fdo->DeviceExtension);
    ASSERT_NE(extension->m_pDevice, nullptr);
    EXPECT_EQ(extension->m_pDevice->m_ulKind, (ULONG)PM_DEVICE_KIND_FUNCTIONAL);
    EXPECT_EQ(extension->m_pDevice->m_ulPnpState, (ULONG)PM_PNP_STARTED);

    remove_device(node);
    auto lines = events();
    size_t created = index_of(lines, "driver class");
    size_t added = index_of(lines, "add device", created);
    size_t started = index_of(lines, "start", added);
    size_t removed = index_of(lines, "remove", started);
    size_t destroyed = index_of(lines, "destroy", removed);
    EXPECT_NE(destroyed, SIZE_MAX) << ::testing::PrintToString(lines);
    EXPECT_EQ(count_of(lines, "remove"), 1);
    EXPECT_FALSE(hvsim::io::symbolic_link_target(u"\\??\\HVGT").has_value());
    expect_driver_unloaded_clean();
}

TEST_F(DeviceLifecycle, TheTraceLogCarriesTheEntryNamesAndStatuses) {
    DevInst node = add_device();
    hvsim::io::FileObject* file = nullptr;
    ASSERT_EQ(open(u"HVGT", &file), STATUS_SUCCESS);
    EXPECT_EQ(hvsim::io::close_file(file), STATUS_SUCCESS);
    remove_device(node);

    for (const char* line : {
             "m_DriverEntry IN", "m_DriverEntry OUT - SUCCESS", "m_AddDevice IN", "m_AddDevice OUT - SUCCESS",
             "CPmFunctionalDevice::CPmFunctionalDevice IN",
             "CPmFunctionalDevice::CPmFunctionalDevice - SpecificDriverCreation SUCCESS",
             "CPmFunctionalDevice::CPmFunctionalDevice - FunctionalDeviceRegistryInformationSet SUCCESS",
             "CPmFunctionalDevice::CPmFunctionalDevice - m_CreateDeviceObjectAndSymbolicLink SUCCESS",
             "CPmFunctionalDevice::CPmFunctionalDevice - m_UserModeInterface.m_Init SUCCESS",
             "CPmFunctionalDevice::CPmFunctionalDevice - m_AddDeviceFunction SUCCESS",
             "CPmFunctionalDevice::CPmFunctionalDevice OUT - SUCCESS", "m_Dispatch_Pnp IN",
             "CPmFunctionalDevice::m_Dispatch_Pnp - Minor Function : IRP_MN_START_DEVICE\n",
             "IRP_MN_START_DEVICE OUT SUCCESS", "m_Dispatch_Create IN", "m_Dispatch_Create OUT - 00000000",
             "CPmFunctionalDevice::m_Dispatch_Create IN", "CPmFunctionalDevice::m_Dispatch_Create - before m_CreateCallback",
             "CPmFunctionalDevice::m_Dispatch_Create OUT", "m_Dispatch_Cleanup OUT - 00000000",
             "CPmFunctionalDevice::m_Dispatch_Close - before m_CloseCallback", "m_Dispatch_Close OUT - 00000000",
             "IRP_MN_REMOVE_DEVICE m_DeleteAllChildDevices SUCCESS", "CPmFunctionalDevice::m_Remove IN",
             "CPmFunctionalDevice::m_Remove OUT", "IRP_MN_REMOVE_DEVICE m_Remove SUCCESS",
             "CPmFunctionalDevice::~CPmFunctionalDevice IN", "CPmFunctionalDevice::~CPmFunctionalDevice OUT",
             "m_Dispatch_Pnp OUT - 00000000"}) {
        EXPECT_TRUE(traced(line)) << line;
    }
    // The end of each PnP request names the device object and the status.
    bool found_end = false;
    for (auto& line : trace_lines())
        if (line.rfind("m_Dispatch_Pnp DO = ", 0) == 0 && line.find(" - end - 00000000") != std::string::npos)
            found_end = true;
    EXPECT_TRUE(found_end);
    expect_driver_unloaded_clean();
}

// Older systems: without WDM 1.20 each device starts its own software tracing; without WDM 1.10
// links are made in \\DosDevices. The life cycle is the same.
class OlderSystem : public FrameworkMachine, public ::testing::WithParamInterface<UCHAR> {};

TEST_P(OlderSystem, RunsTheSameLifeCycle) {
    hvsim::io::set_wdm_version(1, GetParam());
    DevInst node = add_device();
    ASSERT_EQ(hvsim::pnp::state_of(node), hvsim::pnp::NodeState::Started);
    EXPECT_EQ(hvsim::io::symbolic_link_target(u"\\DosDevices\\HVGT"), std::u16string(u"\\Device\\HvGenTest"));
    hvsim::io::FileObject* file = nullptr;
    ASSERT_EQ(open(u"HVGT", &file), STATUS_SUCCESS);
    EXPECT_EQ(hvsim::io::close_file(file), STATUS_SUCCESS);
    remove_device(node);
    EXPECT_FALSE(hvsim::io::symbolic_link_target(u"\\??\\HVGT").has_value());
    EXPECT_EQ(count_of(events(), "destroy"), 1);
    expect_driver_unloaded_clean();
}

INSTANTIATE_TEST_SUITE_P(Wdm, OlderSystem, ::testing::Values((UCHAR)0x10, (UCHAR)0x00));

TEST_F(DeviceLifecycle, DevicesAreNamedFromTheRegistryCounter) {
    DevInst first = add_device();
    DevInst second = add_device();
    EXPECT_EQ(hvsim::io::symbolic_link_target(u"\\??\\HVGT"), std::u16string(u"\\Device\\HvGenTest"));
    EXPECT_EQ(hvsim::io::symbolic_link_target(u"\\??\\HVGT1"), std::u16string(u"\\Device\\HvGenTest1"));
    const std::u16string parameters = u"\\Device Parameters";
    EXPECT_EQ(hvsim::registry::get_dword(device_key(first) + parameters, u"DeviceNameIndex"), 1u);
    EXPECT_EQ(hvsim::registry::get_dword(device_key(second) + parameters, u"DeviceNameIndex"), 2u);
    EXPECT_EQ(hvsim::registry::get_dword(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HvGenTest",
                                         u"DeviceCount"),
              2u);

    // A device keeps its index when it comes back.
    ASSERT_FALSE(hvsim::pnp::restart_device(first).vetoed());
    hvsim::pnp::wait_quiet();
    EXPECT_EQ(hvsim::io::symbolic_link_target(u"\\??\\HVGT"), std::u16string(u"\\Device\\HvGenTest"));
    EXPECT_EQ(hvsim::registry::get_dword(device_key(first) + parameters, u"DeviceNameIndex"), 1u);
    expect_driver_unloaded_clean();
}

// A DriverEntry that fails gets no unload: whatever it made is given back before it returns.
class FailedDriverEntry : public FrameworkMachine, public ::testing::WithParamInterface<const char*> {};

TEST_P(FailedDriverEntry, LeavesNothingBehind) {
    hvsim::pool::fail_tag(hvsim::pool::tag_from_text(GetParam()), kImage);
    DevInst node = add_device();
    hvsim::pool::clear_faults();
    EXPECT_NE(hvsim::pnp::problem_of(node), hvsim::pnp::prob::none);
    EXPECT_EQ(count_of(events(), "add device"), 0);
    EXPECT_FALSE(hvsim::ldr::is_loaded(kService));
    EXPECT_EQ(hvsim::pool::outstanding(kImage).count, 0u) << hvsim::pool::leak_report(kImage);
}

// The pool object, the pool's tracking blocks, and the first allocations from the pool (the
// debug manager's).
INSTANTIATE_TEST_SUITE_P(Allocation, FailedDriverEntry, ::testing::Values("PmKO", "PmKP", "PmKi"));

TEST_F(DeviceLifecycle, AnUnknownNamingPolicyRefusesTheDevice) {
    DevInst node = add_device(DeviceConfig().set(u"DeviceIndexingPolicyType", 3));
    EXPECT_EQ(hvsim::pnp::problem_of(node), hvsim::pnp::prob::failed_add);
    EXPECT_TRUE(traced("m_AddDevice OUT - failure"));
    expect_driver_unloaded_clean();
}

// The refusal comes after the device object was created and attached: it must be detached and
// deleted once, and the PDO's stack left as it was.
TEST_F(DeviceLifecycle, ARefusedAddDeviceLeavesNothingBehind) {
    DevInst node = add_device(DeviceConfig().flags(HVGT_FAIL_ADD));
    EXPECT_EQ(hvsim::pnp::problem_of(node), hvsim::pnp::prob::failed_add);
    auto stack = hvsim::pnp::device_stack(node);
    EXPECT_EQ(stack.size(), 1u);
    for (auto device : stack) {
        EXPECT_EQ(device->AttachedDevice, nullptr);
        ObDereferenceObject(device);
    }
    EXPECT_EQ(hvsim::io::find_device(u"\\Device\\HvGenTest"), nullptr);
    EXPECT_FALSE(hvsim::io::symbolic_link_target(u"\\??\\HVGT").has_value());
    auto lines = events();
    EXPECT_EQ(count_of(lines, "destroy"), 1);
    EXPECT_TRUE(traced("CPmFunctionalDevice::CPmFunctionalDevice ERROR"));
    EXPECT_TRUE(traced("CPmFunctionalDevice::CPmFunctionalDevice OUT - ERROR"));
    EXPECT_TRUE(traced("m_AddDevice OUT - failure"));
    expect_driver_unloaded_clean();
}

TEST_F(DeviceLifecycle, AFailedStartIsRemovedCleanly) {
    DevInst node = add_device(DeviceConfig().flags(HVGT_FAIL_START));
    EXPECT_EQ(hvsim::pnp::problem_of(node), hvsim::pnp::prob::failed_start);
    EXPECT_TRUE(traced("m_PnpStartDeviceCallback ERROR"));
    expect_driver_unloaded_clean();
}

TEST_F(DeviceLifecycle, StopAndRestartRunTheRebalancePhasesOnce) {
    DevInst node = add_device();
    ASSERT_FALSE(hvsim::pnp::rebalance_device(node).vetoed());
    hvsim::pnp::wait_quiet();
    auto lines = events();
    size_t query = index_of(lines, "rebalance 0");
    size_t stop = index_of(lines, "rebalance 1", query);
    size_t start = index_of(lines, "rebalance 3", stop);
    EXPECT_NE(start, SIZE_MAX) << ::testing::PrintToString(lines);
    // A restart after a stop does not run the first start again.
    EXPECT_EQ(count_of(lines, "start"), 1);
    EXPECT_TRUE(traced("IRP_MN_START_DEVICE Rebalancing OUT SUCCESS"));
    EXPECT_EQ(hvsim::pnp::state_of(node), hvsim::pnp::NodeState::Started);
    expect_driver_unloaded_clean();
}

TEST_F(DeviceLifecycle, ARefusedQueryStopKeepsTheDeviceRunning) {
    DevInst node = add_device(DeviceConfig().flags(HVGT_FAIL_QUERY_STOP));
    EXPECT_TRUE(hvsim::pnp::rebalance_device(node).vetoed());
    hvsim::pnp::wait_quiet();
    EXPECT_TRUE(traced("IRP_MN_QUERY_STOP_DEVICE ERROR"));
    EXPECT_EQ(hvsim::pnp::state_of(node), hvsim::pnp::NodeState::Started);
    hvsim::io::FileObject* file = nullptr;
    ASSERT_EQ(open(u"HVGT", &file), STATUS_SUCCESS);
    EXPECT_EQ(query_state(file).ulPnpState, (ULONG)PM_PNP_STARTED);
    hvsim::io::close_file(file);
    expect_driver_unloaded_clean();
}

TEST_F(DeviceLifecycle, ADeviceHiddenFromTheUserSaysSoOnce) {
    DevInst node = add_device(DeviceConfig().set(u"DisplayInUi", 0));
    auto info = hvsim::pnp::node_info(node);
    ASSERT_TRUE(info.has_value());
    EXPECT_TRUE(info->device_state & PNP_DEVICE_DONT_DISPLAY_IN_UI);
    expect_driver_unloaded_clean();
}

TEST_F(DeviceLifecycle, UsageNotificationsAcceptOnlyFilesTakenOff) {
    DevInst node = add_device();
    EXPECT_EQ(hvsim::pnp::usage_notification(node, DeviceUsageTypePaging, false), STATUS_SUCCESS);
    EXPECT_EQ(hvsim::pnp::usage_notification(node, DeviceUsageTypePaging, true), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hvsim::pnp::usage_notification(node, DeviceUsageTypeHibernation, true), STATUS_UNSUCCESSFUL);
    expect_driver_unloaded_clean();
}

} // namespace
} // namespace gendrvtest
