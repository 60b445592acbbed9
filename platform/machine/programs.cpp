// Running program images in processes of the machine.
#include <hvsim/format.h>

#include <hvsim/programs.h>
#include <hvsim/user_hooks.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>

#include "machine_internal.h"

namespace hvsim {
namespace {

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

std::pair<std::filesystem::path, std::u16string> Machine::locate_program(const std::filesystem::path& program) const {
    const std::string& text_form = program.native();
    const bool machine_path = (text_form.size() >= 3 && std::isalpha(static_cast<unsigned char>(text_form[0])) &&
                               text_form[1] == ':' && (text_form[2] == '\\' || text_form[2] == '/')) ||
                              text_form.starts_with("\\");
    if (machine_path) {
        const std::u16string path = text::from_utf8(text_form);
        auto host = user::machine_file(path);
        if (!host) throw MachineError(text_form + ": no such program on the machine");
        return {*host, path};
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(program, ec))
        throw MachineError(program.string() + ": no such program image");
    return {std::filesystem::absolute(program, ec), machine_path_of(root_, program)};
}

std::shared_ptr<user::Process> Machine::launch(const std::filesystem::path& program,
                                               const std::vector<std::u16string>& args, const RunOptions& how,
                                               user::OutputSink out, user::OutputSink err) {
    if (!running_) throw MachineError("the machine is not running");
    auto [host, machine_path] = locate_program(program);
    std::vector<std::u16string> argv_text{machine_path};
    argv_text.insert(argv_text.end(), args.begin(), args.end());

    user::ProcessOptions options;
    options.image_path = machine_path;
    options.command_line = join_command_line(argv_text);
    options.current_directory = std::u16string(user::system_directory);
    if (!how.current_directory.empty()) {
        auto folder = user::machine_folder(how.current_directory);
        if (!folder) throw MachineError(text::to_utf8(how.current_directory) + ": no such folder on the machine");
        options.current_directory = *folder;
    }
    options.token = how.token;
    options.standard_output = std::move(out);
    options.standard_error = std::move(err);
    DWORD error = 0;
    auto process = user::start_program(host, std::move(options), &error);
    if (!process) {
        throw MachineError(program.string() + (error == ERROR_BAD_EXE_FORMAT
                                                   ? ": not a program image (it exports no wmain)"
                                                   : ": cannot start (error " + std::to_string(error) + ")"));
    }
    return process;
}

ProgramRun Machine::run_program(const std::filesystem::path& image, const std::vector<std::u16string>& args,
                                bool capture) {
    RunOptions options;
    options.capture = capture;
    return run_program(image, args, options);
}

ProgramRun Machine::run_program(const std::filesystem::path& program, const std::vector<std::u16string>& args,
                                const RunOptions& options) {
    // Shared with the sinks: a program the program started may still write once this returns.
    struct Captured {
        std::mutex mutex;
        std::string output, error;
    };
    auto captured = std::make_shared<Captured>();
    user::OutputSink out, err;
    if (options.capture) {
        out = [captured](std::string_view bytes) {
            std::lock_guard lock(captured->mutex);
            captured->output.append(bytes);
        };
        err = [captured](std::string_view bytes) {
            std::lock_guard lock(captured->mutex);
            captured->error.append(bytes);
        };
    }
    auto process = launch(program, args, options, std::move(out), std::move(err));
    ProgramRun run;
    {
        RunningProgram running(process->options().image_path);
        run.exit_code = process->wait();
    }
    process.reset();
    {
        std::lock_guard lock(captured->mutex);
        run.output = captured->output;
        run.error = captured->error;
    }
    // The program asked to restart: the machine does once it has ended.
    if (user::take_restart_request()) {
        restart();
        run.restarted = true;
        run.file_operations = boot_file_operations_;
    }
    return run;
}

HANDLE Machine::start_program(const std::filesystem::path& program, const std::vector<std::u16string>& args,
                              const RunOptions& options) {
    return launch(program, args, options, {}, {})->open_handle();
}

} // namespace hvsim
