// The emulated FTDI USB-serial chip: full speed, 64-byte bulk packets, a 3 MHz baud clock, one,
// two or four serial ports (one USB interface each), any VID, PID and bcdDevice.
#pragma once

#include <hvsim/devices/line.h>
#include <hvsim/devices/usb_device_model.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hvsim::devices {

enum class PortType : std::uint8_t { rs232, rs485 };

struct FtdiConfig {
    std::uint16_t vendor_id = 0x7A5C;
    std::uint16_t product_id = 0x1001;
    std::uint16_t bcd_device = 0x0600;
    int interfaces = 1;               // 1, 2 or 4
    std::vector<PortType> port_types; // one per interface; missing ones are RS-232
    std::u16string manufacturer = u"Halvorn";
    std::u16string product = u"Tarrow USB Serial Adapter";
    std::u16string serial = u"HV000001";
    std::size_t rx_fifo_size = 256; // data from the line not yet sent to the host
    std::size_t tx_fifo_size = 128; // data from the host not yet on the line (at least 64)
    bool paced = true;
};

class FtdiChip final : public UsbSerialDevice {
public:
    static constexpr std::string_view kModelName = "ftdi";
    static constexpr std::size_t kPacketSize = 64;
    static constexpr std::size_t kEepromWords = 128;

    static bool valid_interface_count(int interfaces);
    // The product family's defaults for a chip with this many interfaces.
    static FtdiConfig default_config(int interfaces);
    // The rate that a baud request programs: 3 MHz over the 14-bit divisor plus the sub-integer
    // fraction whose code is bits 14-15 of the value and code_high_bit.
    static double baud_rate(std::uint16_t value, unsigned code_high_bit);

    // The checksum that the EEPROM's last word must hold for the chip to use the image.
    static std::uint16_t eeprom_checksum(std::span<const std::uint16_t> words);

    static std::uint8_t in_endpoint(std::size_t port) { return static_cast<std::uint8_t>(0x81 + 2 * port); }
    static std::uint8_t out_endpoint(std::size_t port) { return static_cast<std::uint8_t>(0x02 + 2 * port); }

    // An EEPROM image with a valid layout and checksum supplies the identity (VID, PID, bcdDevice,
    // strings, port types) in place of the config's, as a chip reads its EEPROM at power-up.
    explicit FtdiChip(FtdiConfig config, std::span<const std::uint16_t> eeprom = {});
    ~FtdiChip() override;
    FtdiChip(const FtdiChip&) = delete;
    FtdiChip& operator=(const FtdiChip&) = delete;

    const UsbDescriptorSet& descriptors() const override;
    ControlResult control(const SetupPacket& setup, std::span<std::uint8_t> data, Ticks now) override;
    BulkResult offer(std::uint8_t endpoint, std::span<const std::uint8_t> bytes, Ticks now) override;
    BulkResult poll(std::uint8_t endpoint, std::span<std::uint8_t> buffer, Ticks now) override;
    void cancel(std::uint8_t endpoint, Ticks now) override;
    void port_reset(Ticks now) override;
    Ticks next_deadline() const override;
    void advance(Ticks now) override;
    void set_change_callback(ChangeCallback callback) override;
    bool paced() const override;

    std::size_t port_count() const override;
    void attach(std::size_t port, std::shared_ptr<FarEnd> far_end, Ticks now) override;
    void set_paced(bool paced) override;

    // A port as the chip has it now, for the machine and for tests.
    struct PortState {
        PortType type = PortType::rs232;
        LineFormat format;
        bool break_on = false;
        std::uint8_t flow_mode = 0; // 0x01 RTS/CTS, 0x02 DTR/DSR, 0x04 XON/XOFF
        std::uint8_t xon = 0x11;
        std::uint8_t xoff = 0x13;
        bool dtr = false; // as the host set them
        bool rts = false;
        ModemOutputs outputs; // on the connector
        ModemInputs inputs;   // as the chip sees them
        std::uint8_t latency_ms = 16;
        std::uint16_t event_char = 0;
        std::uint16_t error_char = 0;
        std::size_t rx_level = 0;
        std::size_t tx_level = 0;
        bool receive_throttled = false; // receive FIFO nearly full
        std::uint8_t modem_status = 0;
        std::uint8_t line_status = 0;
    };
    PortState port_state(std::size_t port) const;

    const FtdiConfig& config() const; // the identity in effect
    bool identity_from_eeprom() const;
    std::vector<std::uint16_t> eeprom() const;

    struct Impl; // the chip's state and handlers, in ftdi_chip.cpp

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace hvsim::devices
