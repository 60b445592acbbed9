// The data path's figures, one line each as `name value unit`: unpaced throughput of the whole
// stack on 1, 2, 4 and 8 looped-back COM ports against an in-process pipe, the paced line rate
// on 8 ports both ways, the latency of a byte from the far end to ReadFile, and the cost of
// opening, closing and setting the baud rate, and one port's figure beside 8 busy threads against
// its idle figure, and one port in each of 1 and 8 copies of the bench at once. Arguments pick
// sections (throughput, separate, loaded, paced, latency, costs;
// throughput1 and throughput8 are one and eight ports alone, for a profile); none runs all but throughput1.
#include "bench_machine.h"

#include <hvsim/usb.h>

#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using hvbench::BenchMachine;
using hvbench::Request;

double host_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Host thread switches of the whole process, voluntary or not: each is a hand-off the data paid for.
double context_switches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw);
}

void figure(const std::string& name, double value, const char* unit) {
    std::printf("%s %.3f %s\n", name.c_str(), value, unit);
    std::fflush(stdout);
}

std::vector<BYTE> pattern(size_t bytes, size_t seed) {
    std::vector<BYTE> data(bytes);
    for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<BYTE>(i * 7 + (i >> 8) * 13 + seed * 101);
    return data;
}

// Plugs adapters until `count` looped-back ports are there (two to an adapter) and opens them.
std::vector<HANDLE> open_looped_ports(BenchMachine& bench, size_t count, const char* paced) {
    std::vector<HANDLE> out;
    while (out.size() < count) {
        const size_t left = count - out.size();
        // Two to an adapter: HVUBUS.INF names only the first two interfaces of a four-port adapter.
        const int interfaces = left >= 2 ? 2 : 1;
        const std::string spec = "ftdi:interfaces=" + std::to_string(interfaces) + ",wire=loopback,paced=" + paced;
        for (const auto& name : bench.plug(spec)) {
            HANDLE port = name.empty() ? INVALID_HANDLE_VALUE : hvbench::open_port(name);
            if (port == INVALID_HANDLE_VALUE) {
                std::fprintf(stderr, "bench: a port of %s did not open\n", spec.c_str());
                std::exit(1);
            }
            out.push_back(port);
        }
    }
    return out;
}

struct Moved {
    size_t sent = 0, received = 0, mismatched = 0;
};

// Every port writes `bytes` and reads them back at once; returns what each moved.
Moved loop_through(const std::vector<HANDLE>& ports, size_t bytes) {
    std::vector<std::vector<BYTE>> sent, received;
    std::vector<std::unique_ptr<Request>> reads, writes;
    for (size_t i = 0; i < ports.size(); ++i) {
        sent.push_back(pattern(bytes, i));
        received.emplace_back(bytes);
        reads.push_back(std::make_unique<Request>());
        writes.push_back(std::make_unique<Request>());
        ReadFile(ports[i], received[i].data(), static_cast<DWORD>(bytes), nullptr, &reads[i]->overlapped);
    }
    for (size_t i = 0; i < ports.size(); ++i)
        WriteFile(ports[i], sent[i].data(), static_cast<DWORD>(bytes), nullptr, &writes[i]->overlapped);
    Moved moved;
    for (size_t i = 0; i < ports.size(); ++i) {
        writes[i]->wait();
        reads[i]->wait();
        moved.sent += writes[i]->information();
        moved.received += reads[i]->information();
        for (size_t b = 0; b < reads[i]->information(); ++b) moved.mismatched += received[i][b] != sent[i][b];
    }
    return moved;
}

double pipe_seconds(size_t bytes) {
    int fds[2];
    if (pipe(fds) != 0) return 0;
    const std::vector<BYTE> data = pattern(bytes, 0);
    std::vector<BYTE> got(bytes); // touched before the clock starts, as the ports' buffers are
    const double start = host_seconds();
    std::thread writer([&] {
        for (size_t at = 0; at < bytes;) {
            ssize_t n = write(fds[1], data.data() + at, std::min<size_t>(65536, bytes - at));
            if (n <= 0) break;
            at += static_cast<size_t>(n);
        }
    });
    for (size_t at = 0; at < bytes;) {
        ssize_t n = read(fds[0], got.data() + at, bytes - at);
        if (n <= 0) break;
        at += static_cast<size_t>(n);
    }
    const double seconds = host_seconds() - start;
    writer.join();
    close(fds[0]);
    close(fds[1]);
    return seconds;
}

