// Simulated processes and their threads: handle tables, the current process of each thread,
// process exit, and the user-mode part of the kernel's boot and shutdown.
#include <windows.h>

#include <hvsim/kernel.h>
#include <hvsim/sched.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <list>
#include <thread>
#include <unistd.h>

#include "internal/security_internal.h"
#include "internal/user_internal.h"

namespace hvsim::user {
namespace {

// Exit code of a thread that ended by an exception nobody caught (a C++ exception on Windows).
constexpr DWORD kUnhandledExceptionCode = 0xE06D7363;

struct Registry {
    std::mutex mutex;
    std::shared_ptr<Process> default_process;
    std::list<std::weak_ptr<Process>> processes;
    // Threads that were started and not yet joined.
    struct StartedThread {
        std::shared_ptr<ThreadObject> object;
        const Process* process;
        std::thread thread;
    };
    std::list<StartedThread> threads;
};

Registry& registry() {
    static Registry* r = new Registry; // used until the process exits
    return *r;
}

std::atomic<DWORD> g_next_client_id{0x100};

thread_local std::shared_ptr<Process> t_process;
thread_local DWORD t_thread_id = 0;

// Threads that the platform did not start get a thread object at first use, which is signalled
// when the thread ends.
struct ForeignThread {
    std::shared_ptr<ThreadObject> object;
    ~ForeignThread() {
        if (object && !object->has_exited()) object->finish(0);
    }
};
thread_local ForeignThread t_foreign;
thread_local std::shared_ptr<ThreadObject> t_thread_object;

// Joins the started threads that have ended (all, or those of one process, when asked).
void reap_threads(bool all, const Process* of_process = nullptr) {
    std::list<Registry::StartedThread> done;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        for (auto it = r.threads.begin(); it != r.threads.end();) {
            if (all || it->object->has_exited() || (of_process && it->process == of_process)) {
                done.splice(done.end(), r.threads, it++);
            } else {
                ++it;
            }
        }
    }
    for (auto& started : done)
        if (started.thread.joinable()) sched::join(started.thread);
}

void user_boot(const KernelOptions&) { set_windows_version(WindowsVersion{}); }

void user_shutdown() {
    std::shared_ptr<Process> default_process;
    std::vector<std::shared_ptr<Process>> live;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        default_process = std::move(r.default_process);
        for (auto& weak : r.processes)
            if (auto p = weak.lock()) live.push_back(std::move(p));
        r.processes.clear();
    }
    // Handles left open are closed while the I/O manager is still there.
    for (auto& p : live) p->close_all_handles();
    reap_threads(true);
}

[[maybe_unused]] const bool g_registered = [] {
    register_kernel_subsystem({"user", 900, user_boot, user_shutdown});
    return true;
}();

} // namespace

// ---- Handle table ----------------------------------------------------------------------------

HANDLE HandleTable::insert(std::shared_ptr<UserObject> object, DWORD access) {
    std::lock_guard lock(mutex_);
    uintptr_t value;
    if (!free_.empty()) {
        value = free_.back();
        free_.pop_back();
    } else {
        value = next_;
        next_ += 4;
    }
    ++object->handles;
    entries_.emplace(value, Entry{std::move(object), access});
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<UserObject> HandleTable::lookup(HANDLE handle, DWORD* access) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == entries_.end()) return nullptr;
    if (access) *access = it->second.access;
    return it->second.object;
}

bool HandleTable::close(HANDLE handle) {
    std::shared_ptr<UserObject> object;
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(reinterpret_cast<uintptr_t>(handle));
        if (it == entries_.end()) return false;
        object = std::move(it->second.object);
        free_.push_back(it->first);
        entries_.erase(it);
    }
    // Outside the table's lock: a file's cleanup calls into the driver.
    release_handle_reference(*object);
    return true;
}

void HandleTable::close_all() {
    std::map<uintptr_t, Entry> entries;
    {
        std::lock_guard lock(mutex_);
        entries.swap(entries_);
        free_.clear();
        next_ = 4;
    }
    for (auto& [value, entry] : entries) release_handle_reference(*entry.object);
}

size_t HandleTable::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void release_handle_reference(UserObject& object) {
    if (object.handles.fetch_sub(1) == 1) object.last_handle_closed();
}

// ---- Threads ---------------------------------------------------------------------------------

DWORD allocate_client_id() { return g_next_client_id.fetch_add(4); }

DWORD current_thread_id() {
    if (!t_thread_id) t_thread_id = allocate_client_id();
    return t_thread_id;
}

void set_current_thread_id(DWORD id) { t_thread_id = id; }

ThreadObject::ThreadObject(DWORD id) : UserObject(ObjectKind::Thread), id_(id), exit_code_(STILL_ACTIVE) {}

void ThreadObject::finish(DWORD exit_code) {
    exit_code_ = exit_code;
    exited_.set();
}

std::shared_ptr<ThreadObject> current_thread_object() {
    if (t_thread_object) return t_thread_object;
    if (!t_foreign.object) t_foreign.object = std::make_shared<ThreadObject>(current_thread_id());
    return t_foreign.object;
}

// Runs a thread's body; an exception nobody caught ends the thread as it would end the process on
// Windows, with a message on standard error.
DWORD run_thread_body(ProcessState& state, std::function<DWORD()>& body) {
    try {
        return body();
    } catch (const ThreadExit& exit) {
        return exit.code;
    } catch (const std::exception& e) {
        state.write_output(2, std::string("unhandled exception: ") + e.what() + "\n");
    } catch (...) {
        state.write_output(2, "unhandled exception\n");
    }
    return kUnhandledExceptionCode;
}

