// The machine's serial commands: `hvsim demo` (the package installed and used end to end) and
// `hvsim terminal COMn` (the host's standard input and output on a COM port), and the COM ports
// of the machine that both look for.
#pragma once

#include <hvsim/machine.h>

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hvsim {

// A port device that the Ports class installer has given a COM name.
struct ComPort {
    std::u16string name;        // "COM3"
    std::u16string instance_id; // of the port's device node
    std::u16string link_target; // what "\??\COM3" names; empty while the port driver has made no link
    std::string usb_id;         // the adapter it belongs to ("usb1"), empty when none
    size_t interface = 0;       // the adapter's interface it serves
    std::string pty;            // the far end's pseudo-terminal, when the wire is a pty
};

std::vector<ComPort> com_ports(const Machine& machine);

// The instance ID of the device that `name` stands for: a COM name (in any case), else an
// instance ID of the device tree; nothing when neither.
std::optional<std::u16string> device_named(const Machine& machine, std::u16string_view name);

// Whether ports of the adapter `id` are still on their way once the PnP manager is quiet: fewer
// than `interfaces` of its COM ports have their links and a port device below it has not
// started yet (its installation runs on a worker of the platform, after its bus driver reports it).
bool ports_pending(const Machine& machine, const std::string& id, size_t interfaces);

// Why an adapter's interface shows no COM port: what the device tree has below it.
std::string explain_missing_port(const std::u16string& interface_instance);

struct DemoOptions {
    std::filesystem::path package; // the folder install-package takes
    std::string adapter = "ftdi:interfaces=2,wire=loopback";
    size_t bytes = 64 * 1024; // sent and read back on each port
    DWORD baud = 921600;
};

// One COM port used as a serial application uses it: opened, set to the options' baud rate, 8N1
// and RTS/CTS handshake with timeouts, sent a pattern of `bytes` that must come back unchanged
// (the far end loops it back), closed. Tells what it did on `out`; returns what went wrong, or
// nothing. `index` varies the pattern from port to port.
std::optional<std::string> serial_exchange(const std::u16string& port, size_t index, const DemoOptions& options,
                                           std::ostream& out);

// The package folder as install-package takes it (absolute, so that the INF files are read from
// the host's folder).
std::filesystem::path installable_package(const std::filesystem::path& package);

// Waits after a plug until each of the adapter's `interfaces` has a COM port with its link, or the
// tree settles without; returns the COM ports found, in interface order (empty names where none).
std::vector<ComPort> wait_for_com_ports(const Machine& machine, const std::string& id, size_t interfaces);

// Runs the demo on the booted machine, telling each step on `out`; returns the exit status of
// the command: 0 when every step passed, else 1 after a line that names the failed step.
int run_demo(Machine& machine, const DemoOptions& options, std::ostream& out);

// The package folder beside this hvsim: the kit's package/, else the build tree's.
std::filesystem::path default_package_folder();

inline constexpr const char* kDefaultTerminalMode = "baud=115200 parity=n data=8 stop=1";

// Copies the host's standard input to the port and the port to standard output until the input
// ends (and the port has been quiet a moment) or SIGINT; `mode` is a device-control string
// ("baud=115200 parity=n data=8 stop=1"). Returns the exit status; messages go to `messages`.
int run_terminal(Machine& machine, const std::string& port, const std::string& mode, std::ostream& messages);

// The terminal's work on an open machine, in the calling thread's process, between two host file
// descriptors: ends with the input (once what was written has come back or the line has been
// quiet long enough for it) or SIGINT. `banner`, when given, is told on `messages` once the port
// is set up.
DWORD terminal_session(const std::u16string& port, const std::string& mode, int input_fd, int output_fd,
                       std::ostream& messages, const std::string& banner = {});

// Stable names for the pseudo-terminals of the machine's pty wires: <root>/pty/COMn, a link to the
// far end of COMn's wire, for as long as the object lives (the pty itself changes at every boot).
class PtyLinks {
public:
    explicit PtyLinks(const Machine& machine);
    ~PtyLinks();
    PtyLinks(const PtyLinks&) = delete;
    PtyLinks& operator=(const PtyLinks&) = delete;

    struct Link {
        std::filesystem::path path; // <root>/pty/COM3
        std::string target;         // /dev/pts/7
        ComPort port;
    };
    const std::vector<Link>& links() const { return links_; }

private:
    std::vector<Link> links_;
};

} // namespace hvsim
