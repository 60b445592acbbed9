// Message queues, one per thread that uses the window system (user32).
//
//   SendMessageW/A, SendMessageTimeoutW, SendNotifyMessageW       sends
//   PostMessageW/A, PostThreadMessageW, PostQuitMessage           posts
//   GetMessageW, PeekMessageW, WaitMessage,
//   MsgWaitForMultipleObjects, GetQueueStatus                     retrieval
//   DispatchMessageW, TranslateMessage                            dispatch
//   InSendMessage, ReplyMessage, GetMessageTime                   the message being handled
//   SetTimer, KillTimer                                           timers on the machine's clock
//
// A send within the thread calls the window procedure. A send from another thread waits in the
// target's queue until its owner next looks for messages (GetMessage, PeekMessage, a send of its
// own, a modal loop), always ahead of posted messages; meanwhile the sender handles what is sent
// to it, so two threads sending to each other do not deadlock. A thread waiting for messages
// blocks on the machine's scheduler, so the virtual clock sees it as blocked.
#include "internal/ui_internal.h"

#include <algorithm>

namespace hvsim::ui {
namespace {

struct Queues {
    std::mutex mutex;
    std::map<DWORD, QueuePtr> by_thread;
};
Queues& queues() {
    static Queues* q = new Queues;
    return *q;
}

// The calling thread's queue; ended with the thread.
struct ThreadQueue {
    QueuePtr queue;
    ~ThreadQueue() {
        if (queue) end_thread_queue();
    }
};
thread_local ThreadQueue t_thread_queue;

// The message each nesting level of the thread is handling for another thread.
thread_local std::vector<std::shared_ptr<SentMessage>> t_handling;

void complete(const std::shared_ptr<SentMessage>& sm, LRESULT result) {
    if (sm->notify_only || !sm->sender) return;
    {
        std::lock_guard lock(sm->sender->mutex);
        if (sm->done) return; // answered early by ReplyMessage
        sm->result = result;
        sm->done = true;
    }
    sm->sender->wake.notify_all();
}

bool in_range(UINT message, UINT min, UINT max) { return (min == 0 && max == 0) || (message >= min && message <= max); }

bool matches(const MSG& msg, HWND filter, UINT min, UINT max) {
    if (!in_range(msg.message, min, max)) return false;
    if (!filter) return true;
    if (filter == HWND(-1)) return msg.hwnd == nullptr;
    return msg.hwnd == filter || IsChild(filter, msg.hwnd);
}

DWORD tick_count() { return DWORD(sched::now() / sched::kTicksPerMillisecond); }

// Takes the next message for the caller. Sent messages are handled first, then posted ones in
// order, then WM_QUIT, then due timers. Returns false when nothing came and `wait` is off, or
// when `stop` holds.
bool next_message(const QueuePtr& me, MSG* out, HWND filter, UINT min, UINT max, bool remove, bool wait,
                  const std::function<bool()>* stop) {
    std::unique_lock lock(me->mutex);
    for (;;) {
        if (!me->sent.empty()) {
            lock.unlock();
            handle_sent_messages(me);
            lock.lock();
            continue;
        }
        if (stop && (*stop)()) return false;
        for (auto it = me->posted.begin(); it != me->posted.end(); ++it)
            if (matches(*it, filter, min, max)) {
                *out = *it;
                me->message_time = it->time;
                if (remove) me->posted.erase(it);
                return true;
            }
        if (me->quit && in_range(WM_QUIT, min, max)) {
            *out = MSG{nullptr, WM_QUIT, WPARAM(me->quit_code), 0, tick_count(), {}, 0};
            if (remove) me->quit = false;
            return true;
        }
        const int64_t now = sched::now();
        std::optional<int64_t> deadline;
        for (auto& t : me->timers) {
            MSG timer{t.hwnd, WM_TIMER, t.id, LPARAM(t.proc), tick_count(), {}, 0};
            if (t.due <= now && matches(timer, filter, min, max)) {
                *out = timer;
                if (remove) t.due = now + t.period;
                return true;
            }
            if (!deadline || t.due < *deadline) deadline = t.due;
        }
        if (!wait) return false;
        me->waiting = true;
        me->wake.wait_until(lock, deadline);
        me->waiting = false;
    }
}

LRESULT send_to(const WindowPtr& w, UINT msg, WPARAM wp, LPARAM lp, std::function<LRESULT()> call,
                std::optional<int64_t> deadline = std::nullopt, bool* timed_out = nullptr) {
    auto me = current_queue();
    auto target = w->queue;
    if (target == me) return call ? call() : call_procedure(w, msg, wp, lp);
    auto sm = std::make_shared<SentMessage>();
    sm->hwnd = w->handle;
    sm->message = msg;
    sm->wparam = wp;
    sm->lparam = lp;
    sm->call = std::move(call);
    sm->sender = me;
    {
        std::lock_guard lock(target->mutex);
        // A window whose thread has ended answers 0 at once.
        if (target->ended) return 0;
        target->sent.push_back(sm);
    }
    target->wake.notify_all();
    std::unique_lock lock(me->mutex);
    while (!sm->done) {
        if (!me->sent.empty()) {
            lock.unlock();
            handle_sent_messages(me);
            lock.lock();
            continue;
        }
        if (!me->wake.wait_until(lock, deadline) && deadline && sched::now() >= *deadline && !sm->done) {
            if (timed_out) *timed_out = true;
            return 0;
        }
    }
    return sm->result;
}

} // namespace

QueuePtr current_queue() {
    auto& t = t_thread_queue;
    if (!t.queue) {
        t.queue = std::make_shared<Queue>();
        t.queue->thread_id = GetCurrentThreadId();
        auto& q = queues();
        std::lock_guard lock(q.mutex);
        q.by_thread[t.queue->thread_id] = t.queue;
    }
    return t.queue;
}

void end_thread_queue() {
    QueuePtr me = std::move(t_thread_queue.queue);
    if (!me) return;
    std::deque<std::shared_ptr<SentMessage>> pending;
    {
        std::lock_guard lock(me->mutex);
        me->ended = true;
        pending.swap(me->sent);
        me->posted.clear();
        me->timers.clear();
    }
    for (auto& sm : pending) complete(sm, 0);
    drop_thread_windows(me->thread_id);
    auto& q = queues();
    std::lock_guard lock(q.mutex);
    if (auto it = q.by_thread.find(me->thread_id); it != q.by_thread.end() && it->second == me) q.by_thread.erase(it);
}

bool queue_idle(const QueuePtr& q) {
    std::lock_guard lock(q->mutex);
    return q->ended || (q->waiting && q->sent.empty() && q->posted.empty() && !q->quit);
}

LRESULT call_procedure(const WindowPtr& w, UINT msg, WPARAM wp, LPARAM lp) {
    WNDPROC proc;
    {
        std::lock_guard lock(windows_lock());
        proc = w->proc;
    }
    return proc ? proc(w->handle, msg, wp, lp) : 0;
}

LRESULT call_on_owner(const WindowPtr& w, std::function<LRESULT()> call) {
    return send_to(w, 0, 0, 0, std::move(call));
}

bool handle_sent_messages(const QueuePtr& q) {
    bool handled = false;
    for (;;) {
        std::shared_ptr<SentMessage> sm;
        {
            std::lock_guard lock(q->mutex);
            if (q->sent.empty()) return handled;
            sm = q->sent.front();
            q->sent.pop_front();
        }
        handled = true;
        ++q->handling_sent;
        t_handling.push_back(sm);
        LRESULT result = 0;
        if (sm->call) {
            result = sm->call();
        } else if (auto w = find_window(sm->hwnd)) {
            result = call_procedure(w, sm->message, sm->wparam, sm->lparam);
        }
        t_handling.pop_back();
        --q->handling_sent;
        complete(sm, result);
    }
}

void wake_queue(const QueuePtr& q) {
    if (q) q->wake.notify_all();
}

void run_modal_loop(HWND window, const std::function<bool()>& done) {
    auto me = current_queue();
    ++me->modal_depth;
    visit_modal_loop(window);
    MSG msg;
    while (!done() && next_message(me, &msg, nullptr, 0, 0, true, true, &done)) {
        if (msg.message == WM_QUIT) {
            // The outer loop gets it too.
            PostQuitMessage(int(msg.wParam));
            break;
        }
        if (!IsDialogMessageW(window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    --me->modal_depth;
}

void notify_parent_command(HWND control, UINT code) {
    HWND parent = GetParent(control);
    if (parent) SendMessageW(parent, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), code), LPARAM(control));
}

LRESULT notify_parent(HWND control, UINT code, NMHDR* header) {
    HWND parent = GetParent(control);
    header->hwndFrom = control;
    header->idFrom = UINT_PTR(GetDlgCtrlID(control));
    header->code = code;
    return parent ? SendMessageW(parent, WM_NOTIFY, header->idFrom, LPARAM(header)) : 0;
}

} // namespace hvsim::ui

using namespace hvsim::ui;
namespace sched = hvsim::sched;

HV_EXTERN_C_BEGIN

LRESULT WINAPI SendMessageW(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (hwnd == HWND_BROADCAST) {
        for (auto& w : all_windows())
            if (!(w->style & WS_CHILD)) send_to(w, msg, wp, lp, nullptr);
        return 0;
    }
    auto w = window_of(hwnd);
    if (!w) return 0;
    return send_to(w, msg, wp, lp, nullptr);
}

// Text messages carry ANSI text the other way round.
LRESULT WINAPI SendMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_SETTEXT:
    case CB_ADDSTRING:
    case CB_INSERTSTRING:
    case CB_FINDSTRINGEXACT:
    case CB_SELECTSTRING: {
        std::u16string text = lp ? widen(reinterpret_cast<const char*>(lp)) : std::u16string();
        return SendMessageW(hwnd, msg, wp, lp ? LPARAM(text.c_str()) : 0);
    }
    case WM_GETTEXT: {
        auto* buffer = reinterpret_cast<char*>(lp);
        if (!buffer || wp == 0) return 0;
        const int length = GetWindowTextLengthW(hwnd);
        std::u16string wide(size_t(length) + 1, u'\0');
        wide.resize(size_t(SendMessageW(hwnd, WM_GETTEXT, wide.size(), LPARAM(wide.data()))));
        const std::string text = narrow(wide);
        const size_t n = std::min<size_t>(text.size(), wp - 1);
        std::copy_n(text.data(), n, buffer);
        buffer[n] = 0;
        return LRESULT(n);
    }
    default: return SendMessageW(hwnd, msg, wp, lp);
    }
}

