// Program images run as processes of the machine: the image is mapped for as long as its process
// runs, its wmain gets the command line split as the C runtime splits it.
#include <windows.h>

#include <hvsim/programs.h>

#include <dlfcn.h>
#include <signal.h>

#include <fstream>

#include "internal/machine_files.h"
#include "internal/user_internal.h"

namespace hvsim::user {
namespace {

using ProgramEntry = int (*)(int argc, char16_t** argv);

bool is_space(char16_t c) { return c == u' ' || c == u'\t'; }

// The C runtime's rules: the program name ends at the next space, or at its closing quote;
// then 2n backslashes before a quote give n and the quote toggles quoting, 2n+1 give n and a
// literal quote, and "" inside quotes is a literal quote.
std::vector<std::u16string> split_command_line(std::u16string_view line) {
    std::vector<std::u16string> argv;
    size_t i = 0;
    std::u16string program;
    if (i < line.size() && line[i] == u'"') {
        for (++i; i < line.size() && line[i] != u'"'; ++i) program += line[i];
        if (i < line.size()) ++i;
    } else {
        for (; i < line.size() && !is_space(line[i]); ++i) program += line[i];
    }
    argv.push_back(std::move(program));
    while (true) {
        while (i < line.size() && is_space(line[i])) ++i;
        if (i >= line.size()) break;
        std::u16string argument;
        bool quoted = false;
        while (i < line.size() && (quoted || !is_space(line[i]))) {
            size_t backslashes = 0;
            while (i < line.size() && line[i] == u'\\') {
                ++backslashes;
                ++i;
            }
            if (i < line.size() && line[i] == u'"') {
                argument.append(backslashes / 2, u'\\');
                if (backslashes % 2) {
                    argument += u'"';
                } else if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
                    argument += u'"';
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                argument.append(backslashes, u'\\');
                if (i < line.size() && (quoted || !is_space(line[i]))) argument += line[i++];
            }
        }
        argv.push_back(std::move(argument));
    }
    return argv;
}

bool is_shared_object(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    char magic[4] = {};
    in.read(magic, 4);
    return in.gcount() == 4 && magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
}

// A stack of its own for the signal handlers of the program's main thread, so that a program that
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

// The mapped image, unmapped once the process is done with it.
struct MappedImage {
    void* handle = nullptr;
    std::unique_ptr<files::ShareClaim> claim;
    ~MappedImage() {
        if (handle) dlclose(handle);
    }
};

} // namespace

std::shared_ptr<Process> start_program(const std::filesystem::path& host_image, ProcessOptions options, DWORD* error,
                                       bool suspended) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(host_image, ec)) {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    if (!is_shared_object(host_image)) {
        *error = ERROR_BAD_EXE_FORMAT;
        return nullptr;
    }
    auto image = std::make_shared<MappedImage>();
    image->handle = dlopen(std::filesystem::absolute(host_image, ec).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!image->handle) {
        const char* why = dlerror();
        debugger_output("CreateProcess: " + host_image.string() + ": " + (why ? why : "cannot map") + "\n");
        *error = ERROR_BAD_EXE_FORMAT;
        return nullptr;
    }
    auto entry = reinterpret_cast<ProgramEntry>(dlsym(image->handle, "wmain"));
    if (!entry) {
        *error = ERROR_BAD_EXE_FORMAT;
        return nullptr;
    }
    image->claim = files::claim_image(host_image);

    auto arguments = std::make_shared<std::vector<std::u16string>>(split_command_line(options.command_line));
    auto process = Process::create(std::move(options));
    process->state().image_module = image->handle;
    process->state().start_suspended = suspended;
    process->start([image, arguments, entry]() mutable -> DWORD {
        AlternateSignalStack signal_stack;
        // argv as the C runtime gives it: writable strings and a terminating null.
        std::vector<char16_t*> argv;
        for (auto& s : *arguments) argv.push_back(s.data());
        argv.push_back(nullptr);
        const int code = entry(static_cast<int>(arguments->size()), argv.data());
        return static_cast<DWORD>(code);
    });
    *error = ERROR_SUCCESS;
    return process;
}

} // namespace hvsim::user
