// Running program images in simulated processes.
#include <hvsim/format.h>

#include <dlfcn.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "machine_internal.h"

namespace hvsim {
namespace {

using ProgramEntry = int (*)(int argc, char16_t** argv);

// Closes the image when the run is over, however it ends.
struct ImageHandle {
    void* handle;
    ~ImageHandle() {
        if (handle) dlclose(handle);
    }
};

char g_running_program[512];

// Names the program being run for as long as it runs.
class RunningProgram {
public:
    explicit RunningProgram(const std::u16string& path) {
        const std::string name = text::to_utf8(path);
        const size_t n = std::min(name.size(), sizeof g_running_program - 1);
        std::memcpy(g_running_program, name.data(), n);
        g_running_program[n] = '\0';
    }
    ~RunningProgram() { g_running_program[0] = '\0'; }
};

// A stack of its own for the signal handlers of the program's thread, so that a program that
// overflows its stack is still reported as a crash.
class AlternateSignalStack {
public:
    AlternateSignalStack() : memory_(kSize) {
        stack_t stack{};
        stack.ss_sp = memory_.data();
        stack.ss_size = memory_.size();
        active_ = sigaltstack(&stack, &previous_) == 0;
    }
    ~AlternateSignalStack() {
        if (active_) sigaltstack(&previous_, nullptr);
    }

private:
    static constexpr size_t kSize = 64 * 1024;
    std::vector<char> memory_;
    stack_t previous_{};
    bool active_ = false;
};

} // namespace

const char* running_program_name() { return g_running_program; }

std::u16string machine_path_of(const std::filesystem::path& root, const std::filesystem::path& file) {
    std::error_code ec;
    const auto drive = std::filesystem::weakly_canonical(root / "C", ec);
    const auto full = std::filesystem::weakly_canonical(file, ec);
    auto relative = full.lexically_relative(drive);
    if (!relative.empty() && *relative.begin() != "..") {
        std::u16string path = u"C:";
        for (const auto& part : relative) path += u"\\" + text::from_utf8(part.string());
        return path;
    }
    return std::u16string(user::system_directory) + u"\\" + text::from_utf8(file.filename().string());
}

std::u16string join_command_line(const std::vector<std::u16string>& arguments) {
    std::u16string line;
    for (const auto& argument : arguments) {
        if (!line.empty()) line += u' ';
        if (!argument.empty() && argument.find_first_of(u" \t\"") == std::u16string::npos) {
            line += argument;
            continue;
        }
        line += u'"';
        size_t backslashes = 0;
        for (char16_t c : argument) {
            if (c == u'\\') {
                ++backslashes;
                continue;
            }
            // Backslashes count only in front of a quote: they are doubled there.
            line.append(c == u'"' ? backslashes * 2 + 1 : backslashes, u'\\');
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, u'\\');
        line += u'"';
    }
    return line;
}

ProgramRun Machine::run_program(const std::filesystem::path& image, const std::vector<std::u16string>& args,
                                bool capture) {
    if (!running_) throw MachineError("the machine is not running");
    std::error_code ec;
    if (!std::filesystem::is_regular_file(image, ec)) throw MachineError(image.string() + ": no such program image");
    const std::string host_path = std::filesystem::absolute(image, ec).string();
    ImageHandle loaded{dlopen(host_path.c_str(), RTLD_NOW | RTLD_LOCAL)};
    if (!loaded.handle) {
        const char* why = dlerror();
        throw MachineError("cannot load " + image.string() + ": " + (why ? why : "unknown error"));
    }
    auto entry = reinterpret_cast<ProgramEntry>(dlsym(loaded.handle, "wmain"));
    if (!entry) throw MachineError(image.string() + ": not a program image (it exports no wmain)");

    std::vector<std::u16string> argv_text;
    argv_text.push_back(machine_path_of(root_, image));
    argv_text.insert(argv_text.end(), args.begin(), args.end());

    ProgramRun run;
    std::mutex output_mutex;
    user::ProcessOptions options;
    options.image_path = argv_text.front();
    options.command_line = join_command_line(argv_text);
    options.current_directory = std::u16string(user::system_directory);
    if (capture) {
        options.standard_output = [&](std::string_view bytes) {
            std::lock_guard lock(output_mutex);
            run.output.append(bytes);
        };
        options.standard_error = [&](std::string_view bytes) {
            std::lock_guard lock(output_mutex);
            run.error.append(bytes);
        };
    }

    // argv as the C runtime gives it: writable strings and a terminating null.
    std::vector<std::u16string> storage = argv_text;
    std::vector<char16_t*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);

    RunningProgram running(argv_text.front());
    auto process = user::Process::create(std::move(options));
    process->start([&] {
        AlternateSignalStack signal_stack;
        return static_cast<DWORD>(entry(static_cast<int>(storage.size()), argv.data()));
    });
    run.exit_code = process->wait();
    return run;
}

} // namespace hvsim
