// Device installation: the INF store, driver selection, the class installer runner with the
// class and device co-installers, the platform's Ports class installer, the default actions, and
// newdev's driver update.
//
//   SetupCopyOEMInfW/A, SetupUninstallOEMInfW/A        the store C:\Windows\inf\oemN.inf
//   SetupDiCallClassInstaller                           co-installers, class installer, default
//   SetupDiInstallDevice, SetupDiRemoveDevice, SetupDiChangeState   the default actions
//   UpdateDriverForPlugAndPlayDevicesW/A                install an INF on every matching device
//
// A store INF keeps the folder it was copied from in its .pnf file beside it: the files that
// its CopyFiles sections name are copied from there at installation.
#include "internal/registry_store.h"

#include <cfgmgr32.h>
#include <msports.h>
#include <newdev.h>
#include <setupapi.h>

#include <hvsim/format.h>
#include <hvsim/kernel.h>
#include <hvsim/sched.h>
#include <hvsim/user_hooks.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "internal/inf_file.h"
#include "internal/setupapi_platform.h"
#include "internal/setupapi_sets.h"
#include "internal/user_internal.h"

namespace hvsim::user::setup {
namespace {

using inf::equal_nocase;
using inf::InfFile;

// {4D36E978-E325-11CE-BFC1-08002BE10318}
constexpr GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr std::u16string_view kCoDeviceInstallers =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\CoDeviceInstallers";
constexpr std::u16string_view kInfStore = u"C:\\Windows\\inf";

thread_local std::string t_failure;

bool fail(DWORD error, std::string why = {}) {
    if (!why.empty()) {
        t_failure = why;
        debugger_output("SETUP: " + why + "\n");
    }
    set_last_error(error);
    return false;
}

bool same_guid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::u16string upcase(std::u16string_view text) {
    std::u16string out(text);
    for (auto& c : out)
        if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
    return out;
}

std::u16string decimal(DWORD value, int width = 0) {
    std::u16string out;
    do {
        out.insert(out.begin(), char16_t(u'0' + value % 10));
        value /= 10;
    } while (value);
    while (int(out.size()) < width) out.insert(out.begin(), u'0');
    return out;
}

std::u16string from_utf8(const std::string& text) { return text::ansi_to_wide(text); }

// A host file of a machine path or a host path; empty when it does not exist.
std::filesystem::path existing_file(std::u16string_view path) { return devices::host_path(path, true); }

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// An entry of a folder matched without regard to case.
std::filesystem::path find_in(const std::filesystem::path& folder, std::u16string_view name) {
    std::error_code error;
    std::string wanted = to_utf8(upcase(name));
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (to_utf8(upcase(from_utf8(entry.path().filename().string()))) == wanted) return entry.path();
    }
    return {};
}

std::filesystem::path store_folder() {
    std::filesystem::path folder = devices::host_path(kInfStore, false);
    std::error_code error;
    if (!folder.empty()) std::filesystem::create_directories(folder, error);
    return folder;
}

// ---- The INF store ----------------------------------------------------------------------------

struct StoredInf {
    std::u16string machine_path; // C:\Windows\inf\oemN.inf
    std::u16string name;         // oemN.inf
    std::filesystem::path host;
    std::filesystem::path source_folder;
};

std::optional<StoredInf> stored(const std::filesystem::path& host) {
    if (host.empty()) return std::nullopt;
    StoredInf out;
    out.host = host;
    out.name = from_utf8(host.filename().string());
    out.machine_path = std::u16string(kInfStore) + u"\\" + out.name;
    std::filesystem::path pnf = host;
    pnf.replace_extension(".pnf");
    std::string source = read_file(pnf);
    while (!source.empty() && (source.back() == '\n' || source.back() == '\r')) source.pop_back();
    out.source_folder = source.empty() ? host.parent_path() : std::filesystem::path(source);
    return out;
}

std::vector<StoredInf> store_infs() {
    std::vector<StoredInf> out;
    std::filesystem::path folder = store_folder();
    std::error_code error;
    if (folder.empty()) return out;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::string name = entry.path().filename().string();
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        if (name.size() > 4 && name.substr(name.size() - 4) == ".inf") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (auto& file : files)
        if (auto s = stored(file)) out.push_back(*s);
    return out;
}

// Copies an INF into the store; the same text already there is that file again.
bool copy_oem_inf(const std::u16string& source, DWORD style, StoredInf* result) {
    std::filesystem::path host = existing_file(source);
    std::error_code error;
    if (host.empty() || !std::filesystem::is_regular_file(host, error))
        return fail(ERROR_FILE_NOT_FOUND, "the INF file " + to_utf8(source) + " does not exist");
    std::string text = read_file(host);
    std::string why;
    if (!InfFile::parse(text, &why)) return fail(ERROR_GENERAL_SYNTAX, to_utf8(source) + ": " + why);
    if (!InfFile::parse(text)->has_section(u"Version"))
        return fail(ERROR_WRONG_INF_STYLE, to_utf8(source) + " has no [Version] section");
    std::filesystem::path folder = store_folder();
    if (folder.empty()) return fail(ERROR_PATH_NOT_FOUND, "the machine has no C:\\Windows\\inf folder");
    std::filesystem::path source_folder = std::filesystem::absolute(host.parent_path(), error);
    for (const auto& existing : store_infs()) {
        if (read_file(existing.host) != text) continue;
        if (style & SP_COPY_NOOVERWRITE) return fail(ERROR_FILE_EXISTS);
        std::ofstream(std::filesystem::path(existing.host).replace_extension(".pnf")) << source_folder.string() << "\n";
        *result = *stored(existing.host);
        return true;
    }
    for (DWORD n = 0; n < 100000; ++n) {
        std::filesystem::path target = folder / ("oem" + std::to_string(n) + ".inf");
        if (std::filesystem::exists(target, error)) continue;
        std::ofstream(target, std::ios::binary) << text;
        std::ofstream(std::filesystem::path(target).replace_extension(".pnf")) << source_folder.string() << "\n";
        *result = *stored(target);
        return true;
    }
    return fail(ERROR_CANNOT_MAKE);
}

// ---- Driver selection --------------------------------------------------------------------------

// The sections of an INF's models for this platform, each with its DDInstall section and IDs.
struct Model {
    std::u16string description;
    std::u16string install_section;
    std::vector<std::u16string> ids;
    std::u16string manufacturer;
};

// The models section of a [Manufacturer] line for this platform: the base name with the first
// NTamd64 or NT decoration the file has, else the base name.
std::u16string models_section(const InfFile& file, const inf::Line& line) {
    const std::u16string& base = line.fields[0];
    for (size_t i = 1; i < line.fields.size(); ++i) {
        std::u16string decoration = upcase(line.fields[i]);
        if (decoration.starts_with(u"NTAMD64") || decoration == u"NT")
            return file.has_section(base + u"." + line.fields[i]) ? base + u"." + line.fields[i] : base;
    }
    return base;
}

std::vector<Model> models_of(const InfFile& file) {
    std::vector<Model> out;
    for (const auto& line : file.section(u"Manufacturer")) {
        if (line.fields.empty() || line.fields[0].empty()) continue;
        for (const auto& model : file.section(models_section(file, line))) {
            if (model.fields.size() < 2) continue;
            Model m{model.key, model.fields[0], {}, line.key};
            for (size_t i = 1; i < model.fields.size(); ++i)
                if (!model.fields[i].empty()) m.ids.push_back(model.fields[i]);
            out.push_back(std::move(m));
        }
    }
    return out;
}

std::u16string decorated(const InfFile& file, const std::u16string& section) {
    for (auto suffix : {u".NTamd64", u".NT"})
        if (file.has_section(section + suffix)) return section + suffix;
    return section;
}

// A device with several interfaces belongs to the built-in composite parent, which reports one
// child per interface ("&MI_nn"): a package binds those children, never the whole device, even
// where an INF also lists the device's own ID.
bool owned_by_composite_parent(const std::vector<std::u16string>& device_ids) {
    return std::any_of(device_ids.begin(), device_ids.end(),
                       [](const std::u16string& id) { return equal_nocase(id, u"USB\\COMPOSITE"); });
}

// The best model of an INF for a device: the lower the rank, the better (hardware IDs rank
// before compatible IDs, each in its list's order).
std::optional<std::pair<int, SelectedDriver>> best_model(const InfFile& file, const std::u16string& machine_path,
                                                        const std::vector<std::u16string>& device_ids,
                                                        const std::u16string* only_id) {
    std::optional<std::pair<int, SelectedDriver>> best;
    if (owned_by_composite_parent(device_ids)) return best;
    for (const auto& model : models_of(file)) {
        for (const auto& id : model.ids) {
            if (only_id && !equal_nocase(id, *only_id)) continue;
            for (size_t rank = 0; rank < device_ids.size(); ++rank) {
                if (!equal_nocase(id, device_ids[rank])) continue;
                if (best && best->first <= int(rank)) continue;
                SelectedDriver driver;
                driver.inf_path = machine_path;
                driver.install_section = model.install_section;
                driver.description = model.description;
                driver.manufacturer = model.manufacturer;
                driver.provider = file.value(u"Version", u"Provider").value_or(u"");
                driver.matching_id = id;
                best = std::make_pair(int(rank), driver);
            }
        }
    }
    return best;
}

std::vector<std::u16string> device_ids(const std::u16string& instance_id) {
    std::u16string key = devices::device_key_path(instance_id);
    std::vector<std::u16string> ids = devices::read_multi(key, u"HardwareID");
    for (auto& id : devices::read_multi(key, u"CompatibleIDs")) ids.push_back(id);
    return ids;
}

// ---- Installing an INF's sections ---------------------------------------------------------------

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
        for (size_t at; (at = text.find(token)) != std::u16string::npos;) text.replace(at, token.size(), dirid_path(id));
    }
    return text;
}

