// The FTDI chip model: vendor requests first, then the state of the chip and its ports, then the
// handlers, then the engine that moves characters and packets in time order.

#include <hvsim/devices/ftdi_chip.h>

#include <hvsim/devices/far_end_loopback.h>
#include <hvsim/devices/uart_receiver.h>
#include <hvsim/devices/uart_transmitter.h>
#include <hvsim/devices/usb_descriptors.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

namespace hvsim::devices {

namespace {

struct Port;
using Chip = FtdiChip::Impl;
using Data = std::span<std::uint8_t>;
using PortHandler = ControlResult (*)(Chip&, Port&, const SetupPacket&, Data);
using ChipHandler = ControlResult (*)(Chip&, const SetupPacket&, Data);

ControlResult reset_port(Chip&, Port&, const SetupPacket&, Data);
ControlResult set_modem_control(Chip&, Port&, const SetupPacket&, Data);
ControlResult set_flow_control(Chip&, Port&, const SetupPacket&, Data);
ControlResult set_baud_rate(Chip&, Port&, const SetupPacket&, Data);
ControlResult set_data(Chip&, Port&, const SetupPacket&, Data);
ControlResult get_modem_status(Chip&, Port&, const SetupPacket&, Data);
ControlResult set_event_char(Chip&, Port&, const SetupPacket&, Data);
ControlResult set_error_char(Chip&, Port&, const SetupPacket&, Data);
ControlResult set_latency_timer(Chip&, Port&, const SetupPacket&, Data);
ControlResult get_latency_timer(Chip&, Port&, const SetupPacket&, Data);
ControlResult read_eeprom(Chip&, const SetupPacket&, Data);
ControlResult write_eeprom(Chip&, const SetupPacket&, Data);
ControlResult erase_eeprom(Chip&, const SetupPacket&, Data);

// Vendor requests (type vendor, recipient device or interface). Port requests carry the port's
// interface index (1, 2, ...) in the low byte of wIndex; anything not listed stalls.
struct VendorRequest {
    std::uint8_t number;
    const char* name;
    bool device_to_host;
    PortHandler port_handler; // addressed to a port
    ChipHandler chip_handler; // addressed to the chip
};

constexpr VendorRequest kVendorRequests[] = {
    {0x00, "reset", false, reset_port, nullptr},
    {0x01, "set modem control", false, set_modem_control, nullptr},
    {0x02, "set flow control", false, set_flow_control, nullptr},
    {0x03, "set baud rate", false, set_baud_rate, nullptr},
    {0x04, "set data", false, set_data, nullptr},
    {0x05, "get modem status", true, get_modem_status, nullptr},
    {0x06, "set event character", false, set_event_char, nullptr},
    {0x07, "set error character", false, set_error_char, nullptr},
    {0x09, "set latency timer", false, set_latency_timer, nullptr},
    {0x0A, "get latency timer", true, get_latency_timer, nullptr},
    {0x90, "read EEPROM word", true, nullptr, read_eeprom},
    {0x91, "write EEPROM word", false, nullptr, write_eeprom},
    {0x92, "erase EEPROM", false, nullptr, erase_eeprom},
};

// wValue of reset.
constexpr std::uint16_t kResetPort = 0;
constexpr std::uint16_t kPurgeTransmit = 1; // host data not yet on the line
constexpr std::uint16_t kPurgeReceive = 2;  // line data not yet sent to the host

// Modem control: high byte a mask, low byte the levels.
constexpr std::uint8_t kDtr = 0x01;
constexpr std::uint8_t kRts = 0x02;

// Flow control modes (high byte of wIndex).
constexpr std::uint8_t kFlowRtsCts = 0x01;
constexpr std::uint8_t kFlowDtrDsr = 0x02;
constexpr std::uint8_t kFlowXonXoff = 0x04;

// Set data: bits 0-7 data bits, 8-10 parity, 11-13 stop bits, 14 break.
constexpr std::uint16_t kDataBreak = 0x4000;

// Event and error characters: low byte the character, bit 8 enables it.
constexpr std::uint16_t kCharEnable = 0x0100;

// Modem status byte: the low nibble marks a valid packet.
constexpr std::uint8_t kModemStatusMarker = 0x01;
constexpr std::uint8_t kCts = 0x10, kDsr = 0x20, kRi = 0x40, kDcd = 0x80;

// Line status byte.
constexpr std::uint8_t kDataReady = 0x01, kOverrun = 0x02, kParityError = 0x04, kFramingError = 0x08, kBreak = 0x10,
                       kTransmitHoldingEmpty = 0x20, kTransmitterEmpty = 0x40, kReceiveFifoError = 0x80;
constexpr std::uint8_t kCharacterErrors = kParityError | kFramingError | kBreak;

constexpr std::uint8_t kDefaultLatencyMs = 16;
constexpr std::uint16_t kDefaultBaudValue = 0x4138; // 9600: 312 + 1/2
constexpr std::uint16_t kDefaultDataWord = 0x0008;  // 8N1

// EEPROM layout (words): a marker, the identity, pointers (offset << 8 | length) to the strings,
// which are stored as UTF-16 units from kEepromStrings on, and a checksum in the last word.
constexpr std::uint16_t kEepromMarker = 0x4856;
enum EepromWord : std::size_t {
    kEeMarker = 0,
    kEeVendor = 1,
    kEeProduct = 2,
    kEeRelease = 3,
    kEePower = 4, // bMaxPower << 8 | bmAttributes
    kEePorts = 5, // RS-485 mask << 8 | interface count
    kEeManufacturer = 6,
    kEeProductName = 7,
    kEeSerial = 8,
    kEepromStrings = 0x10,
    kEeChecksum = FtdiChip::kEepromWords - 1,
};
constexpr std::uint8_t kConfigAttributes = 0xA0; // bus powered, remote wake-up
constexpr std::uint8_t kMaxPower2mA = 45;        // 90 mA

// The chip's receive FIFO counts as nearly full from this many free bytes down, and as drained
// again at half full.
std::size_t throttle_level(std::size_t capacity) { return capacity - std::max<std::size_t>(capacity / 8, 8); }
std::size_t release_level(std::size_t capacity) { return capacity / 2; }

struct RxEntry {
    std::uint8_t value;
    std::uint8_t errors; // kParityError, kFramingError, kBreak
    bool event = false;  // the enabled event character
};

// The receive FIFO: a ring of its capacity, which spares the allocations of a deque. Every byte
// of the data path passes through it: the capacity is kept apart from the ring's size, which
// would cost a division by the entry's size at each step.
class RxFifo {
public:
    void set_capacity(std::size_t capacity) {
        ring_.assign(capacity, RxEntry{});
        capacity_ = capacity;
        head_ = size_ = 0;
    }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() { head_ = size_ = 0; }
    // The caller keeps size() below the capacity.
    void push_back(const RxEntry& e) {
        std::size_t at = head_ + size_;
        if (at >= capacity_) at -= capacity_;
        ring_[at] = e;
        ++size_;
    }
    const RxEntry& front() const { return ring_[head_]; }
    void pop_front() {
        if (++head_ == capacity_) head_ = 0;
        --size_;
    }
    // Takes the first n entries (n <= size()), their values into out; the errors of all of them
    // or-ed, with how many had errors and how many were event characters.
    void pop_into(std::uint8_t* out, std::size_t n, std::uint8_t& errors, std::size_t& with_errors,
                  std::size_t& events) {
        while (n) {
            const std::size_t run = std::min(n, capacity_ - head_);
            const RxEntry* e = ring_.data() + head_;
            std::uint8_t any = 0;
            std::size_t flagged = 0, marked = 0;
            for (std::size_t i = 0; i < run; ++i) {
                out[i] = e[i].value;
                any |= e[i].errors;
                flagged += e[i].errors != 0;
                marked += e[i].event;
            }
            errors |= any;
            with_errors += flagged;
            events += marked;
            out += run;
            n -= run;
            size_ -= run;
            head_ += run;
            if (head_ == capacity_) head_ = 0;
        }
    }

private:
    std::vector<RxEntry> ring_;
    std::size_t capacity_ = 0, head_ = 0, size_ = 0;
};

struct Port {
    std::size_t number = 0; // 0-based; the interface index is number + 1
    PortType type = PortType::rs232;

