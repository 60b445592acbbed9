// Plugging adapters: the PDOs, their IDs, the composite parent and its children, and unplugging.
#include "usb_test_support.h"

namespace hvsim::usbtest {
namespace {

using ::testing::Contains;

std::vector<std::string> narrow_all(const std::vector<std::u16string>& ids) {
    std::vector<std::string> out;
    for (auto& id : ids) out.push_back(narrow(id));
    return out;
}

TEST_F(UsbStack, SingleInterfaceDeviceGetsOnePdoWithTheIdsOfItsDescriptors) {
    ULONG port = plug("ftdi:vid=0x7A5C,pid=0x1015,rev=0x0600");
    ASSERT_EQ(port, 1u);
    usb::DeviceInfo d = device_on(port);
    EXPECT_EQ(d.vendor_id, 0x7A5C);
    EXPECT_EQ(d.product_id, 0x1015);
    ASSERT_EQ(d.interfaces.size(), 1u);
    EXPECT_TRUE(d.interfaces[0].instance_id.empty());
    // The serial number names the device.
    EXPECT_EQ(narrow(d.instance_id), "USB\\VID_7A5C&PID_1015\\" + narrow(d.serial));

    auto info = pnp::node_info(pnp::find_node(d.instance_id));
    ASSERT_TRUE(info);
    EXPECT_EQ(narrow_all(info->hardware_ids),
              (std::vector<std::string>{"USB\\VID_7A5C&PID_1015&REV_0600", "USB\\VID_7A5C&PID_1015"}));
    EXPECT_EQ(
        narrow_all(info->compatible_ids),
        (std::vector<std::string>{"USB\\Class_ff&SubClass_ff&Prot_ff", "USB\\Class_ff&SubClass_ff", "USB\\Class_ff"}));
    EXPECT_EQ(info->state, pnp::NodeState::Started);
    EXPECT_EQ(narrow(info->service), "HvUsbClient");
    EXPECT_TRUE(info->capabilities.Removable);
    EXPECT_TRUE(info->capabilities.SurpriseRemovalOK);
    // Its parent is the host controller's root device.
    auto parent = pnp::node_info(info->parent);
    ASSERT_TRUE(parent);
    EXPECT_EQ(narrow(parent->hardware_ids.at(0)), "ROOT\\USB_HOST");
}

TEST_F(UsbStack, MultiInterfaceDeviceRunsACompositeParentWithAChildPerInterface) {
    ULONG port = plug("ftdi:pid=0x1016,interfaces=4,rev=0x0800");
    usb::DeviceInfo d = device_on(port);
    auto parent = pnp::node_info(pnp::find_node(d.instance_id));
    ASSERT_TRUE(parent);
    EXPECT_EQ(narrow(parent->service), "usbccgp");
    EXPECT_THAT(narrow_all(parent->compatible_ids), Contains("USB\\COMPOSITE"));
    EXPECT_TRUE(d.configured); // the composite parent selected the configuration
    auto log = usb::urb_log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const usb::UrbRecord& r) {
        return r.port == port && r.interface == -1 && r.function == URB_FUNCTION_SELECT_CONFIGURATION && r.status == 0;
    }));
    ASSERT_EQ(d.interfaces.size(), 4u);
    ASSERT_EQ(parent->children.size(), 4u);
    for (UCHAR i = 0; i < 4; ++i) {
        auto child = pnp::node_info(pnp::find_node(d.interfaces[i].instance_id));
        ASSERT_TRUE(child) << int(i);
        const std::string mi = "&MI_0" + std::to_string(i);
        EXPECT_EQ(narrow_all(child->hardware_ids),
                  (std::vector<std::string>{"USB\\VID_7A5C&PID_1016&REV_0800" + mi, "USB\\VID_7A5C&PID_1016" + mi}));
        EXPECT_EQ(narrow(child->instance_id).rfind("USB\\VID_7A5C&PID_1016" + mi + "\\", 0), 0u);
        EXPECT_EQ(child->parent, parent->devinst);
        EXPECT_EQ(child->state, pnp::NodeState::Started);
        EXPECT_EQ(narrow(child->service), "HvUsbClient");
    }
}

