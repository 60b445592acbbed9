// USB devices of the machine: the saved ones (usb.txt, plugged at every boot) and those plugged
// and unplugged while it runs.
#include <hvsim/devices/device_description.h>
#include <hvsim/devices/emulated_device.h>
#include <hvsim/format.h>
#include <hvsim/host_file.h>
#include <hvsim/pnp.h>
#include <hvsim/sched.h>
#include <hvsim/usb.h>
#include <wdm.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "machine_internal.h"

namespace hvsim {
namespace {

constexpr const char* kUsbFile = "usb.txt";

struct Plugged {
    std::string id;
    std::string spec;
    bool saved = false;
    ULONG port = 0;
    std::shared_ptr<devices::EmulatedDevice> adapter;
};

// One machine per process, so its plugged devices live here.
struct PlugState {
    std::mutex mutex;
    std::vector<Plugged> plugged;
};

PlugState& plug_state() {
    static PlugState* s = new PlugState;
    return *s;
}

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

int id_number(const std::string& id) {
    if (id.size() < 4 || id.compare(0, 3, "usb") != 0) return -1;
    int n = 0;
    for (size_t i = 3; i < id.size(); ++i) {
        if (id[i] < '0' || id[i] > '9' || n > 100000) return -1;
        n = n * 10 + (id[i] - '0');
    }
    return n;
}

devices::DeviceSpec parse_or_throw(const std::string& text) {
    std::string error;
    auto spec = devices::parse_device_spec(text, &error);
    if (!spec) throw MachineError(error);
    return *spec;
}

void write_saved(const std::filesystem::path& file, const std::vector<std::pair<std::string, std::string>>& devices) {
    std::ostringstream out;
    out << "# USB devices plugged into the machine at boot, kept by hvsim: ID = SPEC.\n";
    for (auto& [id, spec] : devices) out << id << " = " << spec << "\n";
    std::string why;
    if (!write_file_atomically(file, out.str(), &why)) throw MachineError(why);
}

std::string next_id(const std::vector<std::string>& taken) {
    int highest = 0;
    for (auto& id : taken) highest = std::max(highest, id_number(id));
    return "usb" + std::to_string(highest + 1);
}

// Builds the adapter and plugs it into the root hub; the drivers have started on return.
Plugged plug_now(const std::string& id, const std::string& text, bool saved) {
    devices::DeviceSpec spec = parse_or_throw(text);
    devices::DeviceOptions options;
    options.log = [id](const std::string& line) { DbgPrint("USB: %s: %s\n", id.c_str(), line.c_str()); };
    options.now = sched::now();
    // A pty's name is in `hvsim ports` and the debugger log, never in a command's output data.
    options.print_pty_names = false;
    std::string error;
    std::shared_ptr<devices::EmulatedDevice> adapter = devices::EmulatedDevice::create(spec, options, &error);
    if (!adapter) throw MachineError("cannot plug " + id + " (" + text + "): " + error);
    Plugged p{id, devices::to_string(spec), saved, 0, adapter};
    // What the PnP manager has yet to do goes first: a device unplugged with files open leaves
    // once the last one closes, and until it has, it keeps its port and its serial number.
    pnp::wait_quiet();
    p.port = usb::plug(std::shared_ptr<devices::UsbDeviceModel>(adapter, &adapter->model()), id);
    if (!p.port) throw MachineError("cannot plug " + id + ": every port of the root hub is taken");
    pnp::wait_quiet();
    return p;
}

} // namespace

// ---- The saved configuration -----------------------------------------------------------------

std::vector<std::pair<std::string, std::string>> saved_usb_devices(const std::filesystem::path& root) {
    std::vector<std::pair<std::string, std::string>> out;
    const std::filesystem::path file = root / kUsbFile;
    std::ifstream in(file);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string content = trim(line);
        if (content.empty() || content[0] == '#') continue;
        const std::string where = file.string() + ":" + std::to_string(number) + ": ";
        const auto equals = content.find('=');
        if (equals == std::string::npos) throw MachineError(where + "expected 'ID = SPEC'");
        std::string id = trim(std::string_view(content).substr(0, equals));
        std::string spec = trim(std::string_view(content).substr(equals + 1));
        if (id_number(id) < 0) throw MachineError(where + "'" + id + "' is not a USB device ID (usb1, usb2...)");
        for (auto& [other, unused] : out)
            if (other == id) throw MachineError(where + id + " is listed twice");
        std::string error;
        if (!devices::parse_device_spec(spec, &error)) throw MachineError(where + error);
        out.emplace_back(std::move(id), std::move(spec));
    }
    return out;
}

