// A machine with the package installed, a two-port adapter plugged, an adapter that was
// unplugged again, a foreign serial card and the files of an older version, for the operation
// driven directly.
#pragma once

#include "port_machine_fixture.h"

#include <hvsim/machine_drives.h>
#include <hvsim/security.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <optional>

#include "card_machine.h"

#include "HVServiceUtil.h"
#include "PmWin2kUninstallOperation.h"

namespace fs = std::filesystem;

inline constexpr char kAdapter[] = "ftdi:vid=0x7A5C,pid=0x1002,interfaces=2";
inline constexpr char kUnplugged[] = "ftdi:vid=0x7A5C,pid=0x1001";

inline std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

inline std::string Narrow(const std::u16string& text) {
    return std::string(text.begin(), text.end());
}

inline std::vector<std::string> Strings(const CStringList& list) {
    std::vector<std::string> out;
    for (POSITION at = list.GetHeadPosition(); at;) out.emplace_back(list.GetNext(at).GetString());
    return out;
}

inline bool Holds(const CStringList& list, const std::string& text) {
    return list.Find(text.c_str()) != nullptr;
}

// The DACL of a key under HKEY_LOCAL_MACHINE; nullopt when it cannot be read.
inline std::optional<std::vector<hvsim::user::AccessEntry>> DaclOf(const char* path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL, &key) != ERROR_SUCCESS) return std::nullopt;
    BYTE descriptor[1024];
    DWORD size = sizeof descriptor;
    const LSTATUS status = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return std::nullopt;
    return hvsim::user::dacl_of(std::vector<BYTE>(descriptor, descriptor + size));
}

namespace hvsim::user {
inline bool operator==(const AccessEntry& a, const AccessEntry& b) {
    return a.sid == b.sid && a.mask == b.mask && a.deny == b.deny && a.flags == b.flags;
}
} // namespace hvsim::user

class UninstallMachineTest : public PortMachineTest {
  protected:
    void SetUp() override {
        PortMachineTest::SetUp();
        if (HasFatalFailure()) return;
        if (std::string why = install_package(driver()); !why.empty()) GTEST_SKIP() << why;
        adapter_ = plug_adapter(kAdapter);
        ports_ = ports_below(adapter_);
        ASSERT_EQ(2u, ports_.size()) << machine_->device_tree_text();
        // An adapter that was used once and pulled out: its devices are absent.
        unplugged_ = plug_adapter(kUnplugged);
        unplugged_ports_ = ports_below(unplugged_);
        ASSERT_EQ(1u, unplugged_ports_.size());
        for (const auto& device : machine_->usb_devices())
            if (device.instance_id == unplugged_) machine_->unplug(device.id);
        // A serial card of another maker, with a COM port of its own; its INF names none of the
        // product's IDs.
        MakeCardInfForeign();
        foreign_ = install_root_card(u"ROOT\\HVTESTCARD1");
        foreign_ports_ = ports_below(foreign_);
        ASSERT_EQ(1u, foreign_ports_.size());
        foreign_name_ = value(foreign_ports_[0], u"Device Parameters", u"PortName");
        // An older version's library, read-only, and its service key.
        std::ofstream(machine_->system_directory() / "HvUUI20.dll") << "old";
        ASSERT_TRUE(SetFileAttributesA("C:\\Windows\\System32\\HvUUI20.dll", FILE_ATTRIBUTE_READONLY));
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\HvUBUS21", 0,
                                  nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        RegCloseKey(key);
        for (const auto& port : ports_) names_.push_back(value(port, u"Device Parameters", u"PortName"));
        names_.push_back(value(unplugged_ports_[0], u"Device Parameters", u"PortName"));
        package_infs_ = PackageInfs();
        ASSERT_EQ(2u, package_infs_.size());
    }

    virtual PortDriver driver() const { return PortDriver::Package; }

