// The hvsim command: one machine in a folder, and the commands that act on it. Every command is a
// row of kCommands, with its arguments, its help and its handler.
#include <hvsim/device_manager.h>
#include <hvsim/format.h>
#include <hvsim/machine.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "hvsim_command.h"
#include "machine_internal.h"
#include "run_command.h"
#include "serial_tools.h"

namespace hvsim::command {

Machine& Invocation::machine() {
    if (!machine_) {
        MachineOptions options;
        options.root = root_;
        options.clock = clock_;
        options.windows = windows_;
        options.exit_on_bug_check = true;
        machine_.emplace(options);
    }
    return *machine_;
}

void Invocation::shutdown() {
    if (!machine_) return;
    std::string failure;
    try {
        machine_->shutdown();
    } catch (const MachineError& e) {
        failure = e.what();
    }
    machine_.reset();
    if (!failure.empty()) throw MachineError(failure);
}

namespace {

std::u16string wide(const std::string& text) { return text::from_utf8(text); }

int add_driver(Invocation& in) {
    in.machine().add_driver(wide(in.args()[0]), in.args()[1]);
    std::printf("installed service %s (%s)\n", in.args()[0].c_str(),
                (in.machine().drivers_directory() / std::filesystem::path(in.args()[1]).filename()).c_str());
    return 0;
}

int add_root_device(Invocation& in) {
    std::u16string instance = in.machine().add_root_device(wide(in.args()[0]), wide(in.args()[1]));
    std::printf("created %s\n", text::to_utf8(instance).c_str());
    return 0;
}

int install_package(Invocation& in) {
    Machine& machine = in.machine();
    std::fputs(machine.install_package(installable_package(in.args()[0])).c_str(), stdout);
    return 0;
}

int usage_error(const std::string& message);

int run(Invocation& in) {
    try {
        return run_program_command(in.machine(), in.args());
    } catch (const UsageError& e) {
        return usage_error(e.what());
    }
}

int demo(Invocation& in) {
    DemoOptions options;
    options.package = in.args().empty() ? default_package_folder() : std::filesystem::path(in.args()[0]);
    Machine& machine = in.machine();
    std::fflush(stdout);
    return run_demo(machine, options, std::cout);
}

int terminal(Invocation& in) {
    Machine& machine = in.machine();
    std::fflush(stdout);
    return run_terminal(machine, in.args()[0], in.args().size() > 1 ? in.args()[1] : kDefaultTerminalMode, std::cerr);
}

// plug and unplug change the saved configuration only: no need to boot.
int plug(Invocation& in) {
    std::string id = add_saved_usb_device(in.root(), in.args()[0]);
    for (auto& [saved, spec] : saved_usb_devices(in.root()))
        if (saved == id) std::printf("%s = %s (present from the next boot)\n", id.c_str(), spec.c_str());
    return 0;
}

int unplug(Invocation& in) {
    remove_saved_usb_device(in.root(), in.args()[0]);
    std::printf("removed %s (gone from the next boot)\n", in.args()[0].c_str());
    return 0;
}

int help(Invocation& in);

constexpr Command kCommands[] = {
    {"add-driver", "SERVICE IMAGE", 2, 2, "install the kernel driver IMAGE as service SERVICE",
     "Copies IMAGE (a driver image: a shared object exporting DriverEntry) into the machine's\n"
     "C:\\Windows\\System32\\drivers and writes the service key of SERVICE (demand start). A service\n"
     "installed again gets the new image.\n",
     add_driver},
    {"add-root-device", "HWID SERVICE", 2, 2, "create a root-enumerated device bound to an installed service",
     "Creates a device with hardware ID HWID (ENUMERATOR\\NAME, e.g. ROOT\\MYDEVICE) whose driver is\n"
     "the installed service SERVICE; it starts at once and at every boot. Prints its instance ID.\n",
     add_root_device},
    {"install-package", "DIR", 1, 1, "install the driver package from the folder DIR",
     "Installs HVUBUS.INF and HVUSER.INF from DIR, as the setup program does: each goes into the\n"
     "INF store and its driver is installed on every present device it names; adapters plugged\n"
     "later are installed from the store. DIR must hold every file the INF files name; otherwise\n"
     "nothing changes.\n",
     install_package},
    {"run", "[OPTIONS] PROGRAM [ARGS...]", 1, SIZE_MAX, "boot, run PROGRAM with ARGS, shut down",
     "Runs PROGRAM (a program image: a shared object exporting wmain), given by its path on the\n"
     "machine (C:\\..., D:\\...) or as a host file, in a new process of the machine with the\n"
     "arguments ARGS; its standard output and error are hvsim's. When the program asked for a\n"
     "restart, the machine restarts once it has ended, carries out the moves and deletions left\n"
     "for the restart, and says so. The exit status is the program's exit code.\n"
     "Options:\n"
     "  --cwd DIR                  the program's current folder on the machine\n"
     "  --media DIR                the host folder DIR offered as the read-only drive D:\n"
     "  --as administrator|user|filtered\n"
     "                             the program's token (filtered: an administrator's token with\n"
     "                             the Administrators group for deny entries only)\n"
     "  --unattended               windows that nobody answers are left to the program (a silent\n"
     "                             run); otherwise they are cancelled, as a person closing them\n",
     run},
    {"devices", "", 0, 0, "print the device tree and the USB devices",
     "Prints every device node (instance ID, hardware IDs, service, state, problem) once the\n"
     "boot's installations have run, and the USB devices with their interfaces.\n",
     devices},
    {"ports", "", 0, 0, "list the COM ports and what they belong to",
     "Prints each COM port with its name as Device Manager shows it, its device, whether it can\n"
     "be opened, and the adapter and interface it belongs to (and the pseudo-terminal of a pty\n"
     "wire).\n",
     ports},
    {"status", "DEVICE", 1, 1, "print the state of one device",
     "DEVICE is an instance ID (as hvsim devices prints it) or a COM name (COM3).\n", status},
    {"enable", "DEVICE", 1, 1, "enable a disabled device and start it", "DEVICE as for status.\n", enable},
    {"disable", "DEVICE", 1, 1, "stop a device and keep it disabled",
     "DEVICE as for status. The device stays disabled at every boot until it is enabled; a driver\n"
     "that refuses the removal (an open port, say) keeps it running, and the command fails.\n",
     disable},
    {"restart", "DEVICE", 1, 1, "stop a device and start it again",
     "DEVICE as for status. The device's drivers are unloaded when nothing else uses them and\n"
     "loaded again.\n",
     restart},
    {"remove", "DEVICE", 1, 1, "remove a device from the device tree",
     "DEVICE as for status. A device that is still there comes back at the next rescan or boot.\n", remove},
    {"properties", "DEVICE [STEP...]", 1, SIZE_MAX,
     "show a device's property sheet, as Device Manager does, and use it", kPropertyStepsHelp, properties},
    {"rescan", "", 0, 0, "ask every bus for its devices again and install the new ones",
     "Finds devices that were removed while still present, and prints the device tree.\n", rescan},
    {"plug", "SPEC", 1, 1, "add a USB device to the machine, present from the next boot",
     "SPEC is ftdi[:key=value,...] with vid, pid, rev (hex), interfaces (1, 2 or 4), type (rs232\n"
     "or rs485) and wire (open, loopback, null-modem or pty), the last two for every port or one\n"
     "per port separated by '/', serial, paced (on or off). Prints the new device's ID (usb1,\n"
     "usb2...); it is saved in usb.txt and plugged in at every boot.\n"
     "Example: hvsim --root machine plug ftdi:interfaces=2,wire=loopback\n",
     plug},
    {"unplug", "ID", 1, 1, "remove the USB device ID (usb1, usb2...) from the machine",
     "Removes the device from usb.txt: it is gone from the next boot.\n", unplug},
    {"demo", "[PACKAGE-DIR]", 0, 1, "install the package, plug an adapter and use its COM ports",
     "Installs the package (from the kit's package folder unless PACKAGE-DIR is given), plugs an\n"
     "adapter with two looped-back ports, sends 64 KiB through each COM port and checks that it\n"
     "comes back, unplugs it. The exit status is 0 only when all of it worked; otherwise the\n"
     "failed step is named.\n",
     demo},
    {"terminal", "COMn [MODE]", 1, 2, "standard input to a COM port and the port to standard output",
     "Opens the COM port COMn and copies standard input to it and what it receives to standard\n"
     "output, until the input ends (and what was sent has come back or the line is quiet) or\n"
     "Ctrl-C. MODE takes the form of the mode command (default \"baud=115200 parity=n data=8\n"
     "stop=1\"). A terminal on standard input is put in raw mode while it runs. Messages go to\n"
     "standard error.\n",
     terminal},
    {"up", "", 0, 0, "keep the machine running, with a link per pty wire in DIR/pty",
     "Boots the machine and keeps it running until Ctrl-C or hvsim down. Each COM port whose wire\n"
     "is a pty gets the link DIR/pty/COMn to the far end of its wire, to hand to a Linux program\n"
     "(socat, picocom, pyserial) for as long as the machine is up; the links are printed on\n"
     "standard output, messages go to standard error. Other commands on DIR wait meanwhile.\n",
     up},
    {"down", "", 0, 0, "shut down the machine that hvsim up keeps running",
     "Asks the hvsim up of DIR to shut the machine down and waits until it has saved it.\n", down},
    {"help", "[COMMAND]", 0, 1, "print the usage, or the help of COMMAND", "", help},
};

constexpr const char* kVersion = "hvsim 1.0";

constexpr const char* kOptions =
    "Options:\n"
    "  --root DIR                 the machine's folder (a new machine is made in a folder that\n"
    "                             holds none)\n"
    "  --clock real|virtual       the machine's clock (saved with the machine; real by default)\n"
    "  --windows VERSION          the machine's Windows: 7, vista, xp, 2000, me, 98 or 95 (saved\n"
    "                             with the machine; 7 by default)\n"
    "  --help                     print this text; COMMAND --help prints the command's help\n"
    "  --version                  print hvsim's version\n";

constexpr const char* kFooter =
    "\n"
    "The machine folder holds registry.txt, machine.txt, usb.txt, the drive C/ and logs/ (the\n"
    "last boot's debugger.log and trace.log). One hvsim at a time uses a folder: another waits\n"
    "for it (HVSIM_LOCK_WAIT seconds, 10 by default), then refuses.\n"
    "\n"
    "Environment:\n"
    "  HVSIM_LOCK_WAIT            seconds to wait for a machine folder in use (default 10)\n"
    "  HVSIM_DEBUG=1              the debugger log also goes to standard error\n"
    "\n"
    "Exit status: the program's exit code for run; else 0, 1 when the machine refuses the\n"
    "command, 2 for bad usage, 3 after a bug check, 4 when a program image or a driver crashed\n"
    "(the machine folder keeps what the last command saved).\n";

const Command* find_command(const std::string& name) {
    for (const auto& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

std::string signature(const Command& c) { return std::string(c.name) + (*c.arguments ? " " : "") + c.arguments; }

std::string usage_text() {
    std::string text = "usage: hvsim --root DIR [--clock real|virtual] [--windows VERSION] COMMAND [ARGUMENTS]\n"
                       "       hvsim help [COMMAND] | hvsim COMMAND --help | hvsim --version\n"
                       "\n"
                       "Runs a simulated machine kept in the folder DIR.\n"
                       "\n"
                       "Commands:\n";
    for (const auto& c : kCommands) {
        std::string left = "  " + signature(c);
        if (left.size() < 29)
            left.resize(29, ' ');
        else
            left += "\n" + std::string(29, ' ');
        text += left + c.summary + "\n";
    }
    return text + "\n" + kOptions + kFooter;
}

std::string command_help(const Command& c) {
    return "usage: hvsim --root DIR " + signature(c) + "\n\n" + c.summary + ".\n" + (*c.details ? "\n" : "") +
           c.details;
}

int help(Invocation& in) {
    if (in.args().empty()) {
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    }
    const Command* c = find_command(in.args()[0]);
    if (!c) {
        std::fprintf(stderr, "hvsim: unknown command '%s' (hvsim help lists them)\n", in.args()[0].c_str());
        return kExitUsage;
    }
    std::fputs(command_help(*c).c_str(), stdout);
    return 0;
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "hvsim: %s\n(hvsim help tells the usage)\n", message.c_str());
    return kExitUsage;
}

// A folder without the machine's files: say that a new machine is made there, in case --root was
// mistyped.
void tell_when_new(const std::filesystem::path& root) {
    std::error_code ec;
    for (const char* file : {"machine.txt", "registry.txt", "usb.txt"})
        if (std::filesystem::exists(root / file, ec)) return;
    std::fprintf(stderr, "hvsim: %s holds no machine; making a new one there\n", root.c_str());
}

int run_command(const Command& command, Invocation& invocation) {
    int status = kExitMachineError;
    try {
        // down is how another process lets go of the folder: it does not wait for it.
        std::optional<FolderLock> lock;
        if (command.run != down) lock.emplace(invocation.root(), folder_lock_wait());
        try {
            status = command.run(invocation);
        } catch (const std::exception& e) {
            // A MachineError, or a failure of the host (no pty to be had, a full disk).
            std::fprintf(stderr, "hvsim: %s\n", e.what());
            status = kExitMachineError;
        }
        // An error at any point still shuts the machine down; a file that was not saved is one.
        invocation.shutdown();
    } catch (const MachineError& e) {
        std::fprintf(stderr, "hvsim: %s\n", e.what());
        status = kExitMachineError;
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    std::string root;
    std::optional<ClockMode> clock;
    std::optional<std::string> windows;
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            std::fputs(usage_text().c_str(), stdout);
            return 0;
        }
        if (option == "--version") {
            std::printf("%s\n", kVersion);
            return 0;
        }
        if (option != "--root" && option != "--clock" && option != "--windows")
            return usage_error("unknown option '" + option + "'");
        if (i + 1 >= argc) return usage_error(option + " needs a value");
        const char* value = argv[++i];
        if (option == "--root") {
            root = value;
        } else if (option == "--windows") {
            if (!windows_version_named(value))
                return usage_error("--windows must be one of " + windows_version_names() + ", not '" + value + "'");
            windows = value;
        } else {
            clock = parse_clock(value);
            if (!clock) return usage_error(std::string("--clock must be real or virtual, not '") + value + "'");
        }
    }
    if (i >= argc) return usage_error("no command given");
    const std::string name = argv[i++];
    std::vector<std::string> args(argv + i, argv + argc);
    const Command* command = find_command(name);
    if (!command) return usage_error("unknown command '" + name + "'");
    // Only in first place, so that a program run with --help still gets it.
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(command_help(*command).c_str(), stdout);
        return 0;
    }
    if (args.size() < command->minimum || args.size() > command->maximum)
        return usage_error(name + (command->maximum ? " expects " + std::string(command->arguments)
                                                    : std::string(" takes no arguments")));
    Invocation invocation(root, clock, std::move(args), windows);
    if (command->run == help) return help(invocation);
    if (root.empty()) return usage_error("--root DIR is required");
    tell_when_new(root);
    report_crashes();
    return run_command(*command, invocation);
}

} // namespace hvsim::command

int main(int argc, char** argv) { return hvsim::command::main(argc, argv); }
