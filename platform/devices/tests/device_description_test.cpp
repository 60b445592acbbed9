// Device specs as the user types them, and the adapters built from them.
#include "chip_harness.h"

#include <hvsim/devices/emulated_device.h>
#include <hvsim/devices/far_end_loopback.h>
#include <hvsim/devices/usb_descriptors.h>

namespace hvsim::devices::test {
namespace {

DeviceSpec parse(std::string_view text) {
    std::string error;
    auto spec = parse_device_spec(text, &error);
    EXPECT_TRUE(spec) << error;
    return spec.value_or(DeviceSpec{});
}

std::string error_of(std::string_view text) {
    std::string error;
    EXPECT_FALSE(parse_device_spec(text, &error)) << text;
    return error;
}

TEST(DeviceSpec, BareModelTakesTheFamilyDefaults) {
    const DeviceSpec s = parse("ftdi");
    EXPECT_EQ(s.model, "ftdi");
    EXPECT_EQ(s.vendor_id, 0x7A5C);
    EXPECT_EQ(s.product_id, 0x1001);
    EXPECT_EQ(s.bcd_device, 0x0600);
    EXPECT_EQ(s.interfaces, 1);
    EXPECT_EQ(s.types, (std::vector<PortType>{PortType::rs232}));
    EXPECT_EQ(s.wires, (std::vector<Wire>{Wire::open}));
    EXPECT_TRUE(s.paced);
    EXPECT_EQ(to_string(s), "ftdi:vid=0x7A5C,pid=0x1001,rev=0x0600,interfaces=1,type=rs232,wire=open,paced=on");

    const DeviceSpec four = parse("FTDI:interfaces=4");
    EXPECT_EQ(four.product_id, 0x1004);
    EXPECT_EQ(four.bcd_device, 0x0800);
    EXPECT_EQ(parse("ftdi:interfaces=2").bcd_device, 0x0700);
}

TEST(DeviceSpec, EveryKey) {
    const DeviceSpec s = parse(" ftdi : vid=1234, PID=0xabcd ,rev=0x0701,interfaces=4,"
                               "type=rs232/rs485/RS-422/rs232,wire=loopback/null-modem/pty/null-modem,"
                               "serial=HV-12.34,paced=off");
    EXPECT_EQ(s.vendor_id, 0x1234);
    EXPECT_EQ(s.product_id, 0xABCD);
    EXPECT_EQ(s.bcd_device, 0x0701);
    EXPECT_EQ(s.types, (std::vector<PortType>{PortType::rs232, PortType::rs485, PortType::rs485, PortType::rs232}));
    EXPECT_EQ(s.wires, (std::vector<Wire>{Wire::loopback, Wire::null_modem, Wire::pty, Wire::null_modem}));
    EXPECT_FALSE(s.paced);
    // The canonical form reads back as the same spec.
    const DeviceSpec again = parse(to_string(s));
    EXPECT_EQ(to_string(again), to_string(s));
}

TEST(DeviceSpec, ListsAppliesOneValueToEveryPort) {
    const DeviceSpec s = parse("ftdi:wire=loopback,interfaces=2,type=rs485");
    EXPECT_EQ(s.wires, (std::vector<Wire>{Wire::loopback, Wire::loopback}));
    EXPECT_EQ(s.types, (std::vector<PortType>{PortType::rs485, PortType::rs485}));
}

TEST(DeviceSpec, BadSpecsSayWhatIsWrong) {
    EXPECT_EQ(error_of("usbserial"), "device spec 'usbserial': unknown device model 'usbserial' (known: 'ftdi')");
    EXPECT_NE(error_of("").find("unknown device model ''"), std::string::npos);
    EXPECT_NE(error_of("ftdi:interfaces=3").find("interfaces: '3' is not 1, 2 or 4"), std::string::npos);
    EXPECT_NE(error_of("ftdi:interfaces=two").find("interfaces: 'two'"), std::string::npos);
    EXPECT_NE(error_of("ftdi:vid=0x12345").find("vid: '0x12345' is not a hexadecimal number"), std::string::npos);
    EXPECT_NE(error_of("ftdi:pid=xyz").find("pid: 'xyz'"), std::string::npos);
    EXPECT_NE(error_of("ftdi:rev=").find("rev: no value"), std::string::npos);
    EXPECT_NE(error_of("ftdi:type=rs999").find("type: 'rs999' is not rs232, rs485 or rs422"), std::string::npos);
    EXPECT_NE(error_of("ftdi:interfaces=2,wire=loopback/pty/open").find("wire: 3 values for 2 ports"),
              std::string::npos);
    EXPECT_NE(error_of("ftdi:wire=null-modem").find("without a partner"), std::string::npos);
    EXPECT_NE(error_of("ftdi:wire=pty,wire=open").find("wire: given twice"), std::string::npos);
    EXPECT_NE(error_of("ftdi:color=blue").find("unknown key 'color'"), std::string::npos);
    EXPECT_NE(error_of("ftdi:paced").find("'paced' is not key=value"), std::string::npos);
    EXPECT_NE(error_of("ftdi:paced=maybe").find("paced: 'maybe' is not on or off"), std::string::npos);
    EXPECT_NE(error_of("ftdi:vid=1,").find("empty setting"), std::string::npos);
    EXPECT_NE(error_of("ftdi:serial=a b").find("serial:"), std::string::npos);
    EXPECT_NE(error_of("ftdi:serial=" + std::string(33, 'S')).find("serial:"), std::string::npos);
    // No error pointer: just no spec.
    EXPECT_FALSE(parse_device_spec("ftdi:interfaces=8", nullptr));
}

TEST(EmulatedDevice, BuildsTheChipAndItsWiring) {
    const DeviceSpec spec =
        parse("ftdi:interfaces=4,pid=2031,serial=XY1,wire=loopback/null-modem/open/null-modem,paced=off");
    std::string error;
    auto device = EmulatedDevice::create(spec, {}, &error);
    ASSERT_TRUE(device) << error;
    auto* chip = dynamic_cast<FtdiChip*>(&device->model());
    ASSERT_NE(chip, nullptr);
    EXPECT_EQ(chip->port_count(), 4u);
    EXPECT_EQ(chip->descriptors().device[10], 0x31);
    EXPECT_EQ(string_descriptor_text(chip->descriptors().strings[3]), u"XY1");
    EXPECT_NE(device->far_end(0), nullptr);
    EXPECT_EQ(device->far_end(2), nullptr);
    EXPECT_EQ(device->pty(0), nullptr);

    SetupPacket configure{0x00, 9, 1, 0, 0};
    ASSERT_EQ(chip->control(configure, {}, 0).status, UsbStatus::ok);
    const std::uint8_t text[] = {'o', 'k'};
    // Port 1 loops back; port 2 is cabled to port 4.
    EXPECT_EQ(chip->offer(0x02, text, 0).length, 2u);
    EXPECT_EQ(chip->offer(0x04, text, 0).length, 2u);
    Bytes buffer(64);
    const BulkResult own = chip->poll(0x81, buffer, milliseconds(16));
    ASSERT_EQ(own.status, UsbStatus::ok);
    EXPECT_EQ(payload(std::span(buffer.data(), own.length)), bytes_of("ok"));
    const BulkResult cabled = chip->poll(0x87, buffer, milliseconds(16));
    ASSERT_EQ(cabled.status, UsbStatus::ok);
    EXPECT_EQ(payload(std::span(buffer.data(), cabled.length)), bytes_of("ok"));
    const BulkResult open = chip->poll(0x85, buffer, milliseconds(16));
    ASSERT_EQ(open.status, UsbStatus::ok);
    EXPECT_EQ(open.length, 2u);
}

TEST(EmulatedDevice, PtyWireLogsItsSlave) {
    std::vector<std::string> log;
    DeviceOptions options;
    options.log = [&](const std::string& s) { log.push_back(s); };
    options.print_pty_names = false;
    std::string error;
    auto device = EmulatedDevice::create(parse("ftdi:interfaces=2,wire=open/pty"), options, &error);
    ASSERT_TRUE(device) << error;
    ASSERT_NE(device->pty(1), nullptr);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "pty bridge for ftdi port 2: " + device->pty(1)->slave_name());
}

TEST(EmulatedDevice, CableBetweenTwoAdapters) {
    std::string error;
    auto a = EmulatedDevice::create(parse("ftdi:paced=off"), {}, &error);
    auto b = EmulatedDevice::create(parse("ftdi:paced=off,serial=HV000002"), {}, &error);
    ASSERT_TRUE(a && b);
    connect_null_modem(a->model(), 0, b->model(), 0, 0);
    SetupPacket configure{0x00, 9, 1, 0, 0};
    a->model().control(configure, {}, 0);
    b->model().control(configure, {}, 0);
    SetupPacket dtr_on{kRequestTypeVendor | kRecipientInterface, 1, 0x0101, 1, 0};
    a->model().control(dtr_on, {}, 0);
    const std::uint8_t text[] = {'h', 'i'};
    a->model().offer(0x02, text, 0);
    Bytes buffer(64);
    const BulkResult r = b->model().poll(0x81, buffer, milliseconds(16));
    ASSERT_EQ(r.status, UsbStatus::ok);
    EXPECT_EQ(payload(std::span(buffer.data(), r.length)), bytes_of("hi"));
    EXPECT_EQ(buffer[0], 0xA1); // DTR crossed to DSR and DCD
    // Unplugging one adapter leaves the other's inputs low.
    a.reset();
    const BulkResult after = b->model().poll(0x81, buffer, milliseconds(40));
    ASSERT_EQ(after.status, UsbStatus::ok);
    EXPECT_EQ(buffer[0], 0x01);
}

TEST(EmulatedDevice, SavedEepromGivesTheIdentity) {
    FtdiConfig c = FtdiChip::default_config(1);
    c.product_id = 0x5001;
    FtdiChip programmed(c);
    DeviceOptions options;
    options.eeprom = programmed.eeprom();
    std::string error;
    auto device = EmulatedDevice::create(parse("ftdi"), options, &error);
    ASSERT_TRUE(device) << error;
    EXPECT_EQ(device->model().descriptors().device[11], 0x50);
}

} // namespace
} // namespace hvsim::devices::test
