// The hardware-ID test on its own: what the USB stack cannot be made to report.
#include <wdm.h>

#include <gtest/gtest.h>

#include <string>

#include "hvubushardwareid.h"

namespace {

bool accepted(const std::u16string& id) { return HvUBusIsAcceptedHardwareId(id.c_str(), (ULONG)id.size() + 1); }

TEST(HardwareId, TheMakersFunctionsInAnyCaseAreAccepted) {
    EXPECT_TRUE(accepted(u"USB\\VID_7A5C&PID_1001"));
    EXPECT_TRUE(accepted(u"USB\\VID_7A5C&PID_1001&MI_00"));
    EXPECT_TRUE(accepted(u"USB\\VID_7A5C&PID_2038&REV_0700&MI_01"));
    EXPECT_TRUE(accepted(u"usb\\vid_7a5c&pid_1001"));
    EXPECT_TRUE(accepted(u"Usb\\Vid_7a5c&Pid_E001"));
}

TEST(HardwareId, ThePidFRangeOtherVendorsAndBrokenIdsAreRefused) {
    EXPECT_FALSE(accepted(u"USB\\VID_7A5C&PID_F001"));
    EXPECT_FALSE(accepted(u"usb\\vid_7a5c&pid_f001&mi_00"));
    EXPECT_FALSE(accepted(u"USB\\VID_0403&PID_6001"));
    EXPECT_FALSE(accepted(u"USB\\VID_7A5D&PID_1001"));
    EXPECT_FALSE(accepted(u"USB\\VID_7A5C&PI"));
    EXPECT_FALSE(accepted(u""));
    EXPECT_FALSE(HvUBusIsAcceptedHardwareId(nullptr, 40));
    // Only the characters given count, even without a terminator.
    const std::u16string id = u"USB\\VID_7A5C&PID_1001";
    EXPECT_FALSE(HvUBusIsAcceptedHardwareId(id.c_str(), 10));
    EXPECT_TRUE(HvUBusIsAcceptedHardwareId(id.c_str(), 18));
}

// "Contains", not "begins with": the prefix may follow something else.
TEST(HardwareId, ThePrefixMayStandAfterOtherText) {
    EXPECT_TRUE(accepted(u"HVBUS\\USB\\VID_7A5C&PID_1001"));
    EXPECT_TRUE(accepted(u"X USB\\VID_7A5C&PID_F001"));
}

} // namespace
