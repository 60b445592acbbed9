// `hvsim demo`: the package installed on the machine and used as a serial application uses it:
// an adapter with two looped-back ports is plugged, each COM port is opened, set up and sent
// data that must come back unchanged, and the ports go when the adapter is pulled out.
#include <windows.h>

#include <hvsim/format.h>
#include <hvsim/user_hooks.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <ostream>
#include <sstream>
#include <vector>

#include "machine_internal.h"
#include "serial_tools.h"

namespace hvsim {
namespace {

std::string narrow(std::u16string_view text) { return text::to_utf8(text); }

std::string indent(const std::string& text) {
    std::string out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) out += "    " + line + "\n";
    return out;
}

std::string error_text(const std::string& call) { return call + " failed: " + windows_error_text(GetLastError()); }

// Closes a handle however the step ends.
struct HandleCloser {
    HANDLE handle;
    ~HandleCloser() {
        if (handle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

double machine_seconds() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// What a port is sent: a pattern that differs from port to port and never repeats within 255
// bytes, so that a lost, doubled or foreign byte shows.
std::vector<BYTE> pattern(size_t bytes, size_t port) {
    std::vector<BYTE> data(bytes);
    for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<BYTE>(i * 7 + (i >> 8) * 13 + port * 101);
    return data;
}

} // namespace

std::optional<std::string> serial_exchange(const std::u16string& port, size_t index, const DemoOptions& options,
                                           std::ostream& out) {
    const std::string name = narrow(port);
    const std::u16string path = u"\\\\.\\" + port;
    HandleCloser file{CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr)};
    if (file.handle == INVALID_HANDLE_VALUE) return error_text("CreateFileW(\\\\.\\" + name + ")");
    const HANDLE h = file.handle;
    if (!SetupComm(h, 16384, 16384)) return error_text("SetupComm");

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) return error_text("GetCommState");
    dcb.BaudRate = options.baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = dcb.fInX = 0;
    dcb.fNull = dcb.fErrorChar = dcb.fAbortOnError = 0;
    if (!SetCommState(h, &dcb)) return error_text("SetCommState");
    DCB now{};
    if (!GetCommState(h, &now)) return error_text("GetCommState");
    if (now.BaudRate != dcb.BaudRate || now.ByteSize != 8 || now.Parity != NOPARITY || now.StopBits != ONESTOPBIT ||
        !now.fOutxCtsFlow || now.fRtsControl != RTS_CONTROL_HANDSHAKE)
        return "the port reports " + std::to_string(now.BaudRate) + " baud, " + std::to_string(now.ByteSize) +
               " data bits, parity " + std::to_string(now.Parity) + ", stop bits " + std::to_string(now.StopBits) +
               " after SetCommState";

    // Long enough for the data at the line's rate twice over, plus five seconds.
    const DWORD line_ms = static_cast<DWORD>(options.bytes * 10 * 1000 / std::max<DWORD>(options.baud, 1));
    const DWORD timeout_ms = 2 * line_ms + 5000;
    COMMTIMEOUTS timeouts{0, 0, timeout_ms, 0, timeout_ms};
    if (!SetCommTimeouts(h, &timeouts)) return error_text("SetCommTimeouts");
    if (!PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) return error_text("PurgeComm");
    out << "    " << name << ": opened; " << options.baud << " baud, 8 data bits, no parity, 1 stop bit, "
        << "RTS/CTS handshake; reads and writes time out after " << timeout_ms << " ms\n";

