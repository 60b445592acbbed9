// Child devices in the machine: a test bus driver on the framework lists children in "Child<n>"
// subkeys of its device key; a second test driver runs on those children as the port driver does.
#include "pmchildmachine.h"

namespace gendrvtest {
namespace {

using namespace children;

// Three subkeys, the second not created at startup: two children with the first and third
// numbers, identified and started, each with the children's driver on it.
TEST_F(ChildDevices, ChildrenComeFromTheSubkeysAndStart) {
    ChildSpec first = child(1);
    first.strings[u"DeviceName"] = u"HvGenBusChild";
    first.strings[u"SymbolicLinkName"] = u"HVGBC";
    first.strings[u"DeviceTextLocationInformation"] = u"Port 1";
    first.dwords[u"HandleDeviceTextLocationInformation"] = 1;
    ChildSpec second = child(2);
    second.dwords[u"DoNotCreateAtStartup"] = 1;
    DevInst bus = add_bus(3, {{1, first}, {2, second}, {3, child(3)}});
    ASSERT_EQ(hvsim::pnp::state_of(bus), hvsim::pnp::NodeState::Started);

    auto children = hvsim::pnp::children_of(bus);
    ASSERT_EQ(children.size(), 2u);
    auto one = hvsim::pnp::node_info(children[0]);
    auto three = hvsim::pnp::node_info(children[1]);
    ASSERT_TRUE(one && three);
    EXPECT_EQ(one->instance_id, u"HVGENBUS\\CHILD\\1");
    EXPECT_EQ(three->instance_id, u"HVGENBUS\\CHILD\\3");
    EXPECT_EQ(one->state, hvsim::pnp::NodeState::Started);
    EXPECT_EQ(three->state, hvsim::pnp::NodeState::Started);
    EXPECT_EQ(one->hardware_ids, std::vector<std::u16string>{u"HVGENBUS\\CHILD"});
    EXPECT_TRUE(one->compatible_ids.empty());
    EXPECT_EQ(one->description, u"Test child 1");
    EXPECT_EQ(one->location, u"Port 1");
    EXPECT_TRUE(three->location.empty());
    EXPECT_EQ(one->capabilities.UINumber, 1u);
    EXPECT_EQ(three->capabilities.UINumber, 3u);
    EXPECT_EQ(one->capabilities.Address, 0xFFFFFFFFu);
    EXPECT_TRUE(one->capabilities.UniqueID && one->capabilities.SurpriseRemovalOK);
    EXPECT_FALSE(one->capabilities.Removable || one->capabilities.RawDeviceOK);
    EXPECT_EQ(one->capabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(one->capabilities.DeviceState[PowerSystemSleeping1], PowerDeviceD3);
    EXPECT_EQ(one->capabilities.DeviceState[PowerSystemShutdown], PowerDeviceD3);
    EXPECT_EQ(hvsim::io::symbolic_link_target(u"\\??\\HVGBC"), std::u16string(u"\\Device\\HvGenBusChild"));

    // The children's driver found each number through the framework's accessor.
    EXPECT_EQ(hvsim::debug_log::count("HVGC add device 1"), 1u);
    EXPECT_EQ(hvsim::debug_log::count("HVGC add device 3"), 1u);
    HvgcState state = query_child(u"HVGC3");
    EXPECT_EQ(state.ulContextIdRead, 1u);
    EXPECT_EQ(state.ulContextId, 3u);
    EXPECT_EQ(state.ulPdoIdentified, 1u);
    // Its own device object is a framework device, but no physical one: the check refuses it.
    EXPECT_EQ(state.ulFdoIdentified, 0u);
    EXPECT_EQ(state.ulDeviceIndex, 0u);
    // An internal request sent at the child reached the bus driver's callback.
    EXPECT_EQ(state.lPingStatus, STATUS_SUCCESS);
    EXPECT_EQ(state.ulPingAnswer, HVGB_PING_ANSWER);
    EXPECT_EQ(hvsim::debug_log::count("HVGB internal 0022e01c"), 1u);

    // Children first: their stacks are gone before the bus device removes them and then itself.
    hvsim::debug_log::clear();
    EXPECT_FALSE(hvsim::pnp::remove_device(bus).vetoed());
    hvsim::pnp::wait_quiet();
    auto lines = hvsim::debug_log::lines();
    EXPECT_FALSE(hvsim::io::symbolic_link_target(u"\\??\\HVGBC").has_value());
    EXPECT_FALSE(hvsim::io::symbolic_link_target(u"\\??\\HVGC1").has_value());
    EXPECT_EQ(hvsim::pnp::find_node(u"HVGENBUS\\CHILD\\1"), hvsim::pnp::no_node);
    EXPECT_NE(index_of(lines, "HVGB remove"), SIZE_MAX);
    std::vector<std::string> trace;
    for (auto& record : hvsim::trace_log::records())
        if (record.image == kBusImage) trace.push_back(record.text());
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "CPmPhysicalDevice::~CPmPhysicalDevice OUT"), 2);
    size_t deleted = index_of(trace, "m_DeleteAllChildDevices - ");
    size_t removed = index_of(trace, "IRP_MN_REMOVE_DEVICE m_DeleteAllChildDevices SUCCESS");
    ASSERT_NE(deleted, SIZE_MAX);
    EXPECT_LT(deleted, removed);
    // Each child had its own REMOVE_DEVICE before the bus device had its.
    const std::string child_removed = "CPmPhysicalDevice::m_Dispatch_Pnp - IRP_MN_REMOVE_DEVICE  - after remove lock";
    EXPECT_EQ(std::count(trace.begin(), trace.begin() + (long)std::min(removed, trace.size()), child_removed), 2);
    expect_unloaded_clean();
}

// What a child answers by itself, asked straight at its PDO.
TEST_F(ChildDevices, ChildAnswersItsOwnRequests) {
    ChildSpec spec = child(1);
    spec.strings.erase(u"BusQueryInstanceID");
    spec.strings[u"BusTypeGuid"] = kBusTypeGuid;
    spec.dwords[u"LegacyBusType"] = 15;
    spec.dwords[u"BusNumber"] = 7;
    spec.dwords[u"IncomingWriteType"] = 2;
    DevInst bus = add_bus(1, {{1, spec}});
    auto children = hvsim::pnp::children_of(bus);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(hvsim::pnp::node_info(children[0])->instance_id, u"HVGENBUS\\CHILD\\0000");
    PDEVICE_OBJECT pdo = pdo_of(children[0]);

    LONG status = 0;
    EXPECT_EQ(query_id(pdo, BusQueryInstanceID, &status), std::u16string(u"0000\0\0", 6));
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(query_id(pdo, BusQueryHardwareIDs, &status), std::u16string(u"HVGENBUS\\CHILD\0\0", 16));
    EXPECT_EQ(query_id(pdo, BusQueryCompatibleIDs, &status), u"");
    EXPECT_EQ(status, STATUS_NOT_SUPPORTED); // left to whoever answered before

    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 2;
    auto capability_fill = [&](hvsim::io::Irp*, hvsim::io::StackLocation* stack) {
        stack->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    };
    EXPECT_EQ(send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, capability_fill).status, STATUS_UNSUCCESSFUL);

