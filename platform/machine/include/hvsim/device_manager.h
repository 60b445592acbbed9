// Device Manager of the machine: a process that shows a device's property sheet as Windows'
// Device Manager does, for tests and for `hvsim properties`.
//
// The process runs a UI thread of its own. It opens a device information set holding the device,
// asks the class installer and co-installers for pages (DIF_ADDPROPERTYPAGE_ADVANCED) and the
// EnumPropPages32 providers (SetupDiGetClassDevPropertySheetsW, DIGCDP_FLAG_ADVANCED), puts its
// read-only General page first and runs PropertySheetW(PSH_PROPTITLE | PSH_NOAPPLYNOW) with the
// device's friendly name as caption. Once the sheet has ended, a device whose pages set
// DI_PROPERTIES_CHANGE is restarted (DIF_PROPERTYCHANGE with DICS_PROPCHANGE). A device that is
// removed while its sheet is open cancels the sheet. The set, and with it every provider
// library, is destroyed last.
//
// The sheet is a modal loop of the Device Manager's thread that no scripted visitor is taken for:
// it is driven from outside through sheet() (hvsim/ui.h). Loops that its pages start (an
// Advanced sheet, a dialog) take scripted visitors as any other; a visitor that returns at once
// leaves such a loop to be driven from outside too.
#pragma once

#include <windows.h>

#include <hvsim/machine.h>
#include <hvsim/ui.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace hvsim {

// What Device Manager's sheet did.
struct DevicePropertiesOutcome {
    INT_PTR sheet_result = -1;       // PropertySheetW's result: 1 OK, 0 Cancel, -1 not shown
    bool properties_changed = false; // a page set DI_PROPERTIES_CHANGE
    bool restarted = false;          // the device was restarted for it
    bool need_restart = false;       // DI_NEEDRESTART (or DI_NEEDREBOOT) was set: the restart failed
    bool device_removed = false;     // the device went while its sheet was open, which cancelled it
};

class DeviceProperties {
public:
    // Starts a Device Manager process in the running machine that opens the properties of
    // `device` (a COM name such as "COM3", in any case, or an instance ID) and returns once its
    // sheet is shown. A MachineError names a device that the machine does not have, or says why
    // no sheet was made.
    DeviceProperties(Machine& machine, std::u16string_view device);
    // Cancels a sheet still open and waits until the process has ended.
    ~DeviceProperties();
    DeviceProperties(const DeviceProperties&) = delete;
    DeviceProperties& operator=(const DeviceProperties&) = delete;

    const std::u16string& instance_id() const;
    DWORD process_id() const;
    // The sheet, to drive and read with the window system's API; its first page is "General".
    ui::Sheet sheet() const;

    // Waits in machine time until the sheet has ended and Device Manager has done what follows
    // (the restart) and destroyed its device information set; false after the timeout.
    bool wait(int64_t timeout_ticks = 60LL * 10'000'000);
    bool finished() const;
    // Valid once finished.
    DevicePropertiesOutcome outcome() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// The General page's controls.
inline constexpr int kGeneralDescription = 1001;  // the device's description (friendly name)
inline constexpr int kGeneralType = 1002;         // "Device type:" and the class's name
inline constexpr int kGeneralManufacturer = 1003; // "Manufacturer:" and the manufacturer
inline constexpr int kGeneralLocation = 1004;     // "Location:" and the location
inline constexpr int kGeneralStatus = 1005;       // the device status, as Device Manager words it

// The device status as Device Manager's General page words it ("This device is working
// properly.", "This device is disabled. (Code 22)").
std::u16string device_status_text(std::u16string_view instance_id);

} // namespace hvsim
