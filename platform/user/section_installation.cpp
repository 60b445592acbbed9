// Installing an INF's sections on a device: AddReg, CopyFiles and AddService, the device's class,
// its driver key and co-installers, and the default DIF_INSTALLDEVICE (SetupDiInstallDevice).
#include "internal/device_installation.h"

#include <hvsim/format.h>

#include <algorithm>
#include <cstring>

#include "internal/registry_store.h"
#include "internal/user_internal.h"

namespace hvsim::user::setup {
namespace {

std::u16string dirid_path(DWORD dirid) {
    switch (dirid) {
    case 10: return u"C:\\Windows";
    case 11: return u"C:\\Windows\\System32";
    case 12: return u"C:\\Windows\\System32\\drivers";
    case 17: return u"C:\\Windows\\inf";
    default: return {};
    }
}

std::u16string expand_dirids(std::u16string text) {
    for (DWORD id : {10u, 11u, 12u, 17u}) {
        std::u16string token = u"%" + decimal(id) + u"%";
        for (size_t at; (at = text.find(token)) != std::u16string::npos;)
            text.replace(at, token.size(), dirid_path(id));
    }
    return text;
}

DWORD number_of(const std::u16string& text) {
    std::string narrow = to_utf8(text);
    return DWORD(std::strtoul(narrow.c_str(), nullptr, 0));
}

// The driver key of the device, made under its class when it has none.
std::u16string ensure_driver_key(Element& element) {
    std::u16string path = driver_key_path(element.instance_id);
    if (!path.empty()) {
        devices::create_device_key(path);
        return path;
    }
    std::u16string guid = devices::guid_text(element.class_guid);
    std::u16string class_key = std::u16string(kClassRoot) + u"\\" + guid;
    for (DWORD n = 0; n < 10000; ++n) {
        std::u16string instance = decimal(n, 4);
        if (devices::key_exists(class_key + u"\\" + instance)) continue;
        devices::create_device_key(class_key + u"\\" + instance);
        devices::write_string(devices::device_key_path(element.instance_id), u"Driver", guid + u"\\" + instance);
        return class_key + u"\\" + instance;
    }
    return {};
}

} // namespace

std::optional<std::u16string> Installer::root(const std::u16string& name, const std::u16string& hkr) {
    std::u16string upper = text::upcase(name);
    if (upper == u"HKR") return hkr;
    if (upper == u"HKLM") return std::u16string(u"\\Registry\\Machine");
    if (upper == u"HKCR") return std::u16string(u"\\Registry\\Machine\\SOFTWARE\\Classes");
    if (upper == u"HKCU") return std::u16string(u"\\Registry\\User\\CurrentUser");
    if (upper == u"HKU") return std::u16string(u"\\Registry\\User");
    return std::nullopt;
}

bool Installer::add_reg_line(const inf::Line& line, const std::u16string& hkr) const {
    auto fields = line.fields;
    fields.resize(std::max<size_t>(fields.size(), 4));
    auto base = root(fields[0], hkr);
    std::string where = to_utf8(inf.name) + " line " + std::to_string(line.number);
    if (!base || base->empty()) return fail(ERROR_GENERAL_SYNTAX, where + ": unknown registry root");
    std::u16string key = *base;
    if (!fields[1].empty()) key += u"\\" + fields[1];
    DWORD flags = fields[3].empty() ? 0 : number_of(fields[3]);
    if (!devices::create_key(key)) return fail(ERROR_CANTWRITE, where + ": cannot create the key");
    if (flags & 0x10) return true; // FLG_ADDREG_KEYONLY
    const std::u16string& name = fields[2];
    if (flags & 0x4) { // FLG_ADDREG_DELVAL
        devices::delete_value(key, name);
        return true;
    }
    if ((flags & 0x2) && devices::read_value(key, name)) return true;   // FLG_ADDREG_NOCLOBBER
    if ((flags & 0x20) && !devices::read_value(key, name)) return true; // FLG_ADDREG_OVERWRITEONLY
    std::vector<std::u16string> data(fields.begin() + 4, fields.end());
    DWORD type_bits = flags & 0xFFFF0001u;
    bool ok;
    if (type_bits == 0x00010001u) { // REG_DWORD
        DWORD value = data.empty() ? 0 : number_of(data[0]);
        ok = devices::write_dword(key, name, value);
    } else if (type_bits == 0x00010000u) { // REG_MULTI_SZ
        std::vector<std::u16string> texts;
        if (flags & 0x8) texts = devices::read_multi(key, name); // FLG_ADDREG_APPEND
        for (auto& d : data)
            if (std::none_of(texts.begin(), texts.end(), [&](auto& t) { return equal_nocase(t, d); }))
                texts.push_back(expand_dirids(d));
        ok = devices::write_multi(key, name, texts);
    } else if (type_bits & 1u) { // binary, with the registry type in the high word when given
        std::vector<uint8_t> bytes;
        for (auto& d : data) bytes.push_back(uint8_t(std::strtoul(to_utf8(d).c_str(), nullptr, 16)));
        DWORD type = type_bits == 1u ? REG_BINARY : (type_bits >> 16);
        if (type_bits == 0x00020001u) type = REG_NONE;
        ok = devices::write_value(key, name, type, bytes.data(), bytes.size());
    } else {
        std::u16string text = data.empty() ? u"" : expand_dirids(data[0]);
        ok = devices::write_string(key, name, text, type_bits == 0x00020000u ? REG_EXPAND_SZ : REG_SZ);
    }
    return ok ? true : fail(ERROR_CANTWRITE, where + ": cannot write the value");
}

bool Installer::add_reg(const std::u16string& section, const std::u16string& hkr) const {
    for (const auto& name : file.values(section, u"AddReg")) {
        if (!file.has_section(name))
            return fail(ERROR_SECTION_NOT_FOUND, to_utf8(inf.name) + ": no section [" + to_utf8(name) + "]");
        for (const auto& line : file.section(name))
            if (!add_reg_line(line, hkr)) return false;
    }
    return true;
}

std::u16string Installer::destination(const std::u16string& section) const {
    auto pick = [&](const inf::Line& line) {
        std::u16string folder = dirid_path(line.fields.empty() ? 0 : number_of(line.fields[0]));
        if (line.fields.size() > 1 && !line.fields[1].empty() && !folder.empty()) folder += u"\\" + line.fields[1];
        return folder;
    };
    for (const auto& line : file.section(u"DestinationDirs"))
        if (equal_nocase(line.key, section)) return pick(line);
    for (const auto& line : file.section(u"DestinationDirs"))
        if (equal_nocase(line.key, u"DefaultDestDir")) return pick(line);
    return dirid_path(11);
}

bool Installer::copy_one(const std::u16string& target_name, const std::u16string& source_name,
                         const std::u16string& folder) const {
    std::filesystem::path source = find_in(inf.source_folder, source_name);
    if (source.empty())
        return fail(ERROR_FILE_NOT_FOUND, "the file " + to_utf8(source_name) + " that " + to_utf8(inf.name) +
                                              " installs is not in " + inf.source_folder.string());
    std::filesystem::path target_folder = devices::host_path(folder, false);
    std::error_code error;
    if (target_folder.empty()) return fail(ERROR_PATH_NOT_FOUND, "no machine folder for " + to_utf8(folder));
    std::filesystem::create_directories(target_folder, error);
    std::filesystem::path target = find_in(target_folder, target_name);
    if (target.empty()) target = target_folder / to_utf8(target_name);
    if (std::filesystem::equivalent(source, target, error)) return true;
    if (std::filesystem::exists(target, error)) {
        if (read_file(source) == read_file(target)) return true;
        // A loaded image maps the old file: it keeps it while the new one takes its name.
        std::filesystem::remove(target, error);
    }
    std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing, error);
    if (error) return fail(ERROR_CANTWRITE, "cannot copy " + source.string() + ": " + error.message());
    return true;
}

