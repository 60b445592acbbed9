// The chip's descriptors, standard requests and vendor requests, each with its effect.
#include "chip_harness.h"

#include <hvsim/devices/far_end_loopback.h>
#include <hvsim/devices/usb_descriptors.h>

#include <cmath>

namespace hvsim::devices::test {
namespace {

std::uint16_t le16(const Bytes& d, std::size_t at) { return static_cast<std::uint16_t>(d[at] | d[at + 1] << 8); }

TEST(FtdiDescriptors, DeviceAndConfigurationOfAFourPortChip) {
    FtdiConfig c = FtdiChip::default_config(4);
    EXPECT_EQ(c.product_id, 0x1004);
    EXPECT_EQ(c.bcd_device, 0x0800);
    FtdiChip chip(c);
    const auto& d = chip.descriptors().device;
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[1], kDescriptorDevice);
    EXPECT_EQ(d[4], 0); // class at the device level
    EXPECT_EQ(d[7], 8); // bMaxPacketSize0
    EXPECT_EQ(le16(d, 8), 0x7A5C);
    EXPECT_EQ(le16(d, 10), 0x1004);
    EXPECT_EQ(le16(d, 12), 0x0800);
    EXPECT_EQ(d[17], 1);

    const auto& cfg = chip.descriptors().configuration;
    ASSERT_EQ(cfg.size(), 9u + 4 * (9 + 7 + 7));
    EXPECT_EQ(le16(cfg, 2), cfg.size());
    EXPECT_EQ(cfg[4], 4); // bNumInterfaces
    for (int i = 0; i < 4; ++i) {
        const std::size_t at = 9 + i * 23;
        EXPECT_EQ(cfg[at + 1], kDescriptorInterface);
        EXPECT_EQ(cfg[at + 2], i);
        EXPECT_EQ(cfg[at + 4], 2); // endpoints
        EXPECT_EQ(cfg[at + 5], 0xFF);
        EXPECT_EQ(cfg[at + 6], 0xFF);
        EXPECT_EQ(cfg[at + 7], 0xFF);
        EXPECT_EQ(cfg[at + 9 + 2], 0x81 + 2 * i);
        EXPECT_EQ(cfg[at + 9 + 3], kEndpointBulk);
        EXPECT_EQ(le16(cfg, at + 9 + 4), 64);
        EXPECT_EQ(cfg[at + 16 + 2], 0x02 + 2 * i);
        EXPECT_EQ(le16(cfg, at + 16 + 4), 64);
    }
    const auto& strings = chip.descriptors().strings;
    ASSERT_EQ(strings.size(), 4u);
    EXPECT_EQ(le16(strings[0], 2), kLanguageEnglishUs);
    EXPECT_EQ(string_descriptor_text(strings[1]), u"Halvorn");
    EXPECT_EQ(string_descriptor_text(strings[3]), u"HV000001");
}

TEST(FtdiDescriptors, DefaultsPerInterfaceCount) {
    EXPECT_EQ(FtdiChip::default_config(1).product_id, 0x1001);
    EXPECT_EQ(FtdiChip::default_config(1).bcd_device, 0x0600);
    EXPECT_EQ(FtdiChip::default_config(2).product_id, 0x1002);
    EXPECT_EQ(FtdiChip::default_config(2).bcd_device, 0x0700);
    EXPECT_THROW(FtdiChip(FtdiChip::default_config(3)), std::invalid_argument);
}

TEST(FtdiStandardRequests, EnumerationAsAHostDoesIt) {
    FtdiChip chip(FtdiChip::default_config(2));
    Bytes data(255);
    // A short read first, as hosts do, then the whole configuration.
    EXPECT_EQ(chip.control({0x80, 6, 0x0100, 0, 8}, data, 0).length, 8u);
    EXPECT_EQ(chip.control({0x80, 6, 0x0200, 0, 9}, data, 0).length, 9u);
    EXPECT_EQ(le16(data, 2), 9u + 2 * 23);
    EXPECT_EQ(chip.control({0x80, 6, 0x0200, 0, 255}, data, 0).length, 9u + 2 * 23);
    EXPECT_EQ(chip.control({0x80, 6, 0x0302, 0x0409, 255}, data, 0).status, UsbStatus::ok);
    EXPECT_EQ(chip.control({0x80, 6, 0x0309, 0x0409, 255}, data, 0).status, UsbStatus::stall);
    EXPECT_EQ(chip.control({0x80, 6, 0x0600, 0, 10}, data, 0).status, UsbStatus::stall); // qualifier
    EXPECT_EQ(chip.control({0x00, 5, 7, 0, 0}, {}, 0).status, UsbStatus::ok);

    // Bulk endpoints answer only once configured.
    Bytes buffer(64);
    EXPECT_EQ(chip.poll(0x81, buffer, 0).status, UsbStatus::stall);
    EXPECT_EQ(chip.control({0x00, 9, 2, 0, 0}, {}, 0).status, UsbStatus::stall);
    EXPECT_EQ(chip.control({0x00, 9, 1, 0, 0}, {}, 0).status, UsbStatus::ok);
    EXPECT_EQ(chip.control({0x80, 8, 0, 0, 1}, data, 0).length, 1u);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(chip.poll(0x83, buffer, 0).status, UsbStatus::pending);
    EXPECT_EQ(chip.poll(0x85, buffer, 0).status, UsbStatus::stall); // no third port

    // A halted endpoint stalls until the host clears it or resets the port.
    EXPECT_EQ(chip.control({0x02, 3, 0, 0x02, 0}, {}, 0).status, UsbStatus::ok);
    EXPECT_EQ(chip.control({0x82, 0, 0, 0x02, 2}, data, 0).length, 2u);
    EXPECT_EQ(data[0], 1);
    const std::uint8_t byte[] = {'x'};
    EXPECT_EQ(chip.offer(0x02, byte, 0).status, UsbStatus::stall);
    EXPECT_EQ(chip.control({0x02, 1, 0, 0x02, 0}, {}, 0).status, UsbStatus::ok);
    EXPECT_EQ(chip.offer(0x02, byte, 0).status, UsbStatus::ok);
    EXPECT_EQ(chip.control({0x02, 3, 0, 0x04, 0}, {}, 0).status, UsbStatus::ok);
    chip.port_reset(0);
    EXPECT_EQ(chip.offer(0x04, byte, 0).status, UsbStatus::ok);
    EXPECT_EQ(chip.control({0x82, 0, 0, 0x09, 2}, data, 0).status, UsbStatus::stall);
}

TEST(FtdiBaud, DivisorEdgesAndFractions) {
    EXPECT_EQ(FtdiChip::baud_rate(0x0000, 0), 3000000.0);
    EXPECT_EQ(FtdiChip::baud_rate(0xC000, 1), 3000000.0); // d = 0 whatever the fraction
    EXPECT_EQ(FtdiChip::baud_rate(0x0001, 0), 2000000.0);
    EXPECT_EQ(FtdiChip::baud_rate(0x4001, 1), 2000000.0);
    EXPECT_EQ(FtdiChip::baud_rate(0x0002, 0), 1500000.0);
    EXPECT_NEAR(FtdiChip::baud_rate(0x3FFF, 0), 3000000.0 / 16383, 1e-9);
    EXPECT_NEAR(FtdiChip::baud_rate(0xFFFF, 1), 3000000.0 / (16383 + 7.0 / 8), 1e-9);
    // Codes 0..7 are the fractions 0, 1/2, 1/4, 1/8, 3/8, 5/8, 3/4, 7/8.
    const double fractions[8] = {0, 0.5, 0.25, 0.125, 0.375, 0.625, 0.75, 0.875};
    for (unsigned code = 0; code < 8; ++code) {
        const auto value = static_cast<std::uint16_t>(312 | (code & 3) << 14);
        EXPECT_NEAR(FtdiChip::baud_rate(value, code >> 2), 3000000.0 / (312 + fractions[code]), 1e-9) << code;
    }
    EXPECT_NEAR(FtdiChip::baud_rate(kBaud921600, 0), 923076.9, 0.1);
    EXPECT_NEAR(FtdiChip::baud_rate(0x4138, 0), 9600.0, 1e-9);
}

TEST(FtdiBaud, EveryStandardRateIsReachableWithinOnePercent) {
    for (double rate : {300.0, 600.0, 1200.0, 2400.0, 4800.0, 9600.0, 14400.0, 19200.0, 38400.0, 57600.0, 115200.0,
                        230400.0, 460800.0, 921600.0}) {
        double best = 1.0;
        for (unsigned value = 0; value <= 0xFFFF; ++value)
            for (unsigned bit = 0; bit < 2; ++bit)
                best = std::min(best,
                                std::fabs(FtdiChip::baud_rate(static_cast<std::uint16_t>(value), bit) - rate) / rate);
        EXPECT_LT(best, 0.01) << rate;
    }
}

TEST(FtdiBaud, TheFractionBitComesFromWhereTheChipKeepsIt) {
    Host single;
    single.set_baud(0x4138);
    EXPECT_NEAR(single.chip.port_state(0).format.baud, 9600.0, 1e-9);
    // Single interface: bit 0 of wIndex.
    ASSERT_EQ(single.out_raw(3, 0x4138, 0x0001), UsbStatus::ok);
    EXPECT_NEAR(single.chip.port_state(0).format.baud, 3000000.0 / (312 + 0.625), 1e-9);

    // Two interfaces: the low byte is the port, bit 0 of the high byte the fraction bit.
    Host dual(FtdiChip::default_config(2));
    ASSERT_EQ(dual.out_raw(3, 0x4138, 0x0102), UsbStatus::ok);
    EXPECT_NEAR(dual.chip.port_state(1).format.baud, 3000000.0 / (312 + 0.625), 1e-9);
    EXPECT_NEAR(dual.chip.port_state(0).format.baud, 9600.0, 1e-9);
    EXPECT_EQ(dual.out_raw(3, 0x4138, 0x0003), UsbStatus::stall);
}

// Divisor words a host sends for the standard rates, and the rate each one really programs.
struct DivisorCase {
    std::uint16_t value;
    unsigned fraction_bit; // the third bit of the sub-integer code
    double rate;
};
constexpr DivisorCase kDivisors[] = {
    {0x8003, 0, 923076.92}, // 3 + 1/4
    {0x001A, 0, 115384.62}, // 26
    {0x4138, 0, 9600.00},   // 312 + 1/2
    {0x4006, 0, 461538.46}, // 6 + 1/2
    {0x1C40, 0, 414.82},    // 7232: a 75-baud divisor cut to 14 bits
    {0x000D, 0, 230769.23}, // 13
    {0xC034, 0, 57553.96},  // 52 + 1/8
    {0xC04E, 0, 38400.00},  // 78 + 1/8
    {0x809C, 0, 19200.00},  // 156 + 1/4
    {0x00D0, 1, 14397.12},  // 208 + 3/8
    {0x41A0, 1, 7200.72},   // 416 + 5/8
    {0x4017, 0, 127659.57}, // 23 + 1/2
    {0x800B, 1, 255319.15}, // 11 + 3/4
    {0xC00B, 1, 252631.58}, // 11 + 7/8
    {0x0271, 0, 4800.00},    {0x04E2, 0, 2400.00},    {0x09C4, 0, 1200.00},    {0x2710, 0, 300.00},
    {0x0000, 0, 3000000.00}, {0x0001, 0, 2000000.00}, {0xC001, 1, 2000000.00}, // no fraction below a divisor of 2
};

TEST(FtdiBaud, DivisorWordsProgramTheirRateOnEveryPortOfEveryChip) {
    for (int interfaces : {1, 2, 4}) {
        Host host(FtdiChip::default_config(interfaces));
        const std::size_t port = host.chip.port_count() - 1;
        auto peer = host.plug_peer(port);
        for (const auto& d : kDivisors) {
            SCOPED_TRACE(testing::Message() << interfaces << " interfaces, divisor 0x" << std::hex << d.value);
            host.set_baud(d.value, port, d.fraction_bit);
            const LineFormat f = host.chip.port_state(port).format;
            EXPECT_NEAR(f.baud, d.rate, 0.01);
            // One 8N1 character takes ten bits at that rate on the wire.
            peer->take_received();
            const Ticks start = host.now;
            ASSERT_EQ(host.write("U", port), 1u);
            host.run_for(milliseconds(40));
            const auto sent = peer->take_received();
            ASSERT_EQ(sent.size(), 1u);
            const double ticks = 10.0 * kTicksPerSecond / d.rate;
            EXPECT_NEAR(static_cast<double>(sent[0].time - start), ticks, ticks * 1e-5 + 1.0);
            EXPECT_NEAR(sent[0].format.baud, d.rate, 0.01);
        }
        // Only the port addressed changed.
        if (interfaces > 1) {
            EXPECT_EQ(host.chip.port_state(0).format.baud, 9600.0);
        }
    }
}

TEST(FtdiRequests, DataWordSetsFramingAndBreak) {
    Host host;
    auto peer = host.plug_peer();
    EXPECT_EQ(host.chip.port_state(0).format.to_string(), "9600 8N1"); // power-on
    host.set_data(0x0207);
    EXPECT_EQ(host.chip.port_state(0).format.to_string(), "9600 7E1");
    host.set_data(0x1108);
    EXPECT_EQ(host.chip.port_state(0).format.to_string(), "9600 8O2");
    host.set_data(0x0905);
    EXPECT_EQ(host.chip.port_state(0).format.to_string(), "9600 5O1.5");
    host.set_data(0x0308);
    EXPECT_EQ(host.chip.port_state(0).format.parity, Parity::mark);
    host.set_data(0x0408);
    EXPECT_EQ(host.chip.port_state(0).format.parity, Parity::space);
    for (std::uint16_t bad : {0x0004, 0x0009, 0x0508, 0x1808, 0x8008})
        EXPECT_EQ(host.out(4, bad), UsbStatus::stall) << bad;

    host.set_data(0x4008);
    EXPECT_TRUE(host.chip.port_state(0).break_on);
    host.run_for(milliseconds(5));
    host.set_data(0x0008);
    host.run_for(milliseconds(1));
    const auto sent = peer->received();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].kind, LineSymbol::Kind::break_on);
    EXPECT_EQ(sent[1].kind, LineSymbol::Kind::break_off);
    EXPECT_EQ(sent[1].time - sent[0].time, milliseconds(5));
}