DWORD number_of(const std::u16string& text) {
    std::string narrow = to_utf8(text);
    return DWORD(std::strtoul(narrow.c_str(), nullptr, 0));
}

struct Installer {
    const InfFile& file;
    const StoredInf& inf;

    // A registry root of an AddReg line; `hkr` is what HKR means in this section.
    static std::optional<std::u16string> root(const std::u16string& name, const std::u16string& hkr) {
        std::u16string upper = upcase(name);
        if (upper == u"HKR") return hkr;
        if (upper == u"HKLM") return std::u16string(u"\\Registry\\Machine");
        if (upper == u"HKCR") return std::u16string(u"\\Registry\\Machine\\SOFTWARE\\Classes");
        if (upper == u"HKCU") return std::u16string(u"\\Registry\\User\\CurrentUser");
        if (upper == u"HKU") return std::u16string(u"\\Registry\\User");
        return std::nullopt;
    }

    bool add_reg_line(const inf::Line& line, const std::u16string& hkr) const {
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
        if ((flags & 0x2) && devices::read_value(key, name)) return true; // FLG_ADDREG_NOCLOBBER
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

    bool add_reg(const std::u16string& section, const std::u16string& hkr) const {
        for (const auto& name : file.values(section, u"AddReg")) {
            if (!file.has_section(name))
                return fail(ERROR_SECTION_NOT_FOUND, to_utf8(inf.name) + ": no section [" + to_utf8(name) + "]");
            for (const auto& line : file.section(name))
                if (!add_reg_line(line, hkr)) return false;
        }
        return true;
    }

    std::u16string destination(const std::u16string& section) const {
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

    bool copy_one(const std::u16string& target_name, const std::u16string& source_name,
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

    bool copy_files(const std::u16string& section) const {
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

    // AddService lines; the associated service (flag 2) is returned.
    bool add_services(const std::u16string& section, std::u16string* associated) const {
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
                for (auto [token, replacement] : {std::pair{u"%12%", u"\\SystemRoot\\System32\\drivers"},
                                                  std::pair{u"%11%", u"\\SystemRoot\\System32"},
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
};

std::optional<InfFile> load_inf(const StoredInf& inf) {
    std::string why;
    auto file = InfFile::load(inf.host, &why);
    if (!file) fail(ERROR_GENERAL_SYNTAX, why);
    return file;
}

std::optional<StoredInf> stored_of(const std::u16string& machine_path) {
    return stored(devices::host_path(machine_path, true));
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
    if (service.empty()) devices::delete_value(device, u"Service");
    else devices::write_string(device, u"Service", service);
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

// ---- The platform's Ports class installer --------------------------------------------------------

DWORD port_number(const std::u16string& name) {
    if (name.size() <= 3 || !equal_nocase(name.substr(0, 3), u"COM")) return 0;
    DWORD n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < u'0' || name[i] > u'9') return 0;
        n = n * 10 + DWORD(name[i] - u'0');
    }
    return n;
}

// The COM name of a newly installed port: the one it has kept, else the next free number.
bool assign_com_name(Element& element) {
    std::u16string hardware_key = hardware_key_path(element.instance_id);
    DWORD number = port_number(devices::read_string(hardware_key, u"PortName").value_or(u""));
    HCOMDB db;
    if (LONG e = ComDBOpen(&db); e != ERROR_SUCCESS) return fail(DWORD(e), "the COM port database cannot be opened");
    LONG result;
    if (number) {
        result = ComDBClaimPort(db, number, TRUE, nullptr);
    } else {
        result = ComDBClaimNextFreePort(db, &number);
    }
    ComDBClose(db);
    if (result != ERROR_SUCCESS) return fail(DWORD(result), "no COM number is free");
    std::u16string name = u"COM" + decimal(number);
    devices::write_string(hardware_key, u"PortName", name);
    std::u16string device = devices::device_key_path(element.instance_id);
    std::u16string description = devices::read_string(device, u"DeviceDesc").value_or(u"Communications Port");
    devices::write_string(device, u"FriendlyName", description + u" (" + name + u")");
    return true;
}

DWORD ports_class_installer(DI_FUNCTION function, Element& element) {
    if (function != DIF_INSTALLDEVICE) return ERROR_DI_DO_DEFAULT;
    if (!install_driver(element) || !assign_com_name(element) || !start_device(element)) return GetLastError();
    return NO_ERROR;
}

// ---- Removal and state changes ------------------------------------------------------------------

bool remove_device(Element& element) {
    auto device = devices::device_of(element.devinst);
    if (!device || !devices::key_exists(devices::device_key_path(element.instance_id)))
        return fail(ERROR_NO_SUCH_DEVINST);
    if (device->present && !devices::remove_device(element.devinst)) {
        element.install_params.Flags |= DI_NEEDREBOOT;
        return fail(ERROR_CANT_REMOVE_DEVINST, to_utf8(element.instance_id) + " refused its removal");
    }
    if (std::u16string driver = driver_key_path(element.instance_id); !driver.empty()) devices::delete_tree(driver);
    devices::delete_tree(devices::device_key_path(element.instance_id));
    return true;
}

bool change_state(Element& element) {
    if (element.class_install_params.size() < sizeof(SP_PROPCHANGE_PARAMS)) return fail(ERROR_NO_CLASSINSTALL_PARAMS);
    SP_PROPCHANGE_PARAMS params;
    std::memcpy(&params, element.class_install_params.data(), sizeof params);
    if (params.ClassInstallHeader.InstallFunction != DIF_PROPERTYCHANGE) return fail(ERROR_INVALID_PARAMETER);
    bool ok = true;
    switch (params.StateChange) {
    case DICS_ENABLE:
    case DICS_START: ok = devices::enable_device(element.devinst); break;
    case DICS_DISABLE:
    case DICS_STOP: ok = devices::disable_device(element.devinst); break;
    case DICS_PROPCHANGE: ok = devices::restart_device(element.devinst); break;
    default: return fail(ERROR_INVALID_PARAMETER);
    }
    devices::wait_quiet();
    if (!ok) {
        element.install_params.Flags |= DI_NEEDRESTART;
        return fail(ERROR_NOT_DISABLEABLE);
    }
    return true;
}

// ---- The class installer runner ------------------------------------------------------------------

// A library's entry point named "file.dll,Entry" (or the default entry).
struct Entry {
    HMODULE module = nullptr;
    FARPROC routine = nullptr;
    ~Entry() {
        if (module) FreeLibrary(module);
    }
};

template <typename Routine>
Routine routine_as(FARPROC routine) {
    return reinterpret_cast<Routine>(reinterpret_cast<void (*)()>(routine));
}

std::unique_ptr<Entry> load_entry(const std::u16string& spec, const char* default_entry) {
    std::u16string file = spec, entry;
    if (size_t comma = spec.find(u','); comma != std::u16string::npos) {
        file = spec.substr(0, comma);
        entry = spec.substr(comma + 1);
    }
    auto trim = [](std::u16string& s) {
        while (!s.empty() && s.front() == u' ') s.erase(s.begin());
        while (!s.empty() && s.back() == u' ') s.pop_back();
    };
    trim(file);
    trim(entry);
    auto out = std::make_unique<Entry>();
    out->module = LoadLibraryW(file.c_str());
    if (!out->module) {
        debugger_output("SETUP: the installer library " + to_utf8(file) + " cannot be loaded\n");
        return nullptr;
    }
    std::string name = entry.empty() ? std::string(default_entry) : narrow_ansi(entry);
    out->routine = GetProcAddress(out->module, name.c_str());
    if (!out->routine) {
        debugger_output("SETUP: " + to_utf8(file) + " has no entry point " + name + "\n");
        return nullptr;
    }
    return out;
}

std::vector<std::u16string> coinstallers_of(const Element& element) {
    std::vector<std::u16string> out;
    if (!same_guid(element.class_guid, GUID{}))
        out = devices::read_multi(kCoDeviceInstallers, devices::guid_text(element.class_guid));
    if (std::u16string driver = driver_key_path(element.instance_id); !driver.empty())
        for (auto& spec : devices::read_multi(driver, u"CoInstallers32")) out.push_back(spec);
    return out;
}

DWORD default_action(DI_FUNCTION function, HDEVINFO handle, Element& element) {
    switch (function) {
    case DIF_REGISTER_COINSTALLERS: return register_coinstallers(element) ? NO_ERROR : GetLastError();
    case DIF_INSTALLDEVICE:
        return install_driver(element) && start_device(element) ? NO_ERROR : GetLastError();
    case DIF_REMOVE: return remove_device(element) ? NO_ERROR : GetLastError();
    case DIF_PROPERTYCHANGE: return change_state(element) ? NO_ERROR : GetLastError();
    default: return NO_ERROR;
    }
}

} // namespace

BOOL call_class_installer(DI_FUNCTION function, HDEVINFO handle, PSP_DEVINFO_DATA data) {
    auto set = lookup_set(handle);
    if (!set) return FALSE;
    std::shared_ptr<Element> element;
    if (data) {
        element = lookup_element(set, data);
        if (!element) return FALSE;
    } else if (function == DIF_INSTALLDEVICE || function == DIF_REMOVE || function == DIF_PROPERTYCHANGE ||
               function == DIF_REGISTER_COINSTALLERS) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    t_failure.clear();

    // Co-installers registered for the class, then those of the device, each called before the
    // class installer; those that ask for it are called again after it, in reverse order, with
    // the same context (its address too: a co-installer may key what it keeps on it).
    struct Called {
        std::unique_ptr<Entry> entry;
        COINSTALLER_CONTEXT_DATA context{};
    };
    std::vector<std::unique_ptr<Called>> post;
    std::vector<std::u16string> specs;
    if (element) specs = coinstallers_of(*element);
    DWORD result = NO_ERROR;
    bool aborted = false;
    for (const auto& spec : specs) {
        auto entry = load_entry(spec, "CoDeviceInstall");
        if (!entry) continue;
        auto called = std::make_unique<Called>();
        called->entry = std::move(entry);
        auto routine = routine_as<PCOINSTALLER_ROUTINE>(called->entry->routine);
        DWORD answer = routine(function, handle, data, &called->context);
        if (answer == ERROR_DI_POSTPROCESSING_REQUIRED) {
            post.push_back(std::move(called));
        } else if (answer != NO_ERROR) {
            result = answer;
            aborted = true;
            break;
        }
    }

    if (!aborted) {
        // The class installer: the one the class key names, else the platform's own for Ports.
        std::optional<std::u16string> spec;
        if (element && !same_guid(element->class_guid, GUID{}))
            spec = devices::read_string(std::u16string(kClassRoot) + u"\\" + devices::guid_text(element->class_guid),
                                        u"Installer32");
        result = ERROR_DI_DO_DEFAULT;
        if (spec && !spec->empty()) {
            if (auto entry = load_entry(*spec, "ClassInstall"))
                result = routine_as<PCLASS_INSTALLER_ROUTINE>(entry->routine)(function, handle, data);
        } else if (element && same_guid(element->class_guid, kPortsClass)) {
            result = ports_class_installer(function, *element);
        }
        if (result == ERROR_DI_DO_DEFAULT && element && !(element->install_params.Flags & DI_NODI_DEFAULTACTION))
            result = default_action(function, handle, *element);
        else if (result == ERROR_DI_DO_DEFAULT)
            result = NO_ERROR;
    }

    for (auto it = post.rbegin(); it != post.rend(); ++it) {
        Called& called = **it;
        called.context.PostProcessing = TRUE;
        called.context.InstallResult = result;
        result = routine_as<PCOINSTALLER_ROUTINE>(called.entry->routine)(function, handle, data, &called.context);
    }
    if (result == NO_ERROR) {
        set_last_error(NO_ERROR);
        return TRUE;
    }
    set_last_error(result);
    return FALSE;
}

namespace {

// Installs one element with the driver selected for it.
bool install_element(HDEVINFO handle, DeviceInfoSet& set, Element& element, const SelectedDriver& driver,
                     bool start) {
    auto inf = stored_of(driver.inf_path);
    if (!inf) return fail(ERROR_FILE_NOT_FOUND, to_utf8(driver.inf_path) + " is not in the INF store");
    auto file = load_inf(*inf);
    if (!file || !apply_class(*file, *inf, element)) return false;
    element.driver = driver;
    if (!start) element.install_params.Flags |= DI_DONOTCALLCONFIGMG;
    SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA), {}, 0, 0};
    fill_data(set, element, &data);
    debugger_output("SETUP: installing " + to_utf8(element.instance_id) + " from " + to_utf8(inf->name) + " [" +
                    to_utf8(driver.install_section) + "]\n");
    if (!call_class_installer(DIF_REGISTER_COINSTALLERS, handle, &data)) return false;
    if (!call_class_installer(DIF_INSTALLDEVICE, handle, &data)) {
        DWORD error = GetLastError();
        // A failed installation leaves the device marked for another try.
        std::u16string device = devices::device_key_path(element.instance_id);
        DWORD flags = 0;
        if (auto value = devices::read_value(device, u"ConfigFlags"); value && value->data.size() == 4)
            std::memcpy(&flags, value->data.data(), 4);
        devices::write_dword(device, u"ConfigFlags", flags | 0x40);
        devices::delete_value(device, u"Service");
        return fail(error);
    }
    return true;
}

// The best driver of the store for an instance, if any INF there names one of its IDs.
std::optional<SelectedDriver> best_store_driver(const std::u16string& instance_id) {
    std::vector<std::u16string> ids = device_ids(instance_id);
    if (ids.empty()) return std::nullopt;
    std::optional<std::pair<int, SelectedDriver>> best;
    for (const auto& inf : store_infs()) {
        auto file = InfFile::load(inf.host);
        if (!file) continue;
        auto candidate = best_model(*file, inf.machine_path, ids, nullptr);
        if (candidate && (!best || candidate->first < best->first)) best = candidate;
    }
    if (!best) return std::nullopt;
    return best->second;
}

// Installs the best driver of the store on an instance; false when none matches or it fails.
bool install_from_store(const std::u16string& instance_id, bool start) {
    auto driver = best_store_driver(instance_id);
    if (!driver) return false;
    auto set = std::make_shared<DeviceInfoSet>();
    auto element = add_element(*set, instance_id);
    if (!element) return false;
    HDEVINFO handle = insert_set(set);
    bool ok = install_element(handle, *set, *element, *driver, start);
    SetupDiDestroyDeviceInfoList(handle);
    return ok;
}

// Devices that arrive without a driver are installed by a worker of their own, as the platform's
// user-mode Plug and Play service does: the installation restarts the device, so the class
// installer has started it before the co-installers' post-pass, which cannot happen inside the
// PnP manager's own action.
struct Arrivals {
    std::mutex mutex;
    std::deque<std::u16string> pending;
    std::u16string current; // the device being installed now
    bool working = false;
    std::thread worker;
    sched::Event idle{sched::Event::Reset::Manual, true};
    // The service the worker belongs to, with the system's token, made at the first arrival.
    std::shared_ptr<Process> service;
};
Arrivals& arrivals() {
    static Arrivals* a = new Arrivals;
    return *a;
}

std::shared_ptr<Process> installation_service() {
    auto& a = arrivals();
    std::lock_guard lock(a.mutex);
    if (!a.service) {
        ProcessOptions options;
        options.image_path = u"C:\\Windows\\System32\\svchost.exe";
        options.command_line = u"C:\\Windows\\System32\\svchost.exe -k DcomLaunch";
        options.token = TokenKind::System;
        a.service = Process::create(std::move(options));
    }
    return a.service;
}

void install_arrivals() {
    auto& a = arrivals();
    ProcessScope scope(installation_service());
    for (;;) {
        std::u16string instance_id;
        {
            std::lock_guard lock(a.mutex);
            a.current.clear();
            if (a.pending.empty()) {
                a.working = false;
                a.idle.set();
                return;
            }
            instance_id = a.pending.front();
            a.pending.pop_front();
            a.current = instance_id;
        }
        install_from_store(instance_id, true);
    }
}

bool queue_arrival(const std::u16string& instance_id) {
    if (!best_store_driver(instance_id)) return false;
    auto& a = arrivals();
    std::lock_guard lock(a.mutex);
    // A device that arrives again while its installation waits or runs (its parent restarted,
    // or the installation's own restart) is installed once: that installation starts it.
    auto same = [&](const std::u16string& other) { return equal_nocase(other, instance_id); };
    if (same(a.current) || std::any_of(a.pending.begin(), a.pending.end(), same)) return false;
    a.pending.push_back(instance_id);
    if (!a.working) {
        a.working = true;
        a.idle.reset();
        if (a.worker.joinable()) sched::join(a.worker); // the last one has finished its loop
        a.worker = sched::start_thread("device installation", install_arrivals);
    }
    return false; // the node waits with problem 28 until its installation restarts it
}

void wait_for_arrivals() {
    auto& a = arrivals();
    for (;;) {
        a.idle.wait();
        devices::wait_quiet();
        std::lock_guard lock(a.mutex);
        if (!a.working && a.pending.empty()) {
            if (a.worker.joinable()) sched::join(a.worker);
            return;
        }
    }
}

struct InstallationSubsystem {
    static void boot(const KernelOptions&) {
        reset_comdb_hooks();
        reset_cm_hooks();
        enable_arrival_installation(true);
    }
    static void shutdown() {
        enable_arrival_installation(false);
        wait_for_arrivals();
        std::shared_ptr<Process> service = std::move(arrivals().service);
        if (service) service->close_all_handles();
    }
};

// After user mode at boot and before it at shutdown: the installation worker runs SetupAPI in a
// service process of its own, as the system.
const bool registered = [] {
    register_kernel_subsystem({"device installation", 950, InstallationSubsystem::boot, InstallationSubsystem::shutdown});
    return true;
}();

} // namespace

bool install_arrived_device(DWORD devinst) {
    auto device = devices::device_of(devinst);
    if (!device) return false;
    return install_from_store(device->instance_id, true);
}

void enable_arrival_installation(bool on) {
    if (!on) {
        devices::set_arrival_installer(nullptr);
        return;
    }
    devices::set_arrival_installer(queue_arrival);
}

} // namespace hvsim::user::setup

namespace hvsim::user {

std::string last_installation_error() { return setup::t_failure; }

void wait_for_device_installations() { setup::wait_for_arrivals(); }

std::vector<std::u16string> inf_hardware_ids(const std::u16string& inf_path) {
    std::vector<std::u16string> ids;
    auto host = setup::existing_file(inf_path);
    auto file = host.empty() ? std::nullopt : inf::InfFile::load(host);
    if (!file) return ids;
    for (const auto& model : setup::models_of(*file))
        for (const auto& id : model.ids)
            if (std::none_of(ids.begin(), ids.end(), [&](auto& known) { return inf::equal_nocase(known, id); }))
                ids.push_back(id);
    return ids;
}

namespace {

// The sections an INF's installation reads, with the line that names each.
struct Reached {
    std::u16string section;
    size_t line;
};

std::vector<Reached> install_sections(const inf::InfFile& file) {
    std::vector<Reached> out{{setup::decorated(file, u"ClassInstall32"), 0}};
    for (const auto& model : setup::models_of(file)) {
        std::u16string section = setup::decorated(file, model.install_section);
        if (std::any_of(out.begin(), out.end(), [&](auto& known) { return inf::equal_nocase(known.section, section); }))
            continue;
        // The first model line that names it.
        size_t line = 0;
        for (const auto& manufacturer : file.section(u"Manufacturer"))
            if (!manufacturer.fields.empty() && !manufacturer.fields[0].empty())
                for (const auto& entry : file.section(setup::models_section(file, manufacturer)))
                    if (!line && !entry.fields.empty() && inf::equal_nocase(entry.fields[0], model.install_section))
                        line = entry.number;
        out.push_back({section, line});
        out.push_back({section + u".CoInstallers", 0});
        out.push_back({section + u".Services", 0});
    }
    return out;
}

// The files the CopyFiles lines of the reached sections name, each once.
std::vector<InfCopiedFile> copied_files(const inf::InfFile& file, const std::filesystem::path& folder) {
    std::vector<InfCopiedFile> out;
    auto note = [&](const std::u16string& name, size_t line) {
        if (std::any_of(out.begin(), out.end(), [&](auto& known) { return inf::equal_nocase(known.name, name); }))
            return;
        out.push_back({name, line, setup::find_in(folder, name)});
    };
    for (const auto& reached : install_sections(file)) {
        for (const auto& line : file.section(reached.section)) {
            if (!inf::equal_nocase(line.key, u"CopyFiles")) continue;
            for (const auto& name : line.fields) {
                if (name.starts_with(u"@")) {
                    note(name.substr(1), line.number);
                    continue;
                }
                for (const auto& entry : file.section(name))
                    if (!entry.fields.empty() && !entry.fields[0].empty())
                        note(entry.fields.size() > 1 && !entry.fields[1].empty() ? entry.fields[1] : entry.fields[0],
                             entry.number);
            }
        }
    }
    return out;
}

// A %key% left in a field: [Strings] has no such key (numbers are directory IDs).
std::optional<std::u16string> unresolved_key(const std::u16string& field) {
    for (size_t start = field.find(u'%'); start != std::u16string::npos; start = field.find(u'%', start + 1)) {
        size_t end = field.find(u'%', start + 1);
        if (end == std::u16string::npos) return std::nullopt;
        std::u16string key = field.substr(start + 1, end - start - 1);
        if (!key.empty() && !(key[0] >= u'0' && key[0] <= u'9') && key.find(u' ') == std::u16string::npos)
            return field.substr(start, end - start + 1);
        start = end;
    }
    return std::nullopt;
}

} // namespace

std::vector<std::u16string> inf_missing_files(const std::u16string& inf_path) {
    auto host = setup::existing_file(inf_path);
    auto file = host.empty() ? std::nullopt : inf::InfFile::load(host);
    if (!file) return {inf_path};
    std::vector<std::u16string> missing;
    for (const auto& copied : copied_files(*file, host.parent_path()))
        if (copied.source.empty()) missing.push_back(copied.name);
    return missing;
}

std::vector<InfCopiedFile> inf_copied_files(const std::u16string& inf_path) {
    auto host = setup::existing_file(inf_path);
    auto file = host.empty() ? std::nullopt : inf::InfFile::load(host);
    if (!file) return {};
    return copied_files(*file, host.parent_path());
}

std::vector<InfProblem> inf_problems(const std::u16string& inf_path) {
    auto host = setup::existing_file(inf_path);
    if (host.empty()) return {{0, "the file does not exist"}};
    std::string why;
    auto file = inf::InfFile::load(host, &why);
    if (!file) {
        // The reader says "line N: ...".
        size_t line = 0;
        if (why.starts_with("line ")) line = std::strtoul(why.c_str() + 5, nullptr, 10);
        const size_t colon = why.find(": ");
        return {{line, line && colon != std::string::npos ? why.substr(colon + 2) : why}};
    }
    std::vector<InfProblem> problems;
    auto lacks = [&](const std::u16string& section, size_t line, const std::string& what) {
        if (!file->has_section(section))
            problems.push_back({line, what + " [" + to_utf8(section) + "] is not in the file"});
    };
    // What the installation would refuse only once a device arrives: a line of an AddReg section
    // that starts with no registry root.
    auto check_roots = [&](const std::u16string& section) {
        for (const auto& entry : file->section(section))
            if (!setup::Installer::root(entry.fields.empty() ? u"" : entry.fields[0], u"HKR"))
                problems.push_back({entry.number, "\"" + to_utf8(entry.fields.empty() ? u"" : entry.fields[0]) +
                                                      "\" is not a registry root (HKR, HKLM, HKCR, HKCU or HKU)"});
    };
    if (!file->has_section(u"Version")) problems.push_back({0, "there is no [Version] section"});
    lacks(u"Manufacturer", 0, "the section");
    for (const auto& manufacturer : file->section(u"Manufacturer")) {
        if (manufacturer.fields.empty() || manufacturer.fields[0].empty()) continue;
        const std::u16string models = setup::models_section(*file, manufacturer);
        lacks(models, manufacturer.number, "the models section");
        for (const auto& model : file->section(models))
            if (auto key = unresolved_key(model.key))
                problems.push_back({model.number, to_utf8(*key) + " is not in [Strings]"});
    }
    for (const auto& reached : install_sections(*file)) {
        // Only the models' own install sections must exist; the others are optional.
        if (reached.line) lacks(reached.section, reached.line, "the install section");
        for (const auto& line : file->section(reached.section)) {
            if (inf::equal_nocase(line.key, u"CopyFiles"))
                for (const auto& name : line.fields)
                    if (!name.starts_with(u"@")) lacks(name, line.number, "the CopyFiles section");
            if (inf::equal_nocase(line.key, u"AddReg"))
                for (const auto& name : line.fields) {
                    lacks(name, line.number, "the AddReg section");
                    check_roots(name);
                }
            if (inf::equal_nocase(line.key, u"AddService") && line.fields.size() > 2 && !line.fields[2].empty()) {
                lacks(line.fields[2], line.number, "the service section");
                for (const auto& name : file->values(line.fields[2], u"AddReg")) {
                    lacks(name, line.number, "the AddReg section");
                    check_roots(name);
                }
            }
            for (const auto& field : line.fields)
                if (auto key = unresolved_key(field))
                    problems.push_back({line.number, to_utf8(*key) + " is not in [Strings]"});
        }
    }
    return problems;
}

} // namespace hvsim::user

using namespace hvsim;
using namespace hvsim::user;
using namespace hvsim::user::setup;

namespace {

template <typename Char>
BOOL copy_oem_inf_out(const std::u16string& source, DWORD media_type, DWORD style, Char* destination, DWORD size,
                      PDWORD required, Char** component) {
    setup::t_failure.clear();
    if (source.empty()) return setup::fail(ERROR_INVALID_PARAMETER);
    if (media_type > SPOST_URL) return setup::fail(ERROR_INVALID_PARAMETER);
    setup::StoredInf result;
    if (!setup::copy_oem_inf(source, style, &result)) return FALSE;
    std::basic_string<Char> path;
    if constexpr (sizeof(Char) == 1) path = narrow_ansi(result.machine_path);
    else path = result.machine_path;
    if (required) *required = DWORD(path.size() + 1);
    if (destination) {
        if (size < path.size() + 1) return setup::fail(ERROR_INSUFFICIENT_BUFFER);
        std::copy(path.begin(), path.end(), destination);
        destination[path.size()] = 0;
        if (component) *component = destination + (path.size() - result.name.size());
    } else if (component) {
        *component = nullptr;
    }
    set_last_error(ERROR_SUCCESS);
    return TRUE;
}

BOOL uninstall_oem_inf(const std::u16string& name, DWORD flags) {
    if (name.empty() || name.find(u'\\') != std::u16string::npos || name.find(u'/') != std::u16string::npos)
        return setup::fail(ERROR_INVALID_PARAMETER);
    std::filesystem::path folder = setup::store_folder();
    std::filesystem::path file = folder.empty() ? std::filesystem::path() : setup::find_in(folder, name);
    if (file.empty()) return setup::fail(ERROR_FILE_NOT_FOUND);
    if (!(flags & SUOI_FORCEDELETE)) {
        // An INF that an installed device uses stays.
        std::u16string class_root(kClassRoot);
        for (const auto& klass : devices::subkeys(class_root))
            for (const auto& instance : devices::subkeys(class_root + u"\\" + klass))
                if (auto used = devices::read_string(class_root + u"\\" + klass + u"\\" + instance, u"InfPath");
                    used && inf::equal_nocase(*used, name))
                    return setup::fail(ERROR_INF_IN_USE_BY_DEVICES);
    }
    std::error_code error;
    std::filesystem::remove(file, error);
    std::filesystem::remove(std::filesystem::path(file).replace_extension(".pnf"), error);
    return TRUE;
}

BOOL update_driver(const std::u16string& hardware_id, const std::u16string& inf_path, DWORD flags, PBOOL reboot) {
    setup::t_failure.clear();
    if (hardware_id.empty() || inf_path.empty()) return setup::fail(ERROR_INVALID_PARAMETER);
    if (flags & ~DWORD(INSTALLFLAG_BITS)) return setup::fail(ERROR_INVALID_FLAGS);
    if (reboot) *reboot = FALSE;
    setup::StoredInf inf;
    if (!setup::copy_oem_inf(inf_path, 0, &inf)) return FALSE;
    auto file = setup::load_inf(inf);
    if (!file) return FALSE;

    auto set = std::make_shared<DeviceInfoSet>();
    HDEVINFO handle = insert_set(set);
    bool found = false, ok = true;
    DWORD error = NO_ERROR;
    for (const auto& device : devices::list_devices(true)) {
        std::vector<std::u16string> ids = setup::device_ids(device.instance_id);
        if (std::none_of(ids.begin(), ids.end(), [&](auto& id) { return inf::equal_nocase(id, hardware_id); }))
            continue;
        auto model = setup::best_model(*file, inf.machine_path, ids, &hardware_id);
        if (!model) continue;
        found = true;
        auto element = add_element(*set, device.instance_id);
        if (!element) continue;
        if (!setup::install_element(handle, *set, *element, model->second, true)) {
            ok = false;
            error = GetLastError();
        } else if (reboot && (element->install_params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART))) {
            *reboot = TRUE;
        }
    }
    SetupDiDestroyDeviceInfoList(handle);
    if (!found) return setup::fail(ERROR_NO_SUCH_DEVINST);
    if (!ok) return setup::fail(error);
    set_last_error(NO_ERROR);
    return TRUE;
}

std::u16string wide(PCSTR text) { return text ? widen_ansi(text) : std::u16string(); }

} // namespace

HV_EXTERN_C_BEGIN

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    return call_class_installer(InstallFunction, DeviceInfoSet, DeviceInfoData);
}