    // Programmed settings; a reset of the port keeps them.
    std::uint16_t baud_value = kDefaultBaudValue;
    unsigned baud_code_high = 0;
    std::uint16_t data_word = kDefaultDataWord;
    LineFormat format;
    std::uint8_t flow = 0;
    std::uint8_t xon = 0x11;
    std::uint8_t xoff = 0x13;
    bool dtr = false;
    bool rts = false;
    std::uint16_t event_char = 0;
    std::uint16_t error_char = 0;
    std::uint8_t latency_ms = kDefaultLatencyMs;

    // The UART.
    UartTransmitter tx;
    UartReceiver receiver;
    RxFifo rx;
    std::size_t rx_capacity = 256;
    std::size_t rx_error_count = 0; // entries in rx with an error
    bool overrun = false;           // a byte was lost since the last packet
    bool throttled = false;         // receive FIFO nearly full
    bool xoff_sent = false;
    Ticks last_tx_end = kNever;
    ModemInputs inputs;   // levels at the connector
    ModemOutputs outputs; // levels at the connector
    std::shared_ptr<LineInbox> inbox = std::make_shared<LineInbox>();
    std::shared_ptr<FarEnd> far_end;
    bool looped = false; // the far end is a loopback plug

    // Towards the host: packets gathered for the IN transfer the host has pending.
    bool armed = false;
    std::size_t armed_length = 0;
    std::vector<std::uint8_t> transfer;
    std::size_t events_waiting = 0; // event characters in rx
    bool modem_changed = false;     // no packet has carried the new modem status yet
    bool ready_told = false;        // the controller was told that the transfer is complete
    bool out_refused = false;       // an OUT transfer waits for room in the transmit FIFO
    std::size_t refused_packet = 0; // the size of its packet that did not fit
    Ticks latency_start = 0;        // when the last packet went to the host

    Ticks latency_expiry() const { return latency_start + latency_ms * kTicksPerMillisecond; }
    // The chip sends what it has without waiting for the latency timer.
    bool flush_due() const { return modem_changed || events_waiting > 0; }
    bool half_duplex() const { return type == PortType::rs485 && !dtr; }
};

} // namespace

struct FtdiChip::Impl {
    explicit Impl(FtdiConfig c) : config(std::move(c)), standard(descriptors) {}

    mutable std::mutex mutex;
    FtdiConfig config;
    bool identity_from_eeprom = false;
    std::array<std::uint16_t, kEepromWords> eeprom{};
    UsbDescriptorSet descriptors;
    StandardRequests standard;
    std::vector<Port> ports;
    ChangeCallback change_callback;
    Ticks now = 0;
    std::vector<ReceivedAt> received; // the receivers' output, kept to spare an allocation a character
    // A looped run's characters, kept rather than cleared on the stack for each run.
    std::array<UartTransmitter::Item, kPacketSize> looped_run;

    bool multi_interface() const { return ports.size() > 1; }
    Port* port_for_index(std::uint16_t index);
    Port* port_for_endpoint(std::uint8_t endpoint, bool in);

