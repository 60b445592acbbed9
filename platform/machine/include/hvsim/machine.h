// The simulated machine: one booted kernel in a folder of its own, with its drivers, devices and
// programs. The `hvsim` command and the tests use it alike.
//
// Layout of the machine's folder:
//   registry.txt                    the registry, loaded at boot and saved at shutdown
//   machine.txt                     the machine's configuration (its clock, its Windows version)
//   file-attributes.txt             attributes of the files of C: that the machine keeps
//   C/Windows/System32/             C:\Windows\System32 (libraries)
//   C/Windows/System32/drivers/     driver images of installed services
//   C/Windows/inf/                  C:\Windows\inf
//   logs/                           debugger.log and trace.log of the last boot, written at shutdown
//   usb.txt                         USB devices plugged in at every boot ("usb1 = ftdi:...")
//   hvsim.lock                      held by the process using the folder (its PID inside)
//
// Every file is replaced whole (written beside under a name of its own, then renamed), so a crash
// or a refused command leaves the last saved state.
#pragma once

#include <basetsd.h>

#include <hvsim/kernel.h>
#include <hvsim/machine_drives.h>
#include <hvsim/user.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace hvsim {

// A request the machine refuses (a missing image, an unknown service, a corrupt machine file).
// The message is meant for the user as it stands.
class MachineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A machine folder is used by one process at a time. The lock waits up to `wait` for another
// process to let go, then refuses with "machine folder in use by process N". Within a process it
// can be taken again (a command holding it boots a Machine, which takes it too).
class FolderLock {
public:
    FolderLock(const std::filesystem::path& root, std::chrono::milliseconds wait);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    std::string key_;
};

// How long a command waits for a machine folder in use: HVSIM_LOCK_WAIT seconds, else 10 s.
std::chrono::milliseconds folder_lock_wait();

struct MachineOptions {
    std::filesystem::path root;
    // The clock; without one, the clock saved in machine.txt, else the real clock.
    std::optional<ClockMode> clock;
    // A bug check ends the host process with exit status 3 once the logs are saved (the command);
    // otherwise it aborts (a test fails loudly).
    bool exit_on_bug_check = false;
    // The Windows version ("7", "vista", "xp", "2000", "me", "98", "95"); without one, the version
    // saved in machine.txt, else 7. It decides what GetVersionEx answers and which exports the
    // system modules have; the device tree and the drivers are the same on all.
    std::optional<std::string> windows;
};

// A USB device plugged into the running machine.
struct UsbDeviceInfo {
    std::string id;                         // "usb1"
    std::string spec;                       // in full: "ftdi:vid=0x7A5C,pid=0x1001,..."
    bool saved = false;                     // from usb.txt
    ULONG port = 0;                         // on the root hub
    std::u16string instance_id;             // of the device node
    std::vector<std::u16string> interfaces; // composite children's instance IDs; empty for a single-interface device
    std::vector<std::string> ptys;          // per port: the pty's slave name, or empty
};

// What a program printed and how it ended.
struct ProgramRun {
    DWORD exit_code = 0;
    std::string output; // captured standard output, when capture was asked for
    std::string error;  // captured standard error
    // The program asked for a restart (ExitWindowsEx) and the machine restarted once it ended;
    // what the restart did with the pending renames.
    bool restarted = false;
    std::vector<user::PendingFileOperation> file_operations;
};

// How a program starts.
struct RunOptions {
    // Its current folder, a folder of the machine ("C:\..."); empty: C:\Windows\System32.
    std::u16string current_directory;
    // Its token; without one, the machine's default (user::set_registry_token).
    std::optional<user::TokenKind> token;
    bool capture = false;
};

class Machine {
public:
    // Creates the folder layout when missing, reads machine.txt and boots: the registry is
    // loaded and the drivers of present devices start.
    explicit Machine(MachineOptions options);
    // Shuts down if shutdown() was not called; what could not be saved then goes to the debugger
    // log only, so callers that care call shutdown().
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const std::filesystem::path& root() const { return root_; }
    ClockMode clock() const { return clock_; }
    std::filesystem::path system_directory() const;  // <root>/C/Windows/System32
    std::filesystem::path drivers_directory() const; // <root>/C/Windows/System32/drivers
    std::filesystem::path inf_directory() const;     // <root>/C/Windows/inf
    std::filesystem::path logs_directory() const;    // <root>/logs

    // Installs a kernel service: copies the image into the drivers folder under its own file
    // name and writes the service key (ImagePath \SystemRoot\System32\drivers\<file>, Type 1,
    // Start 3, ErrorControl 1). A service installed again gets the new image.
    void add_driver(const std::u16string& service, const std::filesystem::path& image);

