// Message queues: Windows' rules for sends and posts across threads, on the machine's clock.
#include "ui_fixture.h"

#include <atomic>

namespace {

HWND make(const char16_t* name) {
    return CreateWindowExW(0, recording_class(), name, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
}

void pump_until_quit() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
}

TEST_F(UiTest, SentMessagesFromAnotherThreadComeBeforePostedOnes) {
    HWND w = make(u"w");
    message_log().take();
    PostMessageW(w, WM_APP, 1, 0);
    LRESULT answer = -1;
    std::thread sender = machine_thread([&] { answer = SendMessageW(w, WM_USER, 0, 0); });
    // The send waits until the owner looks for messages (GetQueueStatus does not look).
    while (!GetQueueStatus(QS_SENDMESSAGE)) hvsim::sched::sleep_for(hvsim::sched::kTicksPerMillisecond);
    EXPECT_TRUE(message_log().lines().empty());
    PostQuitMessage(0);
    pump_until_quit();
    join(sender);
    EXPECT_EQ(0, answer);
    EXPECT_EQ((std::vector<std::string>{"w:WM_USER", "w:WM_APP"}), message_log().take());
}

TEST_F(UiTest, ASenderHandlesWhatIsSentToItWhileItWaits) {
    // Two threads, each sending to the other's window from inside a handler: no deadlock.
    HWND mine = make(u"mine");
    HWND theirs = nullptr;
    std::atomic<bool> ready{false}, done{false};
    std::thread other = machine_thread([&] {
        theirs = make(u"theirs");
        ready = true;
        MSG msg;
        while (!done && GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        DestroyWindow(theirs);
    });
    ASSERT_TRUE(hvsim::ui::wait_until([&] { return ready.load(); }));
    // Their handler of WM_USER sends WM_APP back to us, which we handle inside our send.
    SetWindowLongPtrW(theirs, GWLP_USERDATA, LONG_PTR(mine));
    static WNDPROC previous;
    previous = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(theirs, GWLP_WNDPROC));
    auto bounce = [](HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) -> LRESULT {
        if (msg == WM_USER) return 1 + SendMessageW(HWND(GetWindowLongPtrW(hwnd, GWLP_USERDATA)), WM_APP, 0, 0);
        return CallWindowProcW(previous, hwnd, msg, wp, lp);
    };
    SetWindowLongPtrW(theirs, GWLP_WNDPROC, LONG_PTR(+bounce));
    message_log().take();
    EXPECT_EQ(1, SendMessageW(theirs, WM_USER, 0, 0));
    EXPECT_EQ(std::vector<std::string>{"mine:WM_APP"}, message_log().take());
    done = true;
    PostMessageW(theirs, WM_NULL, 0, 0);
    join(other);
}

TEST_F(UiTest, ASendToAWindowOfAnEndedThreadReturnsAtOnce) {
    HWND orphan = nullptr;
    std::thread t = machine_thread([&] { orphan = make(u"orphan"); });
    join(t);
    // The thread's windows went with it.
    EXPECT_EQ(0, SendMessageW(orphan, WM_USER, 0, 0));
    EXPECT_FALSE(IsWindow(orphan));
    // A send that is waiting when the owner ends gets 0 too.
    std::atomic<bool> ready{false}, end{false};
    HWND w = nullptr;
    std::thread owner = machine_thread([&] {
        w = make(u"ending");
        ready = true;
        hvsim::ui::wait_until([&] { return end.load(); });
    });
    ASSERT_TRUE(hvsim::ui::wait_until([&] { return ready.load(); }));
    LRESULT answer = -1;
    std::thread sender = machine_thread([&] { answer = SendMessageW(w, WM_USER, 0, 0); });
    hvsim::sched::sleep_for(10 * hvsim::sched::kTicksPerMillisecond);
    end = true;
    join(owner);
    join(sender);
    EXPECT_EQ(0, answer);
}

TEST_F(UiTest, IdleMeansEveryWindowsThreadWaitsWithNothingQueued) {
    std::atomic<HWND> w{nullptr};
    std::thread ui = machine_thread([&] {
        w = make(u"busy");
        pump_until_quit();
        DestroyWindow(w);
    });
    ASSERT_TRUE(hvsim::ui::wait_until([&] { return w.load() != nullptr; }));
    message_log().take();
    for (int i = 0; i < 3; ++i) PostMessageW(w, WM_APP, WPARAM(i), 0);
    ASSERT_TRUE(hvsim::ui::wait_idle());
    EXPECT_EQ((std::vector<std::string>(3, "busy:WM_APP")), message_log().take());
    PostThreadMessageW(GetWindowThreadProcessId(w, nullptr), WM_QUIT, 0, 0);
    join(ui);
}

DWORD g_thread_of_enable;
LRESULT CALLBACK thread_noting(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_ENABLE) g_thread_of_enable = GetCurrentThreadId();
    return DefWindowProcW(hwnd, msg, wp, lp);
}

TEST_F(UiTest, CallsOnAnotherThreadsWindowRunOnItsOwner) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = thread_noting;
    wc.lpszClassName = u"ThreadNoting";
    RegisterClassExW(&wc);
    HWND w = CreateWindowExW(0, u"ThreadNoting", u"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    std::atomic<bool> done{false};
    std::thread worker = machine_thread([&] {
        EnableWindow(w, FALSE);
        SetWindowTextW(w, u"from the worker");
        ShowWindow(w, SW_SHOWNA);
        // A window of another thread cannot be destroyed or focused from here.
        EXPECT_FALSE(DestroyWindow(w));
        EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
        EXPECT_EQ(nullptr, SetFocus(w));
        done = true;
        PostMessageW(w, WM_NULL, 0, 0);
    });
    MSG msg;
    while (!done && GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    join(worker);
    EXPECT_EQ(GetCurrentThreadId(), g_thread_of_enable);
    EXPECT_FALSE(IsWindowEnabled(w));
    EXPECT_TRUE(IsWindowVisible(w));
    WCHAR text[32];
    GetWindowTextW(w, text, 32);
    EXPECT_EQ(std::u16string(u"from the worker"), text);
}

TEST_F(UiTest, TimersRunOnTheMachineClock) {
    HWND w = make(u"timed");
    const int64_t start = hvsim::sched::now();
    ASSERT_EQ(5u, SetTimer(w, 5, 10'000, nullptr));
    message_log().take();
    MSG msg;
    ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
    EXPECT_EQ(UINT(WM_TIMER), msg.message);
    EXPECT_EQ(5u, msg.wParam);
    EXPECT_GE(hvsim::sched::now() - start, 10 * hvsim::sched::kTicksPerSecond);
    EXPECT_TRUE(KillTimer(w, 5));
    EXPECT_FALSE(KillTimer(w, 5));
    // Posted messages wait in order behind each other, WM_QUIT after them.
    PostMessageW(w, WM_APP, 1, 0);
    PostQuitMessage(3);
    PostMessageW(w, WM_APP, 2, 0);
    std::vector<WPARAM> seen;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) seen.push_back(msg.wParam);
    EXPECT_EQ((std::vector<WPARAM>{1, 2}), seen);
    EXPECT_EQ(3u, msg.wParam);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
}

} // namespace