LRESULT WINAPI SendMessageTimeoutW(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT, UINT timeout, DWORD_PTR* result) {
    auto w = window_of(hwnd);
    if (!w) return 0;
    bool timed_out = false;
    LRESULT r =
        send_to(w, msg, wp, lp, nullptr, sched::now() + int64_t(timeout) * sched::kTicksPerMillisecond, &timed_out);
    if (timed_out) {
        SetLastError(ERROR_TIMEOUT);
        return 0;
    }
    if (result) *result = DWORD_PTR(r);
    return 1;
}

BOOL WINAPI SendNotifyMessageW(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto w = window_of(hwnd);
    if (!w) return FALSE;
    auto me = current_queue();
    if (w->queue == me) {
        call_procedure(w, msg, wp, lp);
        return TRUE;
    }
    auto sm = std::make_shared<SentMessage>();
    sm->hwnd = hwnd;
    sm->message = msg;
    sm->wparam = wp;
    sm->lparam = lp;
    sm->notify_only = true;
    {
        std::lock_guard lock(w->queue->mutex);
        if (w->queue->ended) return TRUE;
        w->queue->sent.push_back(sm);
    }
    w->queue->wake.notify_all();
    return TRUE;
}

namespace {
BOOL post_to(const QueuePtr& q, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    {
        std::lock_guard lock(q->mutex);
        if (q->ended) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        q->posted.push_back(MSG{hwnd, msg, wp, lp, DWORD(sched::now() / sched::kTicksPerMillisecond), {}, 0});
    }
    q->wake.notify_all();
    return TRUE;
}
} // namespace