BOOL WINAPI SetupDiInstallDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
    auto set = lookup_set(DeviceInfoSet);
    if (!set) return FALSE;
    auto element = lookup_element(set, DeviceInfoData);
    if (!element) return FALSE;
    return setup::install_driver(*element) && setup::start_device(*element);
}

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
    auto set = lookup_set(DeviceInfoSet);
    if (!set) return FALSE;
    auto element = lookup_element(set, DeviceInfoData);
    if (!element) return FALSE;
    return setup::remove_device(*element);
}

BOOL WINAPI SetupDiChangeState(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
    auto set = lookup_set(DeviceInfoSet);
    if (!set) return FALSE;
    auto element = lookup_element(set, DeviceInfoData);
    if (!element) return FALSE;
    return setup::change_state(*element);
}

BOOL WINAPI SetupCopyOEMInfW(PCWSTR SourceInfFileName, PCWSTR, DWORD OEMSourceMediaType, DWORD CopyStyle,
                             PWSTR DestinationInfFileName, DWORD DestinationInfFileNameSize, PDWORD RequiredSize,
                             PWSTR* DestinationInfFileNameComponent) {
    return copy_oem_inf_out<char16_t>(SourceInfFileName ? SourceInfFileName : u"", OEMSourceMediaType, CopyStyle,
                                      DestinationInfFileName, DestinationInfFileNameSize, RequiredSize,
                                      DestinationInfFileNameComponent);
}

