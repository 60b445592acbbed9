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
#include <iosfwd>
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
    bool need_restart = false;       // DI_NEEDRESTART or DI_NEEDREBOOT, set by a page or by a failed
                                     // restart: the machine must restart
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

// `hvsim properties`: opens the device's sheet and prints it rendered, then takes the steps in
// order (as kPropertyStepsHelp says they are written), printing the sheet after each, and says
// at the end what the sheet did. A sheet the steps leave open is cancelled. A step that cannot be
// taken (a control missing, disabled or hidden) ends the steps there: false. Steps that are not
// written as kPropertyStepsHelp says are a MachineError before anything is opened.
bool run_property_steps(Machine& machine, std::u16string_view device, const std::vector<std::string>& steps,
                        std::ostream& out);
inline constexpr char kPropertyStepsHelp[] =
    "DEVICE is a COM name (COM3) or an instance ID. The sheet is drawn as text, with the listing of\n"
    "the page's controls, first and after each step.\n"
    "Steps, each one argument, taken in order on the page shown (ID is a control's number, as\n"
    "the listing after each rendering shows it):\n"
    "  page:TITLE        show the page TITLE (\"page:Port Settings\")\n"
    "  type:ID=TEXT      type TEXT into the edit field or combo box ID\n"
    "  select:ID=ITEM    pick the item ITEM of the list ID (#N: the N-th, from 0)\n"
    "  click:ID          click the button, check box or link ID\n"
    "  check:ID, uncheck:ID   set the check box ID\n"
    "  slide:ID=POS      move the slider ID to POS\n"
    "  open:ID           click the button ID that opens a sheet or dialog: the steps that follow\n"
    "                    act on it until its ok or cancel\n"
    "  answer:yes|no|ok|cancel   the answer to the next question a message box asks\n"
    "  ok, cancel        press OK or Cancel\n"
    "Message boxes are said with their answers. A sheet the steps leave open is cancelled; the\n"
    "exit status is 1 when a step could not be taken (the steps end there).\n"
    "Example: hvsim --root machine properties COM3 'page:Port Settings' type:841=9600 ok\n";

// The General page's values (each beside its label).
inline constexpr int kGeneralDescription = 1001;  // the friendly name, else the description
inline constexpr int kGeneralType = 1002;         // the setup class's name ("Ports (COM & LPT)")
inline constexpr int kGeneralManufacturer = 1003; // the manufacturer
inline constexpr int kGeneralLocation = 1004;     // the location, else "on <parent device>"
inline constexpr int kGeneralStatus = 1005;       // the device status, as Device Manager words it

// The device status as Device Manager's General page words it ("This device is working
// properly.", "This device is disabled. (Code 22)").
std::u16string device_status_text(std::u16string_view instance_id);

} // namespace hvsim