BOOL WINAPI PostMessageW(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (!hwnd) return post_to(current_queue(), nullptr, msg, wp, lp);
    if (hwnd == HWND_BROADCAST) {
        for (auto& w : all_windows())
            if (!(w->style & WS_CHILD)) post_to(w->queue, w->handle, msg, wp, lp);
        return TRUE;
    }
    auto w = window_of(hwnd);
    if (!w) return FALSE;
    return post_to(w->queue, hwnd, msg, wp, lp);
}

BOOL WINAPI PostMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) { return PostMessageW(hwnd, msg, wp, lp); }

BOOL WINAPI PostThreadMessageW(DWORD thread_id, UINT msg, WPARAM wp, LPARAM lp) {
    QueuePtr target;
    {
        auto& q = queues();
        std::lock_guard lock(q.mutex);
        if (auto it = q.by_thread.find(thread_id); it != q.by_thread.end()) target = it->second;
    }
    if (!target) {
        SetLastError(1444); // ERROR_INVALID_THREAD_ID
        return FALSE;
    }
    return post_to(target, nullptr, msg, wp, lp);
}

void WINAPI PostQuitMessage(int code) {
    auto me = current_queue();
    {
        std::lock_guard lock(me->mutex);
        me->quit = true;
        me->quit_code = code;
    }
    me->wake.notify_all();
}