    // The engine.
    void catch_up(Ticks until);
    void tell_ready();
    void receive(Port& p, const LineEvent& event, Ticks t);
    void accept(Port& p, const std::vector<ReceivedAt>& chars, Ticks t);
    bool take_looped_run(Port& p, Ticks t, Ticks until);
    Ticks looped_quiet_until(const Port& p) const;
    void transmitted(Port& p, const LineSymbol& symbol);
    void update_flow(Port& p, Ticks t);
    void update_lines(Port& p, Ticks t);
    void fill_transfer(Port& p, Ticks t);
    void add_packet(Port& p, std::size_t data_bytes, Ticks t);
    void end_transfer(Port& p, Ticks t);
    bool transfer_complete(const Port& p) const;
    void apply_format(Port& p, Ticks t);
    std::uint8_t modem_status(const Port& p) const;
    std::uint8_t line_status(const Port& p, std::uint8_t packet_errors) const;
    ModemInputs effective_inputs(const Port& p) const;
    Ticks next_deadline() const;
};

namespace {

constexpr ControlResult kStall{UsbStatus::stall, 0};

ControlResult done(const SetupPacket& setup, Data data) {
    return {UsbStatus::ok, std::min<std::size_t>(setup.length, data.size())};
}

ControlResult reply(const SetupPacket& setup, Data data, std::initializer_list<std::uint8_t> bytes) {
    const std::size_t n = std::min({bytes.size(), std::size_t(setup.length), data.size()});
    std::copy_n(bytes.begin(), n, data.begin());
    return {UsbStatus::ok, n};
}

// --- Port requests ---

void clear_receive(Port& p) {
    p.rx.clear();
    p.rx_error_count = 0;
    p.overrun = false;
    p.transfer.clear();
    p.events_waiting = 0;
}

ControlResult reset_port(Chip& chip, Port& p, const SetupPacket& setup, Data data) {
    switch (setup.value) {
    case kResetPort:
        p.tx.reset();
        p.receiver.reset(chip.now);
        clear_receive(p);
        p.latency_start = chip.now;
        break;
    case kPurgeReceive: clear_receive(p); break;
    case kPurgeTransmit: p.tx.purge(); break;
    default: return kStall;
    }
    chip.update_flow(p, chip.now);
    return done(setup, data);
}

ControlResult set_modem_control(Chip& chip, Port& p, const SetupPacket& setup, Data data) {
    const std::uint8_t mask = setup.value >> 8;
    const std::uint8_t levels = setup.value & 0xFF;
    if (mask & ~(kDtr | kRts)) return kStall;
    if (mask & kDtr) p.dtr = (levels & kDtr) != 0;
    if (mask & kRts) p.rts = (levels & kRts) != 0;
    chip.update_lines(p, chip.now);
    return done(setup, data);
}

ControlResult set_flow_control(Chip& chip, Port& p, const SetupPacket& setup, Data data) {
    const std::uint8_t mode = setup.index >> 8;
    if (mode & ~(kFlowRtsCts | kFlowDtrDsr | kFlowXonXoff)) return kStall;
    p.flow = mode;
    p.xon = setup.value & 0xFF;
    p.xoff = setup.value >> 8;
    chip.update_flow(p, chip.now);
    chip.update_lines(p, chip.now);
    return done(setup, data);
}

ControlResult set_baud_rate(Chip& chip, Port& p, const SetupPacket& setup, Data data) {
    // The third bit of the sub-integer code: bit 0 of wIndex on a single-interface chip, bit 0 of
    // its high byte where the low byte addresses the port.
    p.baud_code_high = chip.multi_interface() ? (setup.index >> 8) & 1 : setup.index & 1;
    p.baud_value = setup.value;
    chip.apply_format(p, chip.now);
    return done(setup, data);
}

ControlResult set_data(Chip& chip, Port& p, const SetupPacket& setup, Data data) {
    const unsigned bits = setup.value & 0xFF;
    const unsigned parity = (setup.value >> 8) & 7;
    const unsigned stop = (setup.value >> 11) & 7;
    if (bits < 5 || bits > 8 || parity > 4 || stop > 2 || (setup.value & 0x8000)) return kStall;
    p.data_word = setup.value;
    chip.apply_format(p, chip.now);
    return done(setup, data);
}

ControlResult get_modem_status(Chip& chip, Port& p, const SetupPacket& setup, Data data) {
    return reply(setup, data, {chip.modem_status(p), chip.line_status(p, 0)});
}

ControlResult set_special_char(std::uint16_t& slot, const SetupPacket& setup, Data data) {
    if (setup.value & ~(kCharEnable | 0xFF)) return kStall;
    slot = setup.value;
    return done(setup, data);
}

ControlResult set_event_char(Chip&, Port& p, const SetupPacket& setup, Data data) {
    return set_special_char(p.event_char, setup, data);
}

ControlResult set_error_char(Chip&, Port& p, const SetupPacket& setup, Data data) {
    return set_special_char(p.error_char, setup, data);
}

ControlResult set_latency_timer(Chip&, Port& p, const SetupPacket& setup, Data data) {
    if (setup.value < 1 || setup.value > 255) return kStall;
    p.latency_ms = static_cast<std::uint8_t>(setup.value);
    return done(setup, data);
}

ControlResult get_latency_timer(Chip&, Port& p, const SetupPacket& setup, Data data) {
    return reply(setup, data, {p.latency_ms});
}

// --- Chip requests ---

ControlResult read_eeprom(Chip& chip, const SetupPacket& setup, Data data) {
    if (setup.index >= chip.eeprom.size()) return kStall;
    const std::uint16_t word = chip.eeprom[setup.index];
    return reply(setup, data, {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8)});
}

ControlResult write_eeprom(Chip& chip, const SetupPacket& setup, Data data) {
    if (setup.index >= chip.eeprom.size()) return kStall;
    chip.eeprom[setup.index] = setup.value;
    return done(setup, data);
}

ControlResult erase_eeprom(Chip& chip, const SetupPacket& setup, Data data) {
    chip.eeprom.fill(0xFFFF);
    return done(setup, data);
}

// --- Identity ---

std::uint16_t eeprom_checksum(const std::array<std::uint16_t, FtdiChip::kEepromWords>& words) {
    return FtdiChip::eeprom_checksum(words);
}

std::array<std::uint16_t, FtdiChip::kEepromWords> program_eeprom(const FtdiConfig& c) {
    std::array<std::uint16_t, FtdiChip::kEepromWords> w{};
    w[kEeMarker] = kEepromMarker;
    w[kEeVendor] = c.vendor_id;
    w[kEeProduct] = c.product_id;
    w[kEeRelease] = c.bcd_device;
    w[kEePower] = static_cast<std::uint16_t>(kMaxPower2mA << 8 | kConfigAttributes);
    std::uint16_t rs485 = 0;
    for (std::size_t i = 0; i < c.port_types.size(); ++i)
        if (c.port_types[i] == PortType::rs485) rs485 |= 1u << i;
    w[kEePorts] = static_cast<std::uint16_t>(rs485 << 8 | c.interfaces);
    std::size_t at = kEepromStrings;
    const std::u16string* strings[] = {&c.manufacturer, &c.product, &c.serial};
    for (std::size_t s = 0; s < 3; ++s) {
        const std::size_t length = std::min(strings[s]->size(), std::size_t(kEeChecksum) - at);
        w[kEeManufacturer + s] = static_cast<std::uint16_t>(at << 8 | length);
        for (std::size_t i = 0; i < length; ++i) w[at++] = static_cast<std::uint16_t>((*strings[s])[i]);
    }
    w[kEeChecksum] = eeprom_checksum(w);
    return w;
}

// Reads the identity from an EEPROM image; false when it is blank, corrupt or for other silicon.
bool identity_from(const std::array<std::uint16_t, FtdiChip::kEepromWords>& w, FtdiConfig& c) {
    if (w[kEeMarker] != kEepromMarker || w[kEeChecksum] != eeprom_checksum(w)) return false;
    if ((w[kEePorts] & 0xFF) != c.interfaces) return false;
    std::u16string strings[3];
    for (std::size_t s = 0; s < 3; ++s) {
        const std::size_t offset = w[kEeManufacturer + s] >> 8;
        const std::size_t length = w[kEeManufacturer + s] & 0xFF;
        if (offset < kEepromStrings || offset + length > kEeChecksum) return false;
        for (std::size_t i = 0; i < length; ++i) strings[s].push_back(static_cast<char16_t>(w[offset + i]));
    }
    c.vendor_id = w[kEeVendor];
    c.product_id = w[kEeProduct];
    c.bcd_device = w[kEeRelease];
    c.port_types.assign(c.interfaces, PortType::rs232);
    for (int i = 0; i < c.interfaces; ++i)
        if ((w[kEePorts] >> 8) & (1u << i)) c.port_types[i] = PortType::rs485;
    c.manufacturer = strings[0];
    c.product = strings[1];
    c.serial = strings[2];
    return true;
}

UsbDescriptorSet make_descriptors(const FtdiConfig& c) {
    DeviceDescriptorFields device;
    device.vendor_id = c.vendor_id;
    device.product_id = c.product_id;
    device.bcd_device = c.bcd_device;
    // Class 0 at the device level; each interface is vendor-specific.
    ConfigurationFields configuration;
    configuration.attributes = kConfigAttributes;
    configuration.max_power_2ma = kMaxPower2mA;
    for (int i = 0; i < c.interfaces; ++i) {
        InterfaceFields interface;
        interface.number = static_cast<std::uint8_t>(i);
        interface.string_index = device.product_index;
        interface.endpoints = {{FtdiChip::in_endpoint(i), kEndpointBulk, FtdiChip::kPacketSize, 0},
                               {FtdiChip::out_endpoint(i), kEndpointBulk, FtdiChip::kPacketSize, 0}};
        configuration.interfaces.push_back(interface);
    }
    UsbDescriptorSet set;
    set.device = make_device_descriptor(device);
    set.configuration = make_configuration_descriptor(configuration);
    set.strings = {make_language_descriptor(), make_string_descriptor(c.manufacturer),
                   make_string_descriptor(c.product), make_string_descriptor(c.serial)};
    return set;
}

LineFormat format_of(const Port& p) {
    LineFormat f;
    f.baud = FtdiChip::baud_rate(p.baud_value, p.baud_code_high);
    f.data_bits = static_cast<std::uint8_t>(p.data_word & 0xFF);
    f.parity = static_cast<Parity>((p.data_word >> 8) & 7);
    f.stop_bits = static_cast<StopBits>((p.data_word >> 11) & 7);
    return f;
}

} // namespace

