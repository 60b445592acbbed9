// Debugger output: DbgPrint lines, break points that do not stop the machine, assertions.
#include <hvsim/debug_log.h>
#include <sched_testing.h>

#include <string>

namespace {

using DebuggerLog = hvsim::ktest::VirtualKernelTest;
namespace dlog = hvsim::debug_log;

TEST_F(DebuggerLog, DbgPrintWritesTheFormattedText) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"HvUVCP");
    EXPECT_EQ(DbgPrint("ASSERT at - %s %d\n", "driversource\\hvtools\\driver\\pmdebugmanager", 1221), STATUS_SUCCESS);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "%wZ: 0x%08X\n", &name, 0xC0000001u);
    DbgPrint("no newline");
    DbgPrint(" yet\n");
    auto lines = dlog::lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "ASSERT at - driversource\\hvtools\\driver\\pmdebugmanager 1221");
    EXPECT_EQ(lines[1], "HvUVCP: 0xC0000001");
    EXPECT_EQ(lines[2], "no newline yet");
    EXPECT_EQ(dlog::count("ASSERT at - "), 1u);
    EXPECT_EQ(DbgPrint(nullptr), (ULONG)STATUS_INVALID_PARAMETER);
}

TEST_F(DebuggerLog, OneCallWritesAtMost512Bytes) {
    std::string long_text(700, 'x');
    DbgPrint("%s", long_text.c_str());
    EXPECT_EQ(dlog::text().size(), 512u);
}

TEST_F(DebuggerLog, PrefixedOutput) {
    auto print = [](const char* format, ...) {
        va_list ap;
        va_start(ap, format);
        vDbgPrintExWithPrefix("HvUsbSam: ", DPFLTR_IHVBUS_ID, DPFLTR_INFO_LEVEL, format, ap);
        va_end(ap);
    };
    print("port %u\n", 2u);
    EXPECT_EQ(dlog::lines().back(), "HvUsbSam: port 2");
}

TEST_F(DebuggerLog, BreakPointsAreCountedAndLoggedAndTheMachineGoesOn) {
    EXPECT_EQ(dlog::break_points(), 0u);
    DbgBreakPoint();
    KdBreakPoint();
    EXPECT_EQ(dlog::break_points(), 2u);
    EXPECT_EQ(dlog::count("*** break point"), 2u);
    EXPECT_TRUE(dlog::contains("break point 2 in hvkernel_tests"));
}

TEST_F(DebuggerLog, AFailedAssertionLogsAndBreaks) {
    int ports = 2;
    EXPECT_TRUE(ASSERT(ports == 2));
    EXPECT_EQ(dlog::break_points(), 0u);
    EXPECT_FALSE(ASSERT(ports == 3));
    EXPECT_EQ(dlog::break_points(), 1u);
    EXPECT_TRUE(dlog::contains("*** Assertion failed: ports == 3"));
    EXPECT_TRUE(dlog::contains("dbg_print_test.cpp, line "));
    ASSERTMSG("ports must be one", ports == 1);
    EXPECT_TRUE(dlog::contains("Assertion failed: ports must be one ports == 1"));
}

TEST_F(DebuggerLog, TheLogIsClearedAtBootAndFedByTheBugCheck) {
    DbgPrint("before\n");
    DbgBreakPoint();
    hvsim::kernel_shutdown();
    hvsim::kernel_boot({});
    EXPECT_EQ(dlog::text(), "");
    EXPECT_EQ(dlog::break_points(), 0u);
    hvsim::debugger_log_write("direct\n");
    EXPECT_EQ(dlog::lines(), std::vector<std::string>{"direct"});
}

} // namespace