void start_process_thread(std::shared_ptr<Process> process, std::shared_ptr<ThreadObject> thread,
                          std::function<DWORD()> body) {
    reap_threads(false);
    process->state().thread_started();
    char name[48];
    std::snprintf(name, sizeof name, "user thread %u of process %u", thread->id(), process->id());
    std::thread t = sched::start_thread(name, [process, thread, body = std::move(body)]() mutable {
        t_process = process;
        t_thread_object = thread;
        set_current_thread_id(thread->id());
        DWORD code = run_thread_body(process->state(), body);
        body = nullptr;
        // A waiter woken by the thread's end must already find its mutexes abandoned.
        sched::abandon_owned_mutexes();
        thread->finish(code);
        process->state().thread_ended();
        t_thread_object.reset();
        t_process.reset();
    });
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.threads.push_back({std::move(thread), process.get(), std::move(t)});
}

// ---- Processes -------------------------------------------------------------------------------

struct ProcessState::ThreadCount {
    std::mutex mutex;
    sched::ConditionVariable changed;
    size_t running = 0;
};

ProcessState::ProcessState(Process& process, ProcessOptions opts)
    : owner(process), options(std::move(opts)), id(allocate_client_id()), exit_code(STILL_ACTIVE),
      threads_(std::make_unique<ThreadCount>()) {
    command_line_w = options.command_line;
    command_line_a = narrow_ansi(command_line_w);
    current_directory = options.current_directory;
    environment = options.environment;
    token = make_token(options.token.value_or(default_token_kind()));
}

ProcessState::~ProcessState() = default;

void ProcessState::thread_started() {
    std::lock_guard lock(threads_->mutex);
    ++threads_->running;
}

void ProcessState::thread_ended() {
    std::lock_guard lock(threads_->mutex);
    --threads_->running;
    threads_->changed.notify_all();
}

void ProcessState::wait_for_other_threads() {
    std::unique_lock lock(threads_->mutex);
    threads_->changed.wait(lock, [&] { return threads_->running <= 1; });
}

void ProcessState::write_output(int stream, std::string_view bytes) {
    const OutputSink& sink = stream == 2 ? options.standard_error : options.standard_output;
    if (sink) {
        sink(bytes);
        return;
    }
    int fd = stream == 2 ? 2 : 1;
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n <= 0) break;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

Process::Process(ProcessOptions options) : state_(std::make_unique<ProcessState>(*this, std::move(options))) {}

Process::~Process() { state_->handles.close_all(); }

std::shared_ptr<Process> Process::create(ProcessOptions options) {
    std::shared_ptr<Process> process(new Process(std::move(options)));
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.processes.remove_if([](const std::weak_ptr<Process>& p) { return p.expired(); });
    r.processes.push_back(process);
    return process;
}

DWORD Process::id() const { return state_->id; }

const ProcessOptions& Process::options() const { return state_->options; }

void Process::start(std::function<DWORD()> entry) {
    if (started_.exchange(true))
        bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "Process::start called twice for one process");
    auto self = shared_from_this();
    auto main_thread = std::make_shared<ThreadObject>(allocate_client_id());
    state_->main_thread = main_thread;
    if (state_->start_suspended) main_thread->suspend_count = 1;
    start_process_thread(self, main_thread, [self, main_thread, entry = std::move(entry)]() mutable -> DWORD {
        ProcessState& state = self->state();
        if (state.start_suspended) {
            void* resumed = main_thread->resumed.dispatcher();
            wait_for_dispatchers(1, &resumed, false, INFINITE);
        }
        DWORD code = run_thread_body(state, entry);
        // The process ends with its main thread's code once its other threads are done; what the
        // entry holds (the program's image) goes before anyone learns of the end.
        state.wait_for_other_threads();
        entry = nullptr;
        state.handles.close_all();
        close_registry_handles_of(state.id);
        close_service_handles_of(state.id);
        state.exit_code = code;
        state.exited.set();
        return code;
    });
}

DWORD Process::wait() {
    void* object = state_->exited.dispatcher();
    wait_for_dispatchers(1, &object, false, INFINITE);
    // Joined, so that nothing of the process runs once the caller unloads its image.
    reap_threads(false, this);
    return state_->exit_code;
}

bool Process::has_exited() const { return state_->exited.is_set(); }

DWORD Process::exit_code() const { return state_->exit_code; }

HANDLE Process::open_handle() {
    return current_process()->state().handles.insert(std::make_shared<ProcessObject>(weak_from_this()),
                                                     PROCESS_ALL_ACCESS);
}

size_t Process::handle_count() const { return state_->handles.size(); }

void Process::close_all_handles() {
    state_->handles.close_all();
    close_registry_handles_of(state_->id);
    close_service_handles_of(state_->id);
}

void* ProcessObject::dispatcher() { return process_ ? process_->state().exited.dispatcher() : nullptr; }

std::shared_ptr<Process> current_process() { return t_process ? t_process : default_process(); }

std::shared_ptr<Process> default_process(bool create) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.default_process && create) {
        ProcessOptions options;
        options.image_path = u"C:\\Windows\\System32\\hvsim.exe";
        options.command_line = u"hvsim.exe";
        r.default_process.reset(new Process(std::move(options)));
        r.processes.push_back(r.default_process);
    }
    return r.default_process;
}

ProcessScope::ProcessScope(std::shared_ptr<Process> process) : previous_(std::move(t_process)) {
    t_process = std::move(process);
}

ProcessScope::~ProcessScope() { t_process = std::move(previous_); }

} // namespace hvsim::user