TEST(FtdiRequests, ModemControlDrivesOnlyTheMaskedLines) {
    Host host;
    auto peer = host.plug_peer();
    host.modem(0x0101);
    EXPECT_TRUE(peer->outputs().dtr);
    EXPECT_FALSE(peer->outputs().rts);
    host.modem(0x0202);
    EXPECT_TRUE(peer->outputs().dtr);
    EXPECT_TRUE(peer->outputs().rts);
    host.modem(0x0100);
    EXPECT_FALSE(peer->outputs().dtr);
    EXPECT_TRUE(peer->outputs().rts);
    host.modem(0x0003); // no mask: nothing changes
    EXPECT_FALSE(peer->outputs().dtr);
    host.modem(0x0300);
    EXPECT_FALSE(peer->outputs().rts);
    host.modem(0x0303);
    EXPECT_TRUE(peer->outputs().dtr && peer->outputs().rts);
    EXPECT_EQ(host.out(1, 0x0404), UsbStatus::stall);
    EXPECT_TRUE(host.chip.port_state(0).dtr);
}

TEST(FtdiRequests, ModemStatusReportsTheInputsAndTheTransmitter) {
    Host host;
    auto peer = host.plug_peer();
    auto status = host.in(5, 1, 2);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, (Bytes{0x01, 0x60}));
    peer->set_inputs(ModemInputs{true, true, true, true}, host.now);
    EXPECT_EQ(*host.in(5, 1, 2), (Bytes{0xF1, 0x60}));
    peer->set_inputs(ModemInputs{true, false, false, true}, host.now);
    EXPECT_EQ(host.in(5, 1, 2)->at(0), 0x91);
    // While a character is on its way the transmitter is not empty.
    host.write("abc");
    EXPECT_EQ(host.in(5, 1, 2)->at(1) & 0x60, 0x00);
    host.run_until(microseconds(2500));              // 1.04 ms a character at 9600 8N1
    EXPECT_EQ(host.in(5, 1, 2)->at(1) & 0x60, 0x20); // FIFO empty, last character still shifting
    host.run_until(milliseconds(4));
    EXPECT_EQ(host.in(5, 1, 2)->at(1) & 0x60, 0x60);
    EXPECT_EQ(host.in(5, 1, 1)->size(), 1u); // a short buffer gets what fits
}

