// A machine for the benches and the reliability tests: a fresh folder, the build's driver package
// installed, adapters plugged and their COM ports opened as a serial application opens them.
#pragma once

#include <windows.h>
#include <ntddser.h>

#include <hvsim/machine.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace hvbench {

class BenchMachine {
public:
    // `name` names the folder (under the system's temporary folder); it is removed again at the end.
    BenchMachine(const std::string& name, hvsim::ClockMode clock);
    ~BenchMachine();
    BenchMachine(const BenchMachine&) = delete;
    BenchMachine& operator=(const BenchMachine&) = delete;

    // Plugs an adapter and returns its COM port names in interface order once each has started
    // (empty when a port did not appear); *id receives the adapter's ID.
    std::vector<std::u16string> plug(const std::string& spec, std::string* id = nullptr);
    void unplug(const std::string& id);
    hvsim::Machine& machine() { return *machine_; }

private:
    std::filesystem::path root_;
    std::unique_ptr<hvsim::Machine> machine_;
};

// \\.\<name> opened for overlapped I/O, or INVALID_HANDLE_VALUE.
HANDLE open_port(const std::u16string& name);

// 921600 (or `baud`) baud, 8N1, RTS/CTS handshake, the given read and write total timeouts
// (0: none); false when the port refused a setting.
bool set_up_port(HANDLE port, DWORD baud, DWORD read_total_ms, DWORD write_total_ms);

// An overlapped request with its own event.
struct Request {
    OVERLAPPED overlapped{};
    Request() { overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Request() { CloseHandle(overlapped.hEvent); }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    bool done() const { return HasOverlappedIoCompleted(&overlapped); }
    LONG status() const { return static_cast<LONG>(static_cast<ULONG>(overlapped.Internal)); }
    ULONG_PTR information() const { return overlapped.InternalHigh; }
    bool wait(DWORD milliseconds = INFINITE) { return WaitForSingleObject(overlapped.hEvent, milliseconds) == WAIT_OBJECT_0; }
};

// A control request on an overlapped handle, waited for; returns its status.
LONG control(HANDLE port, ULONG code, const void* input, DWORD input_length, void* output = nullptr,
             DWORD output_length = 0, ULONG_PTR* information = nullptr);

// The machine's clock in seconds.
double machine_seconds();

} // namespace hvbench
