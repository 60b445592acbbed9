// Configuration of the device from its descriptors and the INF's registry values: the reads it
// makes, the pipe table it builds, and the devices or registries it refuses.
#include "usbtransport_machine.h"

namespace usbtransporttest {
namespace {

class Configuration : public TransportMachine {};

TEST_F(Configuration, ReadsTheDescriptorsAndSelectsThePipesTheRegistryNames) {
    ULONG port = plug("ftdi:wire=open");
    PDEVICE_OBJECT dev = driver_device(port);
    hvsim::usb::clear_urb_log();
    ASSERT_TRUE(ok(dev, HVUT_INIT, 1));

    auto descriptors = urbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    ASSERT_EQ(descriptors.size(), 3u);
    EXPECT_EQ(descriptors[0].length, 18u);
    EXPECT_EQ(descriptors[0].value >> 8, USB_DEVICE_DESCRIPTOR_TYPE);
    // The configuration: its header first, then all of it.
    EXPECT_EQ(descriptors[1].value, (USB_CONFIGURATION_DESCRIPTOR_TYPE << 8) | 0);
    EXPECT_EQ(descriptors[1].length, 9u);
    EXPECT_GT(descriptors[2].length, 9u);
    EXPECT_EQ(descriptors[2].transferred, descriptors[2].length);
    EXPECT_EQ(urbs(URB_FUNCTION_SELECT_CONFIGURATION).size(), 1u);

    EXPECT_TRUE(ok(dev, HVUT_FIND_PIPE, 1));
    EXPECT_TRUE(ok(dev, HVUT_FIND_PIPE, 2));
    EXPECT_FALSE(ok(dev, HVUT_FIND_PIPE, 3));
    EXPECT_TRUE(hvsim::usb::devices()[0].configured);
}

TEST_F(Configuration, WithoutEndpointKeysTheConfigurationHasNoPipes) {
    registry_.endpoints.clear();
    ULONG port = plug("ftdi:wire=open");
    PDEVICE_OBJECT dev = driver_device(port);
    ASSERT_TRUE(ok(dev, HVUT_INIT, 1));
    EXPECT_FALSE(ok(dev, HVUT_FIND_PIPE, 1));
    // Nothing to receive on.
    EXPECT_FALSE(ok(dev, HVUT_START_RX, 64));
    EXPECT_FALSE(call(dev, HVUT_BULK_WRITE, 0, 0, 0, "x")->result);
}

TEST_F(Configuration, EndpointKeysAfterAGapAreNeverRead) {
    // EndPoint3 would name the send pipe; with EndPoint2 missing it is not read.
    registry_.endpoints.erase(2);
    registry_.endpoints[3] = {2, 0, 0, 0x02, 2, 0};
    ULONG port = plug("ftdi:wire=open");
    PDEVICE_OBJECT dev = driver_device(port);
    ASSERT_TRUE(ok(dev, HVUT_INIT, 1));
    EXPECT_TRUE(ok(dev, HVUT_FIND_PIPE, 1));
    EXPECT_FALSE(ok(dev, HVUT_FIND_PIPE, 2));
}

TEST_F(Configuration, ADeviceOfAnotherClassIsRefused) {
    registry_.usb[u"DeviceClass"] = 2;
    ULONG port = plug("ftdi:wire=open");
    PDEVICE_OBJECT dev = driver_device(port);
    hvsim::usb::clear_urb_log();
    EXPECT_FALSE(ok(dev, HVUT_INIT, 1));
    EXPECT_TRUE(urbs(URB_FUNCTION_SELECT_CONFIGURATION).empty());
    // Refused means gone: every later call fails cleanly.
    EXPECT_FALSE(ok(dev, HVUT_VENDOR_OUT, 9, 5, 1));
}

TEST_F(Configuration, CorruptOrUnmatchedRegistryValuesFailTheInit) {
    registry_.missing[2] = u"EndPointAddress";
    ULONG port = plug("ftdi:wire=open");
    EXPECT_FALSE(ok(driver_device(port), HVUT_INIT, 1));

    // An endpoint the interface does not have.
    registry_ = {};
    registry_.endpoints[2].address = 0x06;
    port = plug("ftdi:wire=open");
    EXPECT_FALSE(ok(driver_device(port), HVUT_INIT, 1));

    // An interface the configuration does not have.
    registry_ = {};
    registry_.endpoints[1].interface_number = 3;
    port = plug("ftdi:wire=open");
    EXPECT_FALSE(ok(driver_device(port), HVUT_INIT, 1));

    // A configuration index the device does not have.
    registry_ = {};
    registry_.usb[u"SelectedConfiguration"] = 4;
    port = plug("ftdi:wire=open");
    EXPECT_FALSE(ok(driver_device(port), HVUT_INIT, 1));
}

TEST_F(Configuration, EachInterfaceOfACompositeDeviceConfiguresItsOwnPipes) {
    registry_.endpoints[1] = {1, 1, 0, 0x83, 2, 1};
    registry_.endpoints[2] = {2, 1, 0, 0x04, 2, 0};
    ULONG port = plug("ftdi:interfaces=2,wire=open");
    PDEVICE_OBJECT second = driver_device(port, 1);
    ASSERT_TRUE(ok(second, HVUT_INIT, 2));
    EXPECT_TRUE(ok(second, HVUT_FIND_PIPE, 1));
    EXPECT_TRUE(ok(second, HVUT_FIND_PIPE, 2));
    // The port's requests carry its interface index.
    ASSERT_TRUE(ok(second, HVUT_VENDOR_OUT, 9, 7, 2));
    EXPECT_EQ(chip().port_state(1).latency_ms, 7);
    EXPECT_EQ(chip().port_state(0).latency_ms, 16);
}

} // namespace
} // namespace usbtransporttest
