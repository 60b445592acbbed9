// The hvsim command's `run`, and the usage errors of its options.
#pragma once

#include <hvsim/machine.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace hvsim {

// Bad usage of a command's options: the command prints it with the usage hint.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// run [--cwd DIR] [--media DIR] [--as administrator|user|filtered] PROGRAM [ARGS...]
int run_program_command(Machine& machine, const std::vector<std::string>& args);

} // namespace hvsim
