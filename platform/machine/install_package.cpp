// `hvsim install-package`: installs the package's two INF files from a folder, as the setup
// program does: each is copied into the INF store and its driver is installed on every present
// device that one of its hardware IDs names; devices plugged in later are installed from the
// store when they arrive.
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <hvsim/format.h>
#include <hvsim/machine.h>
#include <hvsim/user_hooks.h>

#include "machine_internal.h"

#include <string>
#include <vector>

namespace hvsim {
namespace {

// The bus INF goes first, so that the ports its devices create find their own INF in the store.
constexpr const char* kPackageInfs[] = {"HVUBUS.INF", "HVUSER.INF"};

std::filesystem::path find_file(const std::filesystem::path& folder, const std::string& name) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::string candidate = entry.path().filename().string();
        if (candidate.size() == name.size() &&
            std::equal(candidate.begin(), candidate.end(), name.begin(),
                       [](char a, char b) { return std::toupper((unsigned char)a) == std::toupper((unsigned char)b); }))
            return entry.path();
    }
    return {};
}

std::string join(const std::vector<std::u16string>& names) {
    std::string out;
    for (const auto& name : names) out += (out.empty() ? "" : ", ") + text::to_utf8(name);
    return out;
}

} // namespace

std::string Machine::install_package(const std::filesystem::path& folder) {
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) throw MachineError(folder.string() + " is not a folder");
    std::vector<std::filesystem::path> infs;
    for (const char* name : kPackageInfs) {
        std::filesystem::path inf = find_file(folder, name);
        if (inf.empty()) throw MachineError(folder.string() + " has no " + name);
        infs.push_back(std::filesystem::absolute(inf, error));
    }
    // Refused before anything changes: an INF that cannot install as it stands, an image that
    // is not there yet, a file that is not the image its name says.
    for (const auto& inf : infs) {
        const std::u16string path = text::from_utf8(inf.string());
        std::string problems;
        const auto found = user::inf_problems(path);
        constexpr size_t kShown = 8;
        for (size_t i = 0; i < found.size() && i < kShown; ++i)
            problems += "\n  " + inf.string() + (found[i].line ? ":" + std::to_string(found[i].line) : "") + ": " +
                        found[i].reason;
        if (found.size() > kShown) problems += "\n  ... and " + std::to_string(found.size() - kShown) + " more";
        if (!problems.empty()) throw MachineError(inf.filename().string() + " cannot be installed:" + problems);
    }
    // Only once both read as whole INFs: a damaged second INF is named as such, not through
    // the files the first one names.
    for (const auto& inf : infs) {
        const std::u16string path = text::from_utf8(inf.string());
        auto missing = user::inf_missing_files(path);
        if (!missing.empty())
            throw MachineError(inf.filename().string() + " installs " + join(missing) + ", not found in " +
                               folder.string() + " (build the driver package first)");
        for (const auto& copied : user::inf_copied_files(path)) {
            const std::string name = text::to_utf8(copied.name);
            auto kind = image_kind_of_name(name);
            if (!kind) continue;
            if (auto problem = image_problem(copied.source, *kind))
                throw MachineError(copied.source.string() + " (named on " + inf.filename().string() + " line " +
                                   std::to_string(copied.line) + "): " + *problem);
        }
    }
    std::string report;
    for (const auto& inf : infs) {
        std::u16string path = text::from_utf8(inf.string());
        WCHAR stored[MAX_PATH];
        if (!SetupCopyOEMInfW(path.c_str(), nullptr, SPOST_PATH, 0, stored, MAX_PATH, nullptr, nullptr))
            throw MachineError("cannot copy " + inf.filename().string() + " into the INF store (" +
                               windows_error_text(GetLastError()) + "): " + user::last_installation_error());
        report += inf.filename().string() + ": " + text::to_utf8(stored) + "\n";
        for (const auto& id : user::inf_hardware_ids(path)) {
            BOOL reboot = FALSE;
            if (UpdateDriverForPlugAndPlayDevicesW(nullptr, id.c_str(), path.c_str(), 0, &reboot)) {
                report += "  installed on the devices of " + text::to_utf8(id) + "\n";
                continue;
            }
            DWORD failure = GetLastError();
            if (failure == ERROR_NO_SUCH_DEVINST) continue; // installed when such a device arrives
            std::string why = user::last_installation_error();
            throw MachineError("installing " + inf.filename().string() + " for " + text::to_utf8(id) + " failed (" +
                               windows_error_text(failure) + ")" + (why.empty() ? "" : ": " + why));
        }
    }
    return report;
}

} // namespace hvsim
