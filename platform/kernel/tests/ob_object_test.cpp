// The object manager: reference counts, the kernel handle table and its report at shutdown.
#include <hvsim/debug_log.h>
#include <hvsim/object.h>
#include <sched_testing.h>

#include <set>

namespace {

int g_destroyed = 0;
void count_destroy(void*) { ++g_destroyed; }
_OBJECT_TYPE widget_type = {"Widget", count_destroy};
_OBJECT_TYPE gadget_type = {"Gadget", count_destroy};

class ObjectManager : public hvsim::ktest::VirtualKernelTest {
protected:
    void SetUp() override {
        hvsim::ktest::VirtualKernelTest::SetUp();
        g_destroyed = 0;
    }
    int body_ = 0;
    int other_ = 0;
};

TEST_F(ObjectManager, TheLastReferenceDestroysTheObject) {
    hvsim::ob::insert_object(&body_, &widget_type);
    EXPECT_TRUE(hvsim::ob::is_object(&body_, &widget_type));
    EXPECT_FALSE(hvsim::ob::is_object(&body_, &gadget_type));
    EXPECT_EQ(ObfReferenceObject(&body_), 2);
    EXPECT_EQ(ObDereferenceObject(&body_), 1);
    EXPECT_EQ(g_destroyed, 0);
    EXPECT_EQ(ObDereferenceObject(&body_), 0);
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_FALSE(hvsim::ob::is_object(&body_));
    EXPECT_FALSE(hvsim::ob::reference_if_live(&body_));
}

TEST_F(ObjectManager, ReferencingWhatIsNotLiveIsABugCheck) {
    EXPECT_DEATH(ObfDereferenceObject(&body_), "BUGCHECK 0x00000018: dereference of .* not a live object");
    hvsim::ob::insert_object(&body_, &widget_type);
    ObDereferenceObject(&body_);
    EXPECT_DEATH(ObfDereferenceObject(&body_), "not a live object") << "below zero";
    EXPECT_DEATH(ObfReferenceObject(&body_), "reference to .* not a live object");
}

TEST_F(ObjectManager, HandlesAreSmallDistinctAndNeverReused) {
    hvsim::ob::insert_object(&body_, &widget_type);
    std::set<uintptr_t> seen;
    for (int i = 0; i < 5; ++i) {
        HANDLE h = hvsim::ob::create_handle(&body_, GENERIC_READ);
        uintptr_t value = (uintptr_t)h;
        EXPECT_NE(value, 0u);
        EXPECT_EQ(value % 4, 0u);
        EXPECT_LT(value, 0x10000u);
        EXPECT_TRUE(seen.insert(value).second) << "handle " << value << " given twice";
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    }
    EXPECT_EQ(hvsim::ob::reference_count(&body_), 1);
    ObDereferenceObject(&body_);
}

TEST_F(ObjectManager, ReferenceByHandleChecksHandleAndType) {
    hvsim::ob::insert_object(&body_, &widget_type);
    HANDLE h = hvsim::ob::create_handle(&body_, KEY_READ);
    ObDereferenceObject(&body_); // the handle holds it now
    PVOID object = nullptr;
    OBJECT_HANDLE_INFORMATION info{};
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, &widget_type, KernelMode, &object, &info), STATUS_SUCCESS);
    EXPECT_EQ(object, &body_);
    EXPECT_EQ(info.GrantedAccess, (ACCESS_MASK)KEY_READ);
    EXPECT_EQ(hvsim::ob::reference_count(&body_), 2);
    ObDereferenceObject(object);
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, &gadget_type, KernelMode, &object, nullptr), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(object);
    EXPECT_EQ(ObReferenceObjectByHandle(h, KEY_SET_VALUE, nullptr, UserMode, &object, nullptr), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ObReferenceObjectByHandle(h, KEY_SET_VALUE, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS)
        << "kernel-mode callers are not held to the handle's access";
    ObDereferenceObject(object);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, nullptr, KernelMode, &object, nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, nullptr, KernelMode, nullptr, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(ObjectManager, CountsAndListsOpenHandles) {
    hvsim::ob::insert_object(&body_, &widget_type);
    hvsim::ob::insert_object(&other_, &gadget_type);
    HANDLE a = hvsim::ob::create_handle(&body_, 1);
    HANDLE b = hvsim::ob::create_handle(&other_, 2);
    EXPECT_EQ(hvsim::ob::open_handle_count(), 2u);
    EXPECT_EQ(hvsim::ob::open_handle_count(&gadget_type), 1u);
    auto handles = hvsim::ob::open_handles();
    ASSERT_EQ(handles.size(), 2u);
    EXPECT_EQ(handles[1].body, &other_);
    EXPECT_EQ(handles[1].type, &gadget_type);
    EXPECT_NE(hvsim::ob::open_handle_report().find("Gadget (access 0x2)"), std::string::npos);
    ZwClose(a);
    ZwClose(b);
    ObDereferenceObject(&body_);
    ObDereferenceObject(&other_);
    EXPECT_EQ(hvsim::ob::live_object_count(), 0u);
}

TEST_F(ObjectManager, ShutdownReportsAndClosesHandlesStillOpen) {
    hvsim::ob::insert_object(&body_, &widget_type);
    hvsim::ob::create_handle(&body_, KEY_ALL_ACCESS);
    ObDereferenceObject(&body_);
    hvsim::kernel_shutdown();
    EXPECT_TRUE(hvsim::debug_log::contains("Kernel shutdown: handles still open:"));
    EXPECT_TRUE(hvsim::debug_log::contains("Widget (access 0xf003f)"));
    EXPECT_EQ(g_destroyed, 1) << "closing the handle released the object";
    hvsim::kernel_boot({});
}

TEST_F(ObjectManager, InsertingTwiceIsABugCheck) {
    hvsim::ob::insert_object(&body_, &widget_type);
    EXPECT_DEATH(hvsim::ob::insert_object(&body_, &widget_type), "inserted twice");
    ObDereferenceObject(&body_);
}

} // namespace