bool Installer::copy_files(const std::u16string& section) const {
    for (const auto& name : file.values(section, u"CopyFiles")) {
        if (name.starts_with(u"@")) {
            if (!copy_one(name.substr(1), name.substr(1), destination(u""))) return false;
            continue;
        }
        if (!file.has_section(name))
            return fail(ERROR_SECTION_NOT_FOUND, to_utf8(inf.name) + ": no section [" + to_utf8(name) + "]");
        for (const auto& line : file.section(name)) {
            if (line.fields.empty() || line.fields[0].empty()) continue;
            std::u16string source = line.fields.size() > 1 && !line.fields[1].empty() ? line.fields[1] : line.fields[0];
            if (!copy_one(line.fields[0], source, destination(name))) return false;
        }
    }
    return true;
}

bool Installer::add_services(const std::u16string& section, std::u16string* associated) const {
    for (const auto& line : file.section(section)) {
        if (!equal_nocase(line.key, u"AddService") || line.fields.empty()) continue;
        const std::u16string& name = line.fields[0];
        DWORD flags = line.fields.size() > 1 ? number_of(line.fields[1]) : 0;
        if (flags & 2) *associated = name;
        if (line.fields.size() < 3 || line.fields[2].empty()) continue;
        const std::u16string& body = line.fields[2];
        std::u16string key = std::u16string(kServicesRoot) + u"\\" + name;
        devices::create_key(key);
        auto number = [&](std::u16string_view k, DWORD fallback) {
            auto v = file.value(body, k);
            return v ? number_of(*v) : fallback;
        };
        devices::write_dword(key, u"Type", number(u"ServiceType", 1));
        devices::write_dword(key, u"Start", number(u"StartType", 3));
        devices::write_dword(key, u"ErrorControl", number(u"ErrorControl", 1));
        if (auto binary = file.value(body, u"ServiceBinary")) {
            std::u16string image = *binary;
            for (auto [token, replacement] :
                 {std::pair{u"%12%", u"\\SystemRoot\\System32\\drivers"}, std::pair{u"%11%", u"\\SystemRoot\\System32"},
                  std::pair{u"%10%", u"\\SystemRoot"}})
                if (image.starts_with(token)) image = replacement + image.substr(4);
            devices::write_string(key, u"ImagePath", image, REG_EXPAND_SZ);
        }
        if (auto display = file.value(body, u"DisplayName")) devices::write_string(key, u"DisplayName", *display);
        if (auto group = file.value(body, u"LoadOrderGroup")) devices::write_string(key, u"Group", *group);
        if (!add_reg(body, key)) return false;
    }
    return true;
}