// --- The engine ---

Port* FtdiChip::Impl::port_for_index(std::uint16_t index) {
    const unsigned low = index & 0xFF;
    if (!multi_interface()) {
        // wIndex bit 0 may be the baud fraction bit here; the chip has one port.
        return (low <= 1) ? &ports[0] : nullptr;
    }
    if (low == 0) return &ports[0];
    return low <= ports.size() ? &ports[low - 1] : nullptr;
}

Port* FtdiChip::Impl::port_for_endpoint(std::uint8_t endpoint, bool in) {
    if (!standard.configured() || standard.halted(endpoint)) return nullptr;
    for (auto& p : ports)
        if ((in ? in_endpoint(p.number) : out_endpoint(p.number)) == endpoint) return &p;
    return nullptr;
}

ModemInputs FtdiChip::Impl::effective_inputs(const Port& p) const {
    ModemInputs in = p.inputs;
    if (p.type == PortType::rs485) {
        // Only the RTS/CTS pair is on an RS-422 connector, and only in full duplex.
        in.dsr = in.ri = in.dcd = false;
        if (p.half_duplex()) in.cts = false;
    }
    return in;
}

std::uint8_t FtdiChip::Impl::modem_status(const Port& p) const {
    const ModemInputs in = effective_inputs(p);
    return kModemStatusMarker | (in.cts ? kCts : 0) | (in.dsr ? kDsr : 0) | (in.ri ? kRi : 0) | (in.dcd ? kDcd : 0);
}

std::uint8_t FtdiChip::Impl::line_status(const Port& p, std::uint8_t packet_errors) const {
    std::uint8_t status = packet_errors;
    if (p.overrun) status |= kOverrun;
    if (!p.rx.empty()) status |= kDataReady;
    if (p.tx.queued() == 0) status |= kTransmitHoldingEmpty;
    if (p.tx.empty()) status |= kTransmitterEmpty;
    if ((packet_errors & kCharacterErrors) || p.rx_error_count) status |= kReceiveFifoError;
    return status;
}

void FtdiChip::Impl::apply_format(Port& p, Ticks t) {
    p.format = format_of(p);
    p.tx.set_format(p.format);
    p.receiver.set_format(p.format);
    p.tx.set_break((p.data_word & kDataBreak) != 0, t);
    if (p.far_end) p.far_end->format_changed(p.format, t);
}

// The outputs on the connector and the transmitter's hold follow the host's levels, the flow
// control mode, the receive FIFO and (RS-485) the duplex mode.
void FtdiChip::Impl::update_lines(Port& p, Ticks t) {
    ModemOutputs out{p.rts, p.dtr};
    if (p.throttled) {
        if (p.flow & kFlowRtsCts) out.rts = false;
        if (p.flow & kFlowDtrDsr) out.dtr = false;
    }
    if (p.type == PortType::rs485) {
        // DTR selects the duplex mode and is not on the connector; half duplex has no RTS.
        out.dtr = false;
        if (p.half_duplex()) out.rts = false;
    }
    if (!(out == p.outputs)) {
        p.outputs = out;
        if (p.far_end) p.far_end->outputs_changed(out, t);
    }
    const ModemInputs in = effective_inputs(p);
    const bool held = ((p.flow & kFlowRtsCts) && !in.cts) || ((p.flow & kFlowDtrDsr) && !in.dsr);
    p.tx.set_held(held, t);
}