    auto bus_information = send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_BUS_INFORMATION, nullptr);
    ASSERT_EQ(bus_information.status, STATUS_SUCCESS);
    auto* information = reinterpret_cast<PPNP_BUS_INFORMATION>(bus_information.information);
    EXPECT_EQ(hvsim::pnp::guid_to_string(information->BusTypeGuid), kBusTypeGuid);
    EXPECT_EQ((ULONG)information->LegacyBusType, 15u);
    EXPECT_EQ(information->BusNumber, 7u);
    ExFreePool(information);

    auto target = send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, [](hvsim::io::Irp*, hvsim::io::StackLocation* stack) {
        stack->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    });
    ASSERT_EQ(target.status, STATUS_SUCCESS);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(target.information);
    EXPECT_EQ(relations->Count, 1u);
    EXPECT_EQ(relations->Objects[0], pdo);
    ObDereferenceObject(relations->Objects[0]);
    ExFreePool(relations);

    EXPECT_EQ(send(pdo, IRP_MJ_PNP, IRP_MN_READ_CONFIG, nullptr).status, STATUS_NOT_SUPPORTED);
    auto usage = [&](BOOLEAN in_path) {
        return send(pdo, IRP_MJ_PNP, IRP_MN_DEVICE_USAGE_NOTIFICATION, [in_path](hvsim::io::Irp*, hvsim::io::StackLocation* stack) {
                   stack->Parameters.UsageNotification.Type = DeviceUsageTypePaging;
                   stack->Parameters.UsageNotification.InPath = in_path;
               }).status;
    };
    EXPECT_EQ(usage(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(usage(TRUE), STATUS_UNSUCCESSFUL);

    // Power: the child records device states; it never waits to wake or sequences.
    // The type as a number: a sender may put any value there.
    auto power = [&](UCHAR minor, ULONG type, ULONG state) {
        return send(pdo, IRP_MJ_POWER, minor, [=](hvsim::io::Irp*, hvsim::io::StackLocation* stack) {
                   std::memcpy(&stack->Parameters.Power.Type, &type, sizeof type);
                   stack->Parameters.Power.State.DeviceState = (DEVICE_POWER_STATE)state;
               }).status;
    };
    EXPECT_EQ(power(IRP_MN_WAIT_WAKE, SystemPowerState, 0), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(power(IRP_MN_POWER_SEQUENCE, SystemPowerState, 0), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(power(IRP_MN_SET_POWER, 7, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(hvsim::power::device_state(pdo), PowerDeviceD3);
    EXPECT_EQ(power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(hvsim::power::device_state(pdo), PowerDeviceD0);

    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_SHUTDOWN})
        EXPECT_EQ(send(pdo, major, 0, nullptr).status, STATUS_SUCCESS) << (int)major;

    // The framework's own internal codes are answered here, with their exact lengths.
    PVOID context = reinterpret_cast<PVOID>(0x1234);
    EXPECT_EQ(internal(pdo, IOCTL_HVGENDRV_QUERY_CONTEXT, &context, 0, sizeof context).status, STATUS_SUCCESS);
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(internal(pdo, IOCTL_HVGENDRV_QUERY_CONTEXT, &context, 4, sizeof context).status, STATUS_INVALID_PARAMETER);
    UCHAR record[16] = {};
    EXPECT_EQ(internal(pdo, IOCTL_HVGENDRV_ATTACH_NOTIFIER, record, 8, 0).status, STATUS_INVALID_PARAMETER);
    // Every other internal code is the bus driver's.
    ULONG answer = 0;
    auto ping = internal(pdo, IOCTL_HVGB_PING, &answer, 0, sizeof answer);
    EXPECT_EQ(ping.status, STATUS_SUCCESS);
    EXPECT_EQ(ping.information, sizeof answer);
    EXPECT_EQ(answer, HVGB_PING_ANSWER);
    // So is a device control, once the child runs.
    auto control = send(pdo, IRP_MJ_DEVICE_CONTROL, 0, [](hvsim::io::Irp*, hvsim::io::StackLocation* stack) {
        stack->Parameters.DeviceIoControl.IoControlCode = 0x0022E024;
    });
    EXPECT_EQ(control.status, STATUS_SUCCESS);
    EXPECT_EQ(hvsim::debug_log::count("HVGB device control 0022e024"), 1u);

    // A write that carries an 8-byte value must hold one; the rest goes to the bus as a copy.
    UCHAR data[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    auto write = [&](ULONG length) {
        return send(pdo, IRP_MJ_WRITE, 0, [&](hvsim::io::Irp* irp, hvsim::io::StackLocation* stack) {
            irp->AssociatedIrp.SystemBuffer = data;
            stack->Parameters.Write.Length = length;
        });
    };
    EXPECT_EQ(write(5).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hvsim::debug_log::count("HVGB direct write"), 0u);
    auto written = write(sizeof data);
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, sizeof data);
    EXPECT_EQ(hvsim::debug_log::count("HVGB direct write 4 04030201 09"), 1u);
    // No record queue is attached: a read has nothing to serve.
    auto read = send(pdo, IRP_MJ_READ, 0, [&](hvsim::io::Irp* irp, hvsim::io::StackLocation* stack) {
        irp->AssociatedIrp.SystemBuffer = data;
        stack->Parameters.Read.Length = 5;
    });
    EXPECT_EQ(read.status, STATUS_UNSUCCESSFUL);

    hvsim::pnp::stop_tree();
    expect_unloaded_clean();
}

// Without a function driver the child is not started: device controls are refused there, while
// internal ones still reach the bus driver.
TEST_F(ChildDevices, AChildThatIsNotStartedRefusesDeviceControl) {
    install_children_ = false;
    DevInst bus = add_bus(1, {{1, child(1)}});
    auto children = hvsim::pnp::children_of(bus);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_NE(hvsim::pnp::state_of(children[0]), hvsim::pnp::NodeState::Started);
    PDEVICE_OBJECT pdo = pdo_of(children[0]);
    auto control = send(pdo, IRP_MJ_DEVICE_CONTROL, 0, [](hvsim::io::Irp*, hvsim::io::StackLocation* stack) {
        stack->Parameters.DeviceIoControl.IoControlCode = 0x0022E024;
    });
    EXPECT_EQ(control.status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(hvsim::debug_log::count("HVGB device control"), 0u);
    ULONG answer = 0;
    EXPECT_EQ(internal(pdo, IOCTL_HVGB_PING, &answer, 0, sizeof answer).status, STATUS_SUCCESS);
    EXPECT_EQ(answer, HVGB_PING_ANSWER);
    hvsim::pnp::stop_tree();
    expect_unloaded_clean();
}

// A settings request with selector 1 on the child's interface is served by the bus device, in the
// set of that child's number.
TEST_F(ChildDevices, SelectorOneReachesTheBusSettings) {
    DevInst bus = add_bus(3, {{1, child(1)}, {2, child(2)}, {3, child(3)}});
    auto children = hvsim::pnp::children_of(bus);
    ASSERT_EQ(children.size(), 3u);
    auto interfaces = hvsim::pnp::interfaces_of(children[2]);
    ASSERT_EQ(interfaces.size(), 1u);
    hvsim::io::FileObject* file = nullptr;
    ASSERT_EQ(open(interfaces[0].kernel_link, &file), STATUS_SUCCESS);

    struct Request {
        PmUserModeRequestHeader header;
        UCHAR payload[256];
    } request{};
    auto size_of = [&](ULONG selector) {
        request.header = {selector, PM_USER_MODE_DEFAULT_INDEX};
        ULONG size = 0;
        auto result = hvsim::io::device_control(file, IOCTL_HVGENDRV_GET_SIZE, &request.header, sizeof request.header,
                                                &size, sizeof size);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        return size;
    };
    ULONG own = size_of(0);
    ULONG bus_size = size_of(1);
    EXPECT_NE(own, bus_size); // the child's set has two values, the bus's one
    ASSERT_GT(bus_size, 0u);
    ASSERT_LE(bus_size, sizeof request.payload);

    // Read the bus's set for this child and write it back: the bus applies it as set 3.
    std::vector<UCHAR> stream(bus_size);
    request.header = {1, PM_USER_MODE_DEFAULT_INDEX};
    auto get = hvsim::io::device_control(file, IOCTL_HVGENDRV_GET, &request.header, sizeof request.header,
                                         stream.data(), bus_size);
    ASSERT_EQ(get.status, STATUS_SUCCESS);
    EXPECT_EQ(get.information, bus_size);
    hvsim::debug_log::clear();
    request.header = {1, PM_USER_MODE_DEFAULT_INDEX};
    std::memcpy(request.payload, stream.data(), bus_size);
    auto set = hvsim::io::device_control(file, IOCTL_HVGENDRV_SET, &request, sizeof request.header + bus_size, nullptr, 0);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_EQ(hvsim::debug_log::count("HVGB settings 3 0 16"), 1u);
    // Selector 2 would go above the bus device, which has no framework device below.
    request.header = {2, PM_USER_MODE_DEFAULT_INDEX};
    ULONG size = 0;
    EXPECT_EQ(hvsim::io::device_control(file, IOCTL_HVGENDRV_GET_SIZE, &request.header, sizeof request.header, &size,
                                        sizeof size)
                  .status,
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hvsim::io::close_file(file), STATUS_SUCCESS);
    hvsim::pnp::stop_tree();
    expect_unloaded_clean();
}

// A child subkey that is missing fails the bus's start, and the children made before it go.
TEST_F(ChildDevices, AMissingSubkeyFailsTheStartAndLeavesNothing) {
    ChildSpec named = child(1);
    named.strings[u"DeviceName"] = u"HvGenBusChild";
    named.strings[u"SymbolicLinkName"] = u"HVGBC";
    DevInst bus = add_bus(2, {{1, named}});
    EXPECT_EQ(hvsim::pnp::problem_of(bus), hvsim::pnp::prob::failed_start);
    EXPECT_TRUE(hvsim::pnp::children_of(bus).empty());
    EXPECT_FALSE(hvsim::io::symbolic_link_target(u"\\??\\HVGBC").has_value());
    EXPECT_EQ(hvsim::io::find_device(u"\\Device\\HvGenBusChild"), nullptr);
    expect_unloaded_clean();
}

// The children's driver on a PDO that is no framework child: the identity check refuses it and
// the device is not added.
TEST_F(ChildDevices, AFunctionDeviceOnAForeignPdoIsRefused) {
    hvsim::pnp::RootDeviceSpec spec;
    spec.hardware_id = u"ROOT\\HVGENCHILD";
    std::u16string id;
    ASSERT_EQ(hvsim::pnp::create_root_device(spec, &id), STATUS_SUCCESS);
    const std::u16string device = kEnum + id;
    const std::u16string parameters = device + u"\\Device Parameters";
    hvsim::registry::create_key(parameters);
    hvsim::registry::set_dword(parameters, u"TypeOfDevice", 0x22);
    hvsim::registry::set_dword(parameters, u"DeviceIndexingPolicyType", 1);
    hvsim::registry::set_dword(parameters, u"LowestStackLayer", 0);
    hvsim::registry::set_string(parameters, u"DeviceName", u"HvGenChildX");
    hvsim::registry::set_string(device, u"Driver", u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0091");
    hvsim::registry::set_string(device, u"Service", kChildService);
    DevInst node = hvsim::pnp::find_node(id);
    hvsim::pnp::restart_device(node);
    hvsim::pnp::wait_quiet();
    EXPECT_EQ(hvsim::pnp::problem_of(node), hvsim::pnp::prob::failed_add);
    EXPECT_EQ(hvsim::io::find_device(u"\\Device\\HvGenChildX"), nullptr);
    expect_unloaded_clean();
}

// A bus device whose policy hands its index down: its children's names carry it, and the
// children's driver, which names itself by the index of the child below, too.
TEST_F(ChildDevices, ChildrenTakeTheIndexOfTheirBusWhenItsPolicySaysSo) {
    ChildSpec named = child(1);
    named.strings[u"DeviceName"] = u"HvGenBusChild";
    named.strings[u"SymbolicLinkName"] = u"HVGBC";
    // A stored DeviceNameIndex of 3 gives the bus device the index 2.
    DevInst bus = add_bus(1, {{1, named}}, {{u"DeviceIndexingPolicyType", PM_POLICY_CHILDREN_TAKE_INDEX | 1},
                                            {u"DeviceNameIndex", 3}});
    ASSERT_EQ(hvsim::pnp::state_of(bus), hvsim::pnp::NodeState::Started);
    EXPECT_EQ(hvsim::io::symbolic_link_target(u"\\??\\HVGB2"), std::u16string(u"\\Device\\HvGenBus2"));
    EXPECT_EQ(hvsim::io::symbolic_link_target(u"\\??\\HVGBC2"), std::u16string(u"\\Device\\HvGenBusChild2"));
    EXPECT_EQ(hvsim::io::symbolic_link_target(u"\\??\\HVGC12"), std::u16string(u"\\Device\\HvGenChild12"));
    HvgcState state = query_child(u"HVGC12");
    EXPECT_EQ(state.ulDeviceIndex, 2u);
    EXPECT_EQ(state.ulContextId, 1u);
    hvsim::pnp::stop_tree();
    expect_unloaded_clean();
}

// A child removed while its bus still lists it stays, and starts again when found again.
TEST_F(ChildDevices, AListedChildSurvivesItsRemovalAndStartsAgain) {
    DevInst bus = add_bus(1, {{1, child(1)}});
    auto children = hvsim::pnp::children_of(bus);
    ASSERT_EQ(children.size(), 1u);
    PDEVICE_OBJECT pdo = pdo_of(children[0]);
    EXPECT_FALSE(hvsim::pnp::remove_device(children[0]).vetoed());
    hvsim::pnp::wait_quiet();
    EXPECT_EQ(hvsim::pnp::state_of(children[0]), hvsim::pnp::NodeState::Removed);
    EXPECT_FALSE(hvsim::io::is_device_deleted(pdo));
    hvsim::pnp::reenumerate(bus);
    hvsim::pnp::wait_quiet();
    EXPECT_EQ(hvsim::pnp::state_of(children[0]), hvsim::pnp::NodeState::Started);
    EXPECT_EQ(pdo_of(children[0]), pdo);
    EXPECT_EQ(query_child(u"HVGC1").ulContextId, 1u);
    hvsim::pnp::stop_tree();
    expect_unloaded_clean();
}

} // namespace
} // namespace gendrvtest
