// newdev's driver update (UpdateDriverForPlugAndPlayDevicesW/A): an INF copied into the store and
// installed on every present device that matches the hardware ID.
#include "internal/device_installation.h"

#include <hvsim/format.h>

#include <newdev.h>

#include <algorithm>

#include "internal/registry_store.h"
#include "internal/user_internal.h"

using namespace hvsim;
using namespace hvsim::user;
using namespace hvsim::user::setup;

namespace {

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

} // namespace

HV_EXTERN_C_BEGIN

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND, PCWSTR HardwareId, PCWSTR FullInfPath, DWORD InstallFlags,
                                               PBOOL bRebootRequired) {
    return update_driver(HardwareId ? HardwareId : u"", FullInfPath ? FullInfPath : u"", InstallFlags, bRebootRequired);
}

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND, PCSTR HardwareId, PCSTR FullInfPath, DWORD InstallFlags,
                                               PBOOL bRebootRequired) {
    return update_driver(wide(HardwareId), wide(FullInfPath), InstallFlags, bRebootRequired);
}

HV_EXTERN_C_END
