// Named callback objects: one namespace for every image, registration order, and unregistration
// while a call runs.
#include <hvsim/object.h>
#include <sched_testing.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

using hvsim::ktest::MachineThreads;

const char16_t* const framework_name = u"\\Callback\\{3D08F5B2-6C91-47AE-8E24-51B7C9A0D36F}";

class CallbackObjects : public hvsim::ktest::VirtualKernelTest {
protected:
    static NTSTATUS create(const char16_t* name, PCALLBACK_OBJECT* object, ULONG attributes = OBJ_CASE_INSENSITIVE,
                           BOOLEAN create_it = TRUE, BOOLEAN multiple = TRUE) {
        UNICODE_STRING u;
        RtlInitUnicodeString(&u, name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &u, attributes, nullptr, nullptr);
        return ExCreateCallback(object, &oa, create_it, multiple);
    }
};

struct Call {
    std::string who;
    PVOID a1;
    PVOID a2;
};
std::vector<Call> g_calls;

void record(PVOID context, PVOID a1, PVOID a2) { g_calls.push_back({static_cast<const char*>(context), a1, a2}); }

TEST_F(CallbackObjects, TwoDriversShareOneObjectByName) {
    g_calls.clear();
    PCALLBACK_OBJECT bus = nullptr, port = nullptr;
    ASSERT_EQ(create(framework_name, &bus, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT), STATUS_SUCCESS);
    ASSERT_EQ(
        create(u"\\CALLBACK\\{3d08f5b2-6c91-47ae-8e24-51b7c9a0d36f}", &port, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT),
        STATUS_SUCCESS);
    EXPECT_EQ(bus, port);
    PVOID r1 = ExRegisterCallback(bus, record, (PVOID) "bus");
    PVOID r2 = ExRegisterCallback(port, record, (PVOID) "port");
    ASSERT_TRUE(r1 && r2);
    int x, y;
    ExNotifyCallback(port, &x, &y);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0].who, "bus") << "registration order, the notifier's own routine included";
    EXPECT_EQ(g_calls[1].who, "port");
    EXPECT_EQ(g_calls[1].a1, &x);
    EXPECT_EQ(g_calls[1].a2, &y);
    ExUnregisterCallback(r1);
    g_calls.clear();
    ExNotifyCallback(bus, nullptr, nullptr);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].who, "port");
    ExUnregisterCallback(r2);
    ObDereferenceObject(bus);
    ObDereferenceObject(port);
}

