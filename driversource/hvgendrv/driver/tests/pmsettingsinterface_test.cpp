// The settings interface of a framework device, used as a program uses it: the interface found
// among the registered ones, a handle opened on its path, and the six control codes sent with
// DeviceIoControl's request, their bytes and the registry checked.
#include "pmframeworkmachine.h"

#include <pmusermodeinterface.h>

#include <cstring>
#include <vector>

namespace gendrvtest {
namespace {

using Bytes = std::vector<UCHAR>;
using hvsim::pnp::DevInst;

Bytes le32(ULONG v) { return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)}; }

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The test driver's set: the DWORD Speed (default 9600) and the string InterfaceType ("USB").
const Bytes kUsb = {3, 0, 0, 0, 'U', 'S', 'B', 0};
Bytes request(ULONG selector, const Bytes& payload = {}) { return le32(selector) + le32(0xFFFFFFFF) + payload; }

class SettingsInterface : public FrameworkMachine {
protected:
    struct Reply {
        LONG status;
        ULONG_PTR information;
        Bytes output;
    };

    // The device's one registered settings interface, opened as a program opens it.
    hvsim::io::FileObject* open_settings(DevInst node) {
        auto interfaces = hvsim::pnp::interfaces_of(node);
        EXPECT_EQ(1u, interfaces.size());
        if (interfaces.size() != 1)
            return nullptr;
        EXPECT_TRUE(interfaces[0].enabled);
        EXPECT_EQ(u"HVGENDRV_{4D36E978-E325-11CE-BFC1-08002BE10318}0000", interfaces[0].reference);
        hvsim::io::OpenOptions options;
        options.path = interfaces[0].kernel_link;
        hvsim::io::FileObject* file = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, hvsim::io::open_file(options, &file));
        return file;
    }

    Reply control(hvsim::io::FileObject* file, ULONG code, Bytes input, ULONG output_length) {
        Bytes output(output_length, 0xCC);
        auto result = hvsim::io::device_control(file, code, input.empty() ? nullptr : input.data(),
                                                (ULONG)input.size(), output_length ? output.data() : nullptr,
                                                output_length);
        output.resize(result.information <= output_length ? result.information : output_length);
        return {result.status, result.information, output};
    }

    std::optional<DWORD> stored(DevInst node, const char16_t* subkey) {
        return hvsim::registry::get_dword(device_key(node) + u"\\Device Parameters\\" + subkey, u"Speed");
    }
};

TEST_F(SettingsInterface, ReadWriteAndRestoreThroughTheDeviceInterface) {
    DevInst node = add_device(DeviceConfig().flags(HVGT_SETTINGS_CALLBACK));
    // The start stored the defaults in both keys.
    EXPECT_EQ(std::optional<DWORD>(9600), stored(node, u"UI1"));
    EXPECT_EQ(std::optional<DWORD>(9600), stored(node, u"UI1\\Default"));

    hvsim::io::FileObject* settings = open_settings(node);
    ASSERT_NE(nullptr, settings);
    // A settings handle does not count as the device's one open.
    hvsim::io::FileObject* port = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, open(u"HVGT", &port));
    Bytes buffer(4);
    EXPECT_EQ(STATUS_ACCESS_DENIED, hvsim::io::read_file(settings, buffer.data(), 4).status);

    Reply size = control(settings, IOCTL_HVGENDRV_GET_SIZE, request(0), 4);
    EXPECT_EQ(STATUS_SUCCESS, size.status);
    EXPECT_EQ(le32(12), size.output);
    Reply get = control(settings, IOCTL_HVGENDRV_GET, request(0), 12);
    EXPECT_EQ(STATUS_SUCCESS, get.status);
    EXPECT_EQ(le32(9600) + kUsb, get.output);

    Reply set = control(settings, IOCTL_HVGENDRV_SET, request(0, le32(115200) + kUsb), 0);
    EXPECT_EQ(STATUS_SUCCESS, set.status);
    EXPECT_EQ(0u, set.information);
    EXPECT_EQ(std::optional<DWORD>(115200), stored(node, u"UI1"));
    EXPECT_EQ(le32(115200) + kUsb, control(settings, IOCTL_HVGENDRV_GET, request(0), 12).output);

    // Truncated and malformed requests change nothing.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control(settings, IOCTL_HVGENDRV_SET, request(0, {1, 2, 3}), 0).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control(settings, IOCTL_HVGENDRV_SET, Bytes(7, 0), 0).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control(settings, IOCTL_HVGENDRV_GET, request(0), 13).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control(settings, 0x8001E018, request(0), 4).status);
    EXPECT_EQ(std::optional<DWORD>(115200), stored(node, u"UI1"));

    Reply defaults = control(settings, IOCTL_HVGENDRV_GET_DEFAULTS, request(0), 12);
    EXPECT_EQ(STATUS_SUCCESS, defaults.status);
    EXPECT_EQ(le32(9600) + kUsb, defaults.output);
    EXPECT_EQ(le32(12), control(settings, IOCTL_HVGENDRV_GET_DEFAULTS_SIZE, request(0), 4).output);
    EXPECT_EQ(STATUS_SUCCESS, control(settings, IOCTL_HVGENDRV_RESTORE_DEFAULTS, request(0), 0).status);
    EXPECT_EQ(std::optional<DWORD>(9600), stored(node, u"UI1"));

    // The device is the lowest of its stack: nothing above selector 0.
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(settings, IOCTL_HVGENDRV_GET_SIZE, request(1), 4).status);

    EXPECT_EQ(STATUS_SUCCESS, hvsim::io::close_file(settings));
    EXPECT_EQ(STATUS_SUCCESS, hvsim::io::close_file(port));
    expect_driver_unloaded_clean();
}

TEST_F(SettingsInterface, AWriteTheDriverRefusesLeavesTheStoredValue) {
    DevInst node = add_device(DeviceConfig().flags(HVGT_SETTINGS_CALLBACK | HVGT_FAIL_SETTINGS));
    hvsim::io::FileObject* settings = open_settings(node);
    ASSERT_NE(nullptr, settings);
    Reply set = control(settings, IOCTL_HVGENDRV_SET, request(0, le32(115200) + kUsb), 0);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, set.status);
    EXPECT_EQ(0u, set.information);
    EXPECT_EQ(std::optional<DWORD>(9600), stored(node, u"UI1"));
    EXPECT_EQ(le32(9600) + kUsb, control(settings, IOCTL_HVGENDRV_GET, request(0), 12).output);
    EXPECT_EQ(STATUS_SUCCESS, hvsim::io::close_file(settings));
    expect_driver_unloaded_clean();
}

} // namespace
} // namespace gendrvtest
