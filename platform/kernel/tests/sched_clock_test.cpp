// The machine clock and the C++ primitives of platform code, on the virtual and the real clock.
#include <sched_testing.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

using namespace hvsim::ktest;
using hvsim::sched::now;
namespace sched = hvsim::sched;

namespace {

using SchedVirtual = VirtualKernelTest;
using SchedReal = RealKernelTest;

TEST_F(SchedVirtual, EachBootStartsAFreshClockAtTheFixedBootDate) {
    sched::sleep_for(sec(42));
    EXPECT_EQ(now(), sec(42));
    hvsim::kernel_shutdown();
    hvsim::kernel_boot({});
    EXPECT_EQ(now(), 0);
    LARGE_INTEGER system_time;
    KeQuerySystemTime(&system_time);
    EXPECT_EQ(system_time.QuadPart, sched::kVirtualBootSystemTime);
    EXPECT_EQ(sched::clock_mode(), hvsim::ClockMode::Virtual);
}

TEST_F(SchedVirtual, TimeStandsStillWhileAThreadRuns) {
    std::atomic<bool> stop{false};
    std::thread busy = sched::start_thread("busy", [&] {
        while (!stop) std::this_thread::yield();
    });
    std::thread sleeper = sched::start_thread("sleeper", [] { sched::sleep_for(sec(1)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the main thread runs too
    EXPECT_EQ(now(), 0);
    stop = true;
    sched::join(busy);
    sched::join(sleeper);
    EXPECT_EQ(now(), sec(1));
}

TEST_F(SchedVirtual, TimeQueriesAgreeWithTheMachineClock) {
    sched::sleep_for(ms(1500));
    LARGE_INTEGER frequency, ticks;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
    EXPECT_EQ(counter.QuadPart, ms(1500));
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, ms(1500) / 156250);
    KeStallExecutionProcessor(50);
    EXPECT_EQ(now(), ms(1500)) << "a stall passes no virtual time";
}

TEST_F(SchedVirtual, EventWaitsUntilSetOrDeadline) {
    sched::Event manual(sched::Event::Reset::Manual);
    bool result = true;
    auto real = real_time_of([&] { result = manual.wait_for(sec(3)); });
    EXPECT_FALSE(result);
    EXPECT_EQ(now(), sec(3));
    EXPECT_LT(real.count(), 1000);

    std::thread setter = sched::start_thread("setter", [&] {
        sched::sleep_for(sec(2));
        manual.set();
    });
    EXPECT_TRUE(manual.wait(now() + sec(10)));
    EXPECT_EQ(now(), sec(5));
    EXPECT_TRUE(manual.wait_for(0)) << "a manual event stays set";
    manual.reset();
    EXPECT_FALSE(manual.is_set());
    sched::join(setter);
}

TEST_F(SchedVirtual, AutoResetEventWakesOneWaiterPerSet) {
    sched::Event event(sched::Event::Reset::Auto);
    std::atomic<int> woken{0};
    MachineThreads waiters;
    waiters.start(3, "waiter", [&](int) {
        if (event.wait_for(sec(1))) ++woken;
    });
    sched::sleep_for(ms(1));
    event.set();
    event.set();
    waiters.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_FALSE(event.is_set()) << "both signals were consumed";
    event.set();
    EXPECT_TRUE(event.is_set()) << "kept until a waiter comes";
    EXPECT_TRUE(event.wait_for(0));
    EXPECT_FALSE(event.is_set());
}

TEST_F(SchedVirtual, ConditionVariableWithAMachineTimeDeadline) {
    std::mutex mutex;
    sched::ConditionVariable ready;
    std::deque<int> queue;
    std::thread producer = sched::start_thread("producer", [&] {
        sched::sleep_for(sec(2));
        std::lock_guard guard(mutex);
        queue.push_back(7);
        ready.notify_one();
    });
    std::unique_lock lock(mutex);
    EXPECT_FALSE(ready.wait_until(lock, now() + sec(1), [&] { return !queue.empty(); }));
    EXPECT_EQ(now(), sec(1));
    EXPECT_TRUE(ready.wait_until(lock, now() + sec(10), [&] { return !queue.empty(); }));
    EXPECT_EQ(now(), sec(2));
    EXPECT_EQ(queue.front(), 7);
    lock.unlock();
    sched::join(producer);
}

TEST_F(SchedVirtual, PrimitivesAndKernelWaitsShareOneTimeline) {
    std::mutex order_lock;
    std::vector<int> order;
    auto note = [&](int n) {
        std::lock_guard guard(order_lock);
        order.push_back(n);
    };
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, after(ms(30)), nullptr);
    sched::Event event;
    std::thread a = sched::start_thread("a", [&] {
        sched::sleep_for(ms(10));
        note(10);
    });
    std::thread b = sched::start_thread("b", [&] {
        KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
        note(30);
        event.set();
    });
    std::thread c = sched::start_thread("c", [&] {
        LARGE_INTEGER interval = after(ms(20));
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        note(20);
    });
    EXPECT_TRUE(event.wait());
    note(31);
    for (auto* t : {&a, &b, &c}) sched::join(*t);
    EXPECT_EQ(order, (std::vector<int>{10, 20, 30, 31}));
    EXPECT_EQ(now(), ms(30));
}

TEST_F(SchedVirtual, AStartedThreadRunsBeforeTheClockCanMove) {
    int64_t first_step_at = -1;
    std::thread thread = sched::start_thread("late starter", [&] { first_step_at = now(); });
    sched::sleep_for(sec(5));
    sched::join(thread);
    EXPECT_EQ(first_step_at, 0);
}

TEST_F(SchedVirtual, ExternalWaitDoesNotHoldTheClock) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread reader = sched::start_thread("pipe reader", [&] {
        char byte = 0;
        sched::ExternalWait outside("read from a pipe");
        EXPECT_EQ(read(fds[0], &byte, 1), 1);
    });
    // Should the clock wait for the reader, this watchdog ends the read after two real seconds.
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!done_changed.wait_for(lock, std::chrono::seconds(2), [&] { return done; })) (void)!write(fds[1], "w", 1);
    });
    auto real = real_time_of([] { sched::sleep_for(sec(10)); });
    EXPECT_LT(real.count(), 1000);
    EXPECT_EQ(now(), sec(10));
    {
        std::lock_guard guard(mutex);
        if (!done) (void)!write(fds[1], "m", 1);
        done = true;
    }
    done_changed.notify_one();
    watchdog.join();
    sched::join(reader);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(SchedVirtual, SignalFromAForeignThreadWakesTheWaiterAndAStallIsReported) {
    sched::set_thread_name("test main");
    sched::Event event;
    std::thread foreign([&] { // never becomes a machine thread
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        event.set();
    });
    testing::internal::CaptureStderr();
    EXPECT_TRUE(event.wait());
    std::string diagnostic = testing::internal::GetCapturedStderr();
    foreign.join();
    EXPECT_NE(diagnostic.find("every machine thread is blocked and no deadline is pending"), std::string::npos)
        << diagnostic;
    EXPECT_NE(diagnostic.find("test main: blocked in hvsim::sched::Event"), std::string::npos) << diagnostic;
    EXPECT_NE(diagnostic.find("DPC thread: blocked in the DPC queue"), std::string::npos) << diagnostic;
    EXPECT_EQ(diagnostic.find("every machine thread", diagnostic.find("every machine thread") + 1), std::string::npos)
        << "reported once";
    EXPECT_EQ(now(), 0);
}

