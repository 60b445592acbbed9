// The settings interface of a device: registration, settings handles, the six control codes sent
// as IRPs at a device object, the registry they leave behind, and the load-and-apply pass.
#include "pmtestsupport.h"

#include <pminformationset.h>
#include <pmusermodeinterface.h>

#include <hvsim/io.h>
#include <hvsim/pnp.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

using namespace pmtest;
namespace reg = hvsim::registry;

namespace {

using Bytes = std::vector<UCHAR>;

const char16_t kDriverKey[] = u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0003";
const char16_t kReference[] = u"HVGENDRV_{4D36E978-E325-11CE-BFC1-08002BE10318}0003";
const ULONG kDefault = PM_USER_MODE_DEFAULT_INDEX;

Bytes le32(ULONG v) { return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)}; }

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes header(ULONG selector, ULONG index = kDefault) { return le32(selector) + le32(index); }

Bytes ansi(const char* text) {
    Bytes out = le32((ULONG)std::strlen(text));
    out.insert(out.end(), text, text + std::strlen(text));
    out.push_back(0);
    return out;
}

// The stream of the test set: PortType, Baudrate, InterfaceType, LogLevel.
Bytes stream(ULONG port_type, ULONG baudrate, const char* interface_type, ULONG log_level) {
    return le32(port_type) + le32(baudrate) + ansi(interface_type) + le32(log_level);
}

ULONG read32(const Bytes& b, size_t at = 0) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | ((ULONG)b[at + 3] << 24);
}

// A driver's settings set in miniature.
class SettingsSet : public CPmInformationSet {
public:
    ULONG m_ulPortType = 0;
    ULONG m_ulBaudrate = 0;
    CPmString m_InterfaceType{PagedPool};
    ULONG m_ulLogLevel = 0;
    CPmConfigurableValidator m_BaudrateRange;

    SettingsSet() : CPmInformationSet(nullptr) {
        m_BaudrateRange.m_SetRange(300, 921600);
        registered = m_AddDword(u"PortType", &m_ulPortType, 0) &&
                     m_AddDword(u"Baudrate", &m_ulBaudrate, 9600, &m_BaudrateRange) &&
                     m_AddString(u"InterfaceType", &m_InterfaceType, "USB") && m_AddDword(u"LogLevel", &m_ulLogLevel, 0);
    }
    bool registered = false;
};

// What the forwarding callback received and answers.
struct FakeParent {
    bool succeed = true;
    ULONG answer_bytes = 0;
    ULONG code = 0;
    Bytes header_seen;
    ULONG input_length = 0;
    ULONG output_room = 0;
    PFILE_OBJECT file = nullptr;
    int calls = 0;
};

// What the driver's callbacks do, and what they saw.
struct FakeDriver {
    ULONG refused_baudrate = 0;   // apply refuses this Baudrate
    bool change_on_apply = false; // apply sets LogLevel 7 and asks for a save
    bool keep_adjusted = true;    // mode 1 keeps its adjustment as the defaults
    std::vector<std::pair<ULONG, ULONG>> calls; // (mode, Baudrate) in order
    std::vector<ULONG> indexes;
    // Run inside every apply, with the interface's lock held.
    void (*during_apply)(FakeDriver*) = nullptr;
    FakeParent parent;

    static BOOLEAN settings(PVOID context, CPmInformationSet* set, ULONG index, ULONG mode, PBOOLEAN flag) {
        FakeDriver* self = static_cast<FakeDriver*>(context);
        SettingsSet* values = static_cast<SettingsSet*>(set);
        self->calls.emplace_back(mode, values->m_ulBaudrate);
        self->indexes.push_back(index);
        if (mode == PM_SETTINGS_ADJUST_DEFAULTS) {
            values->m_ulPortType = 1; // the device found is an RS-485 port
            *flag = self->keep_adjusted;
            return TRUE;
        }
        if (self->during_apply)
            self->during_apply(self);
        if (values->m_ulBaudrate == self->refused_baudrate)
            return FALSE;
        if (self->change_on_apply) {
            values->m_ulLogLevel = 7;
            *flag = TRUE;
        }
        return TRUE;
    }

