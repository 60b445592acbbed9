// Unloading a driver whose code is still running, or still due to run, in another thread when
// its last device goes: the image stays mapped until that code has returned, and what can never
// run once it is gone is a bug check.
#include "io_test_driver.h"
#include "pnp_test_support.h"

#include <dlfcn.h>

using namespace hvsim;
using namespace hvsim::pnptest;

namespace {

class LingeringDriver : public PnpMachine {
protected:
    void SetUp() override {
        PnpMachine::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        image_ = drivers_ / "HvTestLinger.sys";
        std::filesystem::copy_file(HV_TESTLINGER_IMAGE, image_);
        install_service(u"hvtestlinger", u"System32\\drivers\\HvTestLinger.sys");
    }

    // A started device of the driver that leaves `at_remove` behind at its removal.
    std::u16string start_device(DWORD at_remove) {
        std::u16string id = add_root_device(u"root\\hvtestlinger", u"hvtestlinger", {{u"AtRemove", at_remove}});
        pnp::start_tree();
        EXPECT_TRUE(ldr::is_loaded(u"hvtestlinger"));
        return id;
    }

    void set_at_remove(const std::u16string& id, DWORD at_remove) {
        registry::set_dword(kEnum + id + u"\\Device Parameters", u"AtRemove", at_remove);
    }

    // Has the driver send a request to `target` through its own completion routine, set with
    // IoSetCompletionRoutineEx when `ex`.
    static NTSTATUS send_from_driver(PDEVICE_OBJECT target, bool ex = false) {
        for (auto& driver : ldr::loaded_drivers()) {
            if (driver.service != u"hvtestlinger") continue;
            auto send =
                (NTSTATUS(*)(PDEVICE_OBJECT, BOOLEAN))dlsym(driver.driver_object->DriverSection, "HvTestLingerSend");
            return send ? send(target, ex) : STATUS_NOT_FOUND;
        }
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }

    bool image_mapped() const {
        void* handle = dlopen(image_.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle) dlclose(handle);
        return handle != nullptr;
    }

    // The driver's lines: each lingering routine's exit must come after the unload began, and the
    // image must be gone once removal is over.
    void expect_unmapped_after(const std::string& last_line) {
        auto lines = events("HVTL");
        size_t unload = index_of(lines, "UNLOAD");
        size_t last = index_of(lines, last_line);
        ASSERT_NE(unload, SIZE_MAX);
        ASSERT_NE(last, SIZE_MAX) << "the lingering routine never returned";
        EXPECT_LT(unload, last) << "the routine was expected to outlast DriverUnload";
        EXPECT_FALSE(ldr::is_loaded(u"hvtestlinger"));
        EXPECT_FALSE(image_mapped());
    }

    std::filesystem::path image_;
};

TEST_F(LingeringDriver, CompletionRoutineStillRunningKeepsTheImageMappedUntilItReturns) {
    std::u16string id = start_device(0);
    iotest::TestDriver sink(u"HvSink");
    iotest::TestDevice& target = sink.create("sink");
    iotest::PendingIrps pending;
    target.on(IRP_MJ_INTERNAL_DEVICE_CONTROL,
              [&](iotest::TestDevice&, PIRP irp, PIO_STACK_LOCATION) { return pending.pend(irp); });
    ASSERT_EQ(send_from_driver(target.object), STATUS_PENDING);
    EXPECT_TRUE(image_mapped());

    // Another thread completes the request; the driver's removal waits for the completion, and
    // its routine goes on running after that.
    std::thread completer = sched::start_thread("completer", [&] { iotest::complete(pending.take(), STATUS_SUCCESS); });
    EXPECT_FALSE(pnp::remove_device(node(id)).vetoed());
    sched::join(completer);
    expect_unmapped_after("COMPLETION RETURNS");
}

// The routine's image is held from IoSetCompletionRoutineEx on: the driver, which does not wait for
// its request at removal, is unmapped only once the request completed later and the routine ran.
TEST_F(LingeringDriver, CompletionRoutineSetWithTheExFormHoldsTheImageUntilItRan) {
    std::u16string id = start_device(4);
    iotest::TestDriver sink(u"HvSink");
    iotest::TestDevice& target = sink.create("sink");
    iotest::PendingIrps pending;
    target.on(IRP_MJ_INTERNAL_DEVICE_CONTROL,
              [&](iotest::TestDevice&, PIRP irp, PIO_STACK_LOCATION) { return pending.pend(irp); });
    ASSERT_EQ(send_from_driver(target.object, true), STATUS_PENDING);
    std::thread completer = sched::start_thread("completer", [&] {
        sched::sleep_for(iotest::ms(100));
        iotest::complete(pending.take(), STATUS_SUCCESS);
    });
    EXPECT_FALSE(pnp::remove_device(node(id)).vetoed());
    sched::join(completer);
    expect_unmapped_after("COMPLETION RETURNS");
}

TEST_F(LingeringDriver, WorkItemQueuedAtRemovalRunsBeforeTheImageGoes) {
    std::u16string id = start_device(1);
    EXPECT_FALSE(pnp::remove_device(node(id)).vetoed());
    expect_unmapped_after("WORK ITEM RETURNS");
}

TEST_F(LingeringDriver, SystemThreadLeftRunningEndsBeforeTheImageGoes) {
    std::u16string id = start_device(2);
    EXPECT_FALSE(pnp::remove_device(node(id)).vetoed());
    expect_unmapped_after("THREAD RETURNS");
}

TEST_F(LingeringDriver, ImageCanBeLoadedAgainAfterItsRoutinesDrained) {
    std::u16string id = start_device(1);
    EXPECT_FALSE(pnp::disable_device(node(id)).vetoed());
    expect_unmapped_after("WORK ITEM RETURNS");
    set_at_remove(id, 2);
    EXPECT_EQ(pnp::enable_device(node(id)), STATUS_SUCCESS);
    EXPECT_TRUE(ldr::is_loaded(u"hvtestlinger"));
    debug_log::clear();
    EXPECT_FALSE(pnp::remove_device(node(id)).vetoed());
    expect_unmapped_after("THREAD RETURNS");
}

TEST_F(LingeringDriver, TimerLeftSetAtUnloadIsABugCheck) {
    std::u16string id = start_device(3);
    EXPECT_DEATH(pnp::remove_device(node(id)),
                 "BUGCHECK 0x000000CE: HvTestLinger.sys unloads with timer 0x[0-9a-f]+ still set with DPC");
    set_at_remove(id, 0); // this process shuts down with it
}

TEST_F(LingeringDriver, SystemThreadThatNeverEndsIsABugCheckAtUnload) {
    std::u16string id = start_device(5);
    EXPECT_DEATH(
        pnp::remove_device(node(id)),
        "BUGCHECK 0x000000CE: HvTestLinger.sys unloads while 1 call\\(s\\) into it have not returned after 30 s");
    set_at_remove(id, 0);
}

TEST_F(LingeringDriver, CompletionRoutineOfAnUnloadedImageIsABugCheck) {
    std::u16string id = start_device(4);
    EXPECT_DEATH(
        {
            iotest::TestDriver sink(u"HvSink");
            iotest::TestDevice& target = sink.create("sink");
            iotest::PendingIrps pending;
            target.on(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                      [&](iotest::TestDevice&, PIRP irp, PIO_STACK_LOCATION) { return pending.pend(irp); });
            send_from_driver(target.object);
            pnp::remove_device(node(id));
            iotest::complete(pending.take(), STATUS_SUCCESS);
        },
        "BUGCHECK 0x000000CE: completion routine 0x[0-9a-f]+ lies in no mapped image");
}

} // namespace
