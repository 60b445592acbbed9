// The settings interface as a settings program uses it, run as a process of the machine: the
// program finds the port interface with SetupAPI, opens its path with CreateFileW and sends the
// six control codes with DeviceIoControl, building and reading the streams with the
// serialisation library. The device's registry keys, read through SetupAPI too, show what every
// request changed, and that a refused one changed nothing.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>
#include <hvsim/user.h>

#include <pmserialisation.h>
#include <pmusermodeprotocol.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "hvgentest_protocol.h"
#include "pmframeworkboot.h"
#include "support/folder_test.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The test driver's set as the program holds it: the DWORD Speed, then the string InterfaceType.
class TestSettings : public CPmSerialisedItems {
public:
    ULONG speed = 0;
    std::string interface_type;

    TestSettings() = default;
    TestSettings(ULONG s, std::string type) : speed(s), interface_type(std::move(type)) {}

    BOOLEAN m_First() override { return (at_ = 0) < 2; }
    BOOLEAN m_Next() override { return ++at_ < 2; }
    ULONG m_GetType() override { return at_ == 0 ? PM_SERIAL_ITEM_DWORD : PM_SERIAL_ITEM_STRING; }
    ULONG m_GetDword() override { return speed; }
    void m_SetDword(ULONG value) override { speed = value; }
    BOOLEAN m_GetText(BOOLEAN wide, PCVOID* text, PULONG bytes) override {
        if (wide)
            return FALSE;
        *text = interface_type.data();
        *bytes = (ULONG)interface_type.size();
        return TRUE;
    }
    BOOLEAN m_SetText(BOOLEAN wide, PCVOID text, ULONG bytes) override {
        if (wide)
            return FALSE;
        interface_type.assign(static_cast<const char*>(text), bytes);
        return TRUE;
    }

    Bytes stream() {
        Bytes out(kFormat.m_GetSerialisedSize(*this));
        ULONG room = (ULONG)out.size();
        EXPECT_TRUE(kFormat.m_Serialise(*this, out.data(), &room));
        EXPECT_EQ(0u, room);
        return out;
    }
    bool read(const Bytes& in) {
        ULONG length = (ULONG)in.size();
        return kFormat.m_Deserialise(*this, in.data(), &length) != FALSE;
    }

    // Every set of the system: terminated, length-prefixed strings and no header.
    static constexpr CPmSerialisation kFormat = {PM_SERIALISE_DEFAULT_FLAGS, 0};

private:
    size_t at_ = 0;
};

// The request header: selector 0 (this device) and the default set index unless told otherwise.
Bytes header(ULONG selector = 0, ULONG set_index = PM_USER_MODE_DEFAULT_INDEX) {
    PmUserModeRequestHeader fields{selector, set_index};
    Bytes out(sizeof fields);
    std::memcpy(out.data(), &fields, sizeof fields);
    return out;
}

struct Reply {
    BOOL ok;
    DWORD error; // GetLastError() after a failure, 0 after success
    DWORD returned;
    Bytes output;
};

// What the settings program does, one call per request; runs in the program's process.
class SettingsProgram {
public:
    ~SettingsProgram() {
        if (key_)
            RegCloseKey(key_);
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }

