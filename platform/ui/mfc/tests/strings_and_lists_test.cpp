// The multibyte CString as programs use it (Format, LoadString, Replace, Delete, a null
// assignment), the list classes, and the command-line walk.
#include <gtest/gtest.h>
#include <hvsim/kernel.h>
#undef ASSERT

#include <afx.h>
#include <afxwin.h>

#include <hv_resource.h>

#include "mfc_internal.h"

HV_STRINGTABLE_BEGIN
HV_STRING(114, u"Halvorn Tarrow Installation")
HV_STRING(200, u"Port %s of %d")
HV_STRING(201, u"")
HV_STRINGTABLE_END

namespace {

class StringTest : public ::testing::Test {
protected:
    void SetUp() override {
        hvsim::KernelOptions options;
        options.clock = hvsim::ClockMode::Virtual;
        hvsim::kernel_boot(options);
    }
    void TearDown() override { hvsim::kernel_shutdown(); }
};

struct FormatCase {
    const char* name;
    CString (*make)();
    const char* expected;
};

const FormatCase kFormats[] = {
    {"integers",
     [] {
         CString s;
         s.Format("%d %u %x %X %05d %-3d|", -5, 7u, 255, 0xABCu, 42, 1);
         return s;
     },
     "-5 7 ff ABC 00042 1  |"},
    {"32-bit conversions cut wide values as Windows reads them",
     [] {
         CString s;
         s.Format("%x %d %I64d %lld", -1, 0x1FFFFFFFFLL, 0x1FFFFFFFFLL, -2LL);
         return s;
     },
     "ffffffff -1 8589934591 -2"},
    {"strings, narrow, wide and CString",
     [] {
         CString s;
         CString port("COM3");
         s.Format("%s|%ls|%s|%5s", "a", u"wide", port, "ab");
         return s;
     },
     "a|wide|COM3|   ab"},
    {"a null string",
     [] {
         CString s;
         s.Format("[%s]", static_cast<const char*>(nullptr));
         return s;
     },
     "[(null)]"},
    {"characters and percent",
     [] {
         CString s;
         s.Format("%c%c 100%%", 'o', 'k');
         return s;
     },
     "ok 100%"},
    {"floating point",
     [] {
         CString s;
         s.Format("%.2f %g", 3.14159, 0.5);
         return s;
     },
     "3.14 0.5"},
    {"width and precision from arguments",
     [] {
         CString s;
         s.Format("%*d|%.*s", 4, 7, 2, "abcdef");
         return s;
     },
     "   7|ab"},
    {"more conversions than arguments leaves the rest out",
     [] {
         CString s;
         s.Format("%d of %d (%s)", 3);
         return s;
     },
     "3 of  ()"},
    {"more arguments than conversions ignores the rest",
     [] {
         CString s;
         s.Format("%d", 1, 2, "x");
         return s;
     },
     "1"},
    {"no arguments at all",
     [] {
         CString s;
         s.Format("%s and %d");
         return s;
     },
     " and "},
    {"a string for a number and a number for a string",
     [] {
         CString s;
         s.Format("%d|%s", "text", 12);
         return s;
     },
     "text|12"},
    {"a lone percent at the end and an unknown conversion stand as written",
     [] {
         CString s;
         s.Format("%y %", 1);
         return s;
     },
     "%y %"},
    {"the usage text of the setup program",
     [] {
         CString name, usage;
         name.LoadString(114);
         name.Replace("Installation", "installation");
         usage.Format("This setup application is for %s.\r\n\r\nUsage: \r\n\tSilent Installation -  setup.exe /s\r\n"
                      "\tNormal Installation -  setup.exe        \r\n",
                      name);
         return usage;
     },
     "This setup application is for Halvorn Tarrow installation.\r\n\r\nUsage: \r\n\tSilent Installation -  "
     "setup.exe /s\r\n\tNormal Installation -  setup.exe        \r\n"},
    {"a format from the string table",
     [] {
         CString s;
         s.Format(200u, "COM4", 2);
         return s;
     },
     "Port COM4 of 2"},
};

TEST_F(StringTest, FormatWritesWhatItWasGivenAndNeverReadsMore) {
    for (const auto& c : kFormats) EXPECT_STREQ(c.expected, c.make().GetString()) << c.name;
}

struct EditCase {
    const char* name;
    const char* start;
    void (*edit)(CString&);
    const char* expected;
    int result;
};

int g_result;

const EditCase kEdits[] = {
    {"Replace every occurrence", "COM3 (in use) (in use)", [](CString& s) { g_result = s.Replace(" (in use)", ""); },
     "COM3", 2},
    {"Replace with a longer text does not rescan what it wrote", "aa",
     [](CString& s) { g_result = s.Replace("a", "aa"); }, "aaaa", 2},
    {"Replace with an empty pattern changes nothing", "abc", [](CString& s) { g_result = s.Replace("", "x"); }, "abc",
     0},
    {"Replace with a null replacement removes", "a-b-c", [](CString& s) { g_result = s.Replace("-", nullptr); }, "abc",
     2},
    {"Replace a character", "a.b.c", [](CString& s) { g_result = s.Replace('.', '\\'); }, "a\\b\\c", 2},
    {"Delete in the middle", "abcdef", [](CString& s) { g_result = s.Delete(1, 2); }, "adef", 4},
    {"Delete past the end is cut to the text", "abc", [](CString& s) { g_result = s.Delete(1, 100); }, "a", 1},
    {"Delete at a bad index deletes nothing", "abc", [](CString& s) { g_result = s.Delete(-1, 2) + s.Delete(3); },
     "abc", 6},
    {"a null assignment gives the empty string", "abc",
     [](CString& s) {
         s = static_cast<const char*>(nullptr);
         g_result = s.GetLength();
     },
     "", 0},
    {"a null construction gives the empty string", "x",
     [](CString& s) {
         s = CString(static_cast<const char*>(nullptr));
         g_result = s.IsEmpty() ? 1 : 0;
     },
     "", 1},
    {"Find and ReverseFind", "C:\\Windows\\inf\\oem1.inf",
     [](CString& s) { g_result = s.Find("inf") * 100 + s.ReverseFind('\\'); }, "C:\\Windows\\inf\\oem1.inf", 1114},
    {"Left, Mid and Right clamp to the text", "abcdef",
     [](CString& s) {
         s = s.Left(4) + s.Mid(4) + s.Right(100) + s.Mid(10) + s.Left(-1);
         g_result = 0;
     },
     "abcdefabcdef", 0},
    {"MakeUpper for the upper-cased comparisons", "Provider Halvorn",
     [](CString& s) { g_result = s.MakeUpper().Find("HALVORN"); }, "PROVIDER HALVORN", 9},
    {"A text loaded from the table, and a missing one is empty", "old",
     [](CString& s) { g_result = s.LoadString(114) * 10 + CString().LoadString(999) + CString().LoadString(201); },
     "Halvorn Tarrow Installation", 10},
};

TEST_F(StringTest, EditsKeepTheirDocumentedResults) {
    for (const auto& c : kEdits) {
        CString s(c.start);
        g_result = -1000;
        c.edit(s);
        EXPECT_STREQ(c.expected, s.GetString()) << c.name;
        EXPECT_EQ(c.result, g_result) << c.name;
    }
}

TEST_F(StringTest, ABufferTakesTheTextUpToItsEnd) {
    CString s("abc");
    char* buffer = s.GetBuffer(10);
    lstrcpyA(buffer, "windows");
    s.ReleaseBuffer();
    EXPECT_STREQ("windows", s);
    s.GetBuffer(3);
    s.ReleaseBuffer(2);
    EXPECT_STREQ("wi", s);
    EXPECT_EQ(0, CString("a").CompareNoCase("A"));
    EXPECT_TRUE(CString("ab") == "ab");
    EXPECT_TRUE("ab" != CString("abc"));
}

TEST(ListTest, AListKeepsInsertionOrderFindsAndRemoves) {
    CStringList keys;
    keys.AddTail("Software\\Uninstall\\Pellmark");
    keys.AddTail(CString("Enum\\PCI\\VEN_5D7E"));
    keys.AddHead("first");
    // "Append unless already listed".
    if (!keys.Find("Enum\\PCI\\VEN_5D7E")) keys.AddTail("Enum\\PCI\\VEN_5D7E");
    ASSERT_EQ(3, keys.GetCount());
    std::vector<std::string> order;
    for (POSITION p = keys.GetHeadPosition(); p;) order.push_back(keys.GetNext(p).GetString());
    EXPECT_EQ((std::vector<std::string>{"first", "Software\\Uninstall\\Pellmark", "Enum\\PCI\\VEN_5D7E"}), order);

    POSITION found = keys.Find("Software\\Uninstall\\Pellmark");
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(nullptr, keys.Find("Software\\Uninstall\\Pellmark", found)) << "the search starts after the position";
    keys.RemoveAt(found);
    EXPECT_STREQ("first", keys.RemoveHead());
    EXPECT_STREQ("Enum\\PCI\\VEN_5D7E", keys.GetTail());
    keys.RemoveAll();
    EXPECT_TRUE(keys.IsEmpty());

    // Walking an empty list, or past its end, reads a default value and not memory.
    POSITION none = keys.GetHeadPosition();
    EXPECT_EQ(nullptr, none);
    EXPECT_STREQ("", keys.GetNext(none));
    EXPECT_STREQ("", keys.RemoveTail());

    CList<int, int> numbers;
    for (int i = 0; i < 5; ++i) numbers.AddTail(i);
    numbers.InsertAfter(numbers.FindIndex(1), 10);
    numbers.InsertBefore(numbers.GetHeadPosition(), -1);
    std::vector<int> values;
    for (POSITION p = numbers.GetHeadPosition(); p;) values.push_back(numbers.GetNext(p));
    EXPECT_EQ((std::vector<int>{-1, 0, 1, 10, 2, 3, 4}), values);
}

// A parser that records what the walk hands it.
class RecordingInfo : public CCommandLineInfo {
public:
    void ParseParam(const char* param, BOOL flag, BOOL last) override {
        seen.push_back(std::string(flag ? "switch:" : "plain:") + param + (last ? " (last)" : ""));
    }
    std::vector<std::string> seen;
};

TEST(CommandLineTest, EveryArgumentAfterTheProgramReachesTheParserWithItsSwitchCharacterRemoved) {
    RecordingInfo info;
    hv_mfc_parse_arguments(info, {"C:\\setup.exe", "/s", "-H", "a.txt", "/", "--x", "b.txt"});
    EXPECT_EQ(
        (std::vector<std::string>{"switch:s", "switch:H", "plain:a.txt", "switch:", "switch:-x", "plain:b.txt (last)"}),
        info.seen);

    RecordingInfo nothing;
    hv_mfc_parse_arguments(nothing, {"C:\\setup.exe"});
    EXPECT_TRUE(nothing.seen.empty());

    // The plain record keeps its defaults for switches and takes the first file.
    CCommandLineInfo plain;
    hv_mfc_parse_arguments(plain, {"prog", "/p", "one.txt", "two.txt"});
    EXPECT_STREQ("one.txt", plain.m_strFileName);
    EXPECT_EQ(CCommandLineInfo::FileOpen, plain.m_nShellCommand);
    EXPECT_TRUE(plain.m_bShowSplash);
}

} // namespace