    // Creates a root-enumerated device bound to an installed service; it starts at once.
    // Returns its instance ID.
    std::u16string add_root_device(const std::u16string& hardware_id, const std::u16string& service);

    // Installs the package's INF files (HVUBUS.INF, HVUSER.INF) from a folder that also holds
    // the images they install, as the setup program does; returns what was done, line by line.
    // A missing INF or image is refused before anything changes.
    std::string install_package(const std::filesystem::path& folder);

    // Runs a program image (a shared object exporting
    // extern "C" int wmain(int argc, char16_t** argv)) in a new process and waits for it.
    // argv[0] is the program's path on the machine; args follow. With capture the output is
    // returned in the result, otherwise it passes through to the host's standard output.
    ProgramRun run_program(const std::filesystem::path& image, const std::vector<std::u16string>& args,
                           bool capture = false);
    // The same for a program given by its path on the machine ("C:\Windows\System32\x.exe", or a
    // path of the medium in D:) or as a host file, in the folder the options name.
    ProgramRun run_program(const std::filesystem::path& program, const std::vector<std::u16string>& args,
                           const RunOptions& options);
    // Starts the program without waiting: a process handle of the machine's own process, to wait
    // on (WaitForSingleObject, GetExitCodeProcess) and close. Output passes through.
    HANDLE start_program(const std::filesystem::path& program, const std::vector<std::u16string>& args,
                         const RunOptions& options = {});

    // Shuts down and boots again: the pending renames are carried out before any driver starts.
    void restart();
    // What the last boot did with the pending renames.
    const std::vector<user::PendingFileOperation>& boot_file_operations() const { return boot_file_operations_; }
    const std::string& windows() const { return windows_; }
    // A host folder offered as the read-only drive D: (an installation medium), or none.
    void set_media(std::optional<std::filesystem::path> folder);

    // The device tree as `hvsim devices` prints it.
    std::string device_tree_text() const;
    // Asks every bus for its devices again (a device removed while present comes back) and
    // waits until the new ones are installed.
    void rescan();

    // USB devices (SPEC: "ftdi[:key=value,...]", see hvsim/devices/device_description.h). plug puts an
    // adapter into the running machine, without saving it, and returns its ID once its drivers
    // run; unplug pulls it out (a surprise removal).
    std::string plug(const std::string& spec);
    void unplug(const std::string& id);
    std::vector<UsbDeviceInfo> usb_devices() const;
    std::string usb_devices_text() const;

    // Removes every device and unloads every driver (with the pool-leak checks), saves the
    // registry, machine.txt and the logs. The machine cannot be used afterwards. A file that could
    // not be saved is a MachineError once the machine is down (the others are saved all the same).
    void shutdown();
    bool running() const { return running_; }

private:
    void boot();
    void save_logs() const;
    void save_configuration() const;
    // The program's host file and its path on the machine.
    std::pair<std::filesystem::path, std::u16string> locate_program(const std::filesystem::path& program) const;
    std::shared_ptr<user::Process> launch(const std::filesystem::path& program, const std::vector<std::u16string>& args,
                                          const RunOptions& options, user::OutputSink out, user::OutputSink err);

    void stop_kernel();

    std::filesystem::path root_;
    std::unique_ptr<FolderLock> lock_;
    ClockMode clock_ = ClockMode::Real;
    std::string windows_ = "7";
    bool running_ = false;
    std::vector<user::PendingFileOperation> boot_file_operations_;
};

// The USB devices of a machine folder's saved configuration, plugged in at every boot: the list,
// and adding (returns the new ID) or removing one. A bad spec or an unknown ID is a MachineError.
std::vector<std::pair<std::string, std::string>> saved_usb_devices(const std::filesystem::path& root);
std::string add_saved_usb_device(const std::filesystem::path& root, const std::string& spec);
void remove_saved_usb_device(const std::filesystem::path& root, const std::string& id);

// The path a host file has on the machine: "C:\..." for files inside the machine's C folder,
// else the file's name in C:\Windows\System32.
std::u16string machine_path_of(const std::filesystem::path& root, const std::filesystem::path& file);

// The machine path of the program image that run_program runs now ("" when none). Readable from
// a signal handler: a fixed buffer, never freed.
const char* running_program_name();

// A Windows command line from its arguments, quoted so that the C runtime splits it back into
// the same arguments.
std::u16string join_command_line(const std::vector<std::u16string>& arguments);

} // namespace hvsim