    static BOOLEAN forward(PVOID context, ULONG code, PVOID buffer, ULONG input_length, PULONG output_length,
                           PFILE_OBJECT file) {
        FakeParent& parent = static_cast<FakeDriver*>(context)->parent;
        ++parent.calls;
        parent.code = code;
        parent.header_seen.assign(static_cast<PUCHAR>(buffer), static_cast<PUCHAR>(buffer) + 8);
        parent.input_length = input_length;
        parent.output_room = *output_length;
        parent.file = file;
        if (!parent.succeed)
            return FALSE;
        std::memset(buffer, 0x5A, parent.answer_bytes < *output_length ? parent.answer_bytes : *output_length);
        *output_length = parent.answer_bytes;
        return TRUE;
    }
};

struct Reply {
    NTSTATUS status;
    ULONG_PTR information;
    Bytes output;
};

NTSTATUS dispatch_device_control(PDEVICE_OBJECT device, PIRP irp) {
    return (*static_cast<PmUserModeInterface**>(device->DeviceExtension))->m_DeviceControl(irp);
}

class PmUserModeInterfaceTest : public PmKernelTest {
public: // the race test's second thread sends requests too
    void SetUp() override {
        PmKernelTest::SetUp();
        pdo_ = make_root_device(u"root\\hvsettingstest", kDriverKey);
        ASSERT_NE(nullptr, pdo_);
        hardware_key_ = hvsim::pnp::device_key_path(hvsim::pnp::node_of_pdo(pdo_)) + u"\\Device Parameters";
        driver_object_ = hvsim::io::create_driver_object(u"PmSettingsTest", u"\\Registry\\Machine\\System\\"
                                                                             u"CurrentControlSet\\Services\\PmSettingsTest");
        ASSERT_NE(nullptr, driver_object_);
        driver_object_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_device_control;
        ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_object_, sizeof(PVOID), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                                 FALSE, &device_));
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
        interface_ = new (PagedPool) PmUserModeInterface();
        ASSERT_NE(nullptr, interface_);
        *static_cast<PmUserModeInterface**>(device_->DeviceExtension) = interface_;
    }
    void TearDown() override {
        delete interface_;
        if (device_)
            IoDeleteDevice(device_);
        if (driver_object_)
            hvsim::io::delete_driver_object(driver_object_);
        PmKernelTest::TearDown();
    }

    // A device with the test set, registered on the PDO, the fake driver's callbacks installed.
    SettingsSet* with_settings(bool forward = true) {
        SettingsSet* set = new (PagedPool) SettingsSet();
        EXPECT_TRUE(set->registered);
        interface_->m_SetSettings(set, GUID_HVGENDRV_PORT_INTERFACE);
        interface_->m_SetCallbacks(&driver_, FakeDriver::settings, forward ? FakeDriver::forward : nullptr);
        EXPECT_TRUE(interface_->m_Init(pdo_));
        return set;
    }
    SettingsSet* started() {
        SettingsSet* set = with_settings();
        EXPECT_TRUE(interface_->m_LoadAndApplySets());
        driver_.calls.clear();
        driver_.indexes.clear();
        return set;
    }

    Reply control(ULONG code, Bytes input, ULONG output_length, PFILE_OBJECT file = nullptr) {
        Bytes output(output_length, 0xCC);
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb = {};
        PIRP irp = IoBuildDeviceIoControlRequest(code, device_, input.empty() ? nullptr : input.data(),
                                                 (ULONG)input.size(), output_length ? output.data() : nullptr,
                                                 output_length, FALSE, &done, &iosb);
        EXPECT_NE(nullptr, irp);
        if (!irp)
            return {STATUS_INSUFFICIENT_RESOURCES, 0, {}};
        IoGetNextIrpStackLocation(irp)->FileObject = file;
        if (before_call)
            before_call();
        if (IoCallDriver(device_, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        output.resize(iosb.Information <= output_length ? iosb.Information : output_length);
        return {iosb.Status, iosb.Information, output};
    }

    std::u16string key(ULONG index, bool defaults = false) {
        return hardware_key_ + u"\\UI" + std::u16string(1, (char16_t)(u'0' + index)) + (defaults ? u"\\Default" : u"");
    }
    // Every value of a key: name -> (type, bytes).
    std::map<std::u16string, std::pair<ULONG, std::vector<uint8_t>>> values(const std::u16string& path) {
        std::map<std::u16string, std::pair<ULONG, std::vector<uint8_t>>> out;
        reg::Key k;
        if (!NT_SUCCESS(reg::open(nullptr, path, &k)))
            return out;
        reg::Value v;
        for (size_t i = 0; NT_SUCCESS(reg::enum_value(k, i, &v)); ++i)
            out[v.name] = {v.type, v.data};
        return out;
    }

    PDEVICE_OBJECT pdo_ = nullptr;
    std::u16string hardware_key_;
    PDRIVER_OBJECT driver_object_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PmUserModeInterface* interface_ = nullptr;
    FakeDriver driver_;
    FakeParent& parent_ = driver_.parent;
    // Runs right before a request goes to the device, once its IRP is built.
    std::function<void()> before_call;
};

} // namespace

