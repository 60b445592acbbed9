// A machine folder with the test driver images installed, a fresh kernel per test, and the
// helpers the PnP, power and WMI tests share.
#pragma once

#include <hvsim/debug_log.h>
#include <hvsim/io.h>
#include <hvsim/kernel.h>
#include <hvsim/pnp.h>
#include <hvsim/power.h>
#include <hvsim/registry.h>
#include <hvsim/wmi.h>
#include <wdm.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "../testdrivers/testdriver.h"
#include "support/folder_test.h"

namespace hvsim::pnptest {

inline const std::u16string kServices = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";
inline const std::u16string kEnum = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";

inline std::string narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) out.push_back(c < 0x80 ? (char)c : '?');
    return out;
}

class PnpMachine : public hvtest::FolderTest {
protected:
    void SetUp() override {
        root_ = machine_root();
        drivers_ = root_ / "C" / "Windows" / "System32" / "drivers";
        std::filesystem::create_directories(drivers_);
        std::filesystem::copy_file(HV_TESTFUNC_IMAGE, drivers_ / "HvTestFunc.sys");
        std::filesystem::copy_file(HV_TESTBUS_IMAGE, drivers_ / "hvtestbus.sys");
        KernelOptions options;
        options.clock = ClockMode::Virtual;
        options.root = root_;
        kernel_boot(options);
        install_service(u"hvtestfunc", u"\\SystemRoot\\System32\\drivers\\hvtestfunc.sys");
        install_service(u"hvtestbus", u"System32\\DRIVERS\\HvTestBus.sys");
    }

    void TearDown() override {
        if (kernel_running()) kernel_shutdown();
        FolderTest::TearDown();
    }

    void install_service(const std::u16string& name, const std::u16string& image) {
        std::u16string key = kServices + name;
        ASSERT_EQ(registry::create_key(key), STATUS_SUCCESS);
        registry::set_dword(key, u"Type", 1);
        registry::set_dword(key, u"Start", 3);
        registry::set_dword(key, u"ErrorControl", 1);
        registry::set_string(key, u"ImagePath", image, REG_EXPAND_SZ);
    }

    // A root device with its driver parameters (Device Parameters). Before the tree runs it
    // starts with the tree; afterwards it is created without a driver, given its parameters and
    // service, and restarted, as an installer does.
    std::u16string add_root_device(const std::u16string& hardware_id, const std::u16string& service,
                                   const std::map<std::u16string, DWORD>& parameters = {},
                                   const std::map<std::u16string, std::u16string>& strings = {}) {
        pnp::RootDeviceSpec spec;
        spec.hardware_id = hardware_id;
        std::u16string id;
        EXPECT_EQ(pnp::create_root_device(spec, &id), STATUS_SUCCESS);
        std::u16string params = kEnum + id + u"\\Device Parameters";
        registry::create_key(params);
        for (auto& [value, data] : parameters) registry::set_dword(params, value, data);
        for (auto& [value, data] : strings) registry::set_string(params, value, data);
        if (!service.empty()) registry::set_string(kEnum + id, u"Service", service);
        if (pnp::running() && !service.empty()) {
            EXPECT_FALSE(pnp::restart_device(node(id)).vetoed());
        }
        return id;
    }

    pnp::DevInst node(const std::u16string& instance_id) { return pnp::find_node(instance_id); }

    // The lines a test driver wrote, without their prefix ("HVTF ", "HVTB ").
    static std::vector<std::string> events(const std::string& prefix) {
        std::vector<std::string> out;
        for (auto& line : debug_log::lines())
            if (line.rfind(prefix + " ", 0) == 0) out.push_back(line.substr(prefix.size() + 1));
        return out;
    }
    // Every driver line in order, prefixes kept.
    static std::vector<std::string> all_events() {
        std::vector<std::string> out;
        for (auto& line : debug_log::lines())
            if (line.rfind("HVTF ", 0) == 0 || line.rfind("HVTB ", 0) == 0) out.push_back(line);
        return out;
    }
    static long count_of(const std::vector<std::string>& lines, const std::string& line) {
        return (long)std::count(lines.begin(), lines.end(), line);
    }
    static size_t index_of(const std::vector<std::string>& lines, const std::string& line, size_t from = 0) {
        auto it = std::find(lines.begin() + (long)std::min(from, lines.size()), lines.end(), line);
        return it == lines.end() ? SIZE_MAX : (size_t)(it - lines.begin());
    }

    std::filesystem::path root_;
    std::filesystem::path drivers_;
};

} // namespace hvsim::pnptest