TEST_F(SchedVirtual, StatsCountMachineThreads) {
    auto before = sched::stats();
    sched::Event go;
    std::thread t = sched::start_thread("counted", [&] { go.wait(); });
    sched::sleep_for(ms(1));
    auto during = sched::stats();
    EXPECT_EQ(during.machine_threads, before.machine_threads + 1);
    EXPECT_NE(sched::describe_threads().find("counted: blocked in hvsim::sched::Event"), std::string::npos);
    go.set();
    sched::join(t);
    EXPECT_EQ(sched::stats().machine_threads, before.machine_threads);
    EXPECT_GE(sched::stats().clock_jumps, 1u);
}

// ---------------------------------------------------------------------------------------------
// Real clock: the same calls wait for real.

TEST_F(SchedReal, WaitsTakeRealTime) {
    EXPECT_EQ(sched::clock_mode(), hvsim::ClockMode::Real);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_SUCCESS;
    int64_t start = now();
    auto real = real_time_of([&] { status = wait(&event, ms(30)); });
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_GE(real.count(), 30);
    EXPECT_GE(now() - start, ms(30));

    sched::Event primitive;
    real = real_time_of([&] { EXPECT_FALSE(primitive.wait_for(ms(20))); });
    EXPECT_GE(real.count(), 20);
}

TEST_F(SchedReal, TimersAndDpcsFireOnTime) {
    std::atomic<int64_t> fired_at{-1};
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID context, PVOID, PVOID) { *static_cast<std::atomic<int64_t>*>(context) = now(); },
        &fired_at);
    KTIMER later;
    KeInitializeTimer(&later);
    KeSetTimer(&later, after(sec(60)), nullptr); // the DPC thread sleeps until the earlier one anyway
    int64_t start = now();
    KeSetTimer(&timer, after(ms(20)), &dpc);
    EXPECT_EQ(wait(&timer, sec(5)), STATUS_SUCCESS);
    KeFlushQueuedDpcs();
    EXPECT_GE(fired_at.load() - start, ms(20));
    EXPECT_LT(fired_at.load() - start, sec(2));
    EXPECT_TRUE(KeCancelTimer(&later));
}

TEST_F(SchedReal, SystemTimeIsTheRealDate) {
    LARGE_INTEGER system_time;
    KeQuerySystemTime(&system_time);
    auto unix_100ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count() /
        100;
    int64_t expected = unix_100ns + 11'644'473'600LL * sched::kTicksPerSecond;
    EXPECT_LT(std::llabs(system_time.QuadPart - expected), sec(5));
}

} // namespace
