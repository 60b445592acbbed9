// The INF store C:\Windows\inf\oemN.inf (SetupCopyOEMInfW/A, SetupUninstallOEMInfW/A), and the
// file and text helpers that the other parts of device installation share.
//
// A store INF keeps the folder it was copied from in its .pnf file beside it: the files that
// its CopyFiles sections name are copied from there at installation.
#include "internal/device_installation.h"

#include <hvsim/format.h>
#include <hvsim/user_hooks.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "internal/registry_store.h"
#include "internal/user_internal.h"

namespace hvsim::user::setup {
namespace {

constexpr std::u16string_view kInfStore = u"C:\\Windows\\inf";

} // namespace

thread_local std::string t_failure;

bool fail(DWORD error, std::string why) {
    if (!why.empty()) {
        t_failure = why;
        debugger_output("SETUP: " + why + "\n");
    }
    set_last_error(error);
    return false;
}

std::u16string decimal(DWORD value, int width) {
    std::u16string out;
    do {
        out.insert(out.begin(), char16_t(u'0' + value % 10));
        value /= 10;
    } while (value);
    while (int(out.size()) < width) out.insert(out.begin(), u'0');
    return out;
}

std::u16string from_utf8(const std::string& text) { return text::ansi_to_wide(text); }

std::u16string wide(PCSTR text) { return text ? widen_ansi(text) : std::u16string(); }

std::filesystem::path existing_file(std::u16string_view path) { return devices::host_path(path, true); }

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::filesystem::path find_in(const std::filesystem::path& folder, std::u16string_view name) {
    std::error_code error;
    std::string wanted = to_utf8(text::upcase(name));
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (to_utf8(text::upcase(from_utf8(entry.path().filename().string()))) == wanted) return entry.path();
    }
    return {};
}

std::filesystem::path store_folder() {
    std::filesystem::path folder = devices::host_path(kInfStore, false);
    std::error_code error;
    if (!folder.empty()) std::filesystem::create_directories(folder, error);
    return folder;
}

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

std::optional<InfFile> load_inf(const StoredInf& inf) {
    std::string why;
    auto file = InfFile::load(inf.host, &why);
    if (!file) fail(ERROR_GENERAL_SYNTAX, why);
    return file;
}

std::optional<StoredInf> stored_of(const std::u16string& machine_path) {
    return stored(devices::host_path(machine_path, true));
}

} // namespace hvsim::user::setup

namespace hvsim::user {

std::string last_installation_error() { return setup::t_failure; }

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
    if constexpr (sizeof(Char) == 1)
        path = narrow_ansi(result.machine_path);
    else
        path = result.machine_path;
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

} // namespace

HV_EXTERN_C_BEGIN

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

HV_EXTERN_C_END