// The class the INF names, written into the device key; the class key is made when missing.
bool apply_class(const InfFile& file, const StoredInf& inf, Element& element) {
    auto guid_text = file.value(u"Version", u"ClassGuid");
    auto guid = guid_text ? devices::guid_of(*guid_text) : std::nullopt;
    if (!guid) return fail(ERROR_INVALID_CLASS, to_utf8(inf.name) + " names no setup class GUID");
    std::u16string name = file.value(u"Version", u"Class").value_or(u"");
    std::u16string device = devices::device_key_path(element.instance_id);
    std::u16string old_guid = devices::read_string(device, u"ClassGUID").value_or(u"");
    if (!old_guid.empty() && !equal_nocase(old_guid, devices::guid_text(*guid))) {
        // Another class: the old driver key does not belong to the new class.
        if (auto old = driver_key_path(element.instance_id); !old.empty()) devices::delete_tree(old);
        devices::delete_value(device, u"Driver");
    }
    devices::write_string(device, u"ClassGUID", devices::guid_text(*guid));
    if (!name.empty()) devices::write_string(device, u"Class", name);
    std::u16string class_key = std::u16string(kClassRoot) + u"\\" + devices::guid_text(*guid);
    if (!devices::key_exists(class_key)) {
        devices::create_key(class_key);
        if (!name.empty()) {
            devices::write_string(class_key, u"", name);
            devices::write_string(class_key, u"Class", name);
        }
        Installer installer{file, inf};
        if (!installer.add_reg(decorated(file, u"ClassInstall32"), class_key)) return false;
        if (!installer.copy_files(decorated(file, u"ClassInstall32"))) return false;
    }
    element.class_guid = *guid;
    return true;
}

// The default action of DIF_REGISTER_COINSTALLERS: the .CoInstallers section.
bool register_coinstallers(Element& element) {
    if (!element.driver) return fail(ERROR_NO_DRIVER_SELECTED);
    auto inf = stored_of(element.driver->inf_path);
    if (!inf) return fail(ERROR_FILE_NOT_FOUND, to_utf8(element.driver->inf_path) + " is not in the INF store");
    auto file = load_inf(*inf);
    if (!file) return false;
    std::u16string driver_key = ensure_driver_key(element);
    if (driver_key.empty()) return fail(ERROR_CANTWRITE, "no driver key for " + to_utf8(element.instance_id));
    devices::delete_value(driver_key, u"CoInstallers32");
    std::u16string section = decorated(*file, element.driver->install_section) + u".CoInstallers";
    Installer installer{*file, *inf};
    return installer.copy_files(section) && installer.add_reg(section, driver_key);
}

