// The hvsim command: one machine in a folder, and the commands that act on it.
#include <hvsim/format.h>
#include <hvsim/machine.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "machine_internal.h"
#include "serial_tools.h"

namespace {

constexpr int kExitMachineError = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: hvsim --root DIR [--clock real|virtual] COMMAND [ARGUMENTS]\n"
    "\n"
    "Runs a simulated machine kept in the folder DIR (created when missing).\n"
    "\n"
    "Commands:\n"
    "  add-driver SERVICE IMAGE   install the kernel driver IMAGE as service SERVICE\n"
    "  add-root-device HWID SERVICE\n"
    "                             create a root-enumerated device with hardware ID HWID\n"
    "                             bound to the installed service SERVICE\n"
    "  install-package DIR        install the driver package (HVUBUS.INF, HVUSER.INF and the\n"
    "                             images they name) from the folder DIR\n"
    "  run IMAGE [ARGS...]        boot, run the program IMAGE with ARGS, shut down\n"
    "  devices                    print the device tree and the USB devices\n"
    "  plug SPEC                  add a USB device to the machine, present from the next boot;\n"
    "                             SPEC is ftdi[:key=value,...] with vid, pid, rev (hex),\n"
    "                             interfaces (1, 2 or 4), type (rs232 or rs485) and wire (open,\n"
    "                             loopback, null-modem or pty), the last two for every port or\n"
    "                             one per port separated by '/', serial, paced (on or off)\n"
    "  unplug ID                  remove the USB device ID (usb1, usb2...) from the machine\n"
    "  demo [PACKAGE-DIR]         install the package (from the kit's package folder unless\n"
    "                             PACKAGE-DIR is given), plug an adapter with two looped-back\n"
    "                             ports, send 64 KiB through each COM port and check that it\n"
    "                             comes back, unplug it; exit status 0 only when all of it worked\n"
    "  terminal COMn [MODE]       standard input to the COM port and the port to standard\n"
    "                             output, until the input ends or Ctrl-C; MODE in the form of\n"
    "                             the mode command (default \"baud=115200 parity=n data=8 stop=1\")\n"
    "\n"
    "Options:\n"
    "  --root DIR                 the machine's folder\n"
    "  --clock real|virtual       the machine's clock (saved with the machine; real by default)\n"
    "  --help                     print this text\n"
    "\n"
    "Exit status: the program's exit code for run, else 0; 1 when the machine refuses the\n"
    "command, 2 for bad usage, 3 after a bug check.\n";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "hvsim: %s\n(hvsim --help tells the usage)\n", message.c_str());
    return kExitUsage;
}

std::u16string wide(const char* text) { return hvsim::text::from_utf8(text); }

int run_command(hvsim::Machine& machine, const std::string& command, const std::vector<const char*>& args) {
    if (command == "add-driver") {
        machine.add_driver(wide(args[0]), args[1]);
        std::printf("installed service %s (%s)\n", args[0], (machine.drivers_directory() /
                                                              std::filesystem::path(args[1]).filename()).c_str());
        return 0;
    }
    if (command == "add-root-device") {
        std::u16string instance = machine.add_root_device(wide(args[0]), wide(args[1]));
        std::printf("created %s\n", hvsim::text::to_utf8(instance).c_str());
        return 0;
    }
    if (command == "install-package") {
        std::fputs(machine.install_package(args[0]).c_str(), stdout);
        return 0;
    }
    if (command == "run") {
        std::vector<std::u16string> program_args;
        for (size_t i = 1; i < args.size(); ++i) program_args.push_back(wide(args[i]));
        std::fflush(stdout);
        return static_cast<int>(machine.run_program(args[0], program_args).exit_code);
    }
    if (command == "demo") {
        hvsim::DemoOptions options;
        options.package = args.empty() ? hvsim::default_package_folder() : std::filesystem::path(args[0]);
        std::fflush(stdout);
        return hvsim::run_demo(machine, options, std::cout);
    }
    if (command == "terminal") {
        std::fflush(stdout);
        return hvsim::run_terminal(machine, args[0], args.size() > 1 ? args[1] : "baud=115200 parity=n data=8 stop=1",
                                   std::cerr);
    }
    std::fputs(machine.device_tree_text().c_str(), stdout);
    std::fputs(machine.usb_devices_text().c_str(), stdout);
    return 0;
}

// plug and unplug change the saved configuration only: no need to boot.
int run_configuration_command(const std::string& root, const std::string& command, const std::vector<const char*>& args) {
    if (command == "plug") {
        std::string id = hvsim::add_saved_usb_device(root, args[0]);
        for (auto& [saved, spec] : hvsim::saved_usb_devices(root))
            if (saved == id) std::printf("%s = %s (present from the next boot)\n", id.c_str(), spec.c_str());
        return 0;
    }
    hvsim::remove_saved_usb_device(root, args[0]);
    std::printf("removed %s (gone from the next boot)\n", args[0]);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string root;
    std::optional<hvsim::ClockMode> clock;
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option != "--root" && option != "--clock") return usage_error("unknown option '" + option + "'");
        if (i + 1 >= argc) return usage_error(option + " needs a value");
        const char* value = argv[++i];
        if (option == "--root") {
            root = value;
        } else {
            clock = hvsim::parse_clock(value);
            if (!clock) return usage_error(std::string("--clock must be real or virtual, not '") + value + "'");
        }
    }
    if (i >= argc) return usage_error("no command given");
    const std::string command = argv[i++];
    const std::vector<const char*> args(argv + i, argv + argc);

    struct Shape {
        const char* name;
        size_t minimum;
        size_t maximum;
        const char* arguments;
    };
    static constexpr Shape kCommands[] = {
        {"add-driver", 2, 2, "SERVICE IMAGE"},
        {"add-root-device", 2, 2, "HWID SERVICE"},
        {"install-package", 1, 1, "DIR"},
        {"run", 1, SIZE_MAX, "IMAGE [ARGS...]"},
        {"devices", 0, 0, ""},
        {"plug", 1, 1, "SPEC"},
        {"unplug", 1, 1, "ID"},
        {"demo", 0, 1, "[PACKAGE-DIR]"},
        {"terminal", 1, 2, "COMn [MODE]"},
    };
    const Shape* shape = nullptr;
    for (const auto& c : kCommands)
        if (command == c.name) shape = &c;
    if (!shape) return usage_error("unknown command '" + command + "'");
    if (args.size() < shape->minimum || args.size() > shape->maximum)
        return usage_error(command + (shape->maximum ? std::string(" expects ") + shape->arguments
                                                     : std::string(" takes no arguments")));
    if (root.empty()) return usage_error("--root DIR is required");

    try {
        if (command == "plug" || command == "unplug") return run_configuration_command(root, command, args);
        hvsim::MachineOptions options;
        options.root = root;
        options.clock = clock;
        options.exit_on_bug_check = true;
        hvsim::Machine machine(options);
        int status = run_command(machine, command, args);
        machine.shutdown();
        return status;
    } catch (const hvsim::MachineError& e) {
        std::fprintf(stderr, "hvsim: %s\n", e.what());
        return kExitMachineError;
    }
}
