// Information sets and the functional device's configuration set.
#include "pmtestsupport.h"

#include <pmdeviceconfiguration.h>
#include <pminformationset.h>
#include <pmregistry.h>

using namespace pmtest;
namespace reg = hvsim::registry;

namespace {

const char16_t kSetKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PmSet\\UI1";

BOOLEAN even_only(ULONG value) { return (value & 1) == 0; }
BOOLEAN no_spaces(const CPmString& value) { return value.m_GetText()[0] != u' '; }

// A set in the style of the drivers' settings sets.
class TestSet : public CPmInformationSet {
public:
    ULONG m_ulBaudrate = 0;
    ULONG m_ulRequired = 0;
    ULONG m_ulEven = 0;
    CPmString m_Name{PagedPool};
    CPmString m_Short{PagedPool};
    CPmConfigurableValidator m_Range;
    CPmConfigurableValidator m_Even;
    CPmStringValidator m_Length;

    explicit TestSet(bool with_required = true) : CPmInformationSet(nullptr) {
        m_Range.m_SetRange(300, 921600);
        m_Even.m_SetCheck(even_only);
        m_Length.m_SetMaximumLength(4);
        m_Length.m_SetCheck(no_spaces);
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, kSetKey);
        bool first = m_SetRegistryPath(&path) && m_AddDword(u"Baudrate", &m_ulBaudrate, 9600, &m_Range) &&
                     m_AddString(u"Name", &m_Name, "USB") &&
                     (!with_required || m_AddItem(1, u"Required", &m_ulRequired, PM_ITEM_DWORD, nullptr, nullptr)) &&
                     m_AddDword(u"Even", &m_ulEven, 2, &m_Even);
        // A default given to m_AddItem stays with the caller when the item cannot be added.
        CPmString* short_default = first ? new (PagedPool) CPmString(PagedPool, u"ab") : nullptr;
        bool last = short_default && NT_SUCCESS(short_default->m_GetStatus()) &&
                    m_AddItem(0, u"Short", &m_Short, PM_ITEM_STRING, &m_Length, short_default);
        if (!last)
            PmDeleteObject(short_default);
        registered = first && last;
    }
    bool registered = false;
};