TEST_F(CallbackObjects, PermanentObjectsOutliveTheirReferences) {
    PCALLBACK_OBJECT object;
    ASSERT_EQ(create(u"\\Callback\\Permanent", &object, OBJ_PERMANENT), STATUS_SUCCESS);
    ObDereferenceObject(object);
    PCALLBACK_OBJECT again;
    EXPECT_EQ(create(u"\\Callback\\Permanent", &again, 0, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(again, object);
    ObDereferenceObject(again);

    ASSERT_EQ(create(u"\\Callback\\Temporary", &object), STATUS_SUCCESS);
    EXPECT_EQ(hvsim::ob::reference_count(object), 1);
    ObDereferenceObject(object);
    EXPECT_EQ(create(u"\\Callback\\Temporary", &again, 0, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(again, nullptr);
}

TEST_F(CallbackObjects, NamesOutsideTheNamespaceAndBadArguments) {
    PCALLBACK_OBJECT object;
    EXPECT_EQ(create(u"\\Device\\Serial0", &object), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(create(u"Callback\\X", &object), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(create(u"\\Callback\\", &object), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(create(u"\\Callback\\A\\B", &object), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(ExCreateCallback(&object, nullptr, TRUE, TRUE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ExRegisterCallback(nullptr, record, nullptr), nullptr);
    int not_an_object;
    EXPECT_EQ(ExRegisterCallback((PCALLBACK_OBJECT)&not_an_object, record, nullptr), nullptr);
    ExNotifyCallback(nullptr, nullptr, nullptr);
}

TEST_F(CallbackObjects, OneCallbackOnlyWhenMultipleAreNotAllowed) {
    PCALLBACK_OBJECT object;
    ASSERT_EQ(create(u"\\Callback\\Single", &object, 0, TRUE, FALSE), STATUS_SUCCESS);
    PVOID first = ExRegisterCallback(object, record, (PVOID) "a");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ExRegisterCallback(object, record, (PVOID) "b"), nullptr);
    ExUnregisterCallback(first);
    PVOID second = ExRegisterCallback(object, record, (PVOID) "b");
    EXPECT_NE(second, nullptr);
    ExUnregisterCallback(second);
    ObDereferenceObject(object);
}

TEST_F(CallbackObjects, ARegistrationKeepsTheObjectAlive) {
    PCALLBACK_OBJECT object;
    ASSERT_EQ(create(u"\\Callback\\Held", &object), STATUS_SUCCESS);
    PVOID r = ExRegisterCallback(object, record, (PVOID) "held");
    ObDereferenceObject(object);
    EXPECT_TRUE(hvsim::ob::is_object(object)) << "the registration holds it";
    ExUnregisterCallback(r);
    EXPECT_FALSE(hvsim::ob::is_object(object));
}

TEST_F(CallbackObjects, NotifyingAReleasedObjectIsABugCheck) {
    PCALLBACK_OBJECT object;
    ASSERT_EQ(create(u"\\Callback\\Gone", &object), STATUS_SUCCESS);
    ObDereferenceObject(object);
    EXPECT_DEATH(ExNotifyCallback(object, nullptr, nullptr), "not a live callback object");
    EXPECT_DEATH(ExUnregisterCallback((PVOID)&object), "registration that does not exist");
}

// A routine that blocks until released, so that another thread can unregister meanwhile.
struct Blocker {
    KEVENT entered;
    KEVENT release;
    std::atomic<int> calls{0};
    std::atomic<bool> returned{false};
};

void blocking_routine(PVOID context, PVOID, PVOID) {
    auto* b = static_cast<Blocker*>(context);
    ++b->calls;
    KeSetEvent(&b->entered, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&b->release, Executive, KernelMode, FALSE, nullptr);
    b->returned = true;
}

TEST_F(CallbackObjects, UnregisterWaitsForARunningCall) {
    Blocker b;
    KeInitializeEvent(&b.entered, NotificationEvent, FALSE);
    KeInitializeEvent(&b.release, NotificationEvent, FALSE);
    PCALLBACK_OBJECT object;
    ASSERT_EQ(create(u"\\Callback\\Busy", &object), STATUS_SUCCESS);
    PVOID r = ExRegisterCallback(object, blocking_routine, &b);
    std::atomic<bool> unregistered{false};
    MachineThreads threads;
    threads.start(1, "notifier", [&](int) { ExNotifyCallback(object, nullptr, nullptr); });
    ASSERT_EQ(wait_forever(&b.entered), STATUS_SUCCESS);
    threads.start(1, "unregister", [&](int) {
        ExUnregisterCallback(r);
        unregistered = true;
        EXPECT_TRUE(b.returned) << "returned only after the running call ended";
    });
    delay(hvsim::ktest::sec(1));
    EXPECT_FALSE(unregistered);
    KeSetEvent(&b.release, IO_NO_INCREMENT, FALSE);
    threads.join();
    EXPECT_TRUE(unregistered);
    ExNotifyCallback(object, nullptr, nullptr);
    EXPECT_EQ(b.calls, 1) << "no call after unregistration";
    ObDereferenceObject(object);
}

struct SelfRemoving {
    PVOID registration = nullptr;
    int calls = 0;
};

void remove_self(PVOID context, PVOID, PVOID) {
    auto* s = static_cast<SelfRemoving*>(context);
    ++s->calls;
    ExUnregisterCallback(s->registration);
}

TEST_F(CallbackObjects, ARoutineMayUnregisterItselfAndLaterOnesStillRun) {
    g_calls.clear();
    PCALLBACK_OBJECT object;
    ASSERT_EQ(create(u"\\Callback\\Self", &object), STATUS_SUCCESS);
    SelfRemoving self;
    self.registration = ExRegisterCallback(object, remove_self, &self);
    PVOID after = ExRegisterCallback(object, record, (PVOID) "after");
    ExNotifyCallback(object, nullptr, nullptr);
    ExNotifyCallback(object, nullptr, nullptr);
    EXPECT_EQ(self.calls, 1);
    EXPECT_EQ(g_calls.size(), 2u);
    ExUnregisterCallback(after);
    ObDereferenceObject(object);
    EXPECT_FALSE(hvsim::ob::is_object(object));
}

TEST_F(CallbackObjects, ManyThreadsNotifyWhileRegistrationsComeAndGo) {
    PCALLBACK_OBJECT object;
    ASSERT_EQ(create(u"\\Callback\\Stress", &object), STATUS_SUCCESS);
    std::atomic<int> calls{0};
    auto count = [](PVOID context, PVOID, PVOID) { ++*static_cast<std::atomic<int>*>(context); };
    PVOID steady = ExRegisterCallback(object, count, &calls);
    MachineThreads threads;
    threads.start(4, "notify", [&](int) {
        for (int i = 0; i < 200; ++i) ExNotifyCallback(object, nullptr, nullptr);
    });
    threads.start(2, "churn", [&](int) {
        for (int i = 0; i < 100; ++i) ExUnregisterCallback(ExRegisterCallback(object, count, &calls));
    });
    threads.join();
    ExUnregisterCallback(steady);
    EXPECT_GE(calls.load(), 800);
    ObDereferenceObject(object);
    EXPECT_FALSE(hvsim::ob::is_object(object));
}

TEST_F(CallbackObjects, ShutdownReleasesPermanentObjects) {
    PCALLBACK_OBJECT object;
    ASSERT_EQ(create(framework_name, &object, OBJ_PERMANENT), STATUS_SUCCESS);
    ObDereferenceObject(object);
    hvsim::kernel_shutdown();
    hvsim::kernel_boot({});
    PCALLBACK_OBJECT again;
    EXPECT_EQ(create(framework_name, &again, 0, FALSE), STATUS_OBJECT_NAME_NOT_FOUND) << "a new boot, a new namespace";
}

} // namespace