TEST(FtdiRequests, LatencyTimerAndSpecialCharacters) {
    Host host;
    EXPECT_EQ(*host.in(10, 1, 2), (Bytes{16}));
    host.set_latency(1);
    host.set_latency(255);
    EXPECT_EQ(*host.in(10, 1, 1), (Bytes{255}));
    EXPECT_EQ(host.out(9, 0), UsbStatus::stall);
    EXPECT_EQ(host.out(9, 256), UsbStatus::stall);
    EXPECT_EQ(host.chip.port_state(0).latency_ms, 255);

    EXPECT_EQ(host.out(6, 0x017E), UsbStatus::ok);
    EXPECT_EQ(host.out(7, 0x0000), UsbStatus::ok);
    EXPECT_EQ(host.out(6, 0x0200), UsbStatus::stall);
    EXPECT_EQ(host.chip.port_state(0).event_char, 0x017E);
}

TEST(FtdiRequests, FlowControlModes) {
    Host host;
    for (std::uint8_t mode : {0x00, 0x01, 0x02, 0x04, 0x07}) {
        ASSERT_EQ(host.out(2, 0x1311, 0, mode), UsbStatus::ok);
        EXPECT_EQ(host.chip.port_state(0).flow_mode, mode);
    }
    ASSERT_EQ(host.out(2, 0x9391, 0, 0x04), UsbStatus::ok);
    EXPECT_EQ(host.chip.port_state(0).xon, 0x91);
    EXPECT_EQ(host.chip.port_state(0).xoff, 0x93);
    EXPECT_EQ(host.out(2, 0x1311, 0, 0x08), UsbStatus::stall);
    EXPECT_EQ(host.out_raw(2, 0xFFFF, 0xFFFF), UsbStatus::stall); // a "never set" word
    EXPECT_EQ(host.chip.port_state(0).flow_mode, 0x04);
}