TEST_F(PmUserModeInterfaceTest, RegistersAnInterfaceNamedAfterTheDriverKey) {
    with_settings();
    auto present = hvsim::pnp::interfaces(GUID_HVGENDRV_PORT_INTERFACE);
    ASSERT_EQ(1u, present.size());
    EXPECT_EQ(kReference, present[0].reference);
    EXPECT_TRUE(present[0].enabled);

    delete interface_; // teardown disables it
    interface_ = nullptr;
    EXPECT_TRUE(hvsim::pnp::interfaces(GUID_HVGENDRV_PORT_INTERFACE).empty());
    EXPECT_EQ(1u, hvsim::pnp::interfaces(GUID_HVGENDRV_PORT_INTERFACE, false).size());
}

TEST_F(PmUserModeInterfaceTest, WithoutSettingsNothingIsRegisteredAndEveryCodeFails) {
    expect_failed_checks_ = true; // refused on purpose: the refusals write the assertion line
    EXPECT_TRUE(interface_->m_Init(pdo_));
    EXPECT_TRUE(hvsim::pnp::interfaces(GUID_HVGENDRV_PORT_INTERFACE, false).empty());
    for (ULONG code = IOCTL_HVGENDRV_GET_SIZE; code <= IOCTL_HVGENDRV_GET_DEFAULTS; code += 4)
        EXPECT_EQ(STATUS_UNSUCCESSFUL, control(code, header(0), 4).status);
    EXPECT_TRUE(interface_->m_LoadAndApplySets());

    // With a set but without a device below, the interface cannot be registered.
    interface_->m_SetSettings(new (PagedPool) SettingsSet(), GUID_HVGENDRV_PORT_INTERFACE);
    EXPECT_FALSE(interface_->m_Init(nullptr));
}

TEST_F(PmUserModeInterfaceTest, SettingsHandlesAreKnownByTheirCreateName) {
    auto check = [&](std::u16string_view name) {
        UNICODE_STRING us = {(USHORT)(name.size() * 2), (USHORT)(name.size() * 2), const_cast<PWCH>(name.data())};
        BOOLEAN settings = 2;
        EXPECT_TRUE(interface_->m_IsInterfaceName(&us, &settings));
        return settings == TRUE;
    };
    EXPECT_TRUE(check(u"\\hvgendrv_xyz"));
    EXPECT_TRUE(check(u"\\HVGENDRV_{4D36E978-E325-11CE-BFC1-08002BE10318}0003"));
    EXPECT_FALSE(check(u"\\abc\\HVGENDRV_"));
    EXPECT_FALSE(check(u"\\HVGENDRV"));
    EXPECT_FALSE(check(u""));
    std::u16string long_name = u"\\HVGENDRV_" + std::u16string(1015, u'A');
    EXPECT_FALSE(check(long_name));
    long_name.pop_back();
    EXPECT_TRUE(check(long_name)); // 1024 characters are still examined
}