    const std::vector<BYTE> sent = pattern(options.bytes, index);
    std::vector<BYTE> received(options.bytes);
    HandleCloser read_event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HandleCloser write_event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED read{}, write{};
    read.hEvent = read_event.handle;
    write.hEvent = write_event.handle;
    const DWORD length = static_cast<DWORD>(options.bytes);
    const double start = machine_seconds();
    if (!ReadFile(h, received.data(), length, nullptr, &read) && GetLastError() != ERROR_IO_PENDING)
        return error_text("ReadFile");
    DWORD written = 0, got = 0;
    if (!WriteFile(h, sent.data(), length, nullptr, &write) && GetLastError() != ERROR_IO_PENDING) {
        const std::string why = error_text("WriteFile");
        CancelIo(h);
        GetOverlappedResult(h, &read, &got, TRUE);
        return why;
    }
    const BOOL wrote = GetOverlappedResult(h, &write, &written, TRUE);
    const std::string write_error = wrote ? "" : error_text("WriteFile");
    if (!wrote) CancelIo(h);
    if (!GetOverlappedResult(h, &read, &got, TRUE) && wrote) return error_text("ReadFile");
    const double seconds = machine_seconds() - start;
    if (!wrote) return write_error;
    if (written != length)
        return "wrote only " + std::to_string(written) + " of " + std::to_string(length) + " bytes within " +
               std::to_string(timeout_ms) + " ms";
    if (got != length)
        return "read back only " + std::to_string(got) + " of " + std::to_string(length) + " bytes within " +
               std::to_string(timeout_ms) + " ms";
    auto mismatch = std::mismatch(sent.begin(), sent.end(), received.begin());
    if (mismatch.first != sent.end()) {
        char text[96];
        std::snprintf(text, sizeof text, "byte %zu came back as 0x%02X, sent as 0x%02X",
                      static_cast<size_t>(mismatch.first - sent.begin()), *mismatch.second, *mismatch.first);
        return std::string(text);
    }
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(h, &errors, &status)) return error_text("ClearCommError");
    if (errors) return "the port reports line errors (ClearCommError: 0x" + std::to_string(errors) + ")";

    char figures[160];
    std::snprintf(figures, sizeof figures,
                  "wrote %u bytes and read them back in %.3f s: %.1f KB/s each way (the line carries %.1f KB/s)",
                  static_cast<unsigned>(length), seconds, seconds > 0 ? length / seconds / 1000.0 : 0.0,
                  options.baud / 10.0 / 1000.0);
    out << "    " << name << ": " << figures << "; every byte matches\n";
    if (!CloseHandle(file.handle)) return error_text("CloseHandle");
    file.handle = nullptr;
    out << "    " << name << ": closed\n";
    return std::nullopt;
}

namespace {

// Runs the exchange in a process of its own, as a program on the machine would.
std::optional<std::string> exchange_in_process(const ComPort& port, size_t index, const DemoOptions& options,
                                               std::ostream& out) {
    user::ProcessOptions process_options;
    process_options.image_path = u"C:\\Windows\\System32\\hvdemo.exe";
    process_options.command_line = u"hvdemo.exe " + port.name;
    auto process = user::Process::create(std::move(process_options));
    std::optional<std::string> failure;
    process->start([&]() -> DWORD {
        failure = serial_exchange(port.name, index, options, out);
        return failure ? 1 : 0;
    });
    process->wait();
    return failure;
}

} // namespace

std::filesystem::path installable_package(const std::filesystem::path& given) {
    std::error_code error;
    // The INF reader takes a relative path for one on the machine's drive.
    if (!std::filesystem::is_directory(given, error)) return given; // install_package says what is wrong
    return std::filesystem::absolute(given, error);
}

std::vector<ComPort> wait_for_com_ports(const Machine& machine, const std::string& id, size_t interfaces) {
    for (int round = 0; round < 100; ++round) {
        user::wait_for_device_installations();
        if (!ports_pending(machine, id, interfaces)) break;
    }
    std::vector<ComPort> ports(interfaces);
    for (const auto& port : com_ports(machine))
        if (port.usb_id == id && port.interface < ports.size() && !port.link_target.empty())
            ports[port.interface] = port;
    return ports;
}

namespace {

bool link_exists(const std::u16string& name) {
    WCHAR target[MAX_PATH];
    return QueryDosDeviceW(name.c_str(), target, MAX_PATH) != 0;
}

} // namespace

namespace {

constexpr const char16_t kSetupProgram[] = u"Tarrow Setup.exe";

// Installs the package as a user does: its setup program runs silently from the package folder
// offered as the medium D:. A package without a setup program is installed as install-package
// does.
std::optional<std::string> run_setup(Machine& machine, const std::filesystem::path& medium, std::ostream& out) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(medium / text::to_utf8(kSetupProgram), error)) {
        out << indent(machine.install_package(medium));
        return std::nullopt;
    }
    machine.set_media(medium);
    RunOptions options;
    options.current_directory = u"D:\\";
    options.capture = true;
    const std::u16string program = std::u16string(u"D:\\") + kSetupProgram;
    out << "    medium D: = " << medium.string() << "\n    D:\\> " << narrow(program) << " /s\n";
    out.flush();
    ProgramRun run = machine.run_program(narrow(program), {u"/s"}, options);
    out << run.output;
    if (run.exit_code != 0)
        return narrow(program) + " /s exited with " + std::to_string(run.exit_code) + " (" +
               windows_error_text(run.exit_code) + ")";
    // Where each INF of the medium went in the store.
    auto contents = [](const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    for (const char* inf : {"HVUBUS.INF", "HVUSER.INF"}) {
        const std::string text = contents(medium / inf);
        std::string stored = "not in the INF store";
        for (const auto& entry : std::filesystem::directory_iterator(machine.inf_directory(), error))
            if (entry.path().extension() == ".inf" && contents(entry.path()) == text)
                stored = "C:\\Windows\\inf\\" + entry.path().filename().string();
        out << "    " << inf << ": " << stored << "\n";
    }
    return std::nullopt;
}

} // namespace

