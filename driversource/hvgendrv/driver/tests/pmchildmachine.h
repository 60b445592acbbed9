// The machine of the child-device tests: a test bus driver on the framework lists children in
// "Child<n>" subkeys of its device key; a second test driver runs on those children as the port
// driver does.
#pragma once

#include <hvsim/debug_log.h>
#include <hvsim/io.h>
#include <hvsim/kernel.h>
#include <hvsim/pnp.h>
#include <hvsim/pool.h>
#include <hvsim/power.h>
#include <hvsim/registry.h>
#include <wdm.h>

#include <gtest/gtest.h>

#include <pmdebugmanager.h>
#include <pmirphelpers.h>
#include <pmphysicaldevice.h>
#include <pmusermodeinterface.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include "hvgentestbus_protocol.h"
#include "support/machine_test.h"

namespace gendrvtest::children {

using hvsim::pnp::DevInst;

inline const std::u16string kServices = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";
inline const std::u16string kEnum = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
inline constexpr char kBusImage[] = "hvgentestbus.sys";
inline constexpr char kChildImage[] = "hvgentestchild.sys";
inline constexpr char16_t kBusService[] = u"HvGenTestBus";
inline constexpr char16_t kChildService[] = u"HvGenTestChild";
inline constexpr char16_t kBusTypeGuid[] = u"{9A1C7E52-3B64-4D08-A5F1-2E7C90B4D613}";

struct ChildSpec {
    std::map<std::u16string, DWORD> dwords;
    std::map<std::u16string, std::u16string> strings;
};

// A child as the bus driver's INF would describe port n.
inline ChildSpec child(DWORD number) {
    ChildSpec spec;
    spec.dwords = {
        {u"ContextID", number}, {u"UniqueID", 1}, {u"UINumber", number}, {u"SurpriseRemovalOK", 1}};
    spec.strings = {
        {u"BusQueryDeviceID", u"HVGENBUS\\CHILD"},
        {u"BusQueryHardwareIDs", u"HVGENBUS\\CHILD"},
        {u"BusQueryInstanceID", std::u16string(1, (char16_t)(u'0' + number))},
        {u"DeviceTextDescription", u"Test child " + std::u16string(1, (char16_t)(u'0' + number))}};
    return spec;
}

class ChildDevices : public hvtest::MachineTest {
  protected:
    void SetUp() override {
        const auto drivers = root() / "C" / "Windows" / "System32" / "drivers";
        std::filesystem::create_directories(drivers);
        std::filesystem::copy_file(HV_HVGENTESTBUS_IMAGE, drivers / kBusImage);
        std::filesystem::copy_file(HV_HVGENTESTCHILD_IMAGE, drivers / kChildImage);

        hvsim::kernel_boot(on_virtual_clock<hvsim::KernelOptions>());
        add_service(kBusService, u"hvgentestbus.sys");
        add_service(kChildService, u"hvgentestchild.sys");
        for (const GUID& guid : g_aPmTraceControlGuids) {
            hvsim::trace_log::enable(guid, 0xFFFFFFFF, TRACE_LEVEL_VERBOSE, kBusImage);
            hvsim::trace_log::enable(guid, 0xFFFFFFFF, TRACE_LEVEL_VERBOSE, kChildImage);
        }
        // A child found on the bus is installed with the children's driver, named after its number.
        hvsim::pnp::set_new_device_handler([this](DevInst node) {
            auto info = hvsim::pnp::node_info(node);
            if (!install_children_ || !info || info->instance_id.rfind(u"HVGENBUS\\CHILD\\", 0) != 0)
                return false;
            std::u16string number = info->instance_id.substr(info->instance_id.rfind(u'\\') + 1);
            const std::u16string device = hvsim::pnp::device_key_path(node);
            const std::u16string parameters = device + u"\\Device Parameters";
            hvsim::registry::create_key(parameters);
            for (auto [name, value] : std::map<std::u16string, DWORD>{{u"TypeOfDevice", 0x22},
                                                                      {u"DeviceIndexingPolicyType", 2},
                                                                      {u"LowestStackLayer", 0},
                                                                      {u"DeviceIsExclusive", 0},
                                                                      {u"IoType", 4}})
                hvsim::registry::set_dword(parameters, name, value);
            for (auto& [name, value] : child_function_dwords_)
                hvsim::registry::set_dword(parameters, name, value);
            hvsim::registry::set_string(parameters, u"DeviceName", u"HvGenChild" + number);
            hvsim::registry::set_string(parameters, u"SymbolicLinkName", u"HVGC" + number);
            hvsim::registry::set_string(device, u"Driver",
                                        u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\050" + number);
            hvsim::registry::set_string(device, u"Service", kChildService);
            return true;
        });
        hvsim::pnp::start_tree();
    }

    void TearDown() override {
        if (hvsim::kernel_running()) {
            hvsim::pnp::stop_tree();
            hvsim::pnp::set_new_device_handler(nullptr);
            hvsim::kernel_shutdown();
        }
        MachineTest::TearDown();
    }

    static void add_service(const std::u16string& name, const std::u16string& file) {
        const std::u16string key = kServices + name;
        ASSERT_EQ(hvsim::registry::create_key(key), STATUS_SUCCESS);
        hvsim::registry::set_dword(key, u"Type", 1);
        hvsim::registry::set_dword(key, u"Start", 3);
        hvsim::registry::set_dword(key, u"ErrorControl", 1);
        hvsim::registry::set_string(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\" + file,
                                    REG_EXPAND_SZ);
    }

    // A root device of the bus driver whose key lists `count` children; Child<n> is written for
    // every entry of `children` (a missing entry leaves its subkey out).
    DevInst add_bus(DWORD count, const std::map<DWORD, ChildSpec>& children,
                    const std::map<std::u16string, DWORD>& extra = {}) {
        hvsim::pnp::RootDeviceSpec spec;
        spec.hardware_id = u"ROOT\\HVGENBUS";
        std::u16string id;
        EXPECT_EQ(hvsim::pnp::create_root_device(spec, &id), STATUS_SUCCESS);
        const std::u16string device = kEnum + id;
        const std::u16string parameters = device + u"\\Device Parameters";
        hvsim::registry::create_key(parameters);
        std::map<std::u16string, DWORD> dwords = {{u"TypeOfDevice", 0x22},  {u"DeviceIndexingPolicyType", 1},
                                                  {u"LowestStackLayer", 1}, {u"DeviceIsExclusive", 0},
                                                  {u"IoType", 4},           {u"NumberChildDevices", count}};
        for (auto& [name, value] : extra)
            dwords[name] = value;
        for (auto& [name, value] : dwords)
            hvsim::registry::set_dword(parameters, name, value);
        hvsim::registry::set_string(parameters, u"DeviceName", u"HvGenBus");
        hvsim::registry::set_string(parameters, u"SymbolicLinkName", u"HVGB");
        for (auto& [number, child] : children) {
            const std::u16string key = parameters + u"\\Child" + std::u16string(1, (char16_t)(u'0' + number));
            hvsim::registry::create_key(key);
            for (auto& [name, value] : child.dwords)
                hvsim::registry::set_dword(key, name, value);
            for (auto& [name, text] : child.strings)
                hvsim::registry::set_string(key, name, text);
        }
        hvsim::registry::set_string(device, u"Driver", u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0090");
        hvsim::registry::set_string(device, u"Service", kBusService);
        DevInst node = hvsim::pnp::find_node(id);
        EXPECT_NE(node, hvsim::pnp::no_node);
        hvsim::pnp::restart_device(node);
        hvsim::pnp::wait_quiet();
        return node;
    }

    static PDEVICE_OBJECT pdo_of(DevInst node) {
        auto stack = hvsim::pnp::device_stack(node);
        for (auto device : stack)
            ObDereferenceObject(device);
        return stack.empty() ? nullptr : stack.front();
    }

    static LONG open(const std::u16string& path, hvsim::io::FileObject** file) {
        hvsim::io::OpenOptions options;
        options.path = path;
        return hvsim::io::open_file(options, file);
    }

    static HvgcState query_child(const std::u16string& link) {
        hvsim::io::FileObject* file = nullptr;
        HvgcState state{};
        EXPECT_EQ(open(u"\\??\\" + link, &file), STATUS_SUCCESS);
        if (!file)
            return state;
        auto result = hvsim::io::device_control(file, IOCTL_HVGC_QUERY, nullptr, 0, &state, sizeof state);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(hvsim::io::close_file(file), STATUS_SUCCESS);
        return state;
    }

    static hvsim::io::IoResult
    send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
         const std::function<void(hvsim::io::Irp*, hvsim::io::StackLocation*)>& fill,
         LONG initial = STATUS_NOT_SUPPORTED) {
        return hvsim::io::send_and_wait(
            device,
            [&](hvsim::io::Irp* irp, hvsim::io::StackLocation* stack) {
                stack->MajorFunction = major;
                stack->MinorFunction = minor;
                if (fill)
                    fill(irp, stack);
            },
            initial);
    }

    static hvsim::io::IoResult internal(PDEVICE_OBJECT device, ULONG code, void* buffer, ULONG input,
                                        ULONG output) {
        return send(device, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
                    [&](hvsim::io::Irp* irp, hvsim::io::StackLocation* stack) {
                        irp->AssociatedIrp.SystemBuffer = buffer;
                        stack->Parameters.DeviceIoControl.IoControlCode = code;
                        stack->Parameters.DeviceIoControl.InputBufferLength = input;
                        stack->Parameters.DeviceIoControl.OutputBufferLength = output;
                    });
    }

    static std::u16string query_id(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, LONG* status) {
        auto result =
            send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID, [type](hvsim::io::Irp*, hvsim::io::StackLocation* stack) {
                stack->Parameters.QueryId.IdType = type;
            });
        *status = result.status;
        std::u16string text;
        if (result.information) {
            // Keep the terminators: a multi-string ends with two.
            const char16_t* p = reinterpret_cast<const char16_t*>(result.information);
            size_t length = 0;
            while (p[length] || p[length + 1])
                ++length;
            text.assign(p, length + 2);
            ExFreePool(reinterpret_cast<PVOID>(result.information));
        }
        return text;
    }

    static size_t index_of(const std::vector<std::string>& lines, const std::string& text) {
        auto it = std::find_if(lines.begin(), lines.end(),
                               [&](const std::string& line) { return line.find(text) != std::string::npos; });
        return it == lines.end() ? SIZE_MAX : (size_t)(it - lines.begin());
    }

    void expect_unloaded_clean() {
        EXPECT_FALSE(hvsim::ldr::is_loaded(kBusService));
        EXPECT_FALSE(hvsim::ldr::is_loaded(kChildService));
        EXPECT_EQ(hvsim::pool::outstanding(kBusImage).count, 0u) << hvsim::pool::leak_report(kBusImage);
        EXPECT_EQ(hvsim::pool::outstanding(kChildImage).count, 0u) << hvsim::pool::leak_report(kChildImage);
    }

    bool install_children_ = true;
    // Further values of the Device Parameters of the function device on each child.
    std::map<std::u16string, DWORD> child_function_dwords_;
};

} // namespace gendrvtest::children