    void MakeCardInfForeign() {
        std::ifstream in(package_ / "card.inf", std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        in.close();
        for (size_t at; (at = text.find(", USB\\VID_7A5C")) != std::string::npos;)
            text.erase(at, text.find_first_of(",\r\n", at + 1) - at);
        const size_t two = text.find("%Two%=Two");
        if (two != std::string::npos) text.erase(two, text.find('\n', two) + 1 - two);
        ASSERT_EQ(std::string::npos, text.find("7A5C"));
        std::ofstream(package_ / "card.inf", std::ios::binary) << text;
    }

    // The oemN.inf files of the store that came from the package.
    std::vector<std::string> PackageInfs() const {
        std::vector<std::string> out;
        for (const auto& entry : fs::directory_iterator(machine_->inf_directory())) {
            const std::string name = entry.path().filename().string();
            if (!name.starts_with("oem") || entry.path().extension() != ".inf") continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::string text((std::istreambuf_iterator<char>(in)), {});
            if (text.find("HvUBus.sys") != std::string::npos || text.find("HvUVCP.sys") != std::string::npos)
                out.push_back(name);
        }
        return out;
    }

    void Search(CPmWin2kUninstallOperation& operation) {
        ASSERT_TRUE(operation.SearchProducts(nullptr));
        ASSERT_TRUE(operation.SearchDriverFiles(nullptr));
        ASSERT_TRUE(operation.SearchRegistryEntries(nullptr));
    }

    void Remove(CPmWin2kUninstallOperation& operation) {
        ASSERT_TRUE(operation.UninstallProducts(nullptr));
        ASSERT_TRUE(operation.UninstallDriverFiles(nullptr));
        ASSERT_TRUE(operation.UninstallRegistryEntries(nullptr));
        hvsim::user::wait_for_device_installations();
        card_test::wait_quiet();
    }

    // Whether the machine's drive holds the file (on the host, so a pending deletion still counts).
    bool OnDrive(const std::u16string& path) const {
        return hvsim::user::machine_file(path).has_value() && fs::exists(*hvsim::user::machine_file(path));
    }

    static bool ServiceExists(const char* name) {
        CHVServiceUtil service;
        return service.m_OpenService(name, SERVICE_QUERY_STATUS);
    }

    static bool DeviceExists(const std::u16string& instance) {
        return key_exists(u"SYSTEM\\CurrentControlSet\\Enum\\" + instance);
    }

    // Every trace of the product that the removal must take.
    void ExpectNothingOfTheProduct(bool afterRestart) {
        for (const auto& device : {adapter_, unplugged_}) {
            for (const auto& port : afterRestart ? std::vector<std::u16string>{} : ports_below(device))
                ADD_FAILURE() << "a port is left: " << Narrow(port);
        }
        for (const auto& port : ports_) EXPECT_FALSE(DeviceExists(port)) << Narrow(port);
        EXPECT_FALSE(DeviceExists(unplugged_ports_[0]));
        EXPECT_FALSE(DeviceExists(unplugged_));
        for (const char* service : {"HvUsbSam", "HvUVCP", "HvUBUS21"})
            EXPECT_FALSE(key_exists(u"SYSTEM\\CurrentControlSet\\Services\\" +
                                    std::u16string(service, service + strlen(service))))
                << service;
        for (const WCHAR* source : {u"HvUsbSam", u"HvUVCP"})
            EXPECT_FALSE(key_exists(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\" +
                                    std::u16string(source)));
        for (const WCHAR* file :
             {u"C:\\Windows\\System32\\drivers\\HvUBus.sys", u"C:\\Windows\\System32\\drivers\\HvUVCP.sys",
              u"C:\\Windows\\System32\\HvUUI23.dll", u"C:\\Windows\\System32\\HvCoIn23.dll",
              u"C:\\Windows\\System32\\HvUUI20.dll"}) {
            if (afterRestart) {
                EXPECT_FALSE(OnDrive(file)) << Narrow(file);
            }
        }
        for (const auto& inf : package_infs_) {
            EXPECT_FALSE(fs::exists(machine_->inf_directory() / inf)) << inf;
            EXPECT_FALSE(fs::exists(machine_->inf_directory() / (inf.substr(0, inf.size() - 4) + ".pnf")))
                << inf;
        }
        EXPECT_FALSE(key_exists(u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarrow.USB"));
        for (const auto& name : names_) {
            const DWORD number = std::stoul(Narrow(name.substr(3)));
            EXPECT_FALSE(claimed(number)) << Narrow(name);
            EXPECT_EQ(u"<none>", ports_entry(name)) << Narrow(name);
            EXPECT_EQ(u"<none>", dos_target(name)) << Narrow(name);
        }
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) ==
            ERROR_SUCCESS) {
            for (DWORD i = 0;; ++i) {
                WCHAR valueName[64], data[64];
                DWORD nameLength = 64, size = sizeof data;
                if (RegEnumValueW(key, i, valueName, &nameLength, nullptr, nullptr, (BYTE*)data, &size))
                    break;
                EXPECT_EQ(std::u16string(data), foreign_name_) << "SERIALCOMM keeps " << Narrow(data);
            }
            RegCloseKey(key);
        }
    }

    void ExpectTheForeignCardUntouched() {
        EXPECT_TRUE(card_test::started(foreign_));
        EXPECT_TRUE(card_test::started(foreign_ports_[0]));
        EXPECT_EQ(foreign_name_, value(foreign_ports_[0], u"Device Parameters", u"PortName"));
        EXPECT_NE(u"<none>", dos_target(foreign_name_));
        EXPECT_TRUE(key_exists(u"SYSTEM\\CurrentControlSet\\Services\\HvTestBus"));
        EXPECT_TRUE(key_exists(u"SYSTEM\\CurrentControlSet\\Services\\HvTestFunc"));
        EXPECT_TRUE(fs::exists(machine_->drivers_directory() / "hvtestfunc.sys"));
        // The store keeps the foreign INF files.
        size_t infs = 0;
        for (const auto& entry : fs::directory_iterator(machine_->inf_directory()))
            infs += entry.path().filename().string().starts_with("oem") && entry.path().extension() == ".inf";
        EXPECT_EQ(2u, infs);
    }

    std::u16string adapter_, unplugged_, foreign_, foreign_name_;
    std::vector<std::u16string> ports_, unplugged_ports_, foreign_ports_, names_;
    std::vector<std::string> package_infs_;
};