    // The one present port interface: its path opened, its device's hardware key kept.
    void open() {
        HDEVINFO set =
            SetupDiGetClassDevsW(&GUID_HVGENDRV_PORT_INTERFACE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        ASSERT_NE(INVALID_HANDLE_VALUE, set);
        SP_DEVICE_INTERFACE_DATA interface{sizeof interface, {}, 0, 0};
        ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_HVGENDRV_PORT_INTERFACE, 0, &interface));
        EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_HVGENDRV_PORT_INTERFACE, 1, &interface));
        EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), GetLastError());
        DWORD required = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &interface, nullptr, 0, &required, nullptr));
        EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
        std::vector<BYTE> buffer(required);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA owner{sizeof owner, {}, 0, 0};
        ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &interface, detail, required, nullptr, &owner));
        path = detail->DevicePath;
        key_ = SetupDiOpenDevRegKey(set, &owner, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        EXPECT_NE((HKEY)INVALID_HANDLE_VALUE, key_);
        if (key_ == (HKEY)INVALID_HANDLE_VALUE)
            key_ = nullptr;
        SetupDiDestroyDeviceInfoList(set);
        handle_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, handle_) << GetLastError();
    }

    Reply control(ULONG code, const Bytes& input, DWORD output_length) {
        Bytes output(output_length, 0xCC);
        DWORD returned = 0xFFFFFFFF;
        SetLastError(0);
        BOOL ok = DeviceIoControl(handle_, code, input.empty() ? nullptr : const_cast<BYTE*>(input.data()),
                                  (DWORD)input.size(), output_length ? output.data() : nullptr, output_length,
                                  &returned, nullptr);
        DWORD error = ok ? 0 : GetLastError();
        output.resize(returned < output_length ? returned : output_length);
        return {ok, error, returned, output};
    }

    // The values the set key (UI1) or its Default subkey holds.
    TestSettings stored(const char16_t* subkey) {
        TestSettings values{0xFFFFFFFF, "<none>"};
        HKEY key = nullptr;
        if (!key_ || RegOpenKeyExW(key_, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
            ADD_FAILURE() << "no key " << std::string(subkey, subkey + std::char_traits<char16_t>::length(subkey));
            return values;
        }
        DWORD type = 0, size = sizeof values.speed;
        if (RegQueryValueExW(key, u"Speed", nullptr, &type, reinterpret_cast<BYTE*>(&values.speed), &size) !=
                ERROR_SUCCESS ||
            type != REG_DWORD)
            values.speed = 0xFFFFFFFF;
        char16_t text[64] = {};
        size = sizeof text - sizeof(char16_t);
        if (RegQueryValueExW(key, u"InterfaceType", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) ==
                ERROR_SUCCESS &&
            type == REG_SZ) {
            values.interface_type.clear();
            for (const char16_t* c = text; *c; ++c)
                values.interface_type += (char)*c;
        }
        RegCloseKey(key);
        return values;
    }

    bool close() {
        BOOL closed = CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        return closed != FALSE;
    }

    std::u16string path;

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HKEY key_ = nullptr;
};

void expect_values(const TestSettings& actual, ULONG speed, const std::string& interface_type, const char* where) {
    EXPECT_EQ(speed, actual.speed) << where;
    EXPECT_EQ(interface_type, actual.interface_type) << where;
}

class SettingsProgramTest : public hvtest::FolderTest {
protected:
    void SetUp() override {
        gendrvtest::boot_framework_machine(machine_root());
        gendrvtest::DeviceConfig config;
        config.flags(HVGT_SETTINGS_CALLBACK);
        gendrvtest::add_framework_device(config, 0);
    }
    void TearDown() override {
        gendrvtest::shutdown_framework_machine();
        FolderTest::TearDown();
    }

    // Runs `body` as the main thread of a new process of the machine; its exit code.
    DWORD run_program(const std::function<void()>& body) {
        hvsim::user::ProcessOptions options;
        options.image_path = u"C:\\Program Files\\HvSettings\\hvsettings.exe";
        options.command_line = u"hvsettings.exe";
        auto process = hvsim::user::Process::create(options);
        process->start([&] {
            body();
            return DWORD(::testing::Test::HasFailure() ? 1 : 0);
        });
        return process->wait();
    }

};