// The unpaced figure of one port in MB/s, on a fresh machine.
double one_port_rate(size_t bytes) {
    BenchMachine bench("bench-loaded", hvsim::ClockMode::Virtual);
    std::vector<HANDLE> ports = open_looped_ports(bench, 1, "off");
    hvbench::set_up_port(ports[0], 921600, 0, 0);
    const double start = host_seconds();
    const Moved moved = loop_through(ports, bytes);
    const double seconds = host_seconds() - start;
    if (moved.sent != moved.received || moved.mismatched) std::fprintf(stderr, "bench: the loaded run lost bytes\n");
    return moved.received / seconds / 1e6;
}

// One port idle, then beside 8 threads of busy work that the bench starts itself.
void loaded() {
    constexpr size_t kBytes = 4 << 20;
    const double idle = one_port_rate(kBytes);
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int i = 0; i < 8; ++i)
        busy.emplace_back([&stop, i] {
            volatile uint64_t x = static_cast<uint64_t>(i) + 1;
            while (!stop.load(std::memory_order_relaxed))
                for (int k = 0; k < 10000; ++k) x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        });
    const double busy_rate = one_port_rate(kBytes);
    stop = true;
    for (auto& t : busy) t.join();
    figure("loaded_idle_1_port_throughput", idle, "MB/s");
    figure("loaded_1_port_throughput", busy_rate, "MB/s");
    figure("loaded_ratio_to_idle", busy_rate / idle, "x");
}

// A copy of the bench that `separate` started says it is ready to move data, and waits for the
// word to start, so that all the copies move their data at the same time.
constexpr const char* kReadyFd = "HV_BENCH_READY_FD";
constexpr const char* kGoFd = "HV_BENCH_GO_FD";

void wait_for_go() {
    const char* ready = std::getenv(kReadyFd);
    const char* go = std::getenv(kGoFd);
    if (!ready || !go) return;
    char c = 'r';
    if (write(std::atoi(ready), &c, 1) != 1 || read(std::atoi(go), &c, 1) != 1) std::exit(1);
}

void throughput(const std::vector<size_t>& counts) {
    // Per port; HV_BENCH_MIB makes it longer for a profile.
    const char* mib = std::getenv("HV_BENCH_MIB");
    const size_t kBytes = (mib ? std::strtoull(mib, nullptr, 10) : 4) << 20;
    const double pipe = pipe_seconds(kBytes);
    const double pipe_rate = kBytes / pipe / 1e6;
    figure("pipe_throughput", pipe_rate, "MB/s");
    for (size_t count : counts) {
        // HV_BENCH_REAL_CLOCK=1 runs the machine on the host's clock instead of the virtual one.
        BenchMachine bench("bench-throughput",
                           std::getenv("HV_BENCH_REAL_CLOCK") ? hvsim::ClockMode::Real : hvsim::ClockMode::Virtual);
        std::vector<HANDLE> ports = open_looped_ports(bench, count, "off");
        for (HANDLE port : ports) hvbench::set_up_port(port, 921600, 0, 0);
        wait_for_go();
        const double switches = context_switches();
        const uint64_t urbs = hvsim::usb::counters().completed;
        const double cpu = cpu_seconds();
        const double start = host_seconds();
        const Moved moved = loop_through(ports, kBytes);
        const double seconds = host_seconds() - start;
        if (std::getenv(kReadyFd)) std::printf("span %.6f %.6f %zu\n", start, start + seconds, moved.received);
        const double cpu_used = cpu_seconds() - cpu;
        const double megabytes = moved.received / 1e6;
        const std::string prefix = "unpaced_" + std::to_string(count) + "_ports_";
        figure(prefix + "throughput", moved.received / seconds / 1e6, "MB/s");
        figure(prefix + "throughput_per_port", moved.received / seconds / 1e6 / count, "MB/s");
        figure(prefix + "ratio_to_pipe", moved.received / seconds / 1e6 / pipe_rate, "x");
        figure(prefix + "bytes_lost", static_cast<double>(moved.sent - moved.received + moved.mismatched), "bytes");
        figure(prefix + "urbs_per_mb", static_cast<double>(hvsim::usb::counters().completed - urbs) / megabytes, "URBs");
        figure(prefix + "thread_switches_per_mb", (context_switches() - switches) / megabytes, "switches");
        figure(prefix + "cpu_per_mb", cpu_used / megabytes, "s/MB");
    }
}

