// Device Manager's property sheet of one device, in a process of the machine (hvsim/device_manager.h).
#include <hvsim/device_manager.h>

#include <cfgmgr32.h>
#include <prsht.h>
#include <setupapi.h>

#include <hvsim/format.h>
#include <hvsim/user.h>

#include <atomic>
#include <mutex>

#include "general_page.h"
#include "serial_tools.h"

namespace hvsim {

struct DeviceProperties::State {
    std::u16string instance_id;
    std::shared_ptr<user::Process> process;
    std::atomic<HWND> sheet{nullptr};
    std::atomic<bool> sheet_over{false}; // PropertySheetW has returned
    std::atomic<bool> finished{false};   // and what follows is done
    std::atomic<bool> removed{false};
    std::mutex mutex;
    std::string failure; // why no sheet was shown
    DevicePropertiesOutcome outcome;
};

namespace {

constexpr DWORD kRemovalPollMs = 100;
// A restart passes through the stopped state; a second of it is a removal.
constexpr int kStoppedPolls = 10;

// Every window the process shows is closed as the user would close it, innermost first, so
// that a page's own dialog or sheet ends before the device's sheet does.
void cancel_windows(DWORD process_id) {
    auto windows = ui::top_level_windows(process_id);
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
        if (!IsWindowVisible(*it)) continue;
        if (ui::Sheet(*it).page_window())
            PostMessageW(*it, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
        else
            PostMessageW(*it, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
}

struct Watch {
    DeviceProperties::State* state;
    DWORD process_id;
    std::atomic<bool> stop{false};
};

// Whether the device has left the tree: gone from it (unplugged), uninstalled (its key gone), or
// removed and not started again (for a while: a restart passes through that state).
bool device_gone(const std::u16string& id, int* stopped_polls) {
    std::u16string copy = id;
    DEVINST node = 0;
    ULONG status = 0, problem = 0;
    if (CM_Locate_DevNodeW(&node, copy.data(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS ||
        CM_Get_DevNode_Status(&status, &problem, node, 0) != CR_SUCCESS)
        return true;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (u"SYSTEM\\CurrentControlSet\\Enum\\" + id).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return true;
    RegCloseKey(key);
    *stopped_polls = (status & (DN_STARTED | DN_HAS_PROBLEM)) ? 0 : *stopped_polls + 1;
    return *stopped_polls >= kStoppedPolls;
}

// Device Manager hears of a removal from Plug and Play; here it looks for the device as often.
DWORD WINAPI watch_removal(LPVOID parameter) {
    auto* watch = static_cast<Watch*>(parameter);
    int stopped_polls = 0;
    while (!watch->stop) {
        Sleep(kRemovalPollMs);
        if (!watch->stop && device_gone(watch->state->instance_id, &stopped_polls)) {
            watch->state->removed = true;
            cancel_windows(watch->process_id);
            return 0;
        }
    }
    return 0;
}

// The restart that a changed property asks for, as Device Manager does it once the sheet is
// closed; what the device's install parameters say afterwards.
void apply_property_change(HDEVINFO set, PSP_DEVINFO_DATA data, DevicePropertiesOutcome& outcome) {
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params;
    if (!SetupDiGetDeviceInstallParamsW(set, data, &params)) return;
    outcome.properties_changed = (params.Flags & DI_PROPERTIES_CHANGE) != 0;
    if (outcome.properties_changed && !outcome.device_removed) {
        SP_PROPCHANGE_PARAMS change{};
        change.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        change.StateChange = DICS_PROPCHANGE;
        change.Scope = DICS_FLAG_CONFIGSPECIFIC;
        if (SetupDiSetClassInstallParamsW(set, data, &change.ClassInstallHeader, sizeof change))
            outcome.restarted = SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, data) != FALSE;
        SetupDiSetClassInstallParamsW(set, data, nullptr, 0);
        SetupDiGetDeviceInstallParamsW(set, data, &params);
    }
    outcome.need_restart = (params.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) != 0;
}

// The Device Manager's UI thread: the set, the pages, the sheet, and what follows it.
DWORD show_properties(DeviceProperties::State& state) {
    auto fail = [&](std::string why) {
        std::lock_guard lock(state.mutex);
        state.failure = std::move(why);
        state.sheet_over = true;
        state.finished = true;
        return DWORD(1);
    };
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) return fail("no device information set could be made");
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiOpenDeviceInfoW(set, state.instance_id.c_str(), nullptr, 0, &data)) {
        SetupDiDestroyDeviceInfoList(set);
        return fail("the device " + text::to_utf8(state.instance_id) + " cannot be opened (error " +
                    std::to_string(GetLastError()) + ")");
    }

    std::u16string caption = device_property_text(set, &data, SPDRP_FRIENDLYNAME);
    if (caption.empty()) caption = device_property_text(set, &data, SPDRP_DEVICEDESC);
    if (caption.empty()) caption = u"Unknown device";
    std::vector<HPROPSHEETPAGE> pages(MAXPROPPAGES);
    PROPSHEETHEADERW header{};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_PROPTITLE | PSH_NOAPPLYNOW;
    header.pszCaption = caption.c_str();
    header.phpage = pages.data();
    if (HPROPSHEETPAGE general = create_general_page(set, &data)) pages[header.nPages++] = general;
    DWORD required = 0;
    if (!SetupDiGetClassDevPropertySheetsW(set, &data, &header, DWORD(pages.size()), &required, DIGCDP_FLAG_ADVANCED))
        OutputDebugStringA(
            ("Device Manager: the device's pages were not all had (error " + std::to_string(GetLastError()) + ")\n")
                .c_str());

    Watch watch{&state, state.process->id()};
    HANDLE watcher = CreateThread(nullptr, 0, watch_removal, &watch, 0, nullptr);
    ui::leave_next_modal_loop_to_others();
    const INT_PTR result = PropertySheetW(&header);
    watch.stop = true;
    if (watcher) {
        WaitForSingleObject(watcher, INFINITE);
        CloseHandle(watcher);
    }
    state.sheet_over = true;

    DevicePropertiesOutcome outcome;
    outcome.sheet_result = result;
    outcome.device_removed = state.removed;
    apply_property_change(set, &data, outcome);
    // Last: the providers' libraries go with the set.
    SetupDiDestroyDeviceInfoList(set);
    {
        std::lock_guard lock(state.mutex);
        state.outcome = outcome;
    }
    state.finished = true;
    return result == 1 ? 0 : 1;
}

} // namespace

DeviceProperties::DeviceProperties(Machine& machine, std::u16string_view device) : state_(std::make_shared<State>()) {
    auto instance = device_named(machine, device);
    if (!instance)
        throw MachineError("no device '" + text::to_utf8(device) +
                           "' (name one by its instance ID, as hvsim devices shows it, or by its COM name, as hvsim "
                           "ports shows it)");
    state_->instance_id = *instance;
    user::ProcessOptions options;
    options.image_path = u"C:\\Windows\\System32\\mmc.exe";
    options.command_line = u"mmc.exe devmgmt.msc";
    state_->process = user::Process::create(options);
    auto state = state_;
    state_->process->start([state] { return show_properties(*state); });
    const DWORD pid = state_->process->id();
    ui::wait_until([&] {
        if (state_->finished) return true;
        HWND sheet = ui::find_sheet({}, pid);
        if (!sheet || !ui::Sheet(sheet).page_window()) return false;
        state_->sheet = sheet;
        return true;
    });
    if (!state_->sheet && !state_->finished) {
        // Stuck before its sheet came up (a page that never returns): what is up is closed, and
        // the process is left to end on its own.
        cancel_windows(pid);
        throw MachineError("Device Manager did not show the sheet of " + text::to_utf8(state_->instance_id) +
                           " within a minute");
    }
    if (!state_->sheet) {
        std::string why;
        {
            std::lock_guard lock(state_->mutex);
            why = state_->failure.empty() ? "its property sheet could not be made" : state_->failure;
        }
        state_->process->wait();
        throw MachineError("Device Manager cannot show " + text::to_utf8(state_->instance_id) + ": " + why);
    }
}

DeviceProperties::~DeviceProperties() {
    if (!state_->sheet_over) cancel_windows(state_->process->id());
    state_->process->wait();
}

const std::u16string& DeviceProperties::instance_id() const { return state_->instance_id; }
DWORD DeviceProperties::process_id() const { return state_->process->id(); }
ui::Sheet DeviceProperties::sheet() const { return ui::Sheet(state_->sheet); }

bool DeviceProperties::wait(int64_t timeout_ticks) {
    return ui::wait_until([&] { return state_->finished.load(); }, timeout_ticks);
}

bool DeviceProperties::finished() const { return state_->finished; }

DevicePropertiesOutcome DeviceProperties::outcome() const {
    std::lock_guard lock(state_->mutex);
    return state_->outcome;
}

} // namespace hvsim