TEST(FtdiRequests, UnknownRequestsWrongDirectionsAndPortsStall) {
    Host host(FtdiChip::default_config(2));
    EXPECT_EQ(host.out(8, 0), UsbStatus::stall);
    EXPECT_EQ(host.out(0x0B, 0), UsbStatus::stall);
    EXPECT_EQ(host.out(0x93, 0), UsbStatus::stall);
    EXPECT_FALSE(host.in(4, 1, 2));              // an OUT request read
    EXPECT_EQ(host.out(5, 0), UsbStatus::stall); // an IN request written
    EXPECT_EQ(host.out_raw(9, 10, 3), UsbStatus::stall);
    EXPECT_EQ(host.out_raw(9, 10, 2), UsbStatus::ok);
    EXPECT_EQ(host.out_raw(9, 10, 0), UsbStatus::ok); // index 0 is the first port
    EXPECT_EQ(host.chip.port_state(1).latency_ms, 10);
    // Class requests and vendor requests to an endpoint are not the chip's.
    EXPECT_EQ(host.chip.control({0x21, 9, 10, 1, 0}, {}, 0).status, UsbStatus::stall);
    EXPECT_EQ(host.chip.control({0x42, 9, 10, 1, 0}, {}, 0).status, UsbStatus::stall);
}

