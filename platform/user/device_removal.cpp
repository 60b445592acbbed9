// Removal and state changes of a device: the default DIF_REMOVE and DIF_PROPERTYCHANGE
// (SetupDiRemoveDevice, SetupDiChangeState).
#include "internal/device_installation.h"

#include <hvsim/format.h>

#include <cstring>

#include "internal/registry_store.h"
#include "internal/user_internal.h"

namespace hvsim::user::setup {

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

} // namespace hvsim::user::setup

using namespace hvsim;
using namespace hvsim::user;
using namespace hvsim::user::setup;

HV_EXTERN_C_BEGIN

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
    auto element = lookup_element(DeviceInfoSet, DeviceInfoData);
    if (!element) return FALSE;
    return setup::remove_device(*element);
}

BOOL WINAPI SetupDiChangeState(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
    auto element = lookup_element(DeviceInfoSet, DeviceInfoData);
    if (!element) return FALSE;
    return setup::change_state(*element);
}

HV_EXTERN_C_END
