// The settings client against the drivers of the installed package: the interface of the port,
// both sets read and written, the defaults, and answers that do not fit the client's set.
#include "settings_machine.h"

#include "HvUBusUserModeInterface.h"
#include "HvUVcpUserModeInterface.h"
#include "HvUserModeConfig.h"

namespace {

class SettingsClientTest : public SettingsMachineTest {
protected:
    void SetUp() override {
        SettingsMachineTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_FALSE(plug_port().empty());
        client_ = std::make_unique<CHvUserModeConfig>(GUID_HVGENDRV_PORT_INTERFACE, device_->set, device_->data);
    }
    void TearDown() override {
        client_.reset();
        SettingsMachineTest::TearDown();
    }
    std::unique_ptr<CHvUserModeConfig> client_;
};

TEST_F(SettingsClientTest, ReadsThePortSetAndTheBusSetThroughThePortsInterface) {
    ASSERT_TRUE(client_->m_Open());
    EXPECT_NE(std::u16string::npos, client_->m_GetDevicePath().find(u"HVGENDRV_"));

    CHvUVcpUserModeInterface port;
    ASSERT_TRUE(port.m_GetValid());
    EXPECT_EQ(132u, port.m_GetSerialisedSize());
    ASSERT_TRUE(client_->m_GetSettings(port, HV_SETTINGS_PORT));
    EXPECT_TRUE(port.m_IsComplete());
    EXPECT_EQ(0u, port.m_ulPortType);
    EXPECT_EQ(115200u, port.m_ulBaudrate);
    EXPECT_EQ(921600u, port.m_ulMaxBaudRate);
    EXPECT_EQ(0u, port.m_ulSupportedDuplexModes) << "an RS-232 port has no duplex modes";

    CHvUBusUserModeInterface bus;
    ASSERT_TRUE(client_->m_GetSettings(bus, HV_SETTINGS_BUS));
    EXPECT_EQ(56u, bus.m_GetSerialisedSize());
    EXPECT_EQ(u"USB", bus.m_InterfaceType);
    EXPECT_EQ(256u, bus.m_ulRxFifoSize);
    EXPECT_EQ(1040u, bus.m_ulMaximumLatency);
    EXPECT_EQ(6111u, bus.m_ulMaximumLatencySliderPos);
    EXPECT_EQ(192u, bus.m_ulLowCpuUsageFineTuning);
}

TEST_F(SettingsClientTest, AWrittenSetReachesTheDriverAndItsDefaultsRestoreIt) {
    ASSERT_TRUE(client_->m_Open());
    CHvUVcpUserModeInterface port;
    ASSERT_TRUE(client_->m_GetSettings(port, HV_SETTINGS_PORT));
    port.m_ulBaudrate = 9600;
    port.m_ulOverridBaudRates = 1;
    ASSERT_TRUE(client_->m_SetSettings(port, HV_SETTINGS_PORT));
    EXPECT_EQ(9600u, get_dword(port_settings_key(), u"Baudrate"));

    CHvUVcpUserModeInterface again;
    ASSERT_TRUE(client_->m_GetSettings(again, HV_SETTINGS_PORT));
    EXPECT_EQ(9600u, again.m_ulBaudrate);
    EXPECT_EQ(1u, again.m_ulOverridBaudRates);

    CHvUVcpUserModeInterface defaults;
    ASSERT_TRUE(client_->m_GetDefaultSettings(defaults, HV_SETTINGS_PORT));
    EXPECT_EQ(115200u, defaults.m_ulBaudrate);
    EXPECT_EQ(0u, defaults.m_ulOverridBaudRates);
    ASSERT_TRUE(client_->m_SetSettings(defaults, HV_SETTINGS_PORT));
    EXPECT_EQ(115200u, get_dword(port_settings_key(), u"Baudrate"));

    // The bus set, through the port's interface.
    CHvUBusUserModeInterface bus;
    ASSERT_TRUE(client_->m_GetSettings(bus, HV_SETTINGS_BUS));
    bus.m_ulMaximumLatency = 2;
    bus.m_ulMaximumLatencySliderPos = 2;
    ASSERT_TRUE(client_->m_SetSettings(bus, HV_SETTINGS_BUS));
    EXPECT_EQ(2u, get_dword(bus_settings_key(), u"MaximumLatency"));
    CHvUBusUserModeInterface busDefaults;
    ASSERT_TRUE(client_->m_GetDefaultSettings(busDefaults, HV_SETTINGS_BUS));
    EXPECT_EQ(1040u, busDefaults.m_ulMaximumLatency);
}

// The interface's reference string is upper case; the search compares without regard to case.
TEST_F(SettingsClientTest, TheInterfaceIsFoundWhateverTheCaseOfItsReferenceAndOnlyForItsOwnPort) {
    ASSERT_TRUE(client_->m_Open());
    const std::u16string path = client_->m_GetDevicePath();
    const std::u16string tail = path.substr(path.rfind(u'\\') + 1);
    std::u16string mixed = tail;
    for (size_t i = 0; i < mixed.size(); i += 2) mixed[i] = towlower(mixed[i]);
    std::u16string found;
    EXPECT_TRUE(client_->m_FindInterface(found, mixed));
    EXPECT_EQ(path, found);
    EXPECT_FALSE(client_->m_FindInterface(found, tail + u"0")) << "the whole tail must match";

    // The adapter itself registered no port interface: no match, and no transfer is tried.
    OpenedDevice adapter(adapter_);
    CHvUserModeConfig other(GUID_HVGENDRV_PORT_INTERFACE, adapter.set, adapter.data);
    EXPECT_FALSE(other.m_Open());
    CHvUVcpUserModeInterface set;
    EXPECT_FALSE(other.m_GetSettings(set, HV_SETTINGS_PORT));
    EXPECT_FALSE(other.m_SetSettings(set, HV_SETTINGS_PORT));
}

// Sets that do not fit the driver's stream: each read keeps what it could read, and such a set
// is never written back.
class LongerPortSet : public CHvUVcpUserModeInterface {
public:
    LongerPortSet() { m_AddDword(u"Extra", &extra); }
    ULONG extra = 77;
};
class ShorterBusSet : public CPmInformationSet {
public:
    ShorterBusSet() {
        for (ULONG& value : values) m_AddDword(u"Value", &value);
    }
    ULONG values[6] = {};
};

TEST_F(SettingsClientTest, AnAnswerThatDoesNotFitTheSetIsReadAsFarAsItGoesAndNeverWrittenBack) {
    ASSERT_TRUE(client_->m_Open());
    // Short for the set: the driver's 33 values are read, the extra one is not.
    LongerPortSet longer;
    EXPECT_FALSE(client_->m_GetSettings(longer, HV_SETTINGS_PORT));
    EXPECT_EQ(115200u, longer.m_ulBaudrate);
    EXPECT_TRUE(longer.m_HasValue(&longer.m_ulRiSupported));
    EXPECT_FALSE(longer.m_HasValue(&longer.extra));
    EXPECT_EQ(77u, longer.extra);
    EXPECT_FALSE(longer.m_IsComplete());
    EXPECT_FALSE(client_->m_SetSettings(longer, HV_SETTINGS_PORT));

    // Long for the set: bytes are left over.
    ShorterBusSet shorter;
    EXPECT_FALSE(client_->m_GetSettings(shorter, HV_SETTINGS_BUS));
    EXPECT_EQ(4096u, shorter.values[0]);
    EXPECT_EQ(921600u, shorter.values[5]);
    EXPECT_FALSE(client_->m_SetSettings(shorter, HV_SETTINGS_BUS));

    // A bus driver that cannot give its set (its interface name is longer than a set carries)
    // gives the page nothing to show and nothing to write.
    set_string(bus_settings_key(), u"InterfaceType", std::u16string(300, u'U'));
    CHvUBusUserModeInterface bus;
    EXPECT_FALSE(client_->m_GetSettings(bus, HV_SETTINGS_BUS));
    EXPECT_FALSE(bus.m_HasValue(&bus.m_ulPolicyType));
    EXPECT_FALSE(client_->m_SetSettings(bus, HV_SETTINGS_BUS));
}

} // namespace
