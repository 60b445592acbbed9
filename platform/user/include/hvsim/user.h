// C++ API of the user-mode platform for the machine and for tests: simulated processes, their
// standard output, and the Windows version that user mode reports.
#pragma once

#include <basetsd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hvsim::user {

// Receives what a process writes to its standard output or error, as bytes (UTF-8 for wide
// output).
using OutputSink = std::function<void(std::string_view bytes)>;

// Whose token a process runs with. An administrator's token (elevated, from Windows Vista on)
// holds Administrators enabled; a standard user's lacks it; a filtered administrator's (an
// administrator's token under UAC before elevation) holds it for deny entries only. System is
// the platform's own services' (device installation), never a program's.
enum class TokenKind { Administrator, StandardUser, FilteredAdministrator, System };

struct ProcessOptions {
    // The program's path on the machine, as GetModuleFileNameW reports it.
    std::u16string image_path = u"C:\\Windows\\System32\\program.exe";
    // As GetCommandLineW returns it.
    std::u16string command_line;
    std::u16string current_directory = u"C:\\Windows\\System32";
    std::vector<std::pair<std::u16string, std::u16string>> environment;
    // Unset: the machine's default (set_registry_token, hvsim/user_hooks.h).
    std::optional<TokenKind> token;
    // Empty sinks pass the output through to the host's standard output and error.
    OutputSink standard_output;
    OutputSink standard_error;
};

class ProcessState;
class Process;
std::shared_ptr<Process> current_process();

// A simulated process: handle table, command line, current folder, environment and exit code.
// Threads of the process see it as the current process; handles left open are closed when the
// process ends.
class Process : public std::enable_shared_from_this<Process> {
public:
    static std::shared_ptr<Process> create(ProcessOptions options);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    DWORD id() const;
    const ProcessOptions& options() const;

    // Starts the main thread of the process, which runs `entry` and ends the process with its
    // result once every thread of the process has ended. Only one start per process.
    void start(std::function<DWORD()> entry);
    // Waits, as a machine thread (the virtual clock sees the wait), until the process has ended;
    // returns its exit code.
    DWORD wait();
    bool has_exited() const;
    // STILL_ACTIVE (259) while running.
    DWORD exit_code() const;

    // A handle to this process in the calling thread's process, as CreateProcess returns one.
    HANDLE open_handle();

    size_t handle_count() const;
    // Closes every handle the process still holds, as its exit does.
    void close_all_handles();

    ProcessState& state() { return *state_; }

private:
    explicit Process(ProcessOptions options);
    std::unique_ptr<ProcessState> state_;
    std::atomic<bool> started_{false};
    friend class ProcessState;
    friend std::shared_ptr<Process> current_process();
    friend std::shared_ptr<Process> default_process(bool create);
};

// The process of the calling thread. A thread outside every process (a test's own thread) gets
// the machine's default process, created at first use and ended at kernel shutdown.
std::shared_ptr<Process> current_process();

// Makes the calling thread a thread of `process` for the scope's lifetime.
class ProcessScope {
public:
    explicit ProcessScope(std::shared_ptr<Process> process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    std::shared_ptr<Process> previous_;
};

// What GetVersionEx answers. The default is Windows 7 SP1 x64.
struct WindowsVersion {
    DWORD major = 6;
    DWORD minor = 1;
    DWORD build = 7601;
    DWORD platform_id = 2; // VER_PLATFORM_WIN32_NT
    std::u16string service_pack = u"Service Pack 1";
    WORD service_pack_major = 1;
    WORD service_pack_minor = 0;
    WORD suite_mask = 0x100; // VER_SUITE_SINGLEUSERTS
    BYTE product_type = 1;   // VER_NT_WORKSTATION
};
void set_windows_version(const WindowsVersion& version);
WindowsVersion windows_version();

// The machine's Windows folder as user mode names it (GetWindowsDirectoryW and friends).
inline constexpr std::u16string_view windows_directory = u"C:\\Windows";
inline constexpr std::u16string_view system_directory = u"C:\\Windows\\System32";

} // namespace hvsim::user
