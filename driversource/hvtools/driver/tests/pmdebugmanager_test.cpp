// Debug manager: event-log source, trace lines and their filtering, helpers.
#include "pmtestsupport.h"

#include <hvsim/io.h>
#include <hvsim/sched.h>

#include <pmdebugmanager.h>

#include <string>

using namespace pmtest;
namespace reg = hvsim::registry;

namespace {

const char16_t kServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\HvUVCP";
const char16_t kEventKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EventLog\\System\\HvUVCP";

class PmDebugManagerTest : public PmKernelTest {
protected:
    void SetUp() override {
        PmKernelTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, reg::create_key(kServiceKey));
        RtlInitUnicodeString(&service_path_, kServiceKey);
    }
    void TearDown() override {
        if (manager_) {
            manager_->m_UnregisterEventSource();
            delete manager_;
        }
        g_pPmDebugManager = nullptr;
        if (driver_) {
            CPmDebugManager::m_CleanupTracing(driver_);
            hvsim::io::delete_driver_object(driver_);
        }
        PmKernelTest::TearDown();
    }
    bool create() {
        BOOLEAN ok = FALSE;
        manager_ = new (NonPagedPool) CPmDebugManager(nullptr, u"HvUVCP", &service_path_, &ok);
        return manager_ && ok;
    }
    // Registers the trace GUIDs for a driver object and enables the given control GUID (1-based).
    void start_tracing() {
        driver_ = hvsim::io::create_driver_object(u"PmTraceTest", kServiceKey);
        ASSERT_NE(nullptr, driver_);
        ASSERT_EQ(STATUS_SUCCESS, CPmDebugManager::m_InitializeDriverTracing(driver_, &service_path_));
        g_pPmDebugManager = manager_;
    }
    TRACEHANDLE enable(int guid, ULONG flags) {
        return hvsim::trace_log::enable(g_aPmTraceControlGuids[guid - 1], flags, TRACE_LEVEL_VERBOSE, this_image());
    }

