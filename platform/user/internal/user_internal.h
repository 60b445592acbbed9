// Shared state of the user-mode platform: the objects behind handles, handle tables, processes
// and threads. Neutral types only, so that both the Win32 side (windows.h) and the kernel side
// (wdm.h) of the library include it.
#pragma once

#include <basetsd.h>

#include <hvsim/user.h>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace hvsim::user {

// Last error of the calling thread, from a Win32 code or a kernel status.
void set_last_error(DWORD error);
void set_last_status(LONG status);

// ---- Objects behind handles -------------------------------------------------------------------

enum class ObjectKind { File, Event, Mutex, Thread, Process, Console, Token, DiskFile, FileSearch };

class UserObject {
public:
    explicit UserObject(ObjectKind kind) : kind_(kind) {}
    virtual ~UserObject() = default;
    UserObject(const UserObject&) = delete;
    UserObject& operator=(const UserObject&) = delete;

    ObjectKind kind() const { return kind_; }
    // The kernel dispatcher object that a wait on a handle of this object waits for; nullptr
    // when the object cannot be waited on.
    virtual void* dispatcher() { return nullptr; }
    // Runs when the last handle to the object is closed (a file's cleanup).
    virtual void last_handle_closed() {}

    std::atomic<size_t> handles{0};

private:
    ObjectKind kind_;
};

// A process's handles. Values are multiples of 4 from 4 up, as on Windows; freed values are
// used again.
class HandleTable {
public:
    HANDLE insert(std::shared_ptr<UserObject> object, DWORD access);
    // The object behind a handle, or nullptr (ERROR_INVALID_HANDLE for the caller).
    std::shared_ptr<UserObject> lookup(HANDLE handle, DWORD* access = nullptr) const;
    // False when the handle is not in the table.
    bool close(HANDLE handle);
    void close_all();
    size_t size() const;

private:
    mutable std::mutex mutex_;
    struct Entry {
        std::shared_ptr<UserObject> object;
        DWORD access;
    };
    std::map<uintptr_t, Entry> entries_;
    uintptr_t next_ = 4;
    std::vector<uintptr_t> free_;
};

// Drops one handle's claim on an object; the last one runs last_handle_closed().
void release_handle_reference(UserObject& object);

// ---- Dispatcher objects owned by user-mode objects ----------------------------------------------

// A kernel dispatcher object allocated for a user object and freed with it.
class KernelEvent {
public:
    KernelEvent(bool manual_reset, bool initially_set);
    ~KernelEvent();
    KernelEvent(const KernelEvent&) = delete;
    KernelEvent& operator=(const KernelEvent&) = delete;
    void set();
    void reset();
    bool is_set() const;
    void* dispatcher() const { return object_; }

private:
    void* object_;
};

// A kernel mutex (recursive for its owner). Releasing by a thread that does not own it fails
// with STATUS_MUTANT_NOT_OWNED instead of stopping the machine.
class KernelMutex {
public:
    explicit KernelMutex(bool acquire);
    ~KernelMutex();
    KernelMutex(const KernelMutex&) = delete;
    KernelMutex& operator=(const KernelMutex&) = delete;
    LONG release();
    void* dispatcher() const { return object_; }

private:
    void* object_;
};

class EventObject : public UserObject {
public:
    EventObject(bool manual_reset, bool initially_set)
        : UserObject(ObjectKind::Event), event(manual_reset, initially_set) {}
    void* dispatcher() override { return event.dispatcher(); }
    KernelEvent event;
};

class MutexObject : public UserObject {
public:
    explicit MutexObject(bool acquire) : UserObject(ObjectKind::Mutex), mutex(acquire) {}
    void* dispatcher() override { return mutex.dispatcher(); }
    KernelMutex mutex;
};

// ---- Threads and processes ------------------------------------------------------------------

DWORD allocate_client_id();
// The calling thread's ID (given at its first use for threads the platform did not start).
DWORD current_thread_id();
void set_current_thread_id(DWORD id);

class ThreadObject : public UserObject {
public:
    explicit ThreadObject(DWORD id);
    void* dispatcher() override { return exited_.dispatcher(); }
    void finish(DWORD exit_code);
    bool has_exited() const { return exited_.is_set(); }
    DWORD exit_code() const { return exit_code_.load(); }
    DWORD id() const { return id_; }
    // CREATE_SUSPENDED threads wait here until ResumeThread.
    KernelEvent resumed{true, false};
    std::atomic<LONG> suspend_count{0};

    // User APCs, run in the order queued by the thread's alertable waits; the dispatcher is
    // signalled while any is queued.
    void queue_apc(std::function<void()> apc);
    // Runs the queued APCs (and those they queue); false when there was none.
    bool run_apcs();
    void* apc_dispatcher() const { return apc_pending_.dispatcher(); }

private:
    std::mutex apc_mutex_;
    std::deque<std::function<void()>> apcs_;
    KernelEvent apc_pending_{true, false};
    DWORD id_;
    std::atomic<DWORD> exit_code_;
    KernelEvent exited_{true, false};
};

