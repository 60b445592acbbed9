// String resources: an image's declared table is found by its module handle while the image is
// loaded, with LoadString's rules for short buffers, missing strings and the in-place form.
#include <hv_resource.h>

#include <cstring>

#include "user_fixture.h"

HV_STRINGTABLE_BEGIN
HV_STRING(100, u"Hello, resources")
HV_STRING(101, u"")
HV_STRING(65535, u"The last ID")
HV_STRINGTABLE_END

namespace {

using StringResourceTest = UserModeTest;

TEST_F(StringResourceTest, TheProgramsOwnTableIsCopiedTruncatedAndTerminated) {
    WCHAR text[32];
    EXPECT_EQ(16, LoadStringW(nullptr, 100, text, 32));
    EXPECT_EQ(u"Hello, resources", std::u16string(text));
    // Exactly one character short: the last one gives way to the terminator.
    EXPECT_EQ(15, LoadStringW(nullptr, 100, text, 16));
    EXPECT_EQ(u"Hello, resource", std::u16string(text));
    std::fill(std::begin(text), std::end(text), u'x');
    EXPECT_EQ(5, LoadStringW(nullptr, 100, text, 6));
    EXPECT_EQ(u"Hello", std::u16string(text));
    EXPECT_EQ(u'x', text[6]);
    // Room for the terminator only.
    EXPECT_EQ(0, LoadStringW(nullptr, 1, text, 1) + LoadStringW(nullptr, 100, text, 1));
    EXPECT_EQ(0, text[0]);
    EXPECT_EQ(11, LoadStringW(nullptr, 65535, text, 32));

    char narrow[8];
    EXPECT_EQ(7, LoadStringA(nullptr, 100, narrow, sizeof narrow));
    EXPECT_STREQ("Hello, ", narrow);
}

TEST_F(StringResourceTest, ALengthOfZeroHandsOutTheTextInPlace) {
    const WCHAR* first = nullptr;
    const WCHAR* second = nullptr;
    EXPECT_EQ(16, LoadStringW(nullptr, 100, reinterpret_cast<LPWSTR>(&first), 0));
    EXPECT_EQ(16, LoadStringW(nullptr, 100, reinterpret_cast<LPWSTR>(&second), 0));
    ASSERT_NE(nullptr, first);
    // The image's own text, not a copy.
    EXPECT_EQ(first, second);
    EXPECT_EQ(0, std::memcmp(first, u"Hello, resources", 16 * sizeof(WCHAR)));
}

TEST_F(StringResourceTest, MissingStringsGiveZeroAndAnEmptyBuffer) {
    WCHAR text[8] = {u'x', u'x'};
    SetLastError(0);
    EXPECT_EQ(0, LoadStringW(nullptr, 102, text, 8));
    EXPECT_EQ(0, text[0]);
    EXPECT_EQ(DWORD(ERROR_RESOURCE_NAME_NOT_FOUND), GetLastError());
    // An empty string is no string; IDs are 16 bits wide.
    text[0] = u'x';
    EXPECT_EQ(0, LoadStringW(nullptr, 101, text, 8));
    EXPECT_EQ(0, text[0]);
    EXPECT_EQ(0, LoadStringW(nullptr, 100 + 0x10000, text, 8));
    const WCHAR* pointer = nullptr;
    EXPECT_EQ(0, LoadStringW(nullptr, 102, reinterpret_cast<LPWSTR>(&pointer), 0));

    SetLastError(0);
    EXPECT_EQ(0, LoadStringW(nullptr, 100, nullptr, 8));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(0, LoadStringW(nullptr, 100, text, -1));
    char narrow[4] = "xx";
    EXPECT_EQ(0, LoadStringA(nullptr, 102, narrow, sizeof narrow));
    EXPECT_EQ(0, narrow[0]);
}

// A library's table comes and goes with the library; the program's table is not the library's.
TEST_F(StringResourceTest, ALibrarysTableIsFoundByItsModuleWhileItIsLoaded) {
    std::string path = HV_TEST_COINSTALLER;
    HMODULE library = LoadLibraryW(std::u16string(path.begin(), path.end()).c_str());
    ASSERT_NE(nullptr, library);
    WCHAR text[64];
    EXPECT_EQ(24, LoadStringW(library, 100, text, 64));
    EXPECT_EQ(u"The library's string 100", std::u16string(text));
    EXPECT_EQ(19, LoadStringW(library, 200, text, 64));
    EXPECT_EQ(0, LoadStringW(nullptr, 200, text, 64));
    EXPECT_EQ(0, LoadStringW(library, 65535, text, 64));
    EXPECT_EQ(16, LoadStringW(nullptr, 100, text, 64));

    ASSERT_TRUE(FreeLibrary(library));
    SetLastError(0);
    EXPECT_EQ(0, LoadStringW(library, 100, text, 64));
    EXPECT_EQ(DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND), GetLastError());
    // A handle that is no module has no strings either.
    EXPECT_EQ(0, LoadStringW(reinterpret_cast<HINSTANCE>(0x1234), 100, text, 64));
}

} // namespace
