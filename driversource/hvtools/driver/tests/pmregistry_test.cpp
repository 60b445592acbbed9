// Registry access.
#include "pmtestsupport.h"

#include <pmregistry.h>

using namespace pmtest;
namespace reg = hvsim::registry;

namespace {

const char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
const char16_t kTestKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PmTest";

class PmRegistryTest : public PmKernelTest {
protected:
    void SetUp() override {
        PmKernelTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, reg::create_key(kTestKey));
    }
    HANDLE open_test_key() { return open_key(kTestKey); }
};

TEST_F(PmRegistryTest, AbsolutePathsFromRelativeToCodes) {
    struct Case {
        ULONG code;
        const char16_t* path;
        const char16_t* expected;
    } cases[] = {
        {1, u"Foo", u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Foo"},
        {2, u"\\Class", u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class"},
        {3, u"Ports", u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports"},
        {4, u"SERIALCOMM", u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM"},
        {5, u"X", u"\\Registry\\User\\CurrentUser\\X"},
        {0, u"Registry\\Machine", u"\\Registry\\Machine"},
    };
    for (const Case& c : cases) {
        CPmString path(PagedPool, c.path);
        ASSERT_TRUE(CPmRegistry::m_MakeAbsolutePath(c.code, path));
        EXPECT_EQ(std::u16string(c.expected), text_of(path.m_GetUnicodeString()));
    }
    CPmString path(PagedPool, u"Foo");
    EXPECT_FALSE(CPmRegistry::m_MakeAbsolutePath(6, path));
    EXPECT_EQ(u"Foo", text_of(path.m_GetUnicodeString()));
    CPmString empty(PagedPool);
    EXPECT_FALSE(CPmRegistry::m_MakeAbsolutePath(1, empty));
}

TEST_F(PmRegistryTest, DwordsRoundTripAndOnlyRealDwordsAreRead) {
    EXPECT_TRUE(CPmRegistry::m_WriteDword(PM_REGISTRY_SERVICES, u"PmTest", u"Value", 0xA5A5F00D));
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, kTestKey);
    ULONG value = 0;
    EXPECT_TRUE(CPmRegistry::m_ReadDword(&path, u"value", &value));
    EXPECT_EQ(0xA5A5F00Du, value);
    EXPECT_EQ(REG_DWORD, reg::get_value(kTestKey, u"Value")->type);

    ULONG four = 7;
    reg::Key key;
    ASSERT_EQ(STATUS_SUCCESS, reg::open(nullptr, kTestKey, &key));
    reg::set_value(key, u"Binary", REG_BINARY, &four, 4);
    ULONGLONG eight = 7;
    reg::set_value(key, u"Long", REG_DWORD, &eight, 8);
    HANDLE handle = open_test_key();
    EXPECT_FALSE(CPmRegistry::m_QueryDword(handle, u"Binary", &value));
    EXPECT_FALSE(CPmRegistry::m_QueryDword(handle, u"Long", &value));
    EXPECT_FALSE(CPmRegistry::m_QueryDword(handle, u"Missing", &value));
    ZwClose(handle);

    RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\Nowhere");
    EXPECT_FALSE(CPmRegistry::m_ReadDword(&path, u"Value", &value));
    EXPECT_FALSE(CPmRegistry::m_WriteDword(PM_REGISTRY_SERVICES, u"Nowhere\\Deeper", u"Value", 1));
}

TEST_F(PmRegistryTest, StringsRoundTripWithTheirTerminator) {
    CPmString text(PagedPool, u"%SystemRoot%\\x.sys");
    EXPECT_TRUE(CPmRegistry::m_WriteString(PM_REGISTRY_SERVICES, u"PmTest", u"Sz", text, REG_SZ));
    EXPECT_TRUE(CPmRegistry::m_WriteString(PM_REGISTRY_ABSOLUTE, kTestKey, u"Expand", text, REG_EXPAND_SZ));
    auto sz = reg::get_value(kTestKey, u"Sz");
    ASSERT_TRUE(sz);
    EXPECT_EQ(REG_SZ, sz->type);
    EXPECT_EQ(text.m_GetUnicodeString()->Length + 2u, sz->data.size());
    EXPECT_EQ(REG_EXPAND_SZ, reg::get_value(kTestKey, u"Expand")->type);

    CPmString empty(PagedPool);
    EXPECT_TRUE(CPmRegistry::m_WriteString(PM_REGISTRY_SERVICES, u"PmTest", u"Empty", empty, REG_SZ));
    EXPECT_EQ(2u, reg::get_value(kTestKey, u"Empty")->data.size());

    HANDLE handle = open_test_key();
    CPmString read(PagedPool);
    EXPECT_TRUE(CPmRegistry::m_QueryString(handle, u"Sz", read));
    EXPECT_EQ(u"%SystemRoot%\\x.sys", text_of(read.m_GetUnicodeString()));
    EXPECT_TRUE(CPmRegistry::m_QueryString(handle, u"Empty", read));
    EXPECT_TRUE(read.m_IsEmpty());
    // Only REG_SZ is read as a string.
    EXPECT_FALSE(CPmRegistry::m_QueryString(handle, u"Expand", read));
    EXPECT_FALSE(CPmRegistry::m_QueryString(handle, u"Missing", read));
    ZwClose(handle);
}

TEST_F(PmRegistryTest, LongAndUnterminatedStringsAreReadWithinTheirData) {
    std::u16string long_text(300, u'L');
    reg::Key key;
    ASSERT_EQ(STATUS_SUCCESS, reg::open(nullptr, kTestKey, &key));
    reg::set_value(key, u"Long", REG_SZ, long_text.c_str(), long_text.size() * 2);
    reg::set_value(key, u"Short", REG_SZ, u"AB", 4);           // fits the first query, no NUL
    reg::set_value(key, u"Odd", REG_SZ, u"ABC", 5);            // half a character at the end
    reg::set_value(key, u"Inner", REG_SZ, u"A\0B", 6);         // stops at the first NUL
    HANDLE handle = open_test_key();
    CPmString read(PagedPool);
    EXPECT_TRUE(CPmRegistry::m_QueryString(handle, u"Long", read));
    EXPECT_EQ(long_text, text_of(read.m_GetUnicodeString()));
    EXPECT_TRUE(CPmRegistry::m_QueryString(handle, u"Short", read));
    EXPECT_EQ(u"AB", text_of(read.m_GetUnicodeString()));
    EXPECT_TRUE(CPmRegistry::m_QueryString(handle, u"Odd", read));
    EXPECT_EQ(u"AB", text_of(read.m_GetUnicodeString()));
    EXPECT_TRUE(CPmRegistry::m_QueryString(handle, u"Inner", read));
    EXPECT_EQ(u"A", text_of(read.m_GetUnicodeString()));
    ZwClose(handle);
}

TEST_F(PmRegistryTest, MultiStringWritesAreRefusedWithoutTouchingTheRegistry) {
    CPmString text(PagedPool, u"a");
    EXPECT_FALSE(CPmRegistry::m_WriteString(PM_REGISTRY_SERVICES, u"PmTest", u"Multi", text, REG_MULTI_SZ));
    EXPECT_FALSE(reg::get_value(kTestKey, u"Multi"));
}

TEST_F(PmRegistryTest, KeysAreCreatedUnderServicesAndOpenedRelative) {
    EXPECT_TRUE(CPmRegistry::m_CreateKey(u"PmTest\\Sub"));
    EXPECT_TRUE(reg::key_exists(std::u16string(kServices) + u"\\pmtest\\SUB"));
    HANDLE root = open_test_key();
    HANDLE sub = nullptr;
    EXPECT_TRUE(CPmRegistry::m_OpenKey(root, u"Sub", &sub, KEY_READ, FALSE));
    ZwClose(sub);
    EXPECT_FALSE(CPmRegistry::m_OpenKey(root, u"Other", &sub, KEY_READ, FALSE));
    EXPECT_EQ(nullptr, sub);
    EXPECT_TRUE(CPmRegistry::m_OpenKey(root, u"Other", &sub, KEY_ALL_ACCESS, TRUE));
    ZwClose(sub);
    ZwClose(root);
    EXPECT_TRUE(reg::key_exists(std::u16string(kTestKey) + u"\\Other"));
    EXPECT_FALSE(CPmRegistry::m_CreateKey(u"Missing\\Parent\\Key"));
}

} // namespace
