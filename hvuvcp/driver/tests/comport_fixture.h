// A fresh machine with the driver package installed from the build's package folder, into which
// the tests plug emulated adapters and whose COM ports they use as a serial application does,
// through the standard control codes.
#pragma once

#include <windows.h>
#include <ntddser.h>

#include <gtest/gtest.h>
#include <hvsim/machine.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../../../tests/support/folder_test.h"
#include "../../../tests/support/pending.h"

namespace comport_test {

constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusPending = 0x00000103;
constexpr LONG kStatusUnsuccessful = static_cast<LONG>(0xC0000001);
constexpr LONG kStatusInvalidParameter = static_cast<LONG>(0xC000000D);
constexpr LONG kStatusInvalidDeviceRequest = static_cast<LONG>(0xC0000010);
constexpr LONG kStatusBufferTooSmall = static_cast<LONG>(0xC0000023);
constexpr LONG kStatusNotSupported = static_cast<LONG>(0xC00000BB);
constexpr LONG kStatusCancelled = static_cast<LONG>(0xC0000120);
constexpr LONG kStatusDeviceRemoved = static_cast<LONG>(0xC00002B6);

using hvtest::Pending;

// What a control request ended with.
struct ControlResult {
    LONG status = kStatusPending;
    ULONG_PTR information = 0;
};

// One serial port of a plugged adapter.
struct Port {
    std::u16string instance_id;
    std::u16string name; // "COM3"
};

class ComPortTest : public hvtest::FolderTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs an adapter (a spec of hvsim's `plug`) and waits until each of its ports has been
    // installed and its start has ended; returns the adapter's ID.
    std::string plug(const std::string& spec = "ftdi");
    void unplug(const std::string& id);
    // The serial ports of a plugged adapter, in interface order.
    std::vector<Port> ports(const std::string& id);
    // Expects no DOS link, SERIALCOMM value or COM-port interface left of the ports, nor of any
    // other port of the machine.
    static void expect_gone(const std::vector<Port>& ports);

    // Opens \\.\<name> for overlapped I/O; INVALID_HANDLE_VALUE with the error in *error.
    static HANDLE open(const std::u16string& name, DWORD* error = nullptr);
    // A control request on the handle that must complete at once.
    static ControlResult control(HANDLE port, ULONG code, const void* input, DWORD input_length,
                                 void* output = nullptr, DWORD output_length = 0);

    // The port's hardware-key value PortName, or "<none>".
    static std::u16string port_name_value(const std::u16string& instance_id);
    // The target of the DOS device name, or "<none>".
    static std::u16string dos_target(const std::u16string& name);
    // The SERIALCOMM values whose data is the name (their value names).
    static std::vector<std::u16string> serialcomm_entries(const std::u16string& name);

    std::unique_ptr<hvsim::Machine> machine_;
};

} // namespace comport_test