TEST_F(PmUserModeInterfaceTest, FirstStartStoresTheAdjustedDefaultsInBothKeys) {
    SettingsSet* set = with_settings();
    ASSERT_TRUE(interface_->m_LoadAndApplySets());
    EXPECT_EQ((std::vector<std::pair<ULONG, ULONG>>{{1, 9600}, {0, 9600}}), driver_.calls);
    EXPECT_EQ(std::optional<DWORD>(1), reg::get_dword(key(1), u"PortType"));
    EXPECT_EQ(std::optional<DWORD>(1), reg::get_dword(key(1, true), u"PortType"));
    EXPECT_EQ(std::optional<DWORD>(9600), reg::get_dword(key(1, true), u"Baudrate"));
    EXPECT_EQ(std::optional<std::u16string>(u"USB"), reg::get_string(key(1), u"InterfaceType"));
    EXPECT_EQ(1u, set->m_ulPortType);

    // Once the defaults exist they are left alone; an apply that changes the set is saved.
    reg::set_dword(key(1), u"Baudrate", 19200);
    driver_.calls.clear();
    driver_.change_on_apply = true;
    ASSERT_TRUE(interface_->m_LoadAndApplySets());
    EXPECT_EQ((std::vector<std::pair<ULONG, ULONG>>{{0, 19200}}), driver_.calls);
    EXPECT_EQ(std::optional<DWORD>(7), reg::get_dword(key(1), u"LogLevel"));
    EXPECT_EQ(std::optional<DWORD>(0), reg::get_dword(key(1, true), u"LogLevel"));
}

TEST_F(PmUserModeInterfaceTest, DefaultsWithoutTheDriversAdjustmentComeFromTheSetKey) {
    // A set key restored from an earlier installation, without defaults: the values in it become
    // the defaults unless the driver keeps its own.
    reg::create_key(key(1));
    reg::set_dword(key(1), u"Baudrate", 57600);
    driver_.keep_adjusted = false;
    with_settings();
    ASSERT_TRUE(interface_->m_LoadAndApplySets());
    EXPECT_EQ(std::optional<DWORD>(57600), reg::get_dword(key(1, true), u"Baudrate"));
    EXPECT_EQ(std::optional<DWORD>(0), reg::get_dword(key(1, true), u"PortType"));
}

TEST_F(PmUserModeInterfaceTest, RequestsAreCheckedBeforeAnythingIsRead) {
    started();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control(IOCTL_HVGENDRV_GET_SIZE, Bytes(7, 0), 4).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control(IOCTL_HVGENDRV_GET_SIZE, Bytes{1, 0, 0, 0, 0, 0, 0}, 4).status);
    EXPECT_EQ(0, parent_.calls); // a short request never reaches the parent

    Reply size = control(IOCTL_HVGENDRV_GET_SIZE, header(0), 8);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, size.status);
    EXPECT_EQ(0u, size.information);
    size = control(IOCTL_HVGENDRV_GET_SIZE, header(0), 4);
    EXPECT_EQ(STATUS_SUCCESS, size.status);
    EXPECT_EQ(4u, size.information);
    EXPECT_EQ(20u, read32(size.output));

    EXPECT_EQ(STATUS_INVALID_PARAMETER, control(0x8001E018, header(0), 4).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control(IOCTL_HVGENDRV_GET, header(0), 21).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control(IOCTL_HVGENDRV_GET, header(0), 19).status);
    Reply get = control(IOCTL_HVGENDRV_GET, header(0), 20);
    EXPECT_EQ(STATUS_SUCCESS, get.status);
    EXPECT_EQ(20u, get.information);
    EXPECT_EQ(stream(1, 9600, "USB", 0), get.output);
}

TEST_F(PmUserModeInterfaceTest, GetReturnsTheStoredValues) {
    started();
    reg::set_dword(key(1), u"Baudrate", 115200);
    Reply get = control(IOCTL_HVGENDRV_GET, header(0), 20);
    EXPECT_EQ(STATUS_SUCCESS, get.status);
    EXPECT_EQ(stream(1, 115200, "USB", 0), get.output);

    // Stored values of another size are never half written: the size is asked again.
    reg::set_string(key(1), u"InterfaceType", u"USB2");
    get = control(IOCTL_HVGENDRV_GET, header(0), 20);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, get.status);
    EXPECT_EQ(0u, get.information);
    Reply size = control(IOCTL_HVGENDRV_GET_SIZE, header(0), 4);
    ASSERT_EQ(21u, read32(size.output));
    get = control(IOCTL_HVGENDRV_GET, header(0), 21);
    EXPECT_EQ(STATUS_SUCCESS, get.status);
    EXPECT_EQ(stream(1, 115200, "USB2", 0), get.output);

    // Stored values that no longer load fail the request.
    reg::set_dword(key(1), u"Baudrate", 5);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(IOCTL_HVGENDRV_GET, header(0), 21).status);
}

