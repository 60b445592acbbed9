// C++ hooks of program images, processes and modules for the machine and tests.
#pragma once

#include <basetsd.h>

#include <hvsim/user.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace hvsim::user {

// Starts a program image (a shared object exporting extern "C" int wmain(int, char16_t**)) as a
// new process: argv is split from options.command_line as the C runtime splits it. The image
// stays mapped, and in use for the file routines, until the process has ended. Returns null with
// *error set (ERROR_FILE_NOT_FOUND, ERROR_BAD_EXE_FORMAT) when it cannot start. A suspended
// start waits for ResumeThread on the process's main thread.
std::shared_ptr<Process> start_program(const std::filesystem::path& host_image, ProcessOptions options, DWORD* error,
                                       bool suspended = false);

// What one CreateProcess call asked for, and how it ended.
struct ProcessCreation {
    std::u16string application_name; // as given (empty when null)
    std::u16string command_line;     // as given
    std::u16string image;            // the machine path found for the image; empty when none
    std::u16string current_directory;
    DWORD creation_flags = 0;
    DWORD priority_class = 0; // from the creation flags, NORMAL_PRIORITY_CLASS when none
    bool inherit_handles = false;
    DWORD startup_size = 0; // STARTUPINFO.cb
    DWORD startup_flags = 0;
    WORD show_window = 0;
    DWORD error = 0;      // ERROR_SUCCESS when the process started
    DWORD process_id = 0; // of the new process
};
std::vector<ProcessCreation> process_creations();
// Every SetPriorityClass call that succeeded: the process and its new class.
struct PriorityChange {
    DWORD process_id;
    DWORD priority_class;
};
std::vector<PriorityChange> priority_changes();
void reset_process_records();

// Activation contexts alive now; the next call of a routine fails with `error`.
enum class ActCtxRoutine { Create, Activate };
void actctx_fail_next(ActCtxRoutine routine, DWORD error);
size_t activation_contexts();
void reset_actctx_hooks();

} // namespace hvsim::user
