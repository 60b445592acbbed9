// What kernel components ask of a COM port, not through a handle: the serial WMI blocks, which
// answer whether or not the port is open, and the internal serial codes that save and restore its
// basic settings.
#include "comport_fixture.h"

#include "comport_pnp.h"
#include "hvserialioctl.h"

#include <cstring>

namespace comport_test {
namespace {

using Bytes = std::vector<UCHAR>;
constexpr UCHAR kUntouched = 0xCC;

// {A0EC11A8-B16C-11D1-BD98-00A0C906BE2D} and its siblings: the serial WMI blocks.
constexpr GUID kPortNameBlock = {0xA0EC11A8, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
constexpr GUID kCommInfoBlock = {0xEDB16A62, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
constexpr GUID kHardwareBlock = {0x270B9B86, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
constexpr GUID kPortSettingsBlock = {0x5B9E03F7, 0xD26C, 0x4A81, {0x9C, 0x47, 0xE0, 0x3A, 0x8F, 0x21, 0xB5, 0xD6}};

// The port settings block's duplex-mode bits 0 and 1, after its 17 values and three flow bytes.
constexpr size_t kDuplexBit0 = 71, kDuplexBit1 = 72;

ULONG ulong_at(const std::vector<unsigned char>& data, size_t offset) {
    ULONG value = 0xDEADBEEF;
    if (offset + sizeof value <= data.size()) std::memcpy(&value, data.data() + offset, sizeof value);
    return value;
}

class ComPortWmi : public ComPortTest {};

TEST_F(ComPortWmi, ThePortAnswersTheSerialBlocks) {
    std::vector<Port> found = ports(plug("ftdi:wire=loopback"));
    ASSERT_EQ(1u, found.size());
    const Port& port = found[0];

    // The name block: a byte count, then the name without terminator.
    WmiBlock name = query_wmi(port.instance_id, kPortNameBlock);
    ASSERT_EQ(0, name.status);
    ASSERT_EQ(2 + port.name.size() * 2, name.data.size());
    EXPECT_EQ(port.name.size() * 2, static_cast<size_t>(name.data[0] | name.data[1] << 8));
    EXPECT_EQ(0, std::memcmp(name.data.data() + 2, port.name.data(), port.name.size() * 2));

    // The hardware block answers while no handle has the port open.
    WmiBlock hardware = query_wmi(port.instance_id, kHardwareBlock);
    EXPECT_EQ(0, hardware.status);
    EXPECT_EQ(40u, hardware.data.size());

    WmiBlock settings = query_wmi(port.instance_id, kPortSettingsBlock);
    ASSERT_EQ(0, settings.status);
    ASSERT_EQ(99u, settings.data.size());
    EXPECT_EQ(0u, ulong_at(settings.data, 0));      // RS-232
    EXPECT_EQ(921600u, ulong_at(settings.data, 4)); // MaxBaudRate
    EXPECT_EQ(0, settings.data[kDuplexBit0]) << "an RS-232 port has no duplex modes";
    EXPECT_EQ(0, settings.data[kDuplexBit1]);

    // Mark parity reads as 4 in the WMI order, where space is 3.
    HANDLE handle = open(port.name);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    SERIAL_BAUD_RATE baud{19200};
    ASSERT_EQ(kStatusSuccess, control(handle, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud).status);
    SERIAL_LINE_CONTROL line{STOP_BIT_1, MARK_PARITY, 7};
    ASSERT_EQ(kStatusSuccess, control(handle, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line).status);
    WmiBlock comm = query_wmi(port.instance_id, kCommInfoBlock);
    ASSERT_EQ(0, comm.status);
    ASSERT_EQ(64u, comm.data.size());
    EXPECT_EQ(19200u, ulong_at(comm.data, 0));
    EXPECT_EQ(7u, ulong_at(comm.data, 4));
    EXPECT_EQ(4u, ulong_at(comm.data, 8));
    EXPECT_EQ(1, comm.data[12]); // parity check on
    CloseHandle(handle);
}

// An RS-422/485 port's first start fits its settings to the port: RS-422/485, duplex mode 1.
// The bus settings say which ports are RS-422/485; they are in place before the adapter first
// arrives.
TEST_F(ComPortWmi, AnRs485PortStartsInDuplexModeOneAndTakesAnotherMode) {
    const std::u16string bus_settings =
        u"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_7A5C&PID_1001\\HVT485\\Device Parameters\\UI1";
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, bus_settings.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    DWORD port_type = 1; // port 1
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"PortType", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port_type),
                                            sizeof port_type));
    RegCloseKey(key);
    std::vector<Port> found = ports(plug("ftdi:serial=HVT485,type=rs485,wire=loopback"));
    ASSERT_EQ(1u, found.size());
    WmiBlock settings = query_wmi(found[0].instance_id, kPortSettingsBlock);
    ASSERT_EQ(0, settings.status);
    EXPECT_EQ(1u, ulong_at(settings.data, 0));  // PortType
    EXPECT_EQ(1u, ulong_at(settings.data, 24)); // DuplexMode
    // The port reports the modes its RS-422/485 port takes: full duplex and half duplex.
    EXPECT_EQ(1, settings.data[kDuplexBit0]);
    EXPECT_EQ(1, settings.data[kDuplexBit1]);

    HANDLE handle = open(found[0].name);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    HVSERIAL_DUPLEX_MODE duplex{};
    ASSERT_EQ(kStatusSuccess, control(handle, IOCTL_HVSERIAL_GET_DUPLEX_MODE, nullptr, 0, &duplex, sizeof duplex).status);
    EXPECT_EQ(1u, duplex.DuplexMode);
    HVSERIAL_DUPLEX_MODE two{2, 1, {}};
    EXPECT_EQ(kStatusSuccess, control(handle, IOCTL_HVSERIAL_SET_DUPLEX_MODE, &two, sizeof two).status);
    ASSERT_EQ(kStatusSuccess, control(handle, IOCTL_HVSERIAL_GET_DUPLEX_MODE, nullptr, 0, &duplex, sizeof duplex).status);
    EXPECT_EQ(2u, duplex.DuplexMode);
    EXPECT_EQ(1, duplex.CtsTrue);
    SERIAL_COMMPROP properties{};
    ASSERT_EQ(kStatusSuccess, control(handle, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &properties, sizeof properties).status);
    EXPECT_EQ(3u, properties.ProvSubType); // RS-422
    CloseHandle(handle);
}

Bytes to_bytes(const std::vector<unsigned char>& data) { return Bytes(data.begin(), data.end()); }

// The internal serial codes come from kernel components, not through a handle: the port serves
// them opened or not, with the same buffer checks.
class ComPortInternalCodes : public ComPortTest {};

TEST_F(ComPortInternalCodes, SaveAndRestoreTheBasicSettings) {
    std::vector<Port> found = ports(plug("ftdi:wire=loopback"));
    ASSERT_EQ(1u, found.size());
    const std::u16string& port = found[0].instance_id;
    HANDLE handle = open(found[0].name);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    SERIAL_TIMEOUTS timeouts{5, 6, 7, 8, 9};
    ASSERT_EQ(kStatusSuccess, control(handle, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts).status);

    InternalResult shorter = internal_control(port, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, 43);
    EXPECT_EQ(kStatusBufferTooSmall, shorter.status);
    EXPECT_EQ(Bytes(43, kUntouched), to_bytes(shorter.output));

    InternalResult saved = internal_control(port, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, sizeof(SERIAL_BASIC_SETTINGS));
    ASSERT_EQ(kStatusSuccess, saved.status);
    EXPECT_EQ(sizeof(SERIAL_BASIC_SETTINGS), saved.information);
    SERIAL_BASIC_SETTINGS basic{};
    std::memcpy(&basic, saved.output.data(), sizeof basic);
    EXPECT_EQ(0, std::memcmp(&basic.Timeouts, &timeouts, sizeof timeouts));
    // The basic settings are in force: no timeouts.
    SERIAL_TIMEOUTS now{};
    ASSERT_EQ(kStatusSuccess, control(handle, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &now, sizeof now).status);
    EXPECT_EQ(0u, now.ReadIntervalTimeout + now.ReadTotalTimeoutConstant + now.WriteTotalTimeoutConstant);

    EXPECT_EQ(kStatusBufferTooSmall,
              internal_control(port, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS,
                               std::vector<unsigned char>(saved.output.begin(), saved.output.end() - 1), 0)
                  .status);
    EXPECT_EQ(kStatusSuccess, internal_control(port, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, saved.output, 0).status);
    ASSERT_EQ(kStatusSuccess, control(handle, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &now, sizeof now).status);
    EXPECT_EQ(0, std::memcmp(&now, &timeouts, sizeof timeouts));

    // Wait-wake is not offered; an unknown internal code is not served.
    std::vector<unsigned char> unused(4, 0);
    EXPECT_EQ(kStatusNotSupported, internal_control(port, IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, unused, 0).status);
    EXPECT_EQ(kStatusSuccess, internal_control(port, IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, unused, 0).status);
    EXPECT_EQ(kStatusNotSupported,
              internal_control(port, CTL_CODE(FILE_DEVICE_SERIAL_PORT, 9, METHOD_BUFFERED, FILE_ANY_ACCESS), unused, 0)
                  .status);
    CloseHandle(handle);
}

} // namespace
} // namespace comport_test
