// Plug and Play requests the framework answers for a functional device, sent straight to it.
#include "pmframeworkmachine.h"

namespace gendrvtest {
namespace {

using hvsim::pnp::DevInst;

class DevicePnp : public FrameworkMachine {
protected:
    static hvsim::io::IoResult send_pnp(PDEVICE_OBJECT device, UCHAR minor,
                                        const std::function<void(hvsim::io::StackLocation*)>& fill,
                                        LONG initial = STATUS_NOT_SUPPORTED, ULONG_PTR information = 0) {
        return hvsim::io::send_and_wait(
            device,
            [&](hvsim::io::Irp* irp, hvsim::io::StackLocation* stack) {
                stack->MajorFunction = IRP_MJ_PNP;
                stack->MinorFunction = minor;
                irp->IoStatus.Information = information;
                fill(stack);
            },
            initial);
    }
};

TEST_F(DevicePnp, CapabilitiesAreForwardedOnlyInTheirKnownForm) {
    DevInst node = add_device();
    PDEVICE_OBJECT fdo = top_of(node);
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    capabilities.Version = 2;
    auto fill = [&](hvsim::io::StackLocation* stack) { stack->Parameters.DeviceCapabilities.Capabilities = &capabilities; };
    EXPECT_EQ(send_pnp(fdo, IRP_MN_QUERY_CAPABILITIES, fill).status, STATUS_UNSUCCESSFUL);
    capabilities.Version = 1;
    capabilities.Size = sizeof(DEVICE_CAPABILITIES) - 4;
    EXPECT_EQ(send_pnp(fdo, IRP_MN_QUERY_CAPABILITIES, fill).status, STATUS_UNSUCCESSFUL);
    capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    EXPECT_EQ(send_pnp(fdo, IRP_MN_QUERY_CAPABILITIES, fill).status, STATUS_SUCCESS);
    // The PDO below filled the record.
    EXPECT_EQ(capabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);
    expect_driver_unloaded_clean();
}

// A device that reads from below, on a PDO that keeps no records: its reader is made at the first
// start and refused by the PDO; the device runs on, and its removal leaves nothing behind.
TEST_F(DevicePnp, AReaderOnAPdoThatKeepsNoRecordsIsRefusedAndLeavesNothing) {
    DevInst node = add_device(DeviceConfig().set(u"ReadClientType", 1));
    EXPECT_EQ(hvsim::pnp::state_of(node), hvsim::pnp::NodeState::Started);
    EXPECT_EQ(count_of(events(), "reader refused"), 1);
    expect_driver_unloaded_clean();
}

// Nothing below answers: the device's own requirements stand.
TEST_F(DevicePnp, ResourceRequirementsKeepTheirOwnListWhenNothingBelowAnswers) {
    DevInst node = add_device();
    IO_RESOURCE_REQUIREMENTS_LIST* own = reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(0x1234560);
    auto result = send_pnp(top_of(node), IRP_MN_FILTER_RESOURCE_REQUIREMENTS, [&](hvsim::io::StackLocation* stack) {
        stack->Parameters.FilterResourceRequirements.IoResourceRequirementList = own;
    });
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, (ULONG_PTR)own);
    expect_driver_unloaded_clean();
}

// Relations that the drivers below reported come first; the device adds its children (none here)
// and hands back a new list that the caller frees.
TEST_F(DevicePnp, BusRelationsKeepWhatLowerDriversReported) {
    DevInst node = add_device();
    PDEVICE_OBJECT fdo = top_of(node);
    auto stack = hvsim::pnp::device_stack(node);
    PDEVICE_OBJECT pdo = stack.front();
    for (size_t i = 1; i < stack.size(); ++i) ObDereferenceObject(stack[i]);

    auto* reported = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 'tseT'));
    ASSERT_NE(reported, nullptr);
    reported->Count = 1;
    reported->Objects[0] = pdo; // the reference of device_stack goes with it
    auto result = send_pnp(
        fdo, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](hvsim::io::StackLocation* stack) { stack->Parameters.QueryDeviceRelations.Type = BusRelations; }, STATUS_SUCCESS,
        (ULONG_PTR)reported);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
    ASSERT_NE(relations, nullptr);
    ASSERT_NE(relations, reported); // the old list was freed
    EXPECT_EQ(relations->Count, 1u);
    EXPECT_EQ(relations->Objects[0], pdo);
    ObDereferenceObject(relations->Objects[0]);
    ExFreePool(relations);
    EXPECT_TRUE(traced("HandleBusRelations - Count = 1"));

    // Other relation types pass the device by.
    result = send_pnp(fdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                      [](hvsim::io::StackLocation* stack) { stack->Parameters.QueryDeviceRelations.Type = RemovalRelations; });
    EXPECT_EQ(result.information, 0u);
    EXPECT_TRUE(traced("IRP_MN_QUERY_DEVICE_RELATIONS RemovalRelations"));
    expect_driver_unloaded_clean();
}

TEST_F(DevicePnp, TheHiddenStateIsReportedOnlyOnce) {
    DevInst node = add_device(DeviceConfig().set(u"DisplayInUi", 0));
    PDEVICE_OBJECT fdo = top_of(node);
    // The PnP manager asked once already while starting the device.
    auto again = send_pnp(fdo, IRP_MN_QUERY_PNP_DEVICE_STATE, [](hvsim::io::StackLocation*) {}, STATUS_SUCCESS, 0x20);
    EXPECT_EQ(again.information, 0x20u);
    expect_driver_unloaded_clean();
}

} // namespace
} // namespace gendrvtest