void FtdiChip::Impl::update_flow(Port& p, Ticks t) {
    const bool was = p.throttled;
    if (!p.throttled && p.rx.size() >= throttle_level(p.rx_capacity))
        p.throttled = true;
    else if (p.throttled && p.rx.size() <= release_level(p.rx_capacity))
        p.throttled = false;
    const bool want_xoff = (p.flow & kFlowXonXoff) && p.throttled;
    if (want_xoff != p.xoff_sent) {
        p.tx.send_priority(want_xoff ? p.xoff : p.xon, t);
        p.xoff_sent = want_xoff;
    }
    if (was != p.throttled) update_lines(p, t);
}

void FtdiChip::Impl::receive(Port& p, const LineEvent& event, Ticks t) {
    if (event.kind == LineEvent::Kind::modem) {
        const std::uint8_t before = modem_status(p);
        p.inputs = event.modem;
        update_lines(p, t);
        // A change of CTS, DSR, RI or DCD goes to the host at once, as an event character does.
        if (modem_status(p) != before) {
            p.modem_changed = true;
            if (p.armed && !transfer_complete(p)) end_transfer(p, t);
        }
        return;
    }
    const LineSymbol& s = event.symbol;
    // A half-duplex transceiver does not listen while it drives the pair.
    if (s.kind != LineSymbol::Kind::break_off && p.half_duplex() &&
        ((p.tx.shifting() && p.tx.shift_start() <= t) || p.last_tx_end == t))
        return;
    received.clear();
    p.receiver.receive(s, received);
    accept(p, received, t);
}

// Characters the UART assembled go into the receive FIFO, with their errors.
void FtdiChip::Impl::accept(Port& p, const std::vector<ReceivedAt>& chars, Ticks t) {
    for (const ReceivedAt& r : chars) {
        const ReceivedChar& c = r.c;
        std::uint8_t errors = 0;
        if (c.break_condition)
            errors = kBreak;
        else
            errors = (c.parity_error ? kParityError : 0) | (c.framing_error ? kFramingError : 0);
        std::uint8_t value = c.value;
        if ((errors & (kParityError | kFramingError)) && (p.error_char & kCharEnable)) value = p.error_char & 0xFF;
        if (p.rx.size() >= p.rx_capacity) {
            p.overrun = true;
            continue;
        }
        const bool is_event = !errors && (p.event_char & kCharEnable) && value == (p.event_char & 0xFF);
        p.rx.push_back(RxEntry{value, errors, is_event});
        if (errors) ++p.rx_error_count;
        if (is_event) ++p.events_waiting;
        update_flow(p, t);
        fill_transfer(p, t);
        if (p.flush_due() && p.armed && !transfer_complete(p)) end_transfer(p, t);
    }
}

// Through a loopback plug, the characters arrive as they were sent, each when it ends (unpaced,
// all at the moment they leave). Taken as a run they skip the line and the receiver, up to the
// next point where one of them changes what follows (a packet filled, the receive FIFO nearly
// full) and before anything else of the port is due, so that the packets, their status bytes and
// the flow control come out as one character at a time. Other ports do not see this one's line,
// so their events may fall between the run's characters.
bool FtdiChip::Impl::take_looped_run(Port& p, Ticks t, Ticks until) {
    if (!p.looped || !p.tx.shifting() || p.throttled || p.half_duplex() || p.flush_due() ||
        (p.event_char & kCharEnable) ||
        !p.receiver.takes_as_sent(p.tx.shift_format(), p.tx.shift_start(), p.tx.paced()))
        return false;
    // At equal times what arrives goes first, and the latency timer after the characters.
    Ticks bound = std::min({until, p.inbox->next_time() - 1, p.receiver.next_deadline() - 1});
    if (p.far_end) bound = std::min(bound, p.far_end->next_deadline() - 1);
    if (p.armed && !transfer_complete(p)) bound = std::min(bound, p.latency_expiry());
    if (bound < t) return false;
    const std::size_t throttle = throttle_level(p.rx_capacity);
    if (p.rx.size() >= throttle) return false;
    std::size_t limit = throttle - p.rx.size();
    if (p.armed && !transfer_complete(p)) {
        const std::size_t room = std::min(kPacketSize, p.armed_length - p.transfer.size());
        if (room > 2 && room - 2 > p.rx.size()) limit = std::min(limit, room - 2 - p.rx.size());
    }
    const LineFormat format = p.tx.shift_format();
    auto& run = looped_run;
    Ticks last = t;
    const std::size_t n = p.tx.take_run(bound, std::min(limit, run.size()), run.data(), last);
    if (n == 0) return false;
    const std::uint8_t mask = static_cast<std::uint8_t>((1u << format.data_bits) - 1u);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t errors = (format.parity != Parity::none && run[i].bad_parity ? kParityError : 0) |
                                    (run[i].bad_stop ? kFramingError : 0);
        std::uint8_t value = run[i].value & mask;
        if (errors && (p.error_char & kCharEnable)) value = p.error_char & 0xFF;
        if (p.rx.size() >= p.rx_capacity) {
            p.overrun = true;
            continue;
        }
        p.rx.push_back(RxEntry{value, errors, false});
        if (errors) ++p.rx_error_count;
    }
    p.last_tx_end = last;
    p.receiver.taken_until(last, p.tx.paced() ? p.tx.character_time() : 0);
    update_flow(p, last);
    fill_transfer(p, last);
    return true;
}

void FtdiChip::Impl::transmitted(Port& p, const LineSymbol& symbol) {
    if (symbol.kind == LineSymbol::Kind::character) {
        p.last_tx_end = symbol.time;
        if (p.looped) {
            // Through the plug the character would be the engine's very next event: the inbox
            // held nothing due (or the transmitter would not have run) and only the plug feeds
            // it. Taken here it skips the inbox and a pass of the engine, once per character.
            LineEvent echo;
            echo.time = symbol.time;
            echo.symbol = symbol;
            receive(p, echo, now);
            return;
        }
    }
    if (p.far_end) p.far_end->transmit(symbol);
}