TEST_F(SettingsProgramTest, ReadsWritesAndRestoresTheDefaultsThroughTheDeviceInterface) {
    DWORD exit_code = run_program([] {
        SettingsProgram program;
        ASSERT_NO_FATAL_FAILURE(program.open());
        // The path names the interface's reference string, which marks a settings handle.
        EXPECT_NE(std::u16string::npos, program.path.find(u"#{6e3a91c4-52d7-4f08-9b1e-3c7d20a5f146}\\"))
            << std::string(program.path.begin(), program.path.end());

        // Read: the size, then the set. Request bytes: selector 0, index 0xFFFFFFFF.
        const Bytes request = header();
        EXPECT_EQ((Bytes{0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}), request);
        Reply size = program.control(IOCTL_HVGENDRV_GET_SIZE, request, 4);
        ASSERT_TRUE(size.ok) << size.error;
        EXPECT_EQ(4u, size.returned);
        EXPECT_EQ((Bytes{0x0C, 0x00, 0x00, 0x00}), size.output);
        // 9600 and "USB": four bytes of the DWORD, then count, text and terminator.
        const Bytes defaults = {0x80, 0x25, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 'U', 'S', 'B', 0x00};
        Reply get = program.control(IOCTL_HVGENDRV_GET, request, 12);
        ASSERT_TRUE(get.ok) << get.error;
        EXPECT_EQ(12u, get.returned);
        EXPECT_EQ(defaults, get.output);
        TestSettings current;
        ASSERT_TRUE(current.read(get.output));
        expect_values(current, 9600, "USB", "read");

        // Write 115200 and "LOOP".
        TestSettings wanted{115200, "LOOP"};
        const Bytes stream = wanted.stream();
        EXPECT_EQ((Bytes{0x00, 0xC2, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00, 'L', 'O', 'O', 'P', 0x00}), stream);
        Reply set = program.control(IOCTL_HVGENDRV_SET, request + stream, 0);
        ASSERT_TRUE(set.ok) << set.error;
        EXPECT_EQ(0u, set.returned);
        expect_values(program.stored(u"UI1"), 115200, "LOOP", "stored after the write");
        expect_values(program.stored(u"UI1\\Default"), 9600, "USB", "defaults after the write");
        EXPECT_EQ((Bytes{0x0D, 0x00, 0x00, 0x00}), program.control(IOCTL_HVGENDRV_GET_SIZE, request, 4).output);
        EXPECT_EQ(stream, program.control(IOCTL_HVGENDRV_GET, request, 13).output);

        // The defaults read back without touching the current values.
        Reply defaults_size = program.control(IOCTL_HVGENDRV_GET_DEFAULTS_SIZE, request, 4);
        ASSERT_TRUE(defaults_size.ok) << defaults_size.error;
        EXPECT_EQ((Bytes{0x0C, 0x00, 0x00, 0x00}), defaults_size.output);
        Reply stored_defaults = program.control(IOCTL_HVGENDRV_GET_DEFAULTS, request, 12);
        ASSERT_TRUE(stored_defaults.ok) << stored_defaults.error;
        EXPECT_EQ(12u, stored_defaults.returned);
        EXPECT_EQ(defaults, stored_defaults.output);
        EXPECT_EQ(stream, program.control(IOCTL_HVGENDRV_GET, request, 13).output);

        // Restore the defaults.
        Reply restore = program.control(IOCTL_HVGENDRV_RESTORE_DEFAULTS, request, 0);
        ASSERT_TRUE(restore.ok) << restore.error;
        EXPECT_EQ(0u, restore.returned);
        expect_values(program.stored(u"UI1"), 9600, "USB", "stored after the restore");
        EXPECT_EQ(defaults, program.control(IOCTL_HVGENDRV_GET, request, 12).output);
        EXPECT_TRUE(program.close());
    });
    EXPECT_EQ(0u, exit_code);
}