std::string add_saved_usb_device(const std::filesystem::path& root, const std::string& spec) {
    devices::DeviceSpec parsed = parse_or_throw(spec);
    FolderLock lock(root, folder_lock_wait());
    auto saved = saved_usb_devices(root);
    // Every saved device is plugged in at boot, each into a port of its own.
    if (saved.size() >= usb::kRootHubPortCount)
        throw MachineError("the root hub has no free port: its " + std::to_string(usb::kRootHubPortCount) +
                           " ports are taken by " + saved.front().first + " to " + saved.back().first +
                           " (unplug one first)");
    std::vector<std::string> ids;
    for (auto& [id, unused] : saved) ids.push_back(id);
    std::string id = next_id(ids);
    saved.emplace_back(id, devices::to_string(parsed));
    write_saved(root / kUsbFile, saved);
    return id;
}

void remove_saved_usb_device(const std::filesystem::path& root, const std::string& id) {
    FolderLock lock(root, folder_lock_wait());
    auto saved = saved_usb_devices(root);
    auto it = std::find_if(saved.begin(), saved.end(), [&](auto& entry) { return entry.first == id; });
    if (it == saved.end()) throw MachineError("no USB device '" + id + "' in " + (root / kUsbFile).string());
    saved.erase(it);
    write_saved(root / kUsbFile, saved);
}

// ---- Boot and shutdown -----------------------------------------------------------------------

void boot_usb(const std::filesystem::path& root) {
    usb::install_host_controller();
    auto saved = saved_usb_devices(root);
    for (auto& [id, spec] : saved) {
        Plugged p = plug_now(id, spec, true);
        std::lock_guard lock(plug_state().mutex);
        plug_state().plugged.push_back(std::move(p));
    }
}

void release_usb_devices() {
    std::vector<Plugged> gone;
    {
        std::lock_guard lock(plug_state().mutex);
        gone.swap(plug_state().plugged);
    }
    // The kernel is down: the adapters close their far ends (ptys) now.
}

// ---- While the machine runs ------------------------------------------------------------------

std::string Machine::plug(const std::string& spec) {
    if (!running_) throw MachineError("the machine is not running");
    std::vector<std::string> ids;
    for (auto& [id, unused] : saved_usb_devices(root_)) ids.push_back(id);
    {
        std::lock_guard lock(plug_state().mutex);
        for (auto& p : plug_state().plugged) ids.push_back(p.id);
    }
    std::string id = next_id(ids);
    Plugged p = plug_now(id, spec, false);
    std::lock_guard lock(plug_state().mutex);
    plug_state().plugged.push_back(std::move(p));
    return id;
}

void Machine::unplug(const std::string& id) {
    if (!running_) throw MachineError("the machine is not running");
    ULONG port = 0;
    {
        std::lock_guard lock(plug_state().mutex);
        for (auto& p : plug_state().plugged)
            if (p.id == id) port = p.port;
    }
    if (!port) throw MachineError("no USB device '" + id + "' is plugged in");
    usb::unplug(port);
    pnp::wait_quiet();
    std::lock_guard lock(plug_state().mutex);
    auto& list = plug_state().plugged;
    list.erase(std::remove_if(list.begin(), list.end(), [&](auto& p) { return p.id == id; }), list.end());
}

std::vector<UsbDeviceInfo> Machine::usb_devices() const {
    std::vector<UsbDeviceInfo> out;
    std::vector<usb::DeviceInfo> stack = usb::devices();
    std::lock_guard lock(plug_state().mutex);
    for (auto& p : plug_state().plugged) {
        UsbDeviceInfo info;
        info.id = p.id;
        info.spec = p.spec;
        info.saved = p.saved;
        info.port = p.port;
        for (auto& d : stack)
            if (d.port == p.port) {
                info.instance_id = d.instance_id;
                for (auto& i : d.interfaces) info.interfaces.push_back(i.instance_id);
            }
        for (size_t i = 0; i < p.adapter->model().port_count(); ++i) {
            auto pty = p.adapter->pty(i);
            info.ptys.push_back(pty ? pty->slave_name() : "");
        }
        out.push_back(std::move(info));
    }
    return out;
}

std::string Machine::usb_devices_text() const {
    std::ostringstream out;
    auto devices = usb_devices();
    out << "USB devices:" << (devices.empty() ? " (none)" : "") << "\n";
    for (auto& d : devices) {
        out << "    " << d.id << " on port " << d.port << (d.saved ? "" : " (not saved)") << ": " << d.spec << "\n";
        out << "        device: " << (d.instance_id.empty() ? "(not enumerated)" : text::to_utf8(d.instance_id))
            << "\n";
        for (size_t i = 0; i < d.interfaces.size(); ++i) {
            out << "        interface " << i << ": ";
            out << (d.interfaces[i].empty() ? "(the device itself)" : text::to_utf8(d.interfaces[i]));
            if (i < d.ptys.size() && !d.ptys[i].empty()) out << ", pty " << d.ptys[i];
            out << "\n";
        }
    }
    return out.str();
}

} // namespace hvsim
