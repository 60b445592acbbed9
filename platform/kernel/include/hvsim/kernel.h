// C++ API of the stand-in kernel for the machine and for tests.
#pragma once

#include <basetsd.h>

#include <filesystem>
#include <functional>
#include <string>

namespace hvsim {

enum class ClockMode { Real, Virtual };

struct KernelOptions {
    ClockMode clock = ClockMode::Virtual;
    // The machine's folder; empty means nothing is persisted.
    std::filesystem::path root;
};

// A part of the kernel that takes part in boot and shutdown. Lower order boots first and shuts
// down last. Parts register themselves from a static initialiser of their own source file.
struct KernelSubsystem {
    const char* name;
    int order;
    void (*boot)(const KernelOptions&);
    void (*shutdown)();
};

void register_kernel_subsystem(const KernelSubsystem& subsystem);

// One kernel per process at a time; tests boot and shut down a fresh one each.
void kernel_boot(const KernelOptions& options);
void kernel_shutdown();
bool kernel_running();
const KernelOptions& kernel_options();

// A violation of a kernel rule. The message goes to the debugger log, then the handler runs;
// the default handler aborts the process. The machine's command exits with status 3 instead.
[[noreturn]] void bug_check(ULONG code, const std::string& message);
void set_bug_check_handler(std::function<void(ULONG code, const std::string& message)> handler);

// Bug-check codes used by the stand-in's always-on checks.
enum BugCheckCode : ULONG {
    IRQL_NOT_LESS_OR_EQUAL = 0x0A,
    SPIN_LOCK_NOT_OWNED = 0x10,
    MULTIPLE_IRP_COMPLETE_REQUESTS = 0x44,
    BAD_POOL_CALLER = 0xC2,
    DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4,
    DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS = 0xCE,
    DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS = 0xCB,
    DRIVER_VERIFIER_IOMANAGER_VIOLATION = 0xC9,
    POOL_LEAK_AT_UNLOAD = 0xD3,
    KMODE_EXCEPTION_NOT_HANDLED = 0x1E,
};

} // namespace hvsim