TEST_F(PmUserModeInterfaceTest, SetStoresAndAppliesTheValues) {
    SettingsSet* set = started();
    Reply reply = control(IOCTL_HVGENDRV_SET, header(0) + stream(0, 230400, "COM", 3), 0);
    EXPECT_EQ(STATUS_SUCCESS, reply.status);
    EXPECT_EQ(0u, reply.information);
    EXPECT_EQ((std::vector<std::pair<ULONG, ULONG>>{{0, 230400}}), driver_.calls);
    EXPECT_EQ((std::vector<ULONG>{1}), driver_.indexes);
    auto stored = values(key(1));
    EXPECT_EQ(4u, stored.size());
    EXPECT_EQ(std::optional<DWORD>(230400), reg::get_dword(key(1), u"Baudrate"));
    EXPECT_EQ(std::optional<DWORD>(3), reg::get_dword(key(1), u"LogLevel"));
    EXPECT_EQ((ULONG)REG_SZ, stored[u"InterfaceType"].first);
    EXPECT_EQ((std::vector<uint8_t>{'C', 0, 'O', 0, 'M', 0}), stored[u"InterfaceType"].second);
    EXPECT_EQ(std::optional<DWORD>(9600), reg::get_dword(key(1, true), u"Baudrate"));
    EXPECT_EQ(230400u, set->m_ulBaudrate);

    // An apply that changes the set has it saved again.
    driver_.change_on_apply = true;
    EXPECT_EQ(STATUS_SUCCESS, control(IOCTL_HVGENDRV_SET, header(0) + stream(0, 300, "USB", 0), 0).status);
    EXPECT_EQ(std::optional<DWORD>(7), reg::get_dword(key(1), u"LogLevel"));
    EXPECT_EQ(std::optional<DWORD>(300), reg::get_dword(key(1), u"Baudrate"));
}

TEST_F(PmUserModeInterfaceTest, MalformedWritesChangeNothing) {
    expect_failed_checks_ = true; // refused on purpose: the refusals write the assertion line
    started();
    ASSERT_EQ(STATUS_SUCCESS, control(IOCTL_HVGENDRV_SET, header(0) + stream(0, 38400, "USB", 2), 0).status);
    driver_.calls.clear();
    auto before = values(key(1));
    Bytes good = stream(1, 115200, "XYZ", 1);

    for (size_t length = 0; length < good.size(); ++length) {
        Reply reply = control(IOCTL_HVGENDRV_SET, header(0) + Bytes(good.begin(), good.begin() + length), 0);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, reply.status) << length;
    }
    Bytes miscounted = le32(1) + le32(115200) + le32(2) + Bytes{'X', 'Y', 'Z', 0} + le32(1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control(IOCTL_HVGENDRV_SET, header(0) + miscounted, 0).status);
    // A value the set's own check refuses would fail every later open: refused here.
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              control(IOCTL_HVGENDRV_SET, header(0) + stream(1, 2000000, "USB", 1), 0).status);

    EXPECT_TRUE(driver_.calls.empty());
    EXPECT_EQ(before, values(key(1)));
    EXPECT_EQ(stream(0, 38400, "USB", 2), control(IOCTL_HVGENDRV_GET, header(0), 20).output);
    EXPECT_TRUE(interface_->m_LoadAndApplySets());
}

TEST_F(PmUserModeInterfaceTest, AWriteTheDeviceRefusesLeavesThePreviousValues) {
    SettingsSet* set = started();
    ASSERT_EQ(STATUS_SUCCESS, control(IOCTL_HVGENDRV_SET, header(0) + stream(0, 38400, "USB", 2), 0).status);
    auto before = values(key(1));
    driver_.calls.clear();
    driver_.refused_baudrate = 600;

    Reply reply = control(IOCTL_HVGENDRV_SET, header(0) + stream(0, 600, "USB", 2), 0);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, reply.status);
    EXPECT_EQ(0u, reply.information);
    // The refused values were tried, then the previous ones given back to the device.
    EXPECT_EQ((std::vector<std::pair<ULONG, ULONG>>{{0, 600}, {0, 38400}}), driver_.calls);
    EXPECT_EQ(before, values(key(1)));
    EXPECT_EQ(38400u, set->m_ulBaudrate);
    // So the next open still succeeds.
    EXPECT_TRUE(interface_->m_LoadAndApplySets());
}