// One port in each of `count` copies of the bench at once, all moving their data at the same time:
// what the host gives as many wholly separate data paths, against which the ports of one machine
// (which share its scheduler, its pool and its USB stack) can be measured. The figure is every
// copy's bytes over the time from the first start to the last end.
void separate(const std::vector<size_t>& counts, const char* self) {
    for (size_t count : counts) {
        int ready[2], go[2];
        if (pipe(ready) != 0 || pipe(go) != 0) return;
        std::vector<pid_t> children;
        std::vector<int> outputs;
        std::vector<std::string> environment;
        for (char** e = environ; *e; ++e) environment.emplace_back(*e);
        environment.push_back(std::string(kReadyFd) + "=" + std::to_string(ready[1]));
        environment.push_back(std::string(kGoFd) + "=" + std::to_string(go[0]));
        std::vector<char*> envp;
        for (auto& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        for (size_t i = 0; i < count; ++i) {
            int out[2];
            if (pipe(out) != 0) break;
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
            posix_spawn_file_actions_addclose(&actions, out[0]);
            posix_spawn_file_actions_addclose(&actions, ready[0]);
            posix_spawn_file_actions_addclose(&actions, go[1]);
            char arg0[] = "hvbench_serial", arg1[] = "throughput1";
            char* argv[] = {arg0, arg1, nullptr};
            pid_t pid;
            const int spawned = posix_spawn(&pid, self, &actions, nullptr, argv, envp.data());
            posix_spawn_file_actions_destroy(&actions);
            close(out[1]);
            if (spawned != 0) {
                close(out[0]);
                break;
            }
            children.push_back(pid);
            outputs.push_back(out[0]);
        }
        close(ready[1]);
        close(go[0]);
        // A copy that ends before it is ready (a failed boot) would leave the others waiting for
        // the word: the wait stops when any copy has ended.
        size_t ready_count = 0;
        bool ended = false;
        while (ready_count < children.size() && !ended) {
            pollfd ready_poll{ready[0], POLLIN, 0};
            if (poll(&ready_poll, 1, 200) > 0) {
                char c;
                if (read(ready[0], &c, 1) != 1) break;
                ++ready_count;
                continue;
            }
            for (pid_t& pid : children) {
                int status;
                if (pid && waitpid(pid, &status, WNOHANG) == pid) {
                    ended = true;
                    pid = 0;
                }
            }
        }
        const std::string word(children.size(), 'g');
        const bool started = ready_count == children.size() &&
                             write(go[1], word.data(), word.size()) == static_cast<ssize_t>(word.size());
        close(go[1]);
        close(ready[0]);
        double first_start = 0, last_end = 0;
        size_t bytes = 0, spans = 0;
        for (int fd : outputs) {
            std::string text;
            char buffer[4096];
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
            close(fd);
            const size_t at = text.find("span ");
            double start = 0, end = 0;
            size_t received = 0;
            if (at == std::string::npos || std::sscanf(text.c_str() + at, "span %lf %lf %zu", &start, &end, &received) != 3)
                continue;
            first_start = spans ? std::min(first_start, start) : start;
            last_end = spans ? std::max(last_end, end) : end;
            bytes += received;
            ++spans;
        }
        for (pid_t pid : children)
            if (pid) waitpid(pid, nullptr, 0);
        if (!started || spans != count || count == 0 || last_end <= first_start) {
            std::fprintf(stderr, "bench: %zu separate copies did not all run\n", count);
            continue;
        }
        figure("separate_" + std::to_string(count) + "_processes_throughput", bytes / (last_end - first_start) / 1e6,
               "MB/s");
    }
}

void paced() {
    constexpr size_t kPorts = 8;
    constexpr size_t kBytes = 2 * 92160; // two seconds of the line per port
    BenchMachine bench("bench-paced", hvsim::ClockMode::Virtual);
    std::vector<HANDLE> ports = open_looped_ports(bench, kPorts, "on");
    for (HANDLE port : ports) hvbench::set_up_port(port, 921600, 30000, 30000);
    const double cpu = cpu_seconds();
    const double start = hvbench::machine_seconds();
    const Moved moved = loop_through(ports, kBytes);
    const double seconds = hvbench::machine_seconds() - start;
    const double cpu_used = cpu_seconds() - cpu;
    figure("paced_8_ports_bytes_per_second_per_port", moved.received / seconds / kPorts, "bytes/s");
    figure("paced_line_limit", 92160, "bytes/s");
    figure("paced_8_ports_bytes_lost", static_cast<double>(moved.sent - moved.received + moved.mismatched), "bytes");
    figure("paced_8_ports_cpu_per_mb", cpu_used / ((moved.sent + moved.received) / 1e6), "s/MB");
}

// The bus driver's latency settings of every interface of the adapter `id`, written where its
// settings set reads them (the set key UI1 of the interface's device parameters): used from the next start.
void set_maximum_latency(BenchMachine& bench, const std::string& id, DWORD maximum) {
    for (const auto& device : bench.machine().usb_devices()) {
        if (device.id != id) continue;
        for (const auto& instance : device.interfaces) {
            const std::u16string path =
                u"SYSTEM\\CurrentControlSet\\Enum\\" + instance + u"\\Device Parameters\\UI1";
            HKEY key;
            if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
                continue;
            RegSetValueExW(key, u"MaximumLatency", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&maximum), sizeof maximum);
            RegCloseKey(key);
        }
    }
}