TEST_F(UsbStack, EachCompositeChildSeesAndSelectsOnlyItsOwnInterface) {
    ULONG port = plug("ftdi:interfaces=2");
    PDEVICE_OBJECT second = client(port, 1);
    ClientRequest r = op(ClientDescriptor);
    r.descriptor_type = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    r.length = 255;
    r = send(second, r);
    ASSERT_EQ(r.irp_status, STATUS_SUCCESS);
    auto* config = (PUSB_CONFIGURATION_DESCRIPTOR)r.data;
    EXPECT_EQ(config->bNumInterfaces, 1);
    EXPECT_EQ(config->wTotalLength, r.transferred);
    auto* interface = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    ASSERT_NE(interface, nullptr);
    EXPECT_EQ(interface->bInterfaceNumber, 1);

    r = send(second, op(ClientConfigure));
    ASSERT_EQ(r.irp_status, STATUS_SUCCESS) << std::hex << r.urb_status;
    ASSERT_EQ(r.pipe_count, 2u);
    const ULONG64 second_in = r.handles[0];
    EXPECT_EQ(r.pipes[0], devices::FtdiChip::in_endpoint(1));
    EXPECT_EQ(r.pipes[1], devices::FtdiChip::out_endpoint(1));

    // The first child's pipes stay its own and keep working.
    PDEVICE_OBJECT first = client(port, 0);
    r = send(first, op(ClientConfigure));
    ASSERT_EQ(r.irp_status, STATUS_SUCCESS);
    EXPECT_EQ(r.pipes[0], devices::FtdiChip::in_endpoint(0));
    r = send(second, bulk(devices::FtdiChip::in_endpoint(1), 64));
    EXPECT_EQ(r.irp_status, STATUS_SUCCESS);
    // A child's pipes are its own: the first child's URB on the second one's pipe is refused.
    ClientRequest raw = op(ClientRawUrb);
    raw.length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    auto* urb = (PURB)raw.data;
    urb->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = (USBD_PIPE_HANDLE)(ULONG_PTR)second_in;
    r = send(first, raw);
    EXPECT_EQ(r.urb_status, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(send(second, raw).irp_status, STATUS_SUCCESS); // nothing asked, nothing moved
    // Vendor requests name their port in wIndex, whichever child sends them.
    EXPECT_EQ(send(second, vendor(9, 40, 2)).irp_status, STATUS_SUCCESS);
    EXPECT_EQ(chip().port_state(1).latency_ms, 40);
    EXPECT_EQ(chip().port_state(0).latency_ms, 16);
    auto log = usb::urb_log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().interface, 1);
}

TEST_F(UsbStack, UnplugRemovesTheDeviceAndItsChildrenAndFreesThePort) {
    ULONG port = plug("ftdi:interfaces=2");
    usb::DeviceInfo d = device_on(port);
    ASSERT_TRUE(usb::unplug(port));
    pnp::wait_quiet();
    EXPECT_EQ(pnp::find_node(d.instance_id), pnp::no_node);
    for (auto& i : d.interfaces) EXPECT_EQ(pnp::find_node(i.instance_id), pnp::no_node);
    EXPECT_TRUE(usb::devices().empty());
    EXPECT_FALSE(usb::unplug(port));
    // The port is free for the next device, which gets its own node again.
    EXPECT_EQ(plug("ftdi"), port);
    EXPECT_NE(pnp::find_node(device_on(port).instance_id), pnp::no_node);
}

TEST_F(UsbStack, ADisabledDeviceIsUnconfiguredAndWorksAgainOnceEnabled) {
    ULONG port = plug("ftdi:wire=loopback,paced=off");
    ASSERT_EQ(send(client(port), op(ClientConfigure)).irp_status, STATUS_SUCCESS);
    EXPECT_TRUE(device_on(port).configured);
    pnp::DevInst node = pnp::find_node(device_on(port).instance_id);
    ASSERT_FALSE(pnp::disable_device(node).vetoed());
    pnp::wait_quiet();
    EXPECT_EQ(pnp::problem_of(node), pnp::prob::disabled);
    EXPECT_FALSE(device_on(port).configured);
    ASSERT_EQ(pnp::enable_device(node), STATUS_SUCCESS);
    pnp::wait_quiet();
    PDEVICE_OBJECT again = client(port);
    ASSERT_EQ(send(again, op(ClientConfigure)).irp_status, STATUS_SUCCESS);
    ASSERT_EQ(send(again, bulk(0x02, 2, "ok")).irp_status, STATUS_SUCCESS);
    EXPECT_EQ(read_data(again, 0x81, 2), "ok");
}

TEST_F(UsbStack, TwoDevicesWithOneSerialNumberAreToldApartByPort) {
    ULONG a = plug("ftdi:serial=SAME1");
    ULONG b = plug("ftdi:serial=SAME1");
    ASSERT_NE(a, b);
    std::string first = narrow(device_on(a).instance_id);
    std::string second = narrow(device_on(b).instance_id);
    EXPECT_EQ(first, "USB\\VID_7A5C&PID_1001\\SAME1");
    EXPECT_NE(second, first);
    EXPECT_EQ(pnp::node_info(pnp::find_node(device_on(b).instance_id))->problem, 0u);
}

TEST_F(UsbStack, ShutdownWithDevicesPluggedRemovesEverythingCleanly) {
    plug("ftdi:interfaces=2,wire=loopback");
    plug("ftdi");
    PDEVICE_OBJECT c = client(2);
    ASSERT_EQ(send(c, op(ClientConfigure)).irp_status, STATUS_SUCCESS);
    usb::UrbMatch held;
    held.port = 2;
    held.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    usb::inject(held, {usb::FaultKind::hold});
    auto pending = start(c, bulk(0x81, 64));
    ASSERT_EQ(usb::counters().pending, 1u);
    // The client cancels its transfer at removal; the unload checks find no pool left.
    kernel_shutdown();
    EXPECT_TRUE(pending->done.is_set());
    EXPECT_EQ(pending->req.irp_status, STATUS_CANCELLED);
}

} // namespace
} // namespace hvsim::usbtest
