// The Unicode build's CString: the same Format, Replace and LoadString on 16-bit text.
#include <atlstr.h>

#include <hv_resource.h>

#include <gtest/gtest.h>
#include <hvsim/kernel.h>

HV_STRINGTABLE_BEGIN
HV_STRING(8001, u"Even,Odd,None,Mark,Space")
HV_STRINGTABLE_END

namespace {

TEST(WideStringTest, FormatReplaceAndLoadWorkOnWideText) {
    hvsim::KernelOptions options;
    options.clock = hvsim::ClockMode::Virtual;
    hvsim::kernel_boot(options);

    CString s;
    s.Format(u"%d baud, %s, %hs, %c", 115200, u"COM3", "narrow", u'x');
    EXPECT_EQ(std::u16string(u"115200 baud, COM3, narrow, x"), s.GetString());
    s.Format(u"%s (%d) %d", CString(u"COM5"));
    EXPECT_EQ(std::u16string(u"COM5 () "), s.GetString()) << "missing arguments are left out";

    CString list;
    ASSERT_TRUE(list.LoadString(8001));
    EXPECT_EQ(4, list.Replace(u",", u" | "));
    EXPECT_EQ(std::u16string(u"Even | Odd | None | Mark | Space"), list.GetString());
    EXPECT_EQ(7, list.Find(u"Odd"));
    EXPECT_EQ(std::u16string(u"EVEN"), list.Left(4).MakeUpper().GetString());
    s = static_cast<LPCWSTR>(nullptr);
    EXPECT_TRUE(s.IsEmpty());

    hvsim::kernel_shutdown();
}

} // namespace
