// WMI: a driver registers through IoWMIRegistrationControl and answers through WMILIB; the WMI
// service learns its GUIDs and sends it each kind of request.
#include "pnp_test_support.h"

#include <wmilib.h>

#include <cstring>

using namespace hvsim;
using namespace hvsim::pnptest;

namespace {

class Wmi : public PnpMachine {
protected:
    void start_provider() {
        id_ = add_root_device(u"root\\hvtestfunc", u"hvtestfunc", {{u"Wmi", 1}});
        pnp::start_tree();
        auto found = wmi::providers_of(GUID_HVTEST_WMI_BLOCK);
        ASSERT_EQ(found.size(), 1u);
        provider_ = found[0];
    }
    static std::vector<UCHAR> bytes(ULONG value) {
        std::vector<UCHAR> out(sizeof value);
        std::memcpy(out.data(), &value, sizeof value);
        return out;
    }
    ULONG query_value() {
        auto result = wmi::query_single_instance(provider_.provider_id, GUID_HVTEST_WMI_BLOCK, 0);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        if (result.instances.size() != 1 || result.instances[0].data.size() != 4) return 0xFFFFFFFF;
        ULONG value;
        std::memcpy(&value, result.instances[0].data.data(), 4);
        return value;
    }

    std::u16string id_;
    wmi::Provider provider_;
};

TEST_F(Wmi, RegistrationNamesTheGuidsThePdoAndTheRegistryPath) {
    start_provider();
    ASSERT_EQ(provider_.guids.size(), 1u);
    EXPECT_TRUE(provider_.guids[0].guid == GUID_HVTEST_WMI_BLOCK);
    EXPECT_EQ(provider_.guids[0].instance_count, 1u);
    EXPECT_TRUE(provider_.guids[0].flags & WMIREG_FLAG_INSTANCE_PDO);
    EXPECT_EQ(provider_.pdo, pnp::node_info(node(id_))->pdo);
    EXPECT_EQ(provider_.instance_base_name, id_);
    EXPECT_EQ(provider_.registry_path, kServices + u"hvtestfunc");
    EXPECT_EQ(IoWMIDeviceObjectToProviderId(provider_.device), provider_.provider_id);

    // Removal deregisters it.
    EXPECT_FALSE(pnp::remove_device(node(id_)).vetoed());
    EXPECT_TRUE(wmi::providers_of(GUID_HVTEST_WMI_BLOCK).empty());
    EXPECT_EQ(wmi::query_all_data(provider_.provider_id, GUID_HVTEST_WMI_BLOCK).status, STATUS_WMI_GUID_NOT_FOUND);
}

TEST_F(Wmi, QueriesReturnTheDataBlock) {
    start_provider();
    auto all = wmi::query_all_data(provider_.provider_id, GUID_HVTEST_WMI_BLOCK);
    ASSERT_EQ(all.status, STATUS_SUCCESS);
    ASSERT_EQ(all.instances.size(), 1u);
    EXPECT_EQ(all.instances[0].data, bytes(0x1234));
    EXPECT_EQ(query_value(), 0x1234u);

    EXPECT_EQ(wmi::query_single_instance(provider_.provider_id, GUID_HVTEST_WMI_BLOCK, 1).status,
              STATUS_WMI_INSTANCE_NOT_FOUND);
    GUID unknown = GUID_HVTEST_INTERFACE;
    EXPECT_EQ(wmi::query_all_data(provider_.provider_id, unknown).status, STATUS_WMI_GUID_NOT_FOUND);
}

TEST_F(Wmi, TooSmallBuffersGetTheSizeNeeded) {
    start_provider();
    // Room for the header and the instance table, not for the data.
    const ULONG header = (offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + 8 + 7) & ~7u;
    std::vector<UCHAR> wnode(header, 0);
    auto* all = (WNODE_ALL_DATA*)wnode.data();
    all->WnodeHeader.BufferSize = header;
    all->WnodeHeader.Guid = GUID_HVTEST_WMI_BLOCK;
    all->WnodeHeader.Flags = WNODE_FLAG_ALL_DATA;
    wmi::Reply reply =
        wmi::send_request(provider_.provider_id, IRP_MN_QUERY_ALL_DATA, GUID_HVTEST_WMI_BLOCK, std::move(wnode));
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, sizeof(WNODE_TOO_SMALL));
    EXPECT_EQ(reply.size_needed, header + 4);
    EXPECT_TRUE(((WNODE_HEADER*)reply.wnode.data())->Flags & WNODE_FLAG_TOO_SMALL);