TEST_F(PmUserModeInterfaceTest, AFailedSaveReportsFailureAndKeepsTheStoredValues) {
    started();
    auto before = values(key(1));
    reg::fail_next(reg::Operation::Set, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(IOCTL_HVGENDRV_SET, header(0) + stream(1, 4800, "USB", 0), 0).status);
    EXPECT_TRUE(driver_.calls.empty());
    auto after = values(key(1));
    EXPECT_EQ(before, after);
}

TEST_F(PmUserModeInterfaceTest, RunningOutOfMemoryNeverLeavesHalfAWrite) {
    expect_failed_checks_ = true; // refused on purpose: the refusals write the assertion line
    started();
    const Bytes old_values = stream(0, 38400, "USB", 2);
    const Bytes new_values = stream(0, 115200, "LONGER", 5);
    ASSERT_EQ(STATUS_SUCCESS, control(IOCTL_HVGENDRV_SET, header(0) + old_values, 0).status);
    auto before = values(key(1));
    ULONG failures = 0;
    for (uint64_t n = 1; n < 500; ++n) {
        uint64_t injected = hvsim::pool::injected_failure_count();
        before_call = [n] { hvsim::pool::fail_nth(n); };
        NTSTATUS status = control(IOCTL_HVGENDRV_SET, header(0) + new_values, 0).status;
        before_call = nullptr;
        bool hit = hvsim::pool::injected_failure_count() != injected;
        hvsim::pool::clear_faults();
        if (!hit)
            break; // every allocation of the request has failed once
        ++failures;
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(std::optional<DWORD>(115200), reg::get_dword(key(1), u"Baudrate")) << n;
            ASSERT_EQ(STATUS_SUCCESS, control(IOCTL_HVGENDRV_SET, header(0) + old_values, 0).status);
            continue;
        }
        EXPECT_EQ(before, values(key(1))) << "failure at allocation " << n;
        EXPECT_EQ(old_values, control(IOCTL_HVGENDRV_GET, header(0), 20).output) << n;
    }
    EXPECT_GT(failures, 3u);
}

TEST_F(PmUserModeInterfaceTest, RestoreDefaultsTakesTheDefaultKey) {
    started();
    ASSERT_EQ(STATUS_SUCCESS, control(IOCTL_HVGENDRV_SET, header(0) + stream(0, 38400, "ABC", 2), 0).status);
    reg::set_dword(key(1, true), u"Baudrate", 4800);
    driver_.calls.clear();
    Reply reply = control(IOCTL_HVGENDRV_RESTORE_DEFAULTS, header(0), 0);
    EXPECT_EQ(STATUS_SUCCESS, reply.status);
    EXPECT_EQ((std::vector<std::pair<ULONG, ULONG>>{{0, 4800}}), driver_.calls);
    EXPECT_EQ(std::optional<DWORD>(4800), reg::get_dword(key(1), u"Baudrate"));
    EXPECT_EQ(std::optional<DWORD>(1), reg::get_dword(key(1), u"PortType"));
    EXPECT_EQ(std::optional<std::u16string>(u"USB"), reg::get_string(key(1), u"InterfaceType"));

    // A refused restore leaves the values that were stored.
    ASSERT_EQ(STATUS_SUCCESS, control(IOCTL_HVGENDRV_SET, header(0) + stream(0, 38400, "ABC", 2), 0).status);
    driver_.refused_baudrate = 4800;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(IOCTL_HVGENDRV_RESTORE_DEFAULTS, header(0), 0).status);
    EXPECT_EQ(std::optional<DWORD>(38400), reg::get_dword(key(1), u"Baudrate"));
    EXPECT_EQ(std::optional<std::u16string>(u"ABC"), reg::get_string(key(1), u"InterfaceType"));
}