// The device part of the default DIF_INSTALLDEVICE: files, services and registry.
bool install_driver(Element& element) {
    if (!element.driver) return fail(ERROR_NO_DRIVER_SELECTED);
    auto inf = stored_of(element.driver->inf_path);
    if (!inf) return fail(ERROR_FILE_NOT_FOUND, to_utf8(element.driver->inf_path) + " is not in the INF store");
    auto file = load_inf(*inf);
    if (!file) return false;
    std::u16string device = devices::device_key_path(element.instance_id);
    if (!devices::key_exists(device)) return fail(ERROR_NO_SUCH_DEVINST);
    std::u16string section = decorated(*file, element.driver->install_section);
    if (!file->has_section(section))
        return fail(ERROR_SECTION_NOT_FOUND, to_utf8(inf->name) + ": no section [" + to_utf8(section) + "]");
    Installer installer{*file, *inf};
    if (!installer.copy_files(section)) return false;
    std::u16string service;
    if (!installer.add_services(section + u".Services", &service)) return false;
    std::u16string driver_key = ensure_driver_key(element);
    if (driver_key.empty()) return fail(ERROR_CANTWRITE, "no driver key for " + to_utf8(element.instance_id));
    if (!installer.add_reg(section, driver_key)) return false;
    std::u16string hardware_key = hardware_key_path(element.instance_id);
    devices::create_key(hardware_key);
    if (!installer.add_reg(section + u".HW", hardware_key)) return false;

    devices::write_string(driver_key, u"InfPath", inf->name);
    devices::write_string(driver_key, u"InfSection", element.driver->install_section);
    if (section != element.driver->install_section)
        devices::write_string(driver_key, u"InfSectionExt", section.substr(element.driver->install_section.size()));
    devices::write_string(driver_key, u"ProviderName", element.driver->provider);
    devices::write_string(driver_key, u"DriverDesc", element.driver->description);
    devices::write_string(driver_key, u"MatchingDeviceId", element.driver->matching_id);
    if (auto version = file->values(u"Version", u"DriverVer"); version.size() >= 2) {
        devices::write_string(driver_key, u"DriverDate", version[0]);
        devices::write_string(driver_key, u"DriverVersion", version[1]);
    }
    devices::write_string(device, u"DeviceDesc", element.driver->description);
    devices::write_string(device, u"Mfg", element.driver->manufacturer);
    if (service.empty())
        devices::delete_value(device, u"Service");
    else
        devices::write_string(device, u"Service", service);
    DWORD flags = 0;
    if (auto value = devices::read_value(device, u"ConfigFlags"); value && value->data.size() == 4)
        std::memcpy(&flags, value->data.data(), 4);
    devices::write_dword(device, u"ConfigFlags", flags & ~DWORD(0x20 | 0x40 | 0x400));
    return true;
}

// Starts (or restarts) the device so that the PnP manager loads the driver just installed.
bool start_device(Element& element) {
    if (element.install_params.Flags & DI_DONOTCALLCONFIGMG) return true;
    auto device = devices::device_of(element.devinst);
    if (!device || !device->present) return true; // installed for its next arrival
    if (devices::on_pnp_thread()) return true;    // the arrival goes on to start it
    if (!devices::restart_device(element.devinst)) {
        element.install_params.Flags |= DI_NEEDREBOOT;
        return true;
    }
    devices::wait_quiet();
    return true;
}

} // namespace hvsim::user::setup

using namespace hvsim;
using namespace hvsim::user;
using namespace hvsim::user::setup;

HV_EXTERN_C_BEGIN

BOOL WINAPI SetupDiInstallDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
    auto element = lookup_element(DeviceInfoSet, DeviceInfoData);
    if (!element) return FALSE;
    return setup::install_driver(*element) && setup::start_device(*element);
}

HV_EXTERN_C_END