std::filesystem::path default_package_folder() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "package";
    const std::filesystem::path bin = self.parent_path();
    // The kit: KIT/bin/hvsim and KIT/package; the build tree: BUILD/platform/machine/hvsim and BUILD/package.
    for (const auto& candidate : {bin.parent_path() / "package", bin.parent_path().parent_path() / "package"})
        if (std::filesystem::is_directory(candidate, ec)) return candidate;
    return bin.parent_path() / "package";
}

int run_demo(Machine& machine, const DemoOptions& options, std::ostream& out) {
    int step = 0;
    std::string step_name;
    auto begin = [&](const std::string& name, const std::string& detail) {
        step_name = name;
        out << "[" << ++step << "] " << name << detail << "\n";
        out.flush();
    };
    auto fail = [&](const std::string& why) {
        out << "demo: step " << step << " (" << step_name << ") failed: " << why << "\n";
        out.flush();
        return 1;
    };

    begin("install the package", " from " + options.package.string());
    try {
        const std::filesystem::path medium = installable_package(options.package);
        if (auto failure = run_setup(machine, medium, out)) return fail(*failure);
    } catch (const MachineError& e) {
        return fail(e.what());
    }

    begin("plug an adapter", ": " + options.adapter);
    std::string id;
    try {
        id = machine.plug(options.adapter);
    } catch (const MachineError& e) {
        return fail(e.what());
    }
    UsbDeviceInfo adapter;
    for (const auto& d : machine.usb_devices())
        if (d.id == id) adapter = d;
    out << "    plugged in as " << id << ": " << adapter.spec << "\n";

    begin("the COM ports appear", "");
    // One port per interface; a single-interface device is its own interface.
    std::vector<std::u16string> interfaces = adapter.interfaces;
    if (interfaces.empty()) interfaces.push_back(adapter.instance_id);
    std::vector<ComPort> ports = wait_for_com_ports(machine, id, interfaces.size());
    out << indent(machine.device_tree_text());
    for (size_t i = 0; i < ports.size(); ++i) {
        if (ports[i].name.empty())
            return fail("no COM port appeared for interface " + std::to_string(i) + " of " + id + ": " +
                        explain_missing_port(interfaces[i]));
        out << "    " << narrow(ports[i].name) << ": interface " << i << " of " << id << ", device "
            << narrow(ports[i].instance_id) << ", \\\\.\\" << narrow(ports[i].name) << " -> "
            << narrow(ports[i].link_target) << "\n";
    }

    for (size_t i = 0; i < ports.size(); ++i) {
        begin("send and read back", " " + std::to_string(options.bytes) + " bytes on " + narrow(ports[i].name));
        if (auto failure = exchange_in_process(ports[i], i, options, out))
            return fail(narrow(ports[i].name) + ": " + *failure);
    }

    begin("unplug the adapter", " " + id);
    try {
        machine.unplug(id);
    } catch (const MachineError& e) {
        return fail(e.what());
    }
    const std::vector<ComPort> left = com_ports(machine);
    for (const auto& port : ports) {
        const bool node_left =
            std::any_of(left.begin(), left.end(), [&](const ComPort& p) { return p.instance_id == port.instance_id; });
        if (node_left || link_exists(port.name))
            return fail(narrow(port.name) + " is still there after the unplug" +
                        (node_left ? " (its device node stayed)" : " (\\\\.\\" + narrow(port.name) + " still opens)"));
        out << "    " << narrow(port.name) << ": gone\n";
    }
    out << "demo passed: " << ports.size() << " COM ports installed, used and removed\n";
    out.flush();
    return 0;
}

} // namespace hvsim