// The thread object of the calling thread, made at first use for threads that the platform did
// not start (signalled when such a thread ends).
std::shared_ptr<ThreadObject> current_thread_object();

// A handle keeps the process, and so its exit code, as long as the handle is open.
class ProcessObject : public UserObject {
public:
    explicit ProcessObject(std::weak_ptr<Process> process)
        : UserObject(ObjectKind::Process), process_(process.lock()) {}
    void* dispatcher() override;
    std::shared_ptr<Process> process() const { return process_; }

private:
    std::shared_ptr<Process> process_;
};

struct Token; // tokens.cpp

class ProcessState {
public:
    ProcessState(Process& owner, ProcessOptions options);
    ~ProcessState();

    Process& owner;
    const ProcessOptions options;
    const DWORD id;
    HandleTable handles;
    KernelEvent exited{true, false};
    std::atomic<DWORD> exit_code;
    // Strings handed out by GetCommandLineW/A, stable for the process's lifetime.
    std::u16string command_line_w;
    std::string command_line_a;

    std::mutex mutex;
    std::u16string current_directory;
    std::vector<std::pair<std::u16string, std::u16string>> environment;
    HANDLE std_handles[3] = {};
    // The process's primary token (security_internal.h reads and replaces it under `mutex`).
    std::shared_ptr<Token> token;
    // The loader's handle of the program image (GetModuleHandle(NULL)); null for the machine's
    // own default process.
    void* image_module = nullptr;
    std::atomic<DWORD> priority_class{0x20}; // NORMAL_PRIORITY_CLASS
    // Set before start: the main thread waits for ResumeThread before it runs.
    bool start_suspended = false;
    std::shared_ptr<ThreadObject> main_thread;

    // Threads of the process still running (the main thread included).
    void thread_started();
    void thread_ended();
    void wait_for_other_threads();

    // Writes to the process's standard output (1) or error (2).
    void write_output(int stream, std::string_view bytes);

private:
    struct ThreadCount;
    std::unique_ptr<ThreadCount> threads_;
};

// The machine's default process: that of threads outside every process (nullptr when it does
// not exist yet and `create` is false).
std::shared_ptr<Process> default_process(bool create = true);

// Runs `body` on a new machine thread that belongs to `process`, with `thread` as its object.
void start_process_thread(std::shared_ptr<Process> process, std::shared_ptr<ThreadObject> thread,
                          std::function<DWORD()> body);

// Thrown by ExitThread and caught where the thread began.
struct ThreadExit {
    DWORD code;
};

// Console handles: output goes to the current process's stream; input is always at its end.
bool console_write(UserObject& console, std::string_view bytes, DWORD* written);
bool console_read(UserObject& console, DWORD* read);

// References on kernel objects (file objects) that user-mode objects keep alive.
void reference_kernel_object(void* object);
void dereference_kernel_object(void* object);

// ---- Waits and time --------------------------------------------------------------------------

// Waits for dispatcher objects; the timeout is in milliseconds, INFINITE (0xFFFFFFFF) for none.
// Returns the kernel status: STATUS_WAIT_0 + i, STATUS_ABANDONED_WAIT_0 + i or STATUS_TIMEOUT.
LONG wait_for_dispatchers(size_t count, void* const* objects, bool wait_all, DWORD milliseconds);
// The same, alertable: the calling thread's queued APCs run, before the wait or when they come
// during it, and the wait then ends with STATUS_USER_APC.
LONG wait_alertable(size_t count, void* const* objects, bool wait_all, DWORD milliseconds);
void sleep_milliseconds(DWORD milliseconds);
int64_t machine_time();        // 100-ns ticks since boot
int64_t machine_system_time(); // 100-ns units since 1601
void debugger_output(std::string_view text);

// ---- Named objects -----------------------------------------------------------------------------

// The machine-wide namespace of event and mutex names (case-sensitive, "Local\" is the same
// namespace). find returns the live object of that name, if any.
std::shared_ptr<UserObject> find_named_object(const std::u16string& name);
// Registers the object under its name unless a live object holds it; returns the holder.
std::shared_ptr<UserObject> register_named_object(const std::u16string& name, std::shared_ptr<UserObject> object);

// Registry key and service handles that a process still holds go with it.
void close_registry_handles_of(DWORD process);
void close_service_handles_of(DWORD process);

// Conversions used by the narrow entry points.
std::u16string widen_ansi(const char* text);
std::string narrow_ansi(const std::u16string& text);
std::string to_utf8(std::u16string_view text);

} // namespace hvsim::user