    UNICODE_STRING service_path_{};
    CPmDebugManager* manager_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(PmDebugManagerTest, RegistersTheEventSourceAndRemovesItAtUnload) {
    reg::set_dword(kServiceKey, u"DebugMask", 0x55);
    ASSERT_TRUE(create());
    EXPECT_EQ(1u, reg::get_dword(kServiceKey, u"LogLevel").value_or(0));
    EXPECT_EQ(1u, g_ulPmLogLevel);
    EXPECT_EQ(2048u, manager_->m_ulLowestEventCode);
    EXPECT_EQ(2815u, manager_->m_ulHighestEventCode);
    EXPECT_EQ(0x55u, manager_->m_ulDebugMask);
    EXPECT_EQ(0u, manager_->m_ulOperatorDebugMask);

    auto file = reg::get_value(kEventKey, u"EventMessageFile");
    ASSERT_TRUE(file);
    EXPECT_EQ(REG_EXPAND_SZ, file->type);
    std::u16string expected = u"%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\Drivers\\HvUVCP.sys";
    EXPECT_EQ(expected, reg::get_string(kEventKey, u"EventMessageFile").value_or(u""));
    EXPECT_EQ((expected.size() + 1) * 2, file->data.size());
    EXPECT_EQ(7u, reg::get_dword(kEventKey, u"TypesSupported").value_or(0));

    manager_->m_UnregisterEventSource();
    EXPECT_FALSE(reg::key_exists(kEventKey));
    EXPECT_TRUE(manager_->m_EventSourceName.m_IsEmpty());
}

TEST_F(PmDebugManagerTest, LogLevelChoosesTheEventRangeAndIsRepairedWhenOutOfRange) {
    struct Case {
        ULONG stored, kept, lowest, highest;
    } cases[] = {{0, 0, 0, 0}, {2, 2, 1024, 2815}, {3, 3, 1, 2815}, {7, 1, 2048, 2815}};
    for (const Case& c : cases) {
        reg::set_dword(kServiceKey, u"LogLevel", c.stored);
        ASSERT_TRUE(create());
        EXPECT_EQ(c.kept, reg::get_dword(kServiceKey, u"LogLevel").value_or(99));
        EXPECT_EQ(c.lowest, manager_->m_ulLowestEventCode);
        EXPECT_EQ(c.highest, manager_->m_ulHighestEventCode);
        delete manager_;
        manager_ = nullptr;
    }
    // A LogLevel of another type counts as missing.
    reg::set_string(kServiceKey, u"LogLevel", u"3");
    ASSERT_TRUE(create());
    EXPECT_EQ(1u, reg::get_dword(kServiceKey, u"LogLevel").value_or(99));
}

TEST_F(PmDebugManagerTest, FailedRegistrationFailsTheConstruction) {
    reg::fail_next(reg::Operation::Set, STATUS_ACCESS_DENIED);
    EXPECT_FALSE(create());
    EXPECT_FALSE(reg::key_exists(kEventKey));
    delete manager_;
    manager_ = nullptr;
    UNICODE_STRING missing;
    RtlInitUnicodeString(&missing, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Absent");
    BOOLEAN ok = TRUE;
    CPmDebugManager* manager = new (NonPagedPool) CPmDebugManager(nullptr, u"Absent", &missing, &ok);
    EXPECT_FALSE(ok);
    delete manager;
}

TEST_F(PmDebugManagerTest, EachLevelSendsItsMessageOnItsControlGuidsFlag) {
    ASSERT_TRUE(create());
    start_tracing();
    for (int guid = 1; guid <= 8; ++guid)
        enable(guid, 0xFFFFFFFF);
    struct Case {
        ULONG level;
        int guid;
        USHORT number;
    } cases[] = {{0, 1, 10},  {2, 2, 12},  {3, 3, 13},  {4, 3, 14},  {6, 4, 16},  {7, 5, 17},
                 {30, 5, 40}, {31, 6, 41}, {38, 7, 48}, {39, 8, 49}, {54, 8, 64}, {56, 5, 27}};
    for (const Case& c : cases) {
        hvsim::trace_log::clear();
        PM_TRACE(c.level, "CPmTest::m_Level IN %u", c.level);
        auto records = hvsim::trace_log::records();
        ASSERT_EQ(1u, records.size()) << "level " << c.level;
        EXPECT_EQ(c.number, records[0].number);
        EXPECT_TRUE(IsEqualGUID(g_aPmTraceControlGuids[c.guid - 1], records[0].control_guid));
        EXPECT_TRUE(IsEqualGUID(g_PmTraceMessageGuid, records[0].message_guid));
        EXPECT_EQ(43u, records[0].flags);
        std::string text = "CPmTest::m_Level IN " + std::to_string(c.level);
        EXPECT_EQ(text, records[0].text());
        ASSERT_EQ(1u, records[0].arguments.size());
        EXPECT_EQ(text.size() + 1, records[0].arguments[0].size()); // carried with its NUL
    }
}

TEST_F(PmDebugManagerTest, LinesAreSentOnlyWhenTheirFlagIsEnabled) {
    ASSERT_TRUE(create());
    start_tracing();
    enable(5, 0x400); // level 17 only
    hvsim::trace_log::clear();
    PM_TRACE(7, "off");
    PM_TRACE(17, "on");
    PM_TRACE(55, "as 17");
    PM_TRACE(3, "off");
    CPmDebugManager::m_Trace(nullptr, 17, "no manager");
    auto records = hvsim::trace_log::records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("on", records[0].text());
    EXPECT_EQ(27, records[1].number);
    EXPECT_TRUE(CPmDebugManager::m_IsLevelEnabled(56));
    EXPECT_FALSE(CPmDebugManager::m_IsLevelEnabled(18));
    hvsim::trace_log::disable(g_aPmTraceControlGuids[4], this_image());
    EXPECT_FALSE(CPmDebugManager::m_IsLevelEnabled(17));
}

TEST_F(PmDebugManagerTest, OverlongFormatsLinesAndUnknownLevelsAreRefused) {
    expect_failed_checks_ = true;
    ASSERT_TRUE(create());
    start_tracing();
    for (int guid = 1; guid <= 8; ++guid)
        enable(guid, 0xFFFFFFFF);
    hvsim::trace_log::clear();
    hvsim::debug_log::clear();
    std::string format(251, 'f');
    PM_TRACE(7, "%s", format.c_str()); // a long line from a short format
    PM_TRACE(7, format.c_str());
    PM_TRACE(57, "level 57");
    std::string fits(250, 'g');
    PM_TRACE(7, "%s", fits.c_str());
    auto records = hvsim::trace_log::records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(fits, records[0].text());
    EXPECT_EQ(3u, hvsim::debug_log::count("ASSERT at - driversource\\hvtools\\driver\\pmdebugmanager "));
}

TEST_F(PmDebugManagerTest, HexDumpLinesAndTheElapsedTimeMessage) {
    expect_failed_checks_ = true;
    ASSERT_TRUE(create());
    start_tracing();
    enable(5, 0x1 | 0x400); // level 7 and the elapsed-time flag
    hvsim::trace_log::clear();
    UCHAR data[40];
    for (int i = 0; i < 40; ++i)
        data[i] = (UCHAR)(0xA0 + i);
    manager_->m_TraceHexDump(7, data, sizeof(data), "Receive");
    auto records = hvsim::trace_log::records();
    ASSERT_GE(records.size(), 3u);
    std::string all;
    for (size_t i = 0; i + 1 < records.size(); ++i) {
        EXPECT_EQ(17, records[i].number);
        EXPECT_LE(records[i].text().size(), 102u);
        all += records[i].text();
    }
    EXPECT_EQ(0u, records[0].text().find("Receive - 0xA0 A1 A2 "));
    EXPECT_NE(std::string::npos, all.find("C7 "));
    EXPECT_EQ(2u, records.size() - 1); // 40 bytes: 29 on the first line, 11 on the second
    EXPECT_EQ(PM_HEXDUMP_ELAPSED_MESSAGE, records.back().number);
    EXPECT_EQ(4u, records.back().arguments[0].size());
    EXPECT_EQ(0u, records.back().ulong_argument(0)); // no machine time passed

    hvsim::trace_log::clear();
    hvsim::debug_log::clear();
    std::string heading(100, 'h');
    manager_->m_TraceHexDump(7, data, 1, heading.c_str());
    EXPECT_EQ(1u, hvsim::debug_log::count("ASSERT at - driversource\\hvtools\\driver\\pmdebugmanager "));
    EXPECT_EQ(1u, hvsim::trace_log::records().size()); // only the elapsed time
}

// The bus driver's dump: the data alone, lines that begin "0x", only when the level is enabled.
TEST_F(PmDebugManagerTest, PlainHexDumpWritesItsLinesOnlyForAnEnabledLevel) {
    ASSERT_TRUE(create());
    start_tracing();
    UCHAR data[70];
    for (int i = 0; i < 70; ++i)
        data[i] = (UCHAR)i;
    hvsim::trace_log::clear();
    manager_->m_HexDump(7, data, sizeof(data));
    EXPECT_TRUE(hvsim::trace_log::records().empty());

    enable(5, 0x1);
    manager_->m_HexDump(7, data, sizeof(data));
    auto records = hvsim::trace_log::records();
    ASSERT_EQ(3u, records.size()); // 33 bytes on each line: "0x" and 3 characters a byte in 102
    std::string all;
    for (auto& record : records) {
        EXPECT_LE(record.text().size(), 102u);
        all += record.text();
    }
    EXPECT_EQ(0u, records[0].text().find("0x00 01 02 "));
    EXPECT_EQ(0u, records[1].text().find("21 22 "));
    EXPECT_NE(std::string::npos, all.find("45 "));
    EXPECT_EQ(std::string::npos, all.find("46 "));
    EXPECT_EQ(0u, hvsim::debug_log::count("ASSERT at - driversource\\hvtools\\driver\\pmdebugmanager "));

    hvsim::trace_log::clear();
    manager_->m_HexDump(7, data, 0);
    ASSERT_EQ(1u, hvsim::trace_log::records().size());
    EXPECT_EQ("0x", hvsim::trace_log::records()[0].text());
}

TEST_F(PmDebugManagerTest, StatusNames) {
    EXPECT_STREQ("STATUS_SUCCESS", CPmDebugManager::m_StatusName(STATUS_SUCCESS));
    EXPECT_STREQ("STATUS_WAIT_1", CPmDebugManager::m_StatusName(1));
    EXPECT_STREQ("STATUS_WAIT_3", CPmDebugManager::m_StatusName(3));
    EXPECT_STREQ("STATUS_?????", CPmDebugManager::m_StatusName(4));
    EXPECT_STREQ("STATUS_ALERTED", CPmDebugManager::m_StatusName(0x101));
    EXPECT_STREQ("STATUS_TIMEOUT", CPmDebugManager::m_StatusName(STATUS_TIMEOUT));
    EXPECT_STREQ("STATUS_PENDING", CPmDebugManager::m_StatusName(STATUS_PENDING));
    EXPECT_STREQ("STATUS_UNSUCCESSFUL", CPmDebugManager::m_StatusName(STATUS_UNSUCCESSFUL));
    EXPECT_STREQ("STATUS_?????", CPmDebugManager::m_StatusName(STATUS_CANCELLED));
}

TEST_F(PmDebugManagerTest, ElapsedMicrosecondsFollowTheMachineClock) {
    LONGLONG stamp = 0;
    CPmDebugManager::m_ElapsedMicroseconds(&stamp);
    LARGE_INTEGER delay;
    delay.QuadPart = -25 * hvsim::sched::kTicksPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_EQ(25000u, CPmDebugManager::m_ElapsedMicroseconds(&stamp));
    EXPECT_EQ(0u, CPmDebugManager::m_ElapsedMicroseconds(&stamp));
}

TEST_F(PmDebugManagerTest, PnpMinorNames) {
    EXPECT_STREQ("IRP_MN_START_DEVICE", CPmDebugManager::m_PnpMinorName(0x00));
    EXPECT_STREQ("IRP_MN_FILTER_RESOURCE_REQUIREMENTS", CPmDebugManager::m_PnpMinorName(0x0D));
    EXPECT_STREQ("IRP_MN_?????", CPmDebugManager::m_PnpMinorName(0x0E));
    EXPECT_STREQ("IRP_MN_QUERY_ID", CPmDebugManager::m_PnpMinorName(0x13));
    EXPECT_STREQ("IRP_MN_SURPRISE_REMOVAL", CPmDebugManager::m_PnpMinorName(0x17));
    EXPECT_STREQ("IRP_MN_?????", CPmDebugManager::m_PnpMinorName(0x18));
    EXPECT_STREQ("IRP_MN_?????", CPmDebugManager::m_PnpMinorName(0xFFFFFFFF));
}

} // namespace