bool FtdiChip::Impl::transfer_complete(const Port& p) const {
    if (p.transfer.empty()) return false;
    // A short packet ends a transfer, and so does a buffer with no room for another packet.
    return p.transfer.size() % kPacketSize != 0 || p.armed_length < p.transfer.size() + 2;
}

void FtdiChip::Impl::add_packet(Port& p, std::size_t data_bytes, Ticks t) {
    std::uint8_t errors = 0;
    const std::size_t at = p.transfer.size();
    p.transfer.resize(at + 2 + data_bytes);
    std::size_t with_errors = 0, events = 0;
    p.rx.pop_into(p.transfer.data() + at + 2, data_bytes, errors, with_errors, events);
    p.rx_error_count -= with_errors;
    p.events_waiting -= events;
    p.transfer[at] = modem_status(p);
    p.transfer[at + 1] = line_status(p, errors);
    p.overrun = false;
    p.modem_changed = false;
    p.latency_start = t;
    update_flow(p, t);
}

// Moves every packet that is full into the pending transfer.
void FtdiChip::Impl::fill_transfer(Port& p, Ticks t) {
    while (p.armed && !transfer_complete(p)) {
        const std::size_t room = std::min(kPacketSize, p.armed_length - p.transfer.size());
        const std::size_t data = room - 2;
        if (data == 0 || p.rx.size() < data) return;
        add_packet(p, data, t);
    }
}

// The latency timer ran out, an event character came or a modem input changed: what is there goes
// as a short packet.
void FtdiChip::Impl::end_transfer(Port& p, Ticks t) {
    fill_transfer(p, t);
    if (transfer_complete(p)) return;
    const std::size_t room = std::min(kPacketSize, p.armed_length - p.transfer.size());
    add_packet(p, std::min(p.rx.size(), std::min(room - 2, kPacketSize - 3)), t);
}

// Runs every event due by `until` in time order, one at a time: at equal times what arrives
// first, then what far ends send, then what the chip sends, so that flow control acts between
// characters even when nothing is paced.
void FtdiChip::Impl::catch_up(Ticks until) {
    until = std::max(until, now);
    enum class Source { none, inbox, receiver, far_end, transmitter, latency };
    std::array<bool, 4> far_end_idle{};
    // The earliest event; at equal times by source, then by port.
    auto earliest = [&](Source& source, Port*& port) {
        Ticks best = kNever;
        source = Source::none;
        auto consider = [&](Ticks t, Source s, Port& p) {
            if (t < best || (t == best && t != kNever && s < source)) {
                best = t;
                source = s;
                port = &p;
            }
        };
        for (std::size_t i = 0; i < ports.size(); ++i) {
            Port& p = ports[i];
            consider(p.inbox->next_time(), Source::inbox, p);
            consider(p.receiver.next_deadline(), Source::receiver, p);
            if (p.far_end && !far_end_idle[i]) consider(p.far_end->next_deadline(), Source::far_end, p);
            consider(p.tx.next_event(), Source::transmitter, p);
            if (p.armed && !transfer_complete(p)) consider(p.latency_expiry(), Source::latency, p);
        }
        return best;
    };
    Source source;
    Port* port = nullptr;
    Ticks best = earliest(source, port);
    // Most calls find nothing due: they leave the inboxes' locks alone.
    if (source == Source::none || best > until) {
        now = until;
        tell_ready();
        return;
    }
    for (auto& p : ports) p.inbox->hold_notifications();
    for (;; best = earliest(source, port)) {
        if (source == Source::none || best > until) break;
        const Ticks t = std::max(best, now);
        now = t;
        Port& p = *port;
        switch (source) {
        case Source::inbox: {
            LineEvent event;
            if (p.inbox->pop(kNever, event)) receive(p, event, t);
            break;
        }
        case Source::receiver:
            received.clear();
            p.receiver.advance(t, received);
            accept(p, received, t);
            break;
        case Source::far_end: {
            const Ticks before = p.far_end->next_deadline();
            const std::size_t queued = p.inbox->size();
            p.far_end->advance(t);
            // A far end that is due but gives nothing must not stall the engine.
            if (p.inbox->size() == queued && p.far_end->next_deadline() == before) far_end_idle[p.number] = true;
            break;
        }
        case Source::transmitter: {
            if (take_looped_run(p, t, until)) break;
            LineSymbol symbol;
            while (p.tx.step(t, symbol)) {
                transmitted(p, symbol);
                // Only this port changed, so when its echo left nothing due now, its next
                // character is again the earliest event: no need to look at every source.
                if (!p.looped || p.tx.next_event() != t || p.inbox->next_time() <= t || p.receiver.next_deadline() <= t)
                    break;
            }
            break;
        }
        case Source::latency: end_transfer(p, t); break;
        case Source::none: break;
        }
    }
    now = until;
    for (auto& p : ports) p.inbox->release_notifications();
    tell_ready();
}

// A transfer that completed between the controller's polls, or an OUT transfer that can go on
// now that the FIFO has room, would otherwise wait for the next unrelated wake-up.
void FtdiChip::Impl::tell_ready() {
    bool any = false;
    for (auto& p : ports) {
        if (p.armed && !p.ready_told && transfer_complete(p)) {
            p.ready_told = true;
            any = true;
        }
        if (p.out_refused && p.tx.free_space() >= kPacketSize) {
            p.out_refused = false;
            any = true;
        }
    }
    if (any && change_callback) change_callback();
}