// One byte written on one port of a null-modem pair until ReadFile returns it on the other,
// in machine time; `maximum_latency` 0 keeps the bus driver's default latency policy.
void latency_run(const std::string& name, DWORD maximum_latency) {
    BenchMachine bench("bench-latency", hvsim::ClockMode::Virtual);
    std::string id;
    auto names = bench.plug("ftdi:interfaces=2,wire=null-modem", &id);
    if (maximum_latency) {
        set_maximum_latency(bench, id, maximum_latency);
        bench.unplug(id);
        names = bench.plug("ftdi:interfaces=2,wire=null-modem", &id);
    }
    HANDLE far_end = hvbench::open_port(names.at(0));
    HANDLE near_end = hvbench::open_port(names.at(1));
    hvbench::set_up_port(far_end, 921600, 0, 0);
    hvbench::set_up_port(near_end, 921600, 0, 0);
    std::vector<double> samples;
    for (int i = 0; i < 200; ++i) {
        BYTE in = 0, out = static_cast<BYTE>(i);
        Request read, write;
        ReadFile(near_end, &in, 1, nullptr, &read.overlapped);
        const double start = hvbench::machine_seconds();
        WriteFile(far_end, &out, 1, nullptr, &write.overlapped);
        read.wait();
        samples.push_back((hvbench::machine_seconds() - start) * 1000.0);
        write.wait();
        if (in != out) std::fprintf(stderr, "bench: byte %d came back as %d\n", out, in);
        // A pause between bytes so that each one starts at another point of the latency timer.
        Sleep(static_cast<DWORD>(1 + i % 7));
    }
    std::sort(samples.begin(), samples.end());
    figure(name + "_median", samples[samples.size() / 2], "ms");
    figure(name + "_p99", samples[samples.size() * 99 / 100], "ms");
}

void latency() {
    // At 921600 baud the default policy (maximum latency 1040) sets the 16 ms latency timer; a
    // maximum latency of 65 gives the policy's smallest, 1 ms.
    latency_run("latency_timer_16ms", 0);
    latency_run("latency_timer_1ms", 65);
}

void costs() {
    BenchMachine bench("bench-costs", hvsim::ClockMode::Virtual);
    const auto names = bench.plug("ftdi:wire=loopback");
    constexpr int kOpens = 200, kBauds = 1000;
    double start = host_seconds();
    for (int i = 0; i < kOpens; ++i) CloseHandle(hvbench::open_port(names.at(0)));
    figure("open_close_cost", (host_seconds() - start) / kOpens * 1e6, "us");
    HANDLE port = hvbench::open_port(names.at(0));
    start = host_seconds();
    for (int i = 0; i < kBauds; ++i) {
        SERIAL_BAUD_RATE rate{i % 2 ? 115200u : 921600u};
        hvbench::control(port, IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate);
    }
    figure("set_baud_cost", (host_seconds() - start) / kBauds * 1e6, "us");
    CloseHandle(port);
}

} // namespace

int main(int argc, char** argv) {
    std::set<std::string> wanted(argv + 1, argv + argc);
    auto run = [&](const char* name) { return wanted.empty() || wanted.count(name) != 0; };
    if (run("throughput")) throughput({1, 2, 4, 8});
    if (run("separate")) separate({1, 8}, "/proc/self/exe");
    if (wanted.count("throughput1")) throughput({1}); // one port only, for a profile
    if (wanted.count("throughput8")) throughput({8}); // eight ports only, for a profile
    if (run("loaded")) loaded();
    if (run("paced")) paced();
    if (run("latency")) latency();
    if (run("costs")) costs();
    return 0;
}
