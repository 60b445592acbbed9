// `hvsim up` keeps the machine running, with pty/COMn links to its pty wires, until Ctrl-C or
// `hvsim down`; `hvsim down` asks the running one to shut down and waits until it has.
#include <hvsim/format.h>
#include <hvsim/host_file.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <thread>

#include "hvsim_command.h"
#include "serial_tools.h"

namespace hvsim::command {
namespace {

constexpr const char* kUpFile = "up.pid";
constexpr auto kDownWait = std::chrono::seconds(60);

// Whether a process holds the folder's lock now.
bool folder_in_use(const std::filesystem::path& root) {
    const int fd = ::open((root / "hvsim.lock").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd); // lets go of the lock, if it was taken here
    return !free;
}

} // namespace

int up(Invocation& in) {
    // Blocked before the machine starts its threads, so that they inherit it and only the wait
    // below takes these signals.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    Machine& machine = in.machine();
    // The note goes before the links: whoever sees a link may call down at once, which must find
    // this process. A SIGTERM that comes before the wait stays pending until it.
    const std::filesystem::path marker = in.root() / kUpFile;
    std::string why;
    if (!write_file_atomically(marker, std::to_string(::getpid()) + "\n", &why)) throw MachineError(why);
    std::optional<PtyLinks> made;
    try {
        made.emplace(machine);
    } catch (...) {
        std::error_code error;
        std::filesystem::remove(marker, error);
        throw;
    }
    const PtyLinks& links = *made;
    for (const auto& link : links.links())
        std::printf("%s: %s -> %s (%s, interface %zu)\n", text::to_utf8(link.port.name).c_str(), link.path.c_str(),
                    link.target.c_str(), link.port.usb_id.c_str(), link.port.interface);
    if (links.links().empty()) std::printf("no COM port has a pty wire (plug ftdi:wire=pty for one)\n");
    std::fflush(stdout);
    std::fprintf(stderr, "hvsim: the machine in %s is up (process %d); Ctrl-C or hvsim --root %s down shuts it down\n",
                 in.root().c_str(), static_cast<int>(::getpid()), in.root().c_str());
    int signal = 0;
    sigwait(&stop, &signal);
    std::error_code error;
    std::filesystem::remove(marker, error);
    std::fprintf(stderr, "hvsim: shutting the machine down\n");
    return 0;
}

int down(Invocation& in) {
    const std::filesystem::path marker = in.root() / kUpFile;
    std::ifstream file(marker);
    long pid = 0;
    file >> pid;
    if (pid <= 0 || !folder_in_use(in.root())) {
        std::error_code error;
        std::filesystem::remove(marker, error); // left by an up that did not end cleanly
        throw MachineError("no machine is up in " + in.root().string());
    }
    // The lock names its holder: only an up is stopped, never another command.
    long holder = 0;
    std::ifstream(in.root() / "hvsim.lock") >> holder;
    if (holder != pid)
        throw MachineError("the machine folder is in use by process " + std::to_string(holder) +
                           ", not by hvsim up (process " + std::to_string(pid) + ")");
    if (::kill(static_cast<pid_t>(pid), SIGTERM) != 0)
        throw MachineError("cannot stop process " + std::to_string(pid) + ": " + std::strerror(errno));
    const auto deadline = std::chrono::steady_clock::now() + kDownWait;
    while (folder_in_use(in.root())) {
        if (std::chrono::steady_clock::now() > deadline)
            throw MachineError("process " + std::to_string(pid) + " has not shut the machine down yet");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("the machine in %s is down\n", in.root().c_str());
    return 0;
}

} // namespace hvsim::command
