// The scheduler: machine threads, blocking and waking, and the virtual clock's jumps.
//
//   current_thread / current_thread_if_registered   the calling thread's object
//   create_thread_locked / adopt_thread / retire_current_thread   thread lifetime
//   block / unblock                                  every wait of the machine goes through these
//   queue_wait / queue_wake_one / queue_wake_all     wait queues of the primitives
//   MachineThread, ExternalWait, start_thread, join, set_thread_name, stats, describe_threads
//
// A machine thread counts as running from its registration until it blocks here, and again from
// the moment another thread unblocks it (the waker counts it, so the clock cannot jump between
// a wake-up and the woken thread's first step). When the running count falls to zero with the
// virtual clock, the thread that made it fall moves the clock to the earliest deadline, expires
// the timers due then and ends the waits whose deadline has come.
#include "sched_internal.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <utility>

namespace hvsim::sched::detail {
namespace {

struct ThreadHolder {
    _ETHREAD* owned = nullptr; // the object of an automatically registered thread
    ~ThreadHolder();
};

thread_local _ETHREAD* t_current = nullptr;
thread_local ThreadHolder t_holder;

_ETHREAD* thread_of(PLIST_ENTRY link) { return static_cast<_ETHREAD::Link*>(link)->thread; }

void timeout_thread(_ETHREAD* thread) {
    thread->timed_out = true;
    if (thread->wait_pending)
        unwait(thread, STATUS_TIMEOUT);
    else
        unblock(thread);
}

std::string format_time(int64_t ticks) {
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%07lld s", static_cast<long long>(ticks / kTicksPerSecond),
                  static_cast<long long>(ticks % kTicksPerSecond));
    return text;
}

std::string describe_locked() {
    auto& d = dispatcher();
    std::ostringstream out;
    for (PLIST_ENTRY link = d.threads.Flink; link != &d.threads; link = link->Flink) {
        _ETHREAD* t = thread_of(link);
        out << "  " << t->name << ": ";
        if (t->external_depth > 0)
            out << "outside the machine (" << (t->wait_what ? t->wait_what : "?") << ")";
        else if (!t->blocked)
            out << "running";
        else {
            out << "blocked in " << (t->wait_what ? t->wait_what : "?");
            if (t->wait_object) out << " on " << hex(t->wait_object);
            if (t->deadline) out << " until " << format_time(*t->deadline);
        }
        out << "\n";
    }
    return out.str();
}

// Everyone waits and nothing can ever end a wait: say so once, then keep waiting.
void report_stall() {
    auto& d = dispatcher();
    if (d.stall_reported) return;
    for (PLIST_ENTRY link = d.threads.Flink; link != &d.threads; link = link->Flink)
        if (thread_of(link)->external_depth > 0) return; // the outside world may still wake it
    d.stall_reported = true;
    std::string text = "hvsim: every machine thread is blocked and no deadline is pending (machine time " +
                       format_time(d.virtual_now.load()) + "):\n" + describe_locked();
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

// Virtual clock: runs while nobody runs.
void advance_if_idle() {
    auto& d = dispatcher();
    // Expiries that wake nobody (say a periodic timer under a WaitAll that never completes)
    // could repeat forever: past this many in a row, the machine has stalled.
    constexpr int kMaxIdleExpiries = 100000;
    int idle_expiries = 0;
    while (d.mode.load() == ClockMode::Virtual && d.running == 0 && d.registered > 0) {
        if (++idle_expiries > kMaxIdleExpiries) {
            report_stall();
            return;
        }
        std::optional<int64_t> earliest = earliest_waking_timer();
        for (PLIST_ENTRY link = d.threads.Flink; link != &d.threads; link = link->Flink) {
            _ETHREAD* t = thread_of(link);
            if (t->blocked && t->deadline && (!earliest || *t->deadline < *earliest)) earliest = t->deadline;
        }
        if (!earliest) {
            report_stall();
            return;
        }
        int64_t now = d.virtual_now.load();
        if (*earliest > now) {
            now = *earliest;
            d.virtual_now.store(now);
            ++d.clock_jumps;
        }
        expire_timers(now);
        for (PLIST_ENTRY link = d.threads.Flink; link != &d.threads; link = link->Flink) {
            _ETHREAD* t = thread_of(link);
            if (t->blocked && t->deadline && *t->deadline <= now) timeout_thread(t);
        }
    }
}

void register_locked(_ETHREAD* thread) {
    auto& d = dispatcher();
    InsertTailList(&d.threads, &thread->thread_link);
    ++d.registered;
    ++d.running;
    if (thread->system_thread) ++d.system_threads;
}

void unregister_locked(_ETHREAD* thread) {
    auto& d = dispatcher();
    RemoveEntryList(&thread->thread_link);
    --d.registered;
    if (!thread->blocked) --d.running;
    if (thread->system_thread) {
        --d.system_threads;
        queue_wake_all(d.system_thread_ended);
    }
    advance_if_idle();
}

ThreadHolder::~ThreadHolder() {
    if (owned && owned == t_current) delete retire_current_thread();
}

} // namespace

Dispatcher& dispatcher() {
    static Dispatcher* d = new Dispatcher; // never destroyed: threads leave the machine at process exit
    return *d;
}

std::string hex(const void* pointer) {
    char text[24];
    std::snprintf(text, sizeof text, "%p", pointer);
    return text;
}

[[noreturn]] void fail(Lock& lock, ULONG code, const std::string& message) {
    if (lock.owns_lock()) lock.unlock();
    bug_check(code, message);
}

_ETHREAD* create_thread_locked(std::string name, bool system_thread) {
    auto& d = dispatcher();
    auto* t = new _ETHREAD;
    t->Header.Type = ThreadObject;
    t->Header.Size = sizeof(KTHREAD) / sizeof(LONG);
    t->Header.SignalState = 0;
    InitializeListHead(&t->Header.WaitListHead);
    t->id = (d.next_thread_id += 4);
    t->name = name.empty() ? "thread " + std::to_string(t->id) : std::move(name);
    t->system_thread = system_thread;
    register_locked(t);
    return t;
}

void adopt_thread(_ETHREAD* thread) {
    t_current = thread;
    // The host's name too, so that a profile or `top -H` tells the machine's threads apart: a
    // system thread by its image ("system thread 12 (HvUVCP.sys!...)"), others by their name.
    std::string_view name = thread->name;
    if (const size_t open = name.find('('); open != std::string_view::npos) name.remove_prefix(open + 1);
    name = name.substr(0, name.find_first_of("!)"));
    char host_name[16]{};
    name.copy(host_name, sizeof host_name - 1);
    pthread_setname_np(pthread_self(), host_name);
}

_ETHREAD* current_thread_if_registered() { return t_current; }

_ETHREAD* current_thread() {
    if (t_current) return t_current;
    Lock lock(dispatcher().lock);
    t_current = create_thread_locked({}, false);
    t_holder.owned = t_current;
    return t_current;
}

void retire_thread(_ETHREAD* thread, void (*release)(_ETHREAD*)) {
    Lock lock(dispatcher().lock);
    for (PKMUTANT mutex : std::exchange(thread->owned_mutexes, {})) abandon_mutex(mutex);
    thread->Header.SignalState = 1;
    wait_test(&thread->Header);
    unregister_locked(thread);
    if (release) release(thread);
}

_ETHREAD* retire_current_thread(void (*release)(_ETHREAD*)) {
    _ETHREAD* self = t_current;
    if (!self) return nullptr;
    retire_thread(self, release);
    t_current = nullptr;
    if (t_holder.owned == self) t_holder.owned = nullptr;
    return release ? nullptr : self;
}

void unblock(_ETHREAD* thread) {
    if (!thread->blocked) return;
    auto& d = dispatcher();
    thread->blocked = false;
    thread->deadline.reset();
    ++d.running;
    d.stall_reported = false;
    thread->parking.wake();
}

void block(Lock& lock, _ETHREAD* self, std::optional<int64_t> deadline, const char* what, const void* object) {
    auto& d = dispatcher();
    self->timed_out = false;
    if (deadline && *deadline <= now()) {
        self->timed_out = true;
        return;
    }
    self->blocked = true;
    self->deadline = deadline;
    self->wait_what = what;
    self->wait_object = object;
    --d.running;
    advance_if_idle();
    while (self->blocked) {
        // The host waits only for a wake-up, except on the real clock, where the deadline is a
        // host time too. Far deadlines wait without a limit rather than overflow the steady clock.
        std::optional<int64_t> until_ns;
        if (d.mode.load() == ClockMode::Real && deadline) {
            constexpr int64_t kFar = int64_t{100} * 365 * 24 * 3600 * kTicksPerSecond;
            if (*deadline - now() <= kFar) until_ns = d.real_base_ns.load() + *deadline * 100;
        }
        const uint32_t ticket = self->parking.ticket();
        lock.unlock();
        const bool woken = self->parking.park(ticket, until_ns);
        lock.lock();
        if (!woken && self->blocked && now() >= *deadline) timeout_thread(self);
    }
    self->wait_what = nullptr;
    self->wait_object = nullptr;
}

bool queue_wait(WaitQueue& queue, Lock& lock, _ETHREAD* self, std::optional<int64_t> deadline, const char* what,
                const void* object) {
    WaitNode node{self};
    node.prev = queue.tail;
    (queue.tail ? queue.tail->next : queue.head) = &node;
    queue.tail = &node;
    block(lock, self, deadline, what, object);
    // Unlink, whether a waker already did or the deadline came first.
    if (node.prev || queue.head == &node) {
        (node.prev ? node.prev->next : queue.head) = node.next;
        (node.next ? node.next->prev : queue.tail) = node.prev;
    }
    return node.signalled;
}

namespace {
void take_node(WaitQueue& queue, WaitNode* node) {
    (node->prev ? node->prev->next : queue.head) = node->next;
    (node->next ? node->next->prev : queue.tail) = node->prev;
    node->prev = node->next = nullptr;
}
} // namespace

bool queue_wake_one(WaitQueue& queue) {
    // A waiter whose deadline already ended its wait gets nothing: the signal stays for the next.
    for (WaitNode* node = queue.head; node; node = node->next) {
        if (!node->thread->blocked) continue;
        take_node(queue, node);
        node->signalled = true;
        unblock(node->thread);
        return true;
    }
    return false;
}

size_t queue_wake_all(WaitQueue& queue) {
    size_t woken = 0;
    while (WaitNode* node = queue.head) {
        take_node(queue, node);
        if (!node->thread->blocked) continue;
        node->signalled = true;
        unblock(node->thread);
        ++woken;
    }
    return woken;
}

std::string wait_for_system_threads(int64_t deadline) {
    _ETHREAD* self = current_thread();
    auto& d = dispatcher();
    Lock lock(d.lock);
    while (d.system_threads > 0)
        if (!queue_wait(d.system_thread_ended, lock, self, deadline, "the end of the system threads", nullptr)) break;
    std::string remaining;
    for (PLIST_ENTRY link = d.threads.Flink; link != &d.threads; link = link->Flink)
        if (thread_of(link)->system_thread) remaining += "  " + thread_of(link)->name + "\n";
    return remaining;
}

void forget_owned_mutexes() {
    auto& d = dispatcher();
    Lock lock(d.lock);
    for (PLIST_ENTRY link = d.threads.Flink; link != &d.threads; link = link->Flink)
        thread_of(link)->owned_mutexes.clear();
}

} // namespace hvsim::sched::detail

