// The Windows versions a machine can be: what GetVersionEx answers for each. The device tree
// and the drivers are the same on all of them.
#include "machine_internal.h"

namespace hvsim {
namespace {

constexpr DWORD kWindows9x = 1; // VER_PLATFORM_WIN32_WINDOWS
constexpr DWORD kWindowsNt = 2; // VER_PLATFORM_WIN32_NT
constexpr WORD kSuiteSingleUserTs = 0x100;
constexpr BYTE kWorkstation = 1;

// Windows 9x keeps the major and minor version in the high word of the build number.
constexpr DWORD build_9x(DWORD major, DWORD minor, DWORD build) { return (major << 24) | (minor << 16) | build; }

struct NamedVersion {
    const char* name;
    user::WindowsVersion version;
};

const NamedVersion kVersions[] = {
    {"7", {6, 1, 7601, kWindowsNt, u"Service Pack 1", 1, 0, kSuiteSingleUserTs, kWorkstation}},
    {"vista", {6, 0, 6002, kWindowsNt, u"Service Pack 2", 2, 0, kSuiteSingleUserTs, kWorkstation}},
    {"xp", {5, 1, 2600, kWindowsNt, u"Service Pack 3", 3, 0, kSuiteSingleUserTs, kWorkstation}},
    {"2000", {5, 0, 2195, kWindowsNt, u"Service Pack 4", 4, 0, 0, kWorkstation}},
    {"me", {4, 90, build_9x(4, 90, 3000), kWindows9x, u" ", 0, 0, 0, 0}},
    {"98", {4, 10, build_9x(4, 10, 2222), kWindows9x, u" A ", 0, 0, 0, 0}},
    {"95", {4, 0, build_9x(4, 0, 950), kWindows9x, u"", 0, 0, 0, 0}},
};

} // namespace

std::optional<user::WindowsVersion> windows_version_named(std::string_view name) {
    for (const auto& v : kVersions)
        if (name == v.name) return v.version;
    return std::nullopt;
}

std::string windows_version_names() {
    std::string names;
    for (const auto& v : kVersions) names += (names.empty() ? "" : ", ") + std::string(v.name);
    return names;
}

} // namespace hvsim