// Data waiting in both FIFOs: the transmitter is held by a low CTS under RTS/CTS flow control.
struct Filled {
    Host host{FtdiChip::default_config(1)};
    std::shared_ptr<ScriptedPeer> peer = host.plug_peer();
    Filled() {
        host.set_baud(kBaud115200);
        host.set_data(0x0207);
        host.set_latency(40);
        host.set_flow(0x01);
        host.modem(0x0303);
        peer->set_format(format(115200, 7, Parity::even));
        host.write("abcdefgh");
        peer->send("0123456789", host.now);
        host.run_for(milliseconds(5));
        EXPECT_EQ(host.chip.port_state(0).rx_level, 10u);
        EXPECT_EQ(host.chip.port_state(0).tx_level, 8u);
    }
    void expect_settings_kept() {
        const auto s = host.chip.port_state(0);
        EXPECT_EQ(s.format.to_string(), "115385 7E1");
        EXPECT_EQ(s.latency_ms, 40);
        EXPECT_EQ(s.flow_mode, 0x01);
        EXPECT_TRUE(s.dtr && s.rts);
        EXPECT_TRUE(peer->outputs().dtr && peer->outputs().rts);
    }
};

TEST(FtdiReset, ResetEmptiesBothFifosAndKeepsTheSettings) {
    Filled f;
    ASSERT_EQ(f.host.out(0, 0), UsbStatus::ok);
    EXPECT_EQ(f.host.chip.port_state(0).rx_level, 0u);
    EXPECT_EQ(f.host.chip.port_state(0).tx_level, 0u);
    f.expect_settings_kept();
    f.peer->set_inputs(ModemInputs{true, true, false, true}, f.host.now);
    f.host.run_for(milliseconds(5));
    EXPECT_TRUE(f.peer->received().empty());
    EXPECT_EQ(f.host.read_data_until(f.host.now + milliseconds(100)), Bytes{});
}