BOOL WINAPI SetupCopyOEMInfA(PCSTR SourceInfFileName, PCSTR, DWORD OEMSourceMediaType, DWORD CopyStyle,
                             PSTR DestinationInfFileName, DWORD DestinationInfFileNameSize, PDWORD RequiredSize,
                             PSTR* DestinationInfFileNameComponent) {
    return copy_oem_inf_out<char>(wide(SourceInfFileName), OEMSourceMediaType, CopyStyle, DestinationInfFileName,
                                  DestinationInfFileNameSize, RequiredSize, DestinationInfFileNameComponent);
}

BOOL WINAPI SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID) {
    return uninstall_oem_inf(InfFileName ? InfFileName : u"", Flags);
}

BOOL WINAPI SetupUninstallOEMInfA(PCSTR InfFileName, DWORD Flags, PVOID) {
    return uninstall_oem_inf(wide(InfFileName), Flags);
}

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND, PCWSTR HardwareId, PCWSTR FullInfPath, DWORD InstallFlags,
                                               PBOOL bRebootRequired) {
    return update_driver(HardwareId ? HardwareId : u"", FullInfPath ? FullInfPath : u"", InstallFlags,
                         bRebootRequired);
}

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND, PCSTR HardwareId, PCSTR FullInfPath, DWORD InstallFlags,
                                               PBOOL bRebootRequired) {
    return update_driver(wide(HardwareId), wide(FullInfPath), InstallFlags, bRebootRequired);
}

HV_EXTERN_C_END