BOOL WINAPI GetMessageW(LPMSG msg, HWND hwnd, UINT min, UINT max) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (hwnd && hwnd != HWND(-1) && !window_of(hwnd)) return -1;
    next_message(current_queue(), msg, hwnd, min, max, true, true, nullptr);
    return msg->message != WM_QUIT;
}

BOOL WINAPI PeekMessageW(LPMSG msg, HWND hwnd, UINT min, UINT max, UINT remove) {
    if (!msg) return FALSE;
    return next_message(current_queue(), msg, hwnd, min, max, (remove & PM_REMOVE) != 0, false, nullptr);
}

BOOL WINAPI WaitMessage(void) {
    auto me = current_queue();
    std::unique_lock lock(me->mutex);
    while (me->sent.empty() && me->posted.empty() && !me->quit) {
        me->waiting = true;
        me->wake.wait(lock);
        me->waiting = false;
    }
    return TRUE;
}

DWORD WINAPI GetQueueStatus(UINT flags) {
    auto me = current_queue();
    std::lock_guard lock(me->mutex);
    UINT status = 0;
    if (!me->posted.empty()) status |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
    if (!me->sent.empty()) status |= QS_SENDMESSAGE;
    for (auto& t : me->timers)
        if (t.due <= sched::now()) status |= QS_TIMER;
    status &= flags;
    return MAKELONG(status, status);
}

// The objects are polled in steps of a millisecond of machine time between looks at the queue.
DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds,
                                       DWORD mask) {
    const int64_t deadline =
        milliseconds == INFINITE ? INT64_MAX : sched::now() + int64_t(milliseconds) * sched::kTicksPerMillisecond;
    for (;;) {
        if (HIWORD(GetQueueStatus(mask))) return WAIT_OBJECT_0 + count;
        if (count) {
            const DWORD r = WaitForMultipleObjects(count, handles, wait_all, 0);
            if (r != WAIT_TIMEOUT) return r;
        }
        if (sched::now() >= deadline) return WAIT_TIMEOUT;
        auto me = current_queue();
        std::unique_lock lock(me->mutex);
        me->wake.wait_until(lock, std::min(deadline, sched::now() + sched::kTicksPerMillisecond));
    }
}

LRESULT WINAPI DispatchMessageW(const MSG* msg) {
    if (!msg || !msg->hwnd) return 0;
    if (msg->message == WM_TIMER && msg->lParam) {
        reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
        return 0;
    }
    auto w = window_of(msg->hwnd);
    if (!w || !is_own_window(*w)) return 0;
    return call_procedure(w, msg->message, msg->wParam, msg->lParam);
}

BOOL WINAPI TranslateMessage(const MSG* msg) { return msg && msg->message == WM_KEYDOWN; }

BOOL WINAPI InSendMessage(void) { return current_queue()->handling_sent > 0; }

BOOL WINAPI ReplyMessage(LRESULT result) {
    if (t_handling.empty()) return FALSE;
    auto sm = t_handling.back();
    if (sm->notify_only || !sm->sender) return FALSE;
    {
        std::lock_guard lock(sm->sender->mutex);
        if (sm->done) return FALSE;
        sm->result = result;
        sm->done = true;
    }
    sm->sender->wake.notify_all();
    return TRUE;
}

DWORD WINAPI GetMessageTime(void) { return current_queue()->message_time; }

UINT_PTR WINAPI SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    if (hwnd) {
        auto w = window_of(hwnd);
        if (!w) return 0;
        if (!is_own_window(*w)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
    }
    auto me = current_queue();
    const int64_t period = std::max<int64_t>(elapse, 10) * sched::kTicksPerMillisecond;
    std::lock_guard lock(me->mutex);
    if (!hwnd) {
        id = 1;
        for (auto& t : me->timers) id = std::max(id, t.id + 1);
    }
    auto it = std::find_if(me->timers.begin(), me->timers.end(), [&](auto& t) { return t.hwnd == hwnd && t.id == id; });
    Timer timer{hwnd, id, period, sched::now() + period, proc};
    if (it != me->timers.end())
        *it = timer;
    else
        me->timers.push_back(timer);
    return hwnd ? (id ? id : 1) : id;
}

BOOL WINAPI KillTimer(HWND hwnd, UINT_PTR id) {
    auto me = current_queue();
    std::lock_guard lock(me->mutex);
    auto it = std::find_if(me->timers.begin(), me->timers.end(), [&](auto& t) { return t.hwnd == hwnd && t.id == id; });
    if (it == me->timers.end()) return FALSE;
    me->timers.erase(it);
    return TRUE;
}

HV_EXTERN_C_END
