// The port settings set: its values, their order and defaults, its stream as the settings client
// reads it, its registry form, the baud-rate check and the settings dump.
#include <hvuvcpusermodeinterface.h>

#include <hvsim/debug_log.h>
#include <hvsim/io.h>
#include <hvsim/pool.h>
#include <hvsim/registry.h>

#include <pmdebugmanager.h>
#include <pmkerneltest.h>

#include <cstring>
#include <string>
#include <vector>

namespace reg = hvsim::registry;

namespace {

const char16_t kServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\HvUVCP";
const char16_t kDeviceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\HVUSB\\PORT\\1";
const char16_t kSetKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\HVUSB\\PORT\\1\\UI1";

// The value list of the settings, in the order the client registers it.
const std::vector<std::pair<std::u16string, ULONG>> kValues = {
    {u"PortType", 255},
    {u"MaxBaudRate", 921600},
    {u"MinBaudRate", 75},
    {u"DuplexMode", 0},
    {u"Baudrate", 115200},
    {u"Databits", 3},
    {u"Parity", 0},
    {u"Stopbits", 0},
    {u"FlowControl", 0},
    {u"LogLevel", 0},
    {u"ReceiveTriggerLevel", 75},
    {u"TransmitTriggerLevel", 10},
    {u"FlowControlTriggerLevel", 85},
    {u"SupportedBaudRates", 0x1007FFFF},
    {u"SupportedParities", 0x1F00},
    {u"SupportedDataBits", 15},
    {u"SupportedStopBits", 7},
    {u"SupportedFlowControls", 15},
    {u"SupportedDuplexModes", 0},
    {u"OverridBaudRates", 0},
    {u"OverrideDataBits", 0},
    {u"OverrideParity", 0},
    {u"OverrideStopbits", 0},
    {u"OverrideFlowControl", 0},
    {u"EmulateCTSTrue", 0},
    {u"EmulateDSRTrue", 0},
    {u"422485CtsTrue", 0},
    {u"CtsSupported", 1},
    {u"RtsSupported", 1},
    {u"DtrSupported", 1},
    {u"DsrSupported", 1},
    {u"DcdSupported", 1},
    {u"RiSupported", 1},
};

class HvUVcpSettingsTest : public gendrvtest::KernelTest {
  protected:
    void TearDown() override {
        hvsim::pool::clear_faults();
        gendrvtest::KernelTest::TearDown();
    }

