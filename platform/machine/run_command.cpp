// `hvsim run`: a program of the machine (or a host image) with its current folder, an
// installation medium as D: and the token it runs with; the restart it asked for.
#include <hvsim/format.h>
#include <hvsim/machine.h>
#include <hvsim/ui.h>
#include <hvsim/user_hooks.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "run_command.h"

namespace hvsim {
namespace {

struct TokenName {
    const char* name;
    user::TokenKind kind;
};
constexpr TokenName kTokens[] = {
    {"administrator", user::TokenKind::Administrator},
    {"user", user::TokenKind::StandardUser},
    {"filtered", user::TokenKind::FilteredAdministrator},
};

} // namespace

int run_program_command(Machine& machine, const std::vector<std::string>& args) {
    RunOptions options;
    size_t i = 0;
    bool unattended = false;
    while (i < args.size() && args[i].starts_with("--")) {
        const std::string option = args[i++];
        if (option == "--unattended") {
            unattended = true;
            continue;
        }
        if (i >= args.size()) throw UsageError(option + " needs a value");
        const char* value = args[i++].c_str();
        if (option == "--cwd") {
            options.current_directory = text::from_utf8(value);
        } else if (option == "--media") {
            machine.set_media(std::filesystem::path(value));
        } else if (option == "--as") {
            const TokenName* token = nullptr;
            for (const auto& t : kTokens)
                if (std::strcmp(value, t.name) == 0) token = &t;
            if (!token)
                throw UsageError(std::string("--as must be administrator, user or filtered, not '") + value + "'");
            options.token = token->kind;
        } else {
            throw UsageError("unknown option of run '" + option + "'");
        }
    }
    if (i >= args.size()) throw UsageError("run expects a PROGRAM");
    std::vector<std::u16string> program_args;
    for (size_t a = i + 1; a < args.size(); ++a) program_args.push_back(text::from_utf8(args[a]));
    std::fflush(stdout);
    // Nobody answers the windows of an unattended run: its program ends them itself.
    ui::leave_unscripted_modal_loops(unattended);
    ProgramRun run = machine.run_program(args[i], program_args, options);
    ui::leave_unscripted_modal_loops(false);
    if (run.restarted) {
        std::printf("hvsim: the program restarted the machine\n");
        for (const auto& operation : run.file_operations) {
            std::string line = text::to_utf8(operation.from);
            if (!operation.to.empty()) line += " -> " + text::to_utf8(operation.to);
            std::printf("hvsim:   %s: %s\n", line.c_str(), operation.result.c_str());
        }
    }
    return static_cast<int>(run.exit_code);
}

} // namespace hvsim
