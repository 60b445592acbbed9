// The port object's arithmetic: divisors, line words, early acknowledgement, receive sizing and the
// latency policy, against the worked examples and the chip's own rate formula.
#include <hvsim/devices/ftdi_chip.h>

#include <gtest/gtest.h>

#include <cmath>

#include "ftdi1portrules.h"

namespace {

struct DivisorCase {
    ULONG baud;
    USHORT value;
    UCHAR high;
};

TEST(FtdiRules, DivisorsOfTheWorkedExamplesAndTheStandardRates) {
    const DivisorCase cases[] = {{921600, 0x8003, 0}, {115200, 0x001A, 0}, {9600, 0x4138, 0}, {460800, 0x4006, 0},
                                 {230400, 0x000D, 0}, {57600, 0xC034, 0},  {38400, 0xC04E, 0}, {19200, 0x809C, 0},
                                 {14400, 0x00D0, 1},  {7200, 0x41A0, 1},   {128000, 0x4017, 0}, {256000, 0x800B, 1},
                                 {4800, 0x0271, 0},   {2400, 0x04E2, 0},   {1200, 0x09C4, 0},  {300, 0x2710, 0}};
    for (const DivisorCase& c : cases) {
        FtdiBaudDivisor divisor;
        ASSERT_TRUE(FtdiFindBaudDivisor(c.baud, &divisor)) << c.baud;
        EXPECT_EQ(divisor.unValue, c.value) << c.baud;
        EXPECT_EQ(divisor.ucFractionHigh, c.high) << c.baud;
        // What the chip makes of it is within 1 %.
        const double rate = hvsim::devices::FtdiChip::baud_rate(divisor.unValue, divisor.ucFractionHigh);
        EXPECT_LE(std::fabs(rate - c.baud) / c.baud, 0.01) << c.baud << " programs " << rate;
    }
    FtdiBaudDivisor divisor;
    ASSERT_TRUE(FtdiFindBaudDivisor(921600, &divisor));
    EXPECT_EQ(divisor.ulDifference, 1476u);
    ASSERT_TRUE(FtdiFindBaudDivisor(115200, &divisor));
    EXPECT_EQ(divisor.ulDifference, 184u);
}

TEST(FtdiRules, RefusesRatesTheChipCannotProgram) {
    FtdiBaudDivisor divisor;
    EXPECT_FALSE(FtdiFindBaudDivisor(0, &divisor));
    EXPECT_FALSE(FtdiFindBaudDivisor(921601, &divisor));
    // Below 184 baud the divisor does not fit its 14 bits.
    for (ULONG baud : {75u, 110u, 134u, 150u, 183u})
        EXPECT_FALSE(FtdiFindBaudDivisor(baud, &divisor)) << baud;
    EXPECT_TRUE(FtdiFindBaudDivisor(184, &divisor));
    EXPECT_EQ(divisor.unValue & 0x3FFF, 16304u);
}

TEST(FtdiRules, LineWordsAndEarlyAcknowledgeLimits) {
    EXPECT_EQ(FtdiLineWord(3, 0, 0, FALSE), 0x0008);
    EXPECT_EQ(FtdiLineWord(2, 2, 0, FALSE), 0x0207);
    EXPECT_EQ(FtdiLineWord(3, 0, 2, FALSE), 0x1008);
    EXPECT_EQ(FtdiLineWord(0, 1, 1, FALSE), 0x0905);
    EXPECT_EQ(FtdiLineWord(3, 3, 0, TRUE), 0x4308);
    EXPECT_EQ(FtdiLineWord(3, 4, 0, FALSE), 0x0408);

    EXPECT_EQ(FtdiEarlyAcknowledgeLimit(115200, 3, 0, 0), 13u);
    EXPECT_EQ(FtdiEarlyAcknowledgeLimit(9600, 3, 0, 0), 2u);
    EXPECT_EQ(FtdiEarlyAcknowledgeLimit(921600, 3, 0, 0), 103u);
    EXPECT_EQ(FtdiEarlyAcknowledgeLimit(115200, 2, 2, 2), 12u);
}

TEST(FtdiRules, NextReceiveTransferFollowsTheFreeSpace) {
    BOOLEAN low = TRUE;
    EXPECT_EQ(FtdiNextRxTransferSize(4096, 62, 256, 4096, &low), 3776u);
    EXPECT_FALSE(low);
    EXPECT_EQ(FtdiNextRxTransferSize(4096, 62, 256, 1024, &low), 1024u);
    EXPECT_EQ(FtdiNextRxTransferSize(1 << 20, 0, 256, 4096, &low), 4096u);
    // At or below incoming + FIFO + one packet's data: low, one packet at a time.
    EXPECT_EQ(FtdiNextRxTransferSize(62 + 318, 62, 256, 4096, &low), 64u);
    EXPECT_TRUE(low);
    EXPECT_EQ(FtdiNextRxTransferSize(0, 0, 256, 4096, &low), 64u);
    EXPECT_TRUE(low);
    // Room for less than a packet beyond the reserve still reads one packet.
    EXPECT_EQ(FtdiNextRxTransferSize(62 + 318 + 10, 62, 256, 4096, &low), 64u);
    EXPECT_FALSE(low);
}

struct PolicyCase {
    ULONG policy, maximum, fine_max, fine_low, baud, latency, transfer;
};

TEST(FtdiRules, LatencyPolicies) {
    const PolicyCase cases[] = {
        {1, 1040, 0, 192, 9600, 255, 1024},  {1, 1040, 0, 192, 921600, 11, 1024}, {1, 1040, 0, 256, 115200, 10, 64},
        {1, 1040, 0, 0, 115200, 255, 4096},  {0, 1040, 0, 192, 115200, 16, 4096}, {0, 1040, 0, 192, 9600, 61, 1024},
        {0, 1040, 128, 192, 115200, 29, 2176}, {0, 1040, 0, 192, 300, 255, 4096}, {0, 1040, 0, 192, 38400, 16, 3904},
        {0, 1040, 256, 192, 115200, 208, 256},
        // Out of range: a maximum latency of 0 takes the default, fine tuning above 256 counts as 256.
        {0, 0, 0, 192, 115200, 16, 4096},     {0, 1040, 5000, 192, 115200, 208, 256}, {1, 1040, 0, 1000, 115200, 10, 64},
    };
    for (const PolicyCase& c : cases) {
        FtdiLatencySettings settings = {c.policy, c.maximum, c.fine_max, c.fine_low};
        ULONG latency = 0, transfer = 0;
        ASSERT_TRUE(FtdiLatencyPolicy(&settings, c.baud, &latency, &transfer)) << c.policy << " " << c.baud;
        EXPECT_EQ(latency, c.latency) << c.policy << " " << c.maximum << " " << c.fine_max << " " << c.baud;
        EXPECT_EQ(transfer, c.transfer) << c.policy << " " << c.maximum << " " << c.fine_max << " " << c.baud;
    }
    FtdiLatencySettings unknown = {2, 1040, 0, 192};
    ULONG latency = 0, transfer = 0;
    EXPECT_FALSE(FtdiLatencyPolicy(&unknown, 115200, &latency, &transfer));
}

} // namespace
