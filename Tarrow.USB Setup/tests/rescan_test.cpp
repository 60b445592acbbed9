// What the install run relies on of the machine: a plugged adapter whose devices were removed
// comes back, composite parent and interfaces, when the tree is scanned from its root.
#include "setup_machine.h"

#include "card_machine.h"

namespace {

using MachineRescanTest = SetupMachineTest;

TEST_F(MachineRescanTest, ARemovedPluggedAdapterComesBackWhenTheTreeIsScannedFromItsRoot) {
    adapter_ = machine_->plug("ftdi:interfaces=2,wire=loopback");
    const hvsim::UsbDeviceInfo adapter = machine_->usb_devices().at(0);
    {
        OpenedDevice device(adapter.instance_id);
        ASSERT_TRUE(SetupDiRemoveDevice(device.set, &device.data));
    }
    EXPECT_FALSE(key_exists(u"SYSTEM\\CurrentControlSet\\Enum\\" + adapter.instance_id));

    DEVINST root = 0;
    ASSERT_EQ(CR_SUCCESS, CM_Locate_DevNodeW(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL));
    ASSERT_EQ(CR_SUCCESS, CM_Reenumerate_DevNode(root, CM_REENUMERATE_NORMAL));
    EXPECT_EQ(u"usbccgp", value(adapter.instance_id, u"", u"Service"));
    EXPECT_TRUE(card_test::started(adapter.instance_id)) << machine_->device_tree_text();
    EXPECT_EQ(adapter.interfaces, ports_of(adapter.instance_id));
}

} // namespace