// Paced through a loopback plug, the port's characters change nothing that anyone outside the
// chip sees until enough of them arrived to complete the pending transfer, to make room for a
// refused OUT transfer (its packet, which a retry takes) or to throttle the receive FIFO: the earliest time one of
// these can come lets the host sleep through the characters before it (the engine still runs each of them in its
// order). Anything else on the line gives the transmitter's next event.
Ticks FtdiChip::Impl::looped_quiet_until(const Port& p) const {
    const Ticks next = p.tx.next_event();
    if (!p.looped || !p.tx.paced() || !p.tx.shifting() || next == kNever || next == UartTransmitter::kAtNextStep ||
        p.tx.edges_pending() || p.tx.breaking() || p.throttled || p.half_duplex() || p.flush_due() ||
        (p.event_char & kCharEnable) || p.receiver.next_deadline() != kNever ||
        !(p.tx.shift_format() == p.tx.format()) || !p.receiver.takes_as_sent(p.tx.format(), p.tx.shift_start(), true))
        return next;
    const Ticks character = p.tx.character_time();
    if (character <= 0 || character == kNever) return next;
    const std::size_t throttle = throttle_level(p.rx_capacity);
    std::size_t chars = throttle > p.rx.size() ? throttle - p.rx.size() : 1;
    if (p.armed && !transfer_complete(p)) {
        const std::size_t remaining = p.armed_length - p.transfer.size();
        const std::size_t tail = remaining % kPacketSize;
        const std::size_t room = remaining / kPacketSize * (kPacketSize - 2) + (tail > 2 ? tail - 2 : 0);
        chars = std::min(chars, room > p.rx.size() ? room - p.rx.size() : std::size_t(1));
    }
    if (p.out_refused) {
        const std::size_t free = p.tx.free_space();
        chars = std::min(chars, free < p.refused_packet ? p.refused_packet - free : std::size_t(1));
    }
    return next + static_cast<Ticks>(chars - 1) * character;
}

Ticks FtdiChip::Impl::next_deadline() const {
    Ticks best = kNever;
    for (const auto& p : ports) {
        best = std::min({best, p.inbox->next_time(), p.receiver.next_deadline(), looped_quiet_until(p)});
        if (p.far_end) best = std::min(best, p.far_end->next_deadline());
        // A finished transfer waits for the host's poll, not for time.
        if (p.armed && !transfer_complete(p)) best = std::min(best, p.latency_expiry());
    }
    return best == kNever ? kNever : std::max(best, now);
}

// --- The device ---

bool FtdiChip::valid_interface_count(int interfaces) { return interfaces == 1 || interfaces == 2 || interfaces == 4; }

FtdiConfig FtdiChip::default_config(int interfaces) {
    FtdiConfig c;
    c.interfaces = interfaces;
    switch (interfaces) {
    case 2:
        c.product_id = 0x1002;
        c.bcd_device = 0x0700;
        break;
    case 4:
        c.product_id = 0x1004;
        c.bcd_device = 0x0800;
        break;
    default:
        c.product_id = 0x1001;
        c.bcd_device = 0x0600;
        break;
    }
    c.port_types.assign(interfaces > 0 ? interfaces : 0, PortType::rs232);
    return c;
}

std::uint16_t FtdiChip::eeprom_checksum(std::span<const std::uint16_t> words) {
    std::uint16_t sum = 0xAAAA;
    for (std::size_t i = 0; i < words.size() && i < kEeChecksum; ++i)
        sum = static_cast<std::uint16_t>(((sum << 1) | (sum >> 15)) ^ words[i]);
    return sum;
}

double FtdiChip::baud_rate(std::uint16_t value, unsigned code_high_bit) {
    static constexpr unsigned kEighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    const unsigned divisor = value & 0x3FFF;
    const unsigned code = ((value >> 14) & 3) | ((code_high_bit & 1) << 2);
    if (divisor == 0) return 3'000'000.0;
    if (divisor == 1) return 2'000'000.0;
    return 24'000'000.0 / (8.0 * divisor + kEighths[code]);
}

FtdiChip::FtdiChip(FtdiConfig config, std::span<const std::uint16_t> eeprom) {
    if (!valid_interface_count(config.interfaces)) throw std::invalid_argument("an FTDI chip has 1, 2 or 4 interfaces");
    if (config.tx_fifo_size < kPacketSize || config.rx_fifo_size < kPacketSize)
        throw std::invalid_argument("FIFOs hold at least one packet");
    config.port_types.resize(config.interfaces, PortType::rs232);
    impl_ = std::make_unique<Impl>(config);
    Impl& chip = *impl_;
    if (eeprom.size() == kEepromWords) {
        std::copy(eeprom.begin(), eeprom.end(), chip.eeprom.begin());
        chip.identity_from_eeprom = identity_from(chip.eeprom, chip.config);
    }
    if (!chip.identity_from_eeprom) chip.eeprom = program_eeprom(chip.config);
    chip.descriptors = make_descriptors(chip.config);
    chip.standard = StandardRequests(chip.descriptors);

    chip.ports.resize(chip.config.interfaces);
    for (std::size_t i = 0; i < chip.ports.size(); ++i) {
        Port& p = chip.ports[i];
        p.number = i;
        p.type = chip.config.port_types[i];
        p.rx_capacity = chip.config.rx_fifo_size;
        p.rx.set_capacity(p.rx_capacity);
        p.tx = UartTransmitter(chip.config.tx_fifo_size);
        p.tx.set_paced(chip.config.paced);
        p.format = format_of(p);
        p.tx.set_format(p.format);
        p.receiver.set_format(p.format);
    }
}

FtdiChip::~FtdiChip() {
    std::lock_guard lock(impl_->mutex);
    for (auto& p : impl_->ports) {
        p.inbox->set_notify(nullptr);
        if (p.far_end) p.far_end->disconnect(impl_->now);
    }
}

const UsbDescriptorSet& FtdiChip::descriptors() const { return impl_->descriptors; }

ControlResult FtdiChip::control(const SetupPacket& setup, std::span<std::uint8_t> data, Ticks now) {
    std::lock_guard lock(impl_->mutex);
    Impl& chip = *impl_;
    chip.catch_up(now);
    if (setup.type() == SetupPacket::Type::standard) return chip.standard.handle(setup, data);
    using R = SetupPacket::Recipient;
    if (setup.type() != SetupPacket::Type::vendor ||
        (setup.recipient() != R::device && setup.recipient() != R::interface))
        return kStall;
    for (const auto& request : kVendorRequests) {
        if (request.number != setup.request) continue;
        if (request.device_to_host != setup.device_to_host()) return kStall;
        if (request.chip_handler) return request.chip_handler(chip, setup, data);
        Port* p = chip.port_for_index(setup.index);
        return p ? request.port_handler(chip, *p, setup, data) : kStall;
    }
    return kStall;
}