    // Smaller than the instance table: WMILIB answers without asking the driver.
    std::vector<UCHAR> tiny(sizeof(WNODE_TOO_SMALL), 0);
    ((WNODE_HEADER*)tiny.data())->Guid = GUID_HVTEST_WMI_BLOCK;
    reply = wmi::send_request(provider_.provider_id, IRP_MN_QUERY_ALL_DATA, GUID_HVTEST_WMI_BLOCK, std::move(tiny));
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.size_needed, header);

    // A header alone is too short for a single-instance request.
    std::vector<UCHAR> bare(sizeof(WNODE_HEADER), 0);
    reply = wmi::send_request(provider_.provider_id, IRP_MN_QUERY_SINGLE_INSTANCE, GUID_HVTEST_WMI_BLOCK, bare);
    EXPECT_EQ(reply.status, STATUS_BUFFER_TOO_SMALL);

    // The growing form asks again with the size the provider gave.
    auto grown = wmi::query_all_data(provider_.provider_id, GUID_HVTEST_WMI_BLOCK, 0);
    EXPECT_EQ(grown.status, STATUS_SUCCESS);
    EXPECT_EQ(wmi::query_all_data(provider_.provider_id, GUID_HVTEST_WMI_BLOCK, header).status,
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(Wmi, ChangesMethodsAndFunctionControl) {
    start_provider();
    EXPECT_EQ(wmi::change_single_instance(provider_.provider_id, GUID_HVTEST_WMI_BLOCK, 0, bytes(0xBEEF)),
              STATUS_SUCCESS);
    EXPECT_EQ(query_value(), 0xBEEFu);
    EXPECT_EQ(wmi::change_single_instance(provider_.provider_id, GUID_HVTEST_WMI_BLOCK, 0, {1, 2}),
              STATUS_WMI_SET_FAILURE);
    EXPECT_EQ(wmi::change_single_instance(provider_.provider_id, GUID_HVTEST_WMI_BLOCK, 3, bytes(1)),
              STATUS_WMI_INSTANCE_NOT_FOUND);
    EXPECT_EQ(wmi::change_single_item(provider_.provider_id, GUID_HVTEST_WMI_BLOCK, 0, 0, bytes(7)), STATUS_SUCCESS);
    EXPECT_EQ(query_value(), 7u);
    EXPECT_EQ(wmi::change_single_item(provider_.provider_id, GUID_HVTEST_WMI_BLOCK, 0, 5, bytes(7)),
              STATUS_WMI_ITEMID_NOT_FOUND);

    auto method = wmi::execute_method(provider_.provider_id, GUID_HVTEST_WMI_BLOCK, 0, 1, bytes(41), 4);
    EXPECT_EQ(method.status, STATUS_SUCCESS);
    EXPECT_EQ(method.output, bytes(42));
    EXPECT_EQ(wmi::execute_method(provider_.provider_id, GUID_HVTEST_WMI_BLOCK, 0, 2, bytes(41), 4).status,
              STATUS_WMI_ITEMID_NOT_FOUND);

    debug_log::clear();
    EXPECT_EQ(wmi::enable_events(provider_.provider_id, GUID_HVTEST_WMI_BLOCK, true), STATUS_SUCCESS);
    EXPECT_EQ(wmi::enable_collection(provider_.provider_id, GUID_HVTEST_WMI_BLOCK, false), STATUS_SUCCESS);
    EXPECT_EQ(events("HVTF"), (std::vector<std::string>{"WMI events on", "WMI collection off"}));
    // Enabling the events fired one that carries the current value.
    auto fired = wmi::take_events();
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_TRUE(fired[0].guid == GUID_HVTEST_WMI_BLOCK);
    EXPECT_EQ(fired[0].provider_id, provider_.provider_id);
    EXPECT_EQ(fired[0].data, bytes(7));
    EXPECT_TRUE(wmi::take_events().empty());
}

// WMILIB on its own: the dispositions for requests that are not this device's or not WMI's.
TEST_F(Wmi, DispositionsOfRequestsWmilibDoesNotServe) {
    pnp::start_tree();
    PDEVICE_OBJECT device = pnp::node_info(pnp::root_node)->pdo;
    WMIGUIDREGINFO guid{&GUID_HVTEST_WMI_BLOCK, 1, 0};
    WMILIB_CONTEXT context{};
    context.GuidCount = 1;
    context.GuidList = &guid;
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    stack->MinorFunction = IRP_MN_QUERY_ALL_DATA;
    stack->Parameters.WMI.ProviderId = (ULONG_PTR)device + 1;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    SYSCTL_IRP_DISPOSITION disposition;
    WmiSystemControl(&context, device, irp, &disposition);
    EXPECT_EQ(disposition, IrpForward);

    stack->Parameters.WMI.ProviderId = (ULONG_PTR)device;
    stack->MinorFunction = 0x0A; // not a WMI minor code
    WmiSystemControl(&context, device, irp, &disposition);
    EXPECT_EQ(disposition, IrpNotWmi);

    GUID other = GUID_HVTEST_INTERFACE;
    std::vector<UCHAR> buffer(256, 0);
    stack->MinorFunction = IRP_MN_QUERY_ALL_DATA;
    stack->Parameters.WMI.DataPath = &other;
    stack->Parameters.WMI.Buffer = buffer.data();
    stack->Parameters.WMI.BufferSize = (ULONG)buffer.size();
    EXPECT_EQ(WmiSystemControl(&context, device, irp, &disposition), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(disposition, IrpNotCompleted);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_WMI_GUID_NOT_FOUND);

    // REGINFO without a QueryWmiRegInfo callback is left to the caller with an error.
    stack->MinorFunction = IRP_MN_REGINFO;
    EXPECT_EQ(WmiSystemControl(&context, device, irp, &disposition), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(disposition, IrpNotCompleted);
    IoFreeIrp(irp);

    EXPECT_EQ(IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER | WMIREG_FLAG_CALLBACK), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(IoWMIRegistrationControl(nullptr, WMIREG_ACTION_REGISTER), STATUS_INVALID_PARAMETER);
}

} // namespace