namespace hvsim::sched {

using namespace detail;

MachineThread::MachineThread(std::string name) : owns_(current_thread_if_registered() == nullptr) {
    set_thread_name(std::move(name));
}

MachineThread::~MachineThread() {
    if (owns_) delete retire_current_thread();
}

void set_thread_name(std::string name) {
    _ETHREAD* self = current_thread();
    Lock lock(dispatcher().lock);
    self->name = std::move(name);
}

ExternalWait::ExternalWait(const char* what) {
    _ETHREAD* self = current_thread();
    auto& d = dispatcher();
    Lock lock(d.lock);
    if (self->external_depth++ > 0) return;
    self->blocked = true;
    self->deadline.reset();
    self->wait_what = what;
    self->wait_object = nullptr;
    --d.running;
    advance_if_idle();
}

ExternalWait::~ExternalWait() {
    _ETHREAD* self = current_thread_if_registered();
    if (!self) return;
    Lock lock(dispatcher().lock);
    if (--self->external_depth > 0) return;
    self->wait_what = nullptr;
    unblock(self);
}

std::thread start_thread(std::string name, std::function<void()> body) {
    _ETHREAD* thread;
    {
        Lock lock(dispatcher().lock);
        thread = create_thread_locked(std::move(name), false);
    }
    return std::thread([thread, body = std::move(body)] {
        adopt_thread(thread);
        t_holder.owned = thread;
        body();
        delete retire_current_thread();
    });
}

void abandon_owned_mutexes() {
    _ETHREAD* self = t_current;
    if (!self) return;
    Lock lock(dispatcher().lock);
    for (PKMUTANT mutex : std::exchange(self->owned_mutexes, {})) abandon_mutex(mutex);
}

void join(std::thread& thread) {
    ExternalWait wait("join");
    thread.join();
}

SchedulerStats stats() {
    auto& d = dispatcher();
    Lock lock(d.lock);
    return {d.registered, d.running, d.system_threads, d.clock_jumps};
}

std::string describe_threads() {
    Lock lock(dispatcher().lock);
    return describe_locked();
}

} // namespace hvsim::sched