TEST_F(PmUserModeInterfaceTest, RestoreDefaultsWithoutADefaultKeyGivesTheBuiltInDefaults) {
    with_settings();
    reg::create_key(key(1));
    reg::set_dword(key(1), u"Baudrate", 1200);
    EXPECT_EQ(STATUS_SUCCESS, control(IOCTL_HVGENDRV_RESTORE_DEFAULTS, header(0), 0).status);
    EXPECT_EQ(std::optional<DWORD>(9600), reg::get_dword(key(1), u"Baudrate"));
    EXPECT_EQ(std::optional<DWORD>(0), reg::get_dword(key(1), u"PortType"));
    EXPECT_TRUE(reg::key_exists(key(1, true)));
    EXPECT_TRUE(values(key(1, true)).empty());

    // It also repairs a set key that no longer loads.
    reg::set_dword(key(1), u"Baudrate", 1);
    EXPECT_EQ(STATUS_SUCCESS, control(IOCTL_HVGENDRV_RESTORE_DEFAULTS, header(0), 0).status);
    EXPECT_EQ(std::optional<DWORD>(9600), reg::get_dword(key(1), u"Baudrate"));
}

TEST_F(PmUserModeInterfaceTest, GetDefaultsLeavesTheCurrentValuesInMemory) {
    SettingsSet* set = started();
    ASSERT_EQ(STATUS_SUCCESS, control(IOCTL_HVGENDRV_SET, header(0) + stream(0, 38400, "ABCD", 2), 0).status);

    EXPECT_EQ(STATUS_INVALID_PARAMETER, control(IOCTL_HVGENDRV_GET_DEFAULTS_SIZE, header(0), 5).status);
    Reply size = control(IOCTL_HVGENDRV_GET_DEFAULTS_SIZE, header(0), 4);
    EXPECT_EQ(STATUS_SUCCESS, size.status);
    EXPECT_EQ(4u, size.information);
    EXPECT_EQ(20u, read32(size.output));
    EXPECT_EQ(38400u, set->m_ulBaudrate);

    Reply wrong = control(IOCTL_HVGENDRV_GET_DEFAULTS, header(0), 21);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, wrong.status);
    EXPECT_EQ(0u, wrong.information);
    EXPECT_EQ(38400u, set->m_ulBaudrate);

    Reply defaults = control(IOCTL_HVGENDRV_GET_DEFAULTS, header(0), 20);
    EXPECT_EQ(STATUS_SUCCESS, defaults.status);
    EXPECT_EQ(stream(1, 9600, "USB", 0), defaults.output);
    EXPECT_EQ(stream(0, 38400, "ABCD", 2), control(IOCTL_HVGENDRV_GET, header(0), 21).output);
}

TEST_F(PmUserModeInterfaceTest, SetIndexesNameTheirKeys) {
    expect_failed_checks_ = true; // refused on purpose: the refusals write the assertion line
    started();
    // Index 0 is a key of its own.
    EXPECT_EQ(STATUS_SUCCESS, control(IOCTL_HVGENDRV_SET, header(0, 0) + stream(0, 1200, "USB", 0), 0).status);
    EXPECT_EQ(std::optional<DWORD>(1200), reg::get_dword(key(0), u"Baudrate"));
    EXPECT_EQ((std::vector<ULONG>{0}), driver_.indexes);
    EXPECT_EQ(std::optional<DWORD>(9600), reg::get_dword(key(1), u"Baudrate"));

    // One section: index 2 exists for nothing but the size of the set in memory.
    EXPECT_EQ(STATUS_SUCCESS, control(IOCTL_HVGENDRV_GET_SIZE, header(0, 2), 4).status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(IOCTL_HVGENDRV_GET, header(0, 2), 20).status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(IOCTL_HVGENDRV_SET, header(0, 2) + stream(0, 1200, "USB", 0), 0).status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(IOCTL_HVGENDRV_RESTORE_DEFAULTS, header(0, 2), 0).status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(IOCTL_HVGENDRV_GET_DEFAULTS_SIZE, header(0, 2), 4).status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(IOCTL_HVGENDRV_GET_DEFAULTS, header(0, 2), 20).status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(IOCTL_HVGENDRV_GET, header(0, 0xFFFFFFFE), 20).status);
    EXPECT_FALSE(reg::key_exists(key(2)));

    // A device with three sections loads and applies each of them.
    interface_->m_SetSectionCount(3);
    driver_.indexes.clear();
    EXPECT_TRUE(interface_->m_LoadAndApplySets());
    EXPECT_EQ((std::vector<ULONG>{1, 2, 2, 3, 3}), driver_.indexes);
    EXPECT_TRUE(reg::key_exists(key(3, true)));
}

