// The platform's class installer of the Ports class: the default installation, then a COM name
// from the COM port database.
#include "internal/device_installation.h"

#include <hvsim/format.h>

#include <msports.h>

#include "internal/registry_store.h"
#include "internal/user_internal.h"

namespace hvsim::user::setup {
namespace {

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

} // namespace

DWORD ports_class_installer(DI_FUNCTION function, Element& element) {
    if (function != DIF_INSTALLDEVICE) return ERROR_DI_DO_DEFAULT;
    if (!install_driver(element) || !assign_com_name(element) || !start_device(element)) return GetLastError();
    return NO_ERROR;
}

} // namespace hvsim::user::setup
