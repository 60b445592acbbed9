// hvsim's report of a program image (or a driver under it) that faults: a message naming the
// program, the fault and the image the fault is in, and an exit status of its own. Nothing is
// saved: the machine folder keeps what the last clean shutdown left.
#include <dlfcn.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "hvsim_command.h"

namespace hvsim::command {
namespace {

const char* fault_name(int signal, int code) {
    switch (signal) {
    case SIGSEGV:
        return code == SEGV_ACCERR ? "access violation (memory it may not write or run)"
                                   : "access violation (memory that is not there)";
    case SIGBUS: return "bus error (misaligned or vanished memory)";
    case SIGFPE: return code == FPE_INTDIV ? "integer division by zero" : "arithmetic fault";
    case SIGILL: return "illegal instruction";
    default: return "fault";
    }
}

void* faulting_instruction(void* context) {
    auto* state = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
    return reinterpret_cast<void*>(state->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return reinterpret_cast<void*>(state->uc_mcontext.pc);
#else
    (void)state;
    return nullptr;
#endif
}

void on_fault(int signal, siginfo_t* info, void* context) {
    char text[1024];
    const char* program = running_program_name();
    void* pc = faulting_instruction(context);
    Dl_info where{};
    const bool known = pc && dladdr(pc, &where) && where.dli_fname;
    const char* image = known ? std::strrchr(where.dli_fname, '/') : nullptr;
    image = image ? image + 1 : known ? where.dli_fname : "an unknown image";
    int n = std::snprintf(text, sizeof text, "hvsim: %s%s crashed: %s at address %p, in %s",
                          *program ? "program " : "the machine", program, fault_name(signal, info->si_code),
                          info->si_addr, image);
    if (known && where.dli_sname && n > 0 && static_cast<size_t>(n) < sizeof text)
        n += std::snprintf(text + n, sizeof text - n, " (%s)", where.dli_sname);
    if (n > 0 && static_cast<size_t>(n) < sizeof text - 1) text[n++] = '\n';
    if (n > 0) {
        [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, text, std::min<size_t>(n, sizeof text));
    }
    _exit(kExitCrash);
}

} // namespace

void report_crashes() {
    struct sigaction action {};
    action.sa_sigaction = on_fault;
    action.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(signal, &action, nullptr);
}

} // namespace hvsim::command