class PmInformationSetTest : public PmKernelTest {
protected:
    void SetUp() override {
        PmKernelTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, reg::create_key(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PmSet"));
    }
    // For tests that write values before the set's first load.
    void create_set_key() { ASSERT_EQ(STATUS_SUCCESS, reg::create_key(kSetKey)); }
};

TEST_F(PmInformationSetTest, EmptyKeyGivesDefaultsUpToTheFirstRequiredItem) {
    TestSet set;
    ASSERT_TRUE(set.registered);
    EXPECT_TRUE(set.m_GetValid());
    EXPECT_EQ(5u, set.m_GetItemCount());
    EXPECT_FALSE(set.m_LoadFromKey(PM_SECTION_CURRENT)); // the key is created, empty
    EXPECT_TRUE(reg::key_exists(kSetKey));
    EXPECT_EQ(9600u, set.m_ulBaudrate);
    EXPECT_EQ(u"USB", text_of(set.m_Name.m_GetUnicodeString()));
    EXPECT_EQ(0u, set.m_ulEven); // after the refusal: untouched

    reg::set_dword(kSetKey, u"Required", 5);
    EXPECT_TRUE(set.m_LoadFromKey(PM_SECTION_CURRENT));
    EXPECT_EQ(5u, set.m_ulRequired);
    EXPECT_EQ(2u, set.m_ulEven);
    EXPECT_EQ(u"ab", text_of(set.m_Short.m_GetUnicodeString()));
}

TEST_F(PmInformationSetTest, ValuesOfTheWrongTypeTakeTheDefaultOrFailARequiredItem) {
    TestSet set;
    create_set_key();
    reg::set_string(kSetKey, u"Baudrate", u"115200");
    reg::set_dword(kSetKey, u"Name", 3);
    reg::set_dword(kSetKey, u"Required", 1);
    set.m_ulBaudrate = 1;
    EXPECT_TRUE(set.m_LoadFromKey(PM_SECTION_CURRENT));
    EXPECT_EQ(9600u, set.m_ulBaudrate);
    EXPECT_EQ(u"USB", text_of(set.m_Name.m_GetUnicodeString()));
    reg::set_string(kSetKey, u"Required", u"1");
    EXPECT_FALSE(set.m_LoadFromKey(PM_SECTION_CURRENT));
}

TEST_F(PmInformationSetTest, ValidatorsRefuseTheLoad) {
    TestSet set;
    create_set_key();
    reg::set_dword(kSetKey, u"Required", 1);
    struct Case {
        const char16_t* name;
        ULONG value;
        bool loads;
    } dwords[] = {{u"Baudrate", 299, false}, {u"Baudrate", 300, true}, {u"Baudrate", 921600, true},
                  {u"Baudrate", 921601, false}, {u"Baudrate", 0xFFFFFFFF, false}, {u"Even", 3, false},
                  {u"Even", 4, true}};
    for (const Case& c : dwords) {
        reg::set_dword(kSetKey, u"Baudrate", 9600);
        reg::set_dword(kSetKey, u"Even", 2);
        reg::set_dword(kSetKey, c.name, c.value);
        EXPECT_EQ(c.loads, (bool)set.m_LoadFromKey(PM_SECTION_CURRENT)) << c.value;
    }
    reg::set_dword(kSetKey, u"Even", 2);
    reg::set_string(kSetKey, u"Short", u"abcd");
    EXPECT_TRUE(set.m_LoadFromKey(PM_SECTION_CURRENT));
    reg::set_string(kSetKey, u"Short", u"abcde");
    EXPECT_FALSE(set.m_LoadFromKey(PM_SECTION_CURRENT));
    reg::set_string(kSetKey, u"Short", u" a");
    EXPECT_FALSE(set.m_LoadFromKey(PM_SECTION_CURRENT));
    EXPECT_EQ(u"abcd", text_of(set.m_Short.m_GetUnicodeString()));
}

TEST_F(PmInformationSetTest, SavedValuesLoadBackIntoAnotherSet) {
    TestSet set;
    set.m_ulBaudrate = 115200;
    set.m_ulRequired = 7;
    set.m_ulEven = 8;
    set.m_Name.m_Assign(u"COM12");
    set.m_Short.m_Assign(u"");
    ASSERT_TRUE(set.m_SaveToKey(PM_SECTION_CURRENT));
    // Strings are stored without their terminator.
    EXPECT_EQ(10u, reg::get_value(kSetKey, u"Name")->data.size());
    EXPECT_EQ(0u, reg::get_value(kSetKey, u"Short")->data.size());
    EXPECT_EQ(REG_SZ, reg::get_value(kSetKey, u"Name")->type);
    EXPECT_EQ(4u, reg::get_value(kSetKey, u"Baudrate")->data.size());

    TestSet other;
    ASSERT_TRUE(other.m_LoadFromKey(PM_SECTION_CURRENT));
    EXPECT_EQ(115200u, other.m_ulBaudrate);
    EXPECT_EQ(7u, other.m_ulRequired);
    EXPECT_EQ(8u, other.m_ulEven);
    EXPECT_EQ(u"COM12", text_of(other.m_Name.m_GetUnicodeString()));
    EXPECT_TRUE(other.m_Short.m_IsEmpty());
}

TEST_F(PmInformationSetTest, DefaultSectionIsCreatedEmptyAndYieldsTheDefaults) {
    TestSet set(false);
    EXPECT_TRUE(set.m_LoadFromKey(PM_SECTION_DEFAULT));
    EXPECT_TRUE(reg::key_exists(std::u16string(kSetKey) + u"\\Default"));
    EXPECT_EQ(9600u, set.m_ulBaudrate);
    set.m_ulBaudrate = 19200;
    ASSERT_TRUE(set.m_SaveToKey(PM_SECTION_DEFAULT));
    EXPECT_EQ(19200u, reg::get_dword(std::u16string(kSetKey) + u"\\Default", u"Baudrate").value_or(0));
    EXPECT_FALSE(reg::get_value(kSetKey, u"Baudrate"));
    EXPECT_FALSE(set.m_LoadFromKey(2));
}

TEST_F(PmInformationSetTest, ACallersKeyIsUsedThenTheSetsOwnLocationAgain) {
    TestSet set(false);
    ASSERT_EQ(STATUS_SUCCESS, reg::create_key(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PmSet\\Other"));
    reg::set_dword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PmSet\\Other", u"Baudrate", 2400);
    HANDLE key = open_key(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PmSet\\Other");
    ASSERT_NE(nullptr, key);
    size_t handles = reg::open_key_handles();
    EXPECT_TRUE(set.m_LoadFromRegistry(key, PM_SECTION_CURRENT));
    EXPECT_EQ(2400u, set.m_ulBaudrate);
    EXPECT_TRUE(set.m_SaveToRegistry(key, PM_SECTION_DEFAULT));
    EXPECT_EQ(handles, reg::open_key_handles()); // the caller's key stays open, nothing else does
    ZwClose(key);
    EXPECT_EQ(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PmSet\\UI1",
              text_of(set.m_RegistryPath.m_GetUnicodeString()));
    EXPECT_TRUE(set.m_LoadFromKey(PM_SECTION_CURRENT));
    EXPECT_EQ(9600u, set.m_ulBaudrate);
    EXPECT_FALSE(set.m_LoadFromRegistry(nullptr, PM_SECTION_CURRENT));
}

struct Opener {
    int calls = 0;
    LONG last_mode = 0;
    bool refuse = false;
};

HANDLE open_for_set(PVOID context, ULONG section, LONG mode) {
    auto* opener = static_cast<Opener*>(context);
    ++opener->calls;
    opener->last_mode = mode;
    if (opener->refuse)
        return nullptr;
    HANDLE key;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, kSetKey);
    return CPmRegistry::m_OpenPath(&path, &key, KEY_ALL_ACCESS, TRUE) ? key : nullptr;
}

TEST_F(PmInformationSetTest, KeyOpeningCallbackComesFirstAndItsKeyIsClosed) {
    TestSet set(false);
    Opener opener;
    set.m_SetOpenKeyCallback(open_for_set, &opener);
    set.m_ulBaudrate = 57600;
    EXPECT_TRUE(set.m_SaveToKey(PM_SECTION_CURRENT));
    EXPECT_EQ(PM_OPEN_KEY_WRITE, opener.last_mode);
    EXPECT_TRUE(set.m_LoadFromKey(PM_SECTION_DEFAULT));
    EXPECT_EQ(PM_OPEN_KEY_READ, opener.last_mode);
    EXPECT_EQ(2, opener.calls);
    opener.refuse = true;
    EXPECT_FALSE(set.m_LoadFromKey(PM_SECTION_CURRENT));
    EXPECT_EQ(57600u, reg::get_dword(kSetKey, u"Baudrate").value_or(0));
}

TEST_F(PmInformationSetTest, SetWithoutItemsOrLocationNeitherLoadsNorSaves) {
    CPmInformationSet empty(nullptr);
    EXPECT_TRUE(empty.m_GetValid());
    EXPECT_FALSE(empty.m_LoadFromKey(PM_SECTION_CURRENT));
    EXPECT_FALSE(empty.m_SaveToKey(PM_SECTION_CURRENT));
    EXPECT_EQ(PM_SERIALISE_DEFAULT_FLAGS, empty.m_Serialisation.m_ulFlags);
    EXPECT_EQ(0u, empty.m_Serialisation.m_ulHeaderValue);
    EXPECT_EQ(u"Default", text_of(empty.m_DefaultSectionName.m_GetUnicodeString()));

    ULONG value;
    EXPECT_TRUE(empty.m_AddDword(u"A", &value, 1));
    EXPECT_FALSE(empty.m_LoadFromKey(PM_SECTION_CURRENT)); // no key, no path
    EXPECT_FALSE(empty.m_AddItem(0, u"B", &value, 3, nullptr, &value)); // unknown type
    EXPECT_FALSE(empty.m_AddItem(0, u"B", &value, PM_ITEM_DWORD, nullptr, nullptr)); // optional without default
    EXPECT_EQ(1u, empty.m_GetItemCount());
}

TEST_F(PmInformationSetTest, FailedRegistrationLeavesNothingBehind) {
    for (uint64_t n = 1; n <= 12; ++n) {
        hvsim::pool::fail_nth(n);
        {
            TestSet set;
            EXPECT_LE(set.m_GetItemCount(), 5u);
        }
        hvsim::pool::clear_faults();
        EXPECT_EQ(0u, tracked_allocations()) << n;
    }
}

// Functional device configuration set -----------------------------------------------------------

const char16_t kDeviceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\ROOT\\PMTEST\\0000";

class PmDeviceConfigurationTest : public PmKernelTest {
protected:
    void SetUp() override {
        PmKernelTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, reg::create_key(kDeviceKey));
    }
    HANDLE open() { return open_key(kDeviceKey); }
    void write_required() {
        reg::set_dword(kDeviceKey, u"TypeOfDevice", 0x1B);
        reg::set_string(kDeviceKey, u"DeviceName", u"HvUVCP");
        reg::set_dword(kDeviceKey, u"DeviceIndexingPolicyType", 0x101);
    }
};

TEST_F(PmDeviceConfigurationTest, OnlyTheRequiredValuesGiveTheDefaultsForTheRest) {
    write_required();
    HANDLE key = open();
    FunctionalDeviceRegistryInformationSet set(key);
    ZwClose(key);
    ASSERT_TRUE(set.m_GetValid());
    EXPECT_EQ(11u, set.m_GetItemCount());
    EXPECT_EQ(0x1Bu, set.m_ulTypeOfDevice);
    EXPECT_EQ(u"HvUVCP", text_of(set.m_DeviceName.m_GetUnicodeString()));
    EXPECT_EQ(0x101u, set.m_ulDeviceIndexingPolicyType);
    EXPECT_EQ(0u, set.m_ulNumberChildDevices);
    EXPECT_TRUE(set.m_SymbolicLinkName.m_IsEmpty());
    EXPECT_EQ(1u, set.m_ulDeviceIsExclusive);
    EXPECT_EQ(4u, set.m_ulIoType);
    EXPECT_EQ(1u, set.m_ulDisplayInUi);
    EXPECT_EQ(0u, set.m_ulReadClientType);
    EXPECT_EQ(0u, set.m_ulOutgoingWriteType);
    EXPECT_EQ(0u, set.m_ulLowestStackLayer);
}

TEST_F(PmDeviceConfigurationTest, MissingRequiredValueOrBadIoTypeLeavesTheSetInvalid) {
    reg::set_string(kDeviceKey, u"DeviceName", u"HvUVCP");
    reg::set_dword(kDeviceKey, u"DeviceIndexingPolicyType", 1);
    {
        HANDLE key = open();
        FunctionalDeviceRegistryInformationSet set(key);
        ZwClose(key);
        EXPECT_FALSE(set.m_GetValid());
    }
    write_required();
    for (ULONG io_type : {0u, 4u, 16u, 8u, 20u}) {
        reg::set_dword(kDeviceKey, u"IoType", io_type);
        HANDLE key = open();
        FunctionalDeviceRegistryInformationSet set(key);
        ZwClose(key);
        EXPECT_EQ(io_type == 0 || io_type == 4 || io_type == 16, (bool)set.m_GetValid()) << io_type;
    }
}

} // namespace