// Every refused request leaves both keys and the values the device reports as they were.
TEST_F(SettingsProgramTest, MalformedAndTruncatedRequestsAreRefusedAndChangeNothing) {
    DWORD exit_code = run_program([] {
        SettingsProgram program;
        ASSERT_NO_FATAL_FAILURE(program.open());
        const Bytes request = header();
        TestSettings wanted{115200, "LOOP"};
        const Bytes current = wanted.stream();
        ASSERT_TRUE(program.control(IOCTL_HVGENDRV_SET, request + current, 0).ok);

        // Each refused request carries another speed, 57600 (00 E1 00 00): an item stored before
        // the reader gave up would show.
        const Bytes other_speed = {0x00, 0xE1, 0x00, 0x00};
        struct Case {
            const char* what;
            ULONG code;
            Bytes input;
            DWORD output_length;
            DWORD error = ERROR_INVALID_PARAMETER;
        };
        const Case cases[] = {
            {"a header cut short", IOCTL_HVGENDRV_SET, Bytes(request.begin(), request.end() - 1), 0},
            {"a write without a payload", IOCTL_HVGENDRV_SET, request, 0},
            {"a write without the last item", IOCTL_HVGENDRV_SET, request + other_speed, 0},
            {"a write one byte short", IOCTL_HVGENDRV_SET,
             request + other_speed + Bytes{0x04, 0x00, 0x00, 0x00, 'F', 'A', 'S', 'T'}, 0},
            {"a count that is not the text's", IOCTL_HVGENDRV_SET,
             request + other_speed + Bytes{0x05, 0x00, 0x00, 0x00, 'F', 'A', 'S', 'T', 0x00}, 0},
            {"a count past the end", IOCTL_HVGENDRV_SET,
             request + other_speed + Bytes{0xFF, 0x00, 0x00, 0x00, 'F', 'A', 'S', 'T', 0x00}, 0},
            {"a read into a buffer one byte too long", IOCTL_HVGENDRV_GET, request, 14},
            {"a read into a buffer one byte too short", IOCTL_HVGENDRV_GET, request, 12},
            {"a size into eight bytes", IOCTL_HVGENDRV_GET_SIZE, request, 8},
            {"a defaults size into two bytes", IOCTL_HVGENDRV_GET_DEFAULTS_SIZE, request, 2},
            {"defaults into the current set's size", IOCTL_HVGENDRV_GET_DEFAULTS, request, 13},
            {"a code the interface does not know", 0x8001E018u, request, 4},
            {"a restore with a header cut short", IOCTL_HVGENDRV_RESTORE_DEFAULTS, Bytes(4, 0), 0},
            // Well formed, but for sets the device does not have: no device above it, one section.
            {"a write for the device above", IOCTL_HVGENDRV_SET, header(1) + current, 0, ERROR_GEN_FAILURE},
            {"a write for set index 2", IOCTL_HVGENDRV_SET, header(0, 2) + current, 0, ERROR_GEN_FAILURE},
            {"a restore for set index 2", IOCTL_HVGENDRV_RESTORE_DEFAULTS, header(0, 2), 0, ERROR_GEN_FAILURE},
        };
        for (const Case& refused : cases) {
            Reply reply = program.control(refused.code, refused.input, refused.output_length);
            EXPECT_FALSE(reply.ok) << refused.what;
            EXPECT_EQ(refused.error, reply.error) << refused.what;
            EXPECT_EQ(0u, reply.returned) << refused.what;
            expect_values(program.stored(u"UI1"), 115200, "LOOP", refused.what);
            expect_values(program.stored(u"UI1\\Default"), 9600, "USB", refused.what);
            EXPECT_EQ((Bytes{0x0D, 0x00, 0x00, 0x00}), program.control(IOCTL_HVGENDRV_GET_SIZE, request, 4).output)
                << refused.what;
            Reply get = program.control(IOCTL_HVGENDRV_GET, request, 13);
            EXPECT_TRUE(get.ok) << refused.what;
            EXPECT_EQ(current, get.output) << refused.what;
        }
        // Bytes after the last item are no part of the set: such a write is taken.
        TestSettings fast{57600, "FAST"};
        ASSERT_TRUE(program.control(IOCTL_HVGENDRV_SET, request + fast.stream() + Bytes{0xEE}, 0).ok);
        expect_values(program.stored(u"UI1"), 57600, "FAST", "a write with bytes to spare");
        EXPECT_TRUE(program.close());
    });
    EXPECT_EQ(0u, exit_code);
}

} // namespace