    static std::vector<UCHAR> serialise(CHvUVcpUserModeInterface& set) {
        std::vector<UCHAR> stream(set.m_GetSerialisedSize());
        ULONG room = (ULONG)stream.size();
        EXPECT_TRUE(set.m_Serialise(stream.data(), &room));
        EXPECT_EQ(0u, room);
        return stream;
    }
    static ULONG dword_at(const std::vector<UCHAR>& stream, size_t index) {
        ULONG value = 0;
        std::memcpy(&value, stream.data() + 4 * index, 4);
        return value;
    }
    static void set_dword_at(std::vector<UCHAR>& stream, size_t index, ULONG value) {
        std::memcpy(stream.data() + 4 * index, &value, 4);
    }
};

TEST_F(HvUVcpSettingsTest, NewSetHoldsTheThirtyThreeValuesInOrderWithTheirDefaults) {
    CHvUVcpUserModeInterface set;
    ASSERT_TRUE(set.m_GetValid());
    ASSERT_EQ(33u, set.m_GetItemCount());
    EXPECT_EQ(u"Default", std::u16string(set.m_DefaultSectionName.m_GetText()));
    for (ULONG i = 0; i < kValues.size(); i++) {
        auto* item = static_cast<PmInformationItem*>(set.m_Items.m_GetAt(i + 1));
        ASSERT_NE(nullptr, item);
        EXPECT_EQ(kValues[i].first, std::u16string(item->m_Name.m_GetText())) << i;
        EXPECT_EQ((ULONG)PM_ITEM_DWORD, item->m_ulType) << i;
        EXPECT_EQ(0u, item->m_ulRequired) << i;
        ASSERT_NE(nullptr, item->m_pvDefault) << i;
        EXPECT_EQ(kValues[i].second, *static_cast<PULONG>(item->m_pvDefault)) << i;
        // The member the item fills holds the default from the start.
        EXPECT_EQ(kValues[i].second, *static_cast<PULONG>(item->m_pvTarget)) << i;
    }
    // Every item fills a member of its own.
    for (ULONG i = 1; i <= 33; i++)
        for (ULONG j = i + 1; j <= 33; j++)
            EXPECT_NE(static_cast<PmInformationItem*>(set.m_Items.m_GetAt(i))->m_pvTarget,
                      static_cast<PmInformationItem*>(set.m_Items.m_GetAt(j))->m_pvTarget)
                << i << " " << j;
    EXPECT_EQ(255u, set.m_ulPortType);
    EXPECT_EQ(115200u, set.m_ulBaudrate);
    EXPECT_EQ(0u, set.m_ul422485CtsTrue);
}

TEST_F(HvUVcpSettingsTest, StreamIsTheClientsHundredAndThirtyTwoBytes) {
    CHvUVcpUserModeInterface set;
    ASSERT_TRUE(set.m_GetValid());
    EXPECT_EQ(132u, set.m_GetSerialisedSize());
    std::vector<UCHAR> stream = serialise(set);
    ASSERT_EQ(132u, stream.size());
    EXPECT_EQ(255u, dword_at(stream, 0));
    EXPECT_EQ(921600u, dword_at(stream, 1));
    for (size_t i = 0; i < kValues.size(); i++)
        EXPECT_EQ(kValues[i].second, dword_at(stream, i)) << i;

    // A stream written by the client lands in the members the names say.
    set_dword_at(stream, 4, 9600); // Baudrate
    set_dword_at(stream, 8, 1);    // FlowControl
    set_dword_at(stream, 19, 1);   // OverridBaudRates
    set_dword_at(stream, 26, 1);   // 422485CtsTrue
    set_dword_at(stream, 32, 0);   // RiSupported
    CHvUVcpUserModeInterface copy;
    ULONG length = (ULONG)stream.size();
    ASSERT_TRUE(copy.m_Deserialise(stream.data(), &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(9600u, copy.m_ulBaudrate);
    EXPECT_EQ(1u, copy.m_ulFlowControl);
    EXPECT_EQ(1u, copy.m_ulOverridBaudRates);
    EXPECT_EQ(1u, copy.m_ul422485CtsTrue);
    EXPECT_EQ(0u, copy.m_ulRiSupported);
    EXPECT_EQ(1u, copy.m_ulDcdSupported);
}

TEST_F(HvUVcpSettingsTest, ShortStreamStoresTheValuesBeforeTheMissingOne) {
    CHvUVcpUserModeInterface source;
    std::vector<UCHAR> stream = serialise(source);
    for (size_t i = 0; i < 33; i++)
        set_dword_at(stream, i, 1000 + (ULONG)i);

    CHvUVcpUserModeInterface set;
    ULONG length = 131;
    EXPECT_FALSE(set.m_Deserialise(stream.data(), &length));
    EXPECT_EQ(1000u, set.m_ulPortType);
    EXPECT_EQ(1031u, set.m_ulDcdSupported);
    EXPECT_EQ(1u, set.m_ulRiSupported); // the value that did not arrive
}

TEST_F(HvUVcpSettingsTest, RegistryHoldsEachValueUnderItsName) {
    ASSERT_EQ(STATUS_SUCCESS, reg::create_key(kDeviceKey));
    CHvUVcpUserModeInterface set;
    ASSERT_TRUE(set.m_GetValid());
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, kSetKey);
    ASSERT_TRUE(set.m_SetRegistryPath(&path));

    // Nothing stored yet: every value takes its default.
    set.m_ulBaudrate = 1;
    ASSERT_TRUE(set.m_LoadFromKey(PM_SECTION_CURRENT));
    EXPECT_EQ(115200u, set.m_ulBaudrate);

    set.m_ulMinBaudRate = 300;
    set.m_ulEmulateDSRTrue = 1;
    ASSERT_TRUE(set.m_SaveToKey(PM_SECTION_CURRENT));
    for (const auto& [name, value] : kValues) {
        auto stored = reg::get_dword(kSetKey, name);
        ASSERT_TRUE(stored.has_value()) << std::string(name.begin(), name.end());
        ULONG expected = name == u"MinBaudRate" ? 300 : name == u"EmulateDSRTrue" ? 1 : value;
        EXPECT_EQ(expected, *stored) << std::string(name.begin(), name.end());
    }

    ASSERT_EQ(STATUS_SUCCESS, reg::set_dword(kSetKey, u"Parity", 2));
    CHvUVcpUserModeInterface loaded;
    ASSERT_TRUE(loaded.m_SetRegistryPath(&path));
    ASSERT_TRUE(loaded.m_LoadFromKey(PM_SECTION_CURRENT));
    EXPECT_EQ(2u, loaded.m_ulParity);
    EXPECT_EQ(300u, loaded.m_ulMinBaudRate);
    EXPECT_EQ(1u, loaded.m_ulEmulateDSRTrue);
}

TEST_F(HvUVcpSettingsTest, SetShortOfAValueIsNotCreated) {
    // Fail each allocation of the construction in turn: the set is valid only when complete.
    int incomplete_sets = 0;
    for (uint64_t n = 1;; n++) {
        hvsim::pool::clear_faults();
        uint64_t before = hvsim::pool::injected_failure_count();
        hvsim::pool::fail_nth(n);
        auto* set = new (NonPagedPool) CHvUVcpUserModeInterface;
        bool failed = hvsim::pool::injected_failure_count() != before;
        hvsim::pool::clear_faults();
        if (set) {
            EXPECT_EQ(!failed, (bool)set->m_GetValid()) << n;
            incomplete_sets += failed;
            if (set->m_GetValid()) {
                EXPECT_EQ(132u, set->m_GetSerialisedSize()) << n;
            }
            delete set;
        }
        if (!failed)
            break;
        ASSERT_LT(n, 500u);
    }
    EXPECT_GE(incomplete_sets, 33); // at least one allocation a value
}

TEST_F(HvUVcpSettingsTest, BaudRateCheckFollowsTheBoundsAndTheSupportedBits) {
    CHvUVcpUserModeInterface set;
    // Defaults: any rate within 75 to 921600.
    EXPECT_TRUE(set.m_IsBaudRateSupported(134));
    EXPECT_TRUE(set.m_IsBaudRateSupported(135));
    EXPECT_TRUE(set.m_IsBaudRateSupported(921600));
    EXPECT_TRUE(set.m_IsBaudRateSupported(75));
    EXPECT_TRUE(set.m_IsBaudRateSupported(250000));
    EXPECT_FALSE(set.m_IsBaudRateSupported(74));
    EXPECT_FALSE(set.m_IsBaudRateSupported(921601));
    EXPECT_FALSE(set.m_IsBaudRateSupported(0));

    set.m_ulSupportedBaudRates = 0x20000;
    EXPECT_TRUE(set.m_IsBaudRateSupported(115200));
    for (ULONG rate : {75u, 300u, 9600u, 57600u, 128000u, 230400u, 921600u, 115201u})
        EXPECT_FALSE(set.m_IsBaudRateSupported(rate)) << rate;

    // Without "any rate", only standard rates whose bit is set.
    set.m_ulSupportedBaudRates = 0x0007FFFF;
    for (ULONG rate : {75u,   110u,  134u,  135u,   150u,   300u,   600u,   1200u,  1800u,   2400u,
                       4800u, 7200u, 9600u, 14400u, 19200u, 38400u, 56000u, 57600u, 115200u, 128000u})
        EXPECT_TRUE(set.m_IsBaudRateSupported(rate)) << rate;
    for (ULONG rate : {133u, 136u, 230400u, 250000u, 921600u})
        EXPECT_FALSE(set.m_IsBaudRateSupported(rate)) << rate;
    set.m_ulSupportedBaudRates = 0x4; // 134.5 baud
    EXPECT_TRUE(set.m_IsBaudRateSupported(134));
    EXPECT_TRUE(set.m_IsBaudRateSupported(135));
    EXPECT_FALSE(set.m_IsBaudRateSupported(150));

    // The bounds hold even for "any rate".
    set.m_ulSupportedBaudRates = HVUVCP_BAUD_ANY_RATE;
    set.m_ulMinBaudRate = 300;
    set.m_ulMaxBaudRate = 115200;
    EXPECT_TRUE(set.m_IsBaudRateSupported(300));
    EXPECT_TRUE(set.m_IsBaudRateSupported(115200));
    EXPECT_FALSE(set.m_IsBaudRateSupported(150));
    EXPECT_FALSE(set.m_IsBaudRateSupported(230400));
}

// The dump goes to the trace log of the driver that owns the set.
class HvUVcpSettingsDumpTest : public HvUVcpSettingsTest {
  protected:
    void SetUp() override {
        HvUVcpSettingsTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, reg::create_key(kServiceKey));
        RtlInitUnicodeString(&service_path_, kServiceKey);
        BOOLEAN ok = FALSE;
        manager_ = new (NonPagedPool) CPmDebugManager(nullptr, u"HvUVCP", &service_path_, &ok);
        ASSERT_TRUE(manager_ && ok);
        driver_ = hvsim::io::create_driver_object(u"HvUVCP", kServiceKey);
        ASSERT_NE(nullptr, driver_);
        ASSERT_EQ(STATUS_SUCCESS, CPmDebugManager::m_InitializeDriverTracing(driver_, &service_path_));
        g_pPmDebugManager = manager_;
        std::string image = hvsim::pool::image_of_address(reinterpret_cast<const void*>(&PmAssertionLine));
        for (const GUID& guid : g_aPmTraceControlGuids)
            hvsim::trace_log::enable(guid, 0xFFFFFFFF, TRACE_LEVEL_VERBOSE, image);
        hvsim::trace_log::clear();
    }
    void TearDown() override {
        g_pPmDebugManager = nullptr;
        if (manager_) {
            manager_->m_UnregisterEventSource();
            delete manager_;
        }
        if (driver_) {
            CPmDebugManager::m_CleanupTracing(driver_);
            hvsim::io::delete_driver_object(driver_);
        }
        HvUVcpSettingsTest::TearDown();
    }
    static std::vector<std::string> lines() {
        std::vector<std::string> texts;
        for (const auto& record : hvsim::trace_log::records())
            texts.push_back(record.text());
        return texts;
    }

    UNICODE_STRING service_path_{};
    CPmDebugManager* manager_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(HvUVcpSettingsDumpTest, Rs232PortListsEverySetting) {
    CHvUVcpUserModeInterface set;
    set.m_ulPortType = HVUVCP_PORT_TYPE_RS232;
    set.m_ulBaudrate = 9600;
    set.m_ulDatabits = 2;
    set.m_ulParity = 2;
    set.m_ulStopbits = 1;
    set.m_ulFlowControl = HVUVCP_FLOW_XON_XOFF;
    set.m_ulOverrideParity = 1;
    set.m_ulEmulateCTSTrue = 1;
    set.m_Dump();

    const std::vector<std::string> expected = {
        "===================HvUVCP UI Parameters======================",
        "->Device Type: RS-232 Port",
        "->MaxBaudRate: 921600",
        "->MinBaudRate: 75",
        "->BaudRate: 9600",
        "->Databits: 7",
        "->Parity: Even",
        "->Stopbits: 1.5",
        "->FlowControl: Xon/Xoff",
        "->Receive Trigger Level: 75%",
        "->Transmit Trigger Level: 10%",
        "->Flow Control Trigger Level: 85%",
        "->SupportedBaudRates: 0x1007FFFF",
        "->SupportedParities: 0x1F00",
        "->SupportedDataBits: 0xF",
        "->SupportedStopBits: 0x7",
        "->SupportedFlowControls: 0xF",
        "->SupportedDuplexModes: 0x0",
        "->m_OverrideBaudrate: 0",
        "->m_OverrideDataBits: 0",
        "->m_OverrideParity: 1",
        "->m_OverrideStopBits: 0",
        "->m_OverrideFlowControl: 0",
        "->m_EmulateCtsAlwaysTrue: 1",
        "->m_EmulateDsrAlwaysTrue: 0",
        std::string(59, '='),
    };
    EXPECT_EQ(expected, lines());
    for (const auto& record : hvsim::trace_log::records())
        EXPECT_EQ(22, record.number); // level 12
}

TEST_F(HvUVcpSettingsDumpTest, DuplexPortAddsItsModeAndOddValuesStayReadable) {
    CHvUVcpUserModeInterface set;
    set.m_ulPortType = HVUVCP_PORT_TYPE_RS422_485;
    set.m_ulDuplexMode = 3;
    set.m_ul422485CtsTrue = 1;
    set.m_ulFlowControl = 8;
    set.m_ulDatabits = 0;
    set.m_ulParity = 4;
    set.m_ulStopbits = 2;
    set.m_Dump();
    std::vector<std::string> texts = lines();
    ASSERT_GE(texts.size(), 10u);
    EXPECT_EQ("->Device Type: RS-422/485 Port", texts[1]);
    EXPECT_EQ("->DuplexMode: 0x3", texts[2]);
    EXPECT_EQ("->422485CtsTrue: 1", texts[3]);
    EXPECT_EQ("->Databits: 5", texts[7]);
    EXPECT_EQ("->Parity: Space", texts[8]);
    EXPECT_EQ("->Stopbits: 2", texts[9]);
    EXPECT_EQ("->FlowControl: None", texts[10]);

    // Codes a corrupt registry value could give are shown as stored, never read past a table.
    hvsim::trace_log::clear();
    set.m_ulDatabits = 9;
    set.m_ulParity = 0xFFFFFFFF;
    set.m_ulStopbits = 3;
    set.m_Dump();
    texts = lines();
    ASSERT_GE(texts.size(), 10u);
    EXPECT_EQ("->Databits: code 9", texts[7]);
    EXPECT_EQ("->Parity: code -1", texts[8]);
    EXPECT_EQ("->Stopbits: code 3", texts[9]);
}

} // namespace
