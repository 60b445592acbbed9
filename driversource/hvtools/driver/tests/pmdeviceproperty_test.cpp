// Device property query and the named callback object.
#include "pmtestsupport.h"


#include <pmcallbackobject.h>
#include <pmdeviceproperty.h>

#include <vector>

using namespace pmtest;
namespace reg = hvsim::registry;

namespace {

class PmDevicePropertyTest : public PmKernelTest {
protected:
    PDEVICE_OBJECT make_device(const char16_t* driver_key) { return make_root_device(u"root\\hvtoolsproperty", driver_key); }
};

TEST_F(PmDevicePropertyTest, DriverKeyNameIsReadCompletely) {
    const char16_t key_name[] = u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0003";
    PDEVICE_OBJECT pdo = make_device(key_name);
    ASSERT_NE(nullptr, pdo);
    CPmDeviceProperty property(pdo);
    PVOID block = nullptr;
    ULONG length = 0;
    ASSERT_TRUE(property.m_Get(&block, &length));
    EXPECT_EQ(sizeof(key_name), length);
    PmFreeMemory(block);

    CPmString text(PagedPool);
    ASSERT_TRUE(property.m_GetString(text));
    EXPECT_EQ(std::u16string(key_name), text_of(text.m_GetUnicodeString()));
}

TEST_F(PmDevicePropertyTest, NoDeviceOrNoDriverKeyGivesFalse) {
    expect_failed_checks_ = true;
    CPmString text(PagedPool, u"old");
    CPmDeviceProperty none;
    hvsim::debug_log::clear();
    EXPECT_FALSE(none.m_GetString(text));
    EXPECT_TRUE(hvsim::debug_log::contains("ASSERT at - driversource\\hvtools\\driver\\pmdeviceproperty "));
    CPmDeviceProperty unbound(make_device(nullptr));
    EXPECT_FALSE(unbound.m_GetString(text));
    EXPECT_EQ(u"old", text_of(text.m_GetUnicodeString()));
}

TEST_F(PmDevicePropertyTest, FailedAllocationsGiveFalseAndLeaveNothing) {
    PDEVICE_OBJECT pdo = make_device(u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0000");
    CPmDeviceProperty property(pdo);
    for (uint64_t n = 1; n <= 4; ++n) {
        CPmString text(PagedPool);
        hvsim::pool::fail_nth(n);
        bool read = property.m_GetString(text);
        hvsim::pool::clear_faults();
        EXPECT_EQ(read, !text.m_IsEmpty());
    }
}

// Callback object ------------------------------------------------------------------------------

struct Calls {
    std::vector<std::pair<int, PVOID>> seen;
};

void handler_one(PVOID context, PVOID argument1, PVOID) { static_cast<Calls*>(context)->seen.push_back({1, argument1}); }
void handler_two(PVOID context, PVOID argument1, PVOID) { static_cast<Calls*>(context)->seen.push_back({2, argument1}); }

class PmCallbackObjectTest : public PmKernelTest {};

TEST_F(PmCallbackObjectTest, HandlersOnOneGuidShareTheNamedObject) {
    Calls calls;
    CPmCallbackObject first, second, notifier;
    ASSERT_TRUE(first.m_Register(GUID_HVGENDRV_CALLBACK_OBJECT, handler_one, &calls));
    ASSERT_TRUE(second.m_Register(GUID_HVGENDRV_CALLBACK_OBJECT, handler_two, &calls));
    ASSERT_TRUE(notifier.m_Register(GUID_HVGENDRV_CALLBACK_OBJECT, nullptr, nullptr));
    EXPECT_EQ(first.m_pCallbackObject, second.m_pCallbackObject);
    EXPECT_EQ(first.m_pCallbackObject, notifier.m_pCallbackObject);
    EXPECT_FALSE(first.m_Register(GUID_HVGENDRV_CALLBACK_OBJECT, handler_one, &calls)); // registered already

    // The name, opened in another case.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\callback\\{3d08f5b2-6c91-47ae-8e24-51b7c9a0d36f}");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT opened = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ExCreateCallback(&opened, &attributes, FALSE, TRUE));
    EXPECT_EQ(first.m_pCallbackObject, opened);
    ObDereferenceObject(opened);

    EXPECT_TRUE(notifier.m_Notify((PVOID)7, nullptr));
    EXPECT_EQ((std::vector<std::pair<int, PVOID>>{{1, (PVOID)7}, {2, (PVOID)7}}), calls.seen);

    first.m_Close();
    calls.seen.clear();
    EXPECT_TRUE(second.m_Notify((PVOID)8, nullptr));
    EXPECT_EQ((std::vector<std::pair<int, PVOID>>{{2, (PVOID)8}}), calls.seen);
    EXPECT_FALSE(first.m_Notify((PVOID)9, nullptr));

    notifier.m_Close();
    EXPECT_FALSE(notifier.m_Notify((PVOID)9, nullptr));
    notifier.m_Close(); // twice is harmless
    EXPECT_EQ((std::vector<std::pair<int, PVOID>>{{2, (PVOID)8}}), calls.seen);
}

TEST_F(PmCallbackObjectTest, UnregisteredObjectNeverNotifies) {
    CPmCallbackObject object;
    EXPECT_FALSE(object.m_Notify(nullptr, nullptr));
    object.m_Close();
    hvsim::pool::fail_nth(1);
    EXPECT_FALSE(object.m_Register(GUID_HVGENDRV_CALLBACK_OBJECT, handler_one, nullptr));
    hvsim::pool::clear_faults();
    EXPECT_EQ(nullptr, object.m_pCallbackObject);
}

} // namespace