TEST_F(PmUserModeInterfaceTest, HigherSelectorsArePassedToTheParent) {
    started();
    interface_->m_SetCurrentIndex(4);
    FILE_OBJECT file = {};
    parent_.answer_bytes = 20;
    Reply reply = control(IOCTL_HVGENDRV_GET, header(1) + Bytes{9, 9}, 20, &file);
    EXPECT_EQ(STATUS_SUCCESS, reply.status);
    EXPECT_EQ(20u, reply.information);
    EXPECT_EQ(Bytes(20, 0x5A), reply.output);
    EXPECT_EQ(IOCTL_HVGENDRV_GET, parent_.code);
    EXPECT_EQ(header(0, 4), parent_.header_seen); // this device's index stands for the default one
    EXPECT_EQ(10u, parent_.input_length);
    EXPECT_EQ(20u, parent_.output_room);
    EXPECT_EQ(&file, parent_.file);

    // An explicit index and deeper selectors pass unchanged but for the selector; no more than
    // the output room is reported.
    reply = control(IOCTL_HVGENDRV_GET_SIZE, header(3, 2), 4);
    EXPECT_EQ(header(2, 2), parent_.header_seen);
    EXPECT_EQ(STATUS_SUCCESS, reply.status);
    EXPECT_EQ(4u, reply.information);

    parent_.succeed = false;
    reply = control(IOCTL_HVGENDRV_SET, header(1) + stream(0, 1, "", 0), 0);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, reply.status);
    EXPECT_EQ(0u, reply.information);
    EXPECT_TRUE(driver_.calls.empty()); // nothing of this device was touched
}

TEST_F(PmUserModeInterfaceTest, WithoutAParentHigherSelectorsFail) {
    with_settings(false);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(IOCTL_HVGENDRV_GET_SIZE, header(1), 4).status);
}

namespace {

// A second thread that asks for the defaults while the first is inside an apply.
struct Race {
    PmUserModeInterfaceTest* test;
    KEVENT in_apply;
    KEVENT release;
    bool other_done = false;
    bool other_done_during_apply = true;
    ULONG baudrate_after_wait = 0;
};
Race* g_race = nullptr;

} // namespace

class PmUserModeInterfaceRaceTest : public PmUserModeInterfaceTest {
public:
    static void other_thread(PVOID) {
        pmtest::wait(&g_race->in_apply);
        Reply r = g_race->test->control(IOCTL_HVGENDRV_GET_DEFAULTS, header(0), 20);
        EXPECT_EQ(STATUS_SUCCESS, r.status);
        EXPECT_EQ(stream(1, 9600, "USB", 0), r.output);
        g_race->other_done = true;
    }
    static void during_apply(FakeDriver* driver) {
        if (driver->calls.back().second != 2400)
            return;
        KeSetEvent(&g_race->in_apply, IO_NO_INCREMENT, FALSE);
        // Long enough for the other thread to get as far as it can.
        pmtest::wait(&g_race->release, 10 * 1000 * 1000);
        g_race->other_done_during_apply = g_race->other_done;
    }
};

TEST_F(PmUserModeInterfaceRaceTest, RequestsOnOneDeviceRunOneAfterTheOther) {
    SettingsSet* set = started();
    Race race{this, {}, {}};
    KeInitializeEvent(&race.in_apply, NotificationEvent, FALSE);
    KeInitializeEvent(&race.release, NotificationEvent, FALSE);
    g_race = &race;
    driver_.during_apply = during_apply;

    HANDLE handle = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(STATUS_SUCCESS,
              PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, other_thread, nullptr));
    PVOID thread = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr));
    ZwClose(handle);

    EXPECT_EQ(STATUS_SUCCESS, control(IOCTL_HVGENDRV_SET, header(0) + stream(0, 2400, "USB", 0), 0).status);
    EXPECT_TRUE(pmtest::wait(thread));
    ObDereferenceObject(thread);
    g_race = nullptr;

    EXPECT_FALSE(race.other_done_during_apply);
    EXPECT_TRUE(race.other_done);
    // The defaults the other thread read never reached the stored values.
    EXPECT_EQ(std::optional<DWORD>(2400), reg::get_dword(key(1), u"Baudrate"));
    EXPECT_EQ(2400u, set->m_ulBaudrate);
}
