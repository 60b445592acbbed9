// The I/O manager's boot and shutdown, and the WDM version it reports.
//
//   IoIsWdmVersionAvailable
#include "io_internal.h"

namespace hvsim::io::detail {
namespace {

// Windows 7 x64.
constexpr UCHAR kWdmMajor = 6;
constexpr UCHAR kWdmMinor = 1;
std::atomic<UCHAR> g_wdm_major{kWdmMajor};
std::atomic<UCHAR> g_wdm_minor{kWdmMinor};

void boot(const KernelOptions&) {
    g_wdm_major = kWdmMajor;
    g_wdm_minor = kWdmMinor;
    reset_namespace();
    start_workers();
}

void shutdown() {
    stop_workers();
    release_quarantine();
    reset_namespace();
}

// After the object manager and the scheduler, before the PnP manager: work items and the
// namespace serve the drivers until their last device is gone.
const bool registered = [] {
    register_kernel_subsystem({"I/O manager", 0, boot, shutdown});
    return true;
}();

} // namespace
} // namespace hvsim::io::detail

namespace hvsim::io {

void set_wdm_version(UCHAR major, UCHAR minor) {
    detail::g_wdm_major = major;
    detail::g_wdm_minor = minor;
}

} // namespace hvsim::io

HV_EXTERN_C_BEGIN

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    UCHAR major = hvsim::io::detail::g_wdm_major, minor = hvsim::io::detail::g_wdm_minor;
    return MajorVersion < major || (MajorVersion == major && MinorVersion <= minor);
}

HV_EXTERN_C_END