BulkResult FtdiChip::offer(std::uint8_t endpoint, std::span<const std::uint8_t> bytes, Ticks now) {
    std::lock_guard lock(impl_->mutex);
    Impl& chip = *impl_;
    chip.catch_up(now);
    Port* p = chip.port_for_endpoint(endpoint, false);
    if (!p) return {UsbStatus::stall, 0};
    // The chip takes a packet only when all of it fits.
    std::size_t taken = 0;
    while (taken < bytes.size()) {
        const std::size_t packet = std::min(kPacketSize, bytes.size() - taken);
        if (p->tx.free_space() < packet) break;
        p->tx.write(bytes.subspan(taken, packet), chip.now);
        taken += packet;
    }
    p->out_refused = taken < bytes.size();
    p->refused_packet = std::min(kPacketSize, bytes.size() - taken);
    chip.catch_up(chip.now);
    if (taken == 0 && !bytes.empty()) return {UsbStatus::pending, 0};
    return {UsbStatus::ok, taken};
}

BulkResult FtdiChip::poll(std::uint8_t endpoint, std::span<std::uint8_t> buffer, Ticks now) {
    std::lock_guard lock(impl_->mutex);
    Impl& chip = *impl_;
    chip.catch_up(now);
    Port* found = chip.port_for_endpoint(endpoint, true);
    if (!found) return {UsbStatus::stall, 0};
    Port& p = *found;
    if (buffer.size() < 2) return {UsbStatus::babble, 0};
    if (!p.armed || p.armed_length != buffer.size()) {
        p.armed = true;
        p.armed_length = buffer.size();
        p.ready_told = false;
        chip.fill_transfer(p, chip.now);
        if (chip.now >= p.latency_expiry() || p.flush_due()) chip.end_transfer(p, chip.now);
    }
    if (!chip.transfer_complete(p) && p.transfer.size() < buffer.size()) return {UsbStatus::pending, 0};
    // Whole packets that fit; gathered for a larger buffer the rest opens the next transfer.
    std::size_t n = p.transfer.size();
    if (n > buffer.size()) {
        n = buffer.size() / kPacketSize * kPacketSize;
        if (n == 0) return {UsbStatus::babble, 0};
    }
    std::memcpy(buffer.data(), p.transfer.data(), n);
    p.transfer.erase(p.transfer.begin(), p.transfer.begin() + static_cast<std::ptrdiff_t>(n));
    p.armed = false;
    return {UsbStatus::ok, n};
}

void FtdiChip::cancel(std::uint8_t endpoint, Ticks now) {
    std::lock_guard lock(impl_->mutex);
    impl_->catch_up(now);
    for (auto& p : impl_->ports) {
        if (in_endpoint(p.number) == endpoint) p.armed = false;
        if (out_endpoint(p.number) == endpoint) p.out_refused = false;
    }
}

void FtdiChip::port_reset(Ticks now) {
    std::lock_guard lock(impl_->mutex);
    impl_->catch_up(now);
    impl_->standard.clear_halts();
    for (auto& p : impl_->ports) p.armed = p.out_refused = false;
}

Ticks FtdiChip::next_deadline() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->next_deadline();
}

void FtdiChip::advance(Ticks now) {
    std::lock_guard lock(impl_->mutex);
    impl_->catch_up(now);
}

bool FtdiChip::paced() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->ports.empty() ? impl_->config.paced : impl_->ports.front().tx.paced();
}

void FtdiChip::set_change_callback(ChangeCallback callback) {
    std::lock_guard lock(impl_->mutex);
    impl_->change_callback = std::move(callback);
    for (auto& p : impl_->ports) p.inbox->set_notify(impl_->change_callback);
}

std::size_t FtdiChip::port_count() const { return impl_->ports.size(); }

void FtdiChip::attach(std::size_t port, std::shared_ptr<FarEnd> far_end, Ticks now) {
    std::lock_guard lock(impl_->mutex);
    Impl& chip = *impl_;
    if (port >= chip.ports.size()) throw std::out_of_range("no such port");
    chip.catch_up(now);
    Port& p = chip.ports[port];
    if (p.far_end) p.far_end->disconnect(chip.now);
    // What was still on its way from the old far end is lost with it.
    p.inbox->clear();
    p.far_end = std::move(far_end);
    p.looped = dynamic_cast<LoopbackPlug*>(p.far_end.get()) != nullptr;
    if (p.far_end) {
        p.far_end->connect(p.inbox, chip.now);
        p.far_end->outputs_changed(p.outputs, chip.now);
        p.far_end->format_changed(p.format, chip.now);
    } else {
        p.inbox->push_modem(ModemInputs{}, chip.now);
    }
    chip.catch_up(chip.now);
}

void FtdiChip::set_paced(bool paced) {
    std::lock_guard lock(impl_->mutex);
    for (auto& p : impl_->ports) p.tx.set_paced(paced);
}

FtdiChip::PortState FtdiChip::port_state(std::size_t port) const {
    std::lock_guard lock(impl_->mutex);
    const Impl& chip = *impl_;
    if (port >= chip.ports.size()) throw std::out_of_range("no such port");
    const Port& p = chip.ports[port];
    PortState s;
    s.type = p.type;
    s.format = p.format;
    s.break_on = (p.data_word & kDataBreak) != 0;
    s.flow_mode = p.flow;
    s.xon = p.xon;
    s.xoff = p.xoff;
    s.dtr = p.dtr;
    s.rts = p.rts;
    s.outputs = p.outputs;
    s.inputs = chip.effective_inputs(p);
    s.latency_ms = p.latency_ms;
    s.event_char = p.event_char;
    s.error_char = p.error_char;
    s.rx_level = p.rx.size();
    s.tx_level = p.tx.queued();
    s.receive_throttled = p.throttled;
    s.modem_status = chip.modem_status(p);
    s.line_status = chip.line_status(p, 0);
    return s;
}

const FtdiConfig& FtdiChip::config() const { return impl_->config; }

bool FtdiChip::identity_from_eeprom() const { return impl_->identity_from_eeprom; }

std::vector<std::uint16_t> FtdiChip::eeprom() const {
    std::lock_guard lock(impl_->mutex);
    return {impl_->eeprom.begin(), impl_->eeprom.end()};
}

} // namespace hvsim::devices
