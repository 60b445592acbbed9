// The hvsim command's pieces: what a command is given, and its row in the command table.
#pragma once

#include <hvsim/machine.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace hvsim::command {

inline constexpr int kExitMachineError = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCrash = 4;

// From here on a fault in a program image or a driver ends hvsim with a message naming the
// program and the fault, and kExitCrash.
void report_crashes();

// One command as typed: the machine folder, the options before the command and its arguments.
// The machine boots when a handler first asks for it; the command shuts it down and reports what
// could not be saved.
class Invocation {
public:
    Invocation(std::filesystem::path root, std::optional<ClockMode> clock, std::vector<std::string> args,
               std::optional<std::string> windows = std::nullopt)
        : root_(std::move(root)), clock_(clock), args_(std::move(args)), windows_(std::move(windows)) {}

    const std::filesystem::path& root() const { return root_; }
    const std::vector<std::string>& args() const { return args_; }
    Machine& machine();
    bool booted() const { return machine_.has_value(); }
    // Shuts the machine down if it booted; a MachineError when something was not saved.
    void shutdown();

private:
    std::filesystem::path root_;
    std::optional<ClockMode> clock_;
    std::vector<std::string> args_;
    std::optional<std::string> windows_;
    std::optional<Machine> machine_;
};

struct Command {
    const char* name;
    const char* arguments; // as the usage shows them: "SPEC", "IMAGE [ARGS...]"
    size_t minimum;
    size_t maximum;
    const char* summary; // one line in `hvsim help`
    const char* details; // the rest of `hvsim COMMAND --help`
    int (*run)(Invocation&);
};

// Device commands (device_commands.cpp); a DEVICE is an instance ID or a COM name.
int devices(Invocation& invocation);
int ports(Invocation& invocation);
int status(Invocation& invocation);
int enable(Invocation& invocation);
int disable(Invocation& invocation);
int restart(Invocation& invocation);
int remove(Invocation& invocation);
int rescan(Invocation& invocation);
// Device Manager's property sheet of a device, and steps on it.
int properties(Invocation& invocation);

// The machine kept running (machine_up.cpp).
int up(Invocation& invocation);
int down(Invocation& invocation);

} // namespace hvsim::command
