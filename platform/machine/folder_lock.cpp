// One command at a time on a machine folder: an advisory lock on its hvsim.lock, held by the
// process for as long as a command or a Machine uses the folder.
#include <hvsim/machine.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace hvsim {
namespace {

constexpr const char* kLockFile = "hvsim.lock";
constexpr auto kDefaultWait = std::chrono::seconds(10);
constexpr auto kPollInterval = std::chrono::milliseconds(20);

// flock belongs to an open file: a second open in the same process would wait for itself, so the
// process keeps one per folder and counts its holders.
struct Held {
    int fd = -1;
    int holders = 0;
};

struct LockTable {
    std::mutex mutex;
    std::map<std::string, Held> held;
};

LockTable& lock_table() {
    static LockTable* table = new LockTable;
    return *table;
}

std::string holder_of(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    std::string pid = n > 0 ? std::string(text, static_cast<size_t>(n)) : "";
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
    return pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos ? "" : pid;
}

} // namespace

std::chrono::milliseconds folder_lock_wait() {
    const char* text = std::getenv("HVSIM_LOCK_WAIT");
    if (!text || !*text) return kDefaultWait;
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (*end || seconds < 0 || seconds > 24 * 3600) return kDefaultWait;
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

FolderLock::FolderLock(const std::filesystem::path& root, std::chrono::milliseconds wait) {
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    if (ec) throw MachineError("cannot create " + root.string() + ": " + ec.message());
    key_ = std::filesystem::weakly_canonical(std::filesystem::absolute(root, ec), ec).string();

    auto& table = lock_table();
    std::lock_guard guard(table.mutex);
    Held& held = table.held[key_];
    if (held.holders++ > 0) return;

    const std::filesystem::path file = std::filesystem::path(key_) / kLockFile;
    held.fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (held.fd < 0) {
        const std::string why = std::strerror(errno);
        table.held.erase(key_);
        throw MachineError("cannot open " + file.string() + ": " + why);
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (::flock(held.fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            const std::string why = std::strerror(errno);
            ::close(held.fd);
            table.held.erase(key_);
            throw MachineError("cannot lock " + file.string() + ": " + why);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            const std::string pid = holder_of(held.fd);
            ::close(held.fd);
            table.held.erase(key_);
            char waited[32];
            std::snprintf(waited, sizeof waited, " (waited %.1f s)", static_cast<double>(wait.count()) / 1000.0);
            throw MachineError("machine folder in use by " + (pid.empty() ? "another process" : "process " + pid) +
                               ": " + key_ + waited);
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(held.fd, 0) == 0) {
        [[maybe_unused]] ssize_t written = ::pwrite(held.fd, pid.data(), pid.size(), 0);
    }
}

FolderLock::~FolderLock() {
    auto& table = lock_table();
    std::lock_guard guard(table.mutex);
    auto it = table.held.find(key_);
    if (it == table.held.end() || --it->second.holders > 0) return;
    // The PID goes first, so that a waiter never names a process that has let go.
    [[maybe_unused]] int cleared = ::ftruncate(it->second.fd, 0);
    ::close(it->second.fd);
    table.held.erase(it);
}

} // namespace hvsim