TEST(FtdiReset, PurgeTransmitDropsOnlyWhatIsWaitingToGoOut) {
    Filled f;
    ASSERT_EQ(f.host.out(0, 1), UsbStatus::ok);
    EXPECT_EQ(f.host.chip.port_state(0).tx_level, 0u);
    EXPECT_EQ(f.host.chip.port_state(0).rx_level, 10u);
    f.expect_settings_kept();
    EXPECT_EQ(f.host.read_data_until(f.host.now + milliseconds(100)), bytes_of("0123456789"));
}

TEST(FtdiReset, PurgeReceiveDropsOnlyWhatIsWaitingForTheHost) {
    Filled f;
    ASSERT_EQ(f.host.out(0, 2), UsbStatus::ok);
    EXPECT_EQ(f.host.chip.port_state(0).rx_level, 0u);
    EXPECT_EQ(f.host.chip.port_state(0).tx_level, 8u);
    f.expect_settings_kept();
    f.peer->set_inputs(ModemInputs{true, false, false, false}, f.host.now);
    f.host.run_for(milliseconds(5));
    EXPECT_EQ(f.peer->received_bytes(), bytes_of("abcdefgh"));
    EXPECT_EQ(f.host.out(0, 3), UsbStatus::stall);
}

TEST(FtdiEeprom, ReadWriteEraseAndIdentityAtPowerUp) {
    Host host;
    SetupPacket read{0xC0, 0x90, 0, 1, 2};
    Bytes word(2);
    ASSERT_EQ(host.chip.control(read, word, 0).status, UsbStatus::ok);
    EXPECT_EQ(le16(word, 0), 0x7A5C);
    read.index = 2;
    host.chip.control(read, word, 0);
    EXPECT_EQ(le16(word, 0), 0x1001);
    read.index = FtdiChip::kEepromWords;
    EXPECT_EQ(host.chip.control(read, word, 0).status, UsbStatus::stall);

    // A tool rewrites the PID and the checksum; the chip uses them from its next power-up on.
    ASSERT_EQ(host.chip.control({0x40, 0x91, 0x2001, 2, 0}, {}, 0).status, UsbStatus::ok);
    std::vector<std::uint16_t> image = host.chip.eeprom();
    EXPECT_EQ(image[2], 0x2001);
    const std::uint16_t sum = FtdiChip::eeprom_checksum(image);
    ASSERT_EQ(host.chip.control({0x40, 0x91, sum, FtdiChip::kEepromWords - 1, 0}, {}, 0).status, UsbStatus::ok);
    EXPECT_EQ(le16(host.chip.descriptors().device, 10), 0x1001); // still the old one
    FtdiChip again(FtdiChip::default_config(1), host.chip.eeprom());
    EXPECT_TRUE(again.identity_from_eeprom());
    EXPECT_EQ(le16(again.descriptors().device, 10), 0x2001);
    EXPECT_EQ(string_descriptor_text(again.descriptors().strings[2]), u"Tarrow USB Serial Adapter");

    // An image with a wrong checksum, or for another number of ports, is not used.
    ASSERT_EQ(host.chip.control({0x40, 0x91, 0x3001, 2, 0}, {}, 0).status, UsbStatus::ok);
    FtdiChip corrupt(FtdiChip::default_config(1), host.chip.eeprom());
    EXPECT_FALSE(corrupt.identity_from_eeprom());
    EXPECT_EQ(le16(corrupt.descriptors().device, 10), 0x1001);
    FtdiChip other(FtdiChip::default_config(2), again.eeprom());
    EXPECT_FALSE(other.identity_from_eeprom());

    ASSERT_EQ(host.chip.control({0x40, 0x92, 0, 0, 0}, {}, 0).status, UsbStatus::ok);
    for (auto w : host.chip.eeprom()) EXPECT_EQ(w, 0xFFFF);
    FtdiChip blank(FtdiChip::default_config(1), host.chip.eeprom());
    EXPECT_FALSE(blank.identity_from_eeprom());
}

TEST(FtdiEeprom, PortTypesAndStringsSurviveTheImage) {
    FtdiConfig c = FtdiChip::default_config(2);
    c.port_types = {PortType::rs232, PortType::rs485};
    c.serial = u"A-LONGER-SERIAL-NUMBER-0123456789";
    FtdiChip first(c);
    FtdiChip second(FtdiChip::default_config(2), first.eeprom());
    ASSERT_TRUE(second.identity_from_eeprom());
    EXPECT_EQ(second.port_state(1).type, PortType::rs485);
    EXPECT_EQ(second.port_state(0).type, PortType::rs232);
    EXPECT_EQ(second.config().serial, c.serial);
}

} // namespace
} // namespace hvsim::devices::test
