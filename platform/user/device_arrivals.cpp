// Devices that arrive without a driver: a worker in a service process of its own installs the
// best driver of the INF store on each.
#include "internal/device_installation.h"

#include <hvsim/format.h>

#include <hvsim/kernel.h>
#include <hvsim/sched.h>
#include <hvsim/user_hooks.h>

#include <algorithm>
#include <deque>
#include <mutex>

#include "internal/registry_store.h"
#include "internal/user_internal.h"

namespace hvsim::user::setup {
namespace {

// The best driver of the store for an instance, if any INF there names one of its IDs.
std::optional<SelectedDriver> best_store_driver(const std::u16string& instance_id) {
    std::vector<std::u16string> ids = device_ids(instance_id);
    if (ids.empty()) return std::nullopt;
    std::optional<std::pair<int, SelectedDriver>> best;
    for (const auto& inf : store_infs()) {
        auto file = InfFile::load(inf.host);
        if (!file) continue;
        auto candidate = best_model(*file, inf.machine_path, ids, nullptr);
        if (candidate && (!best || candidate->first < best->first)) best = candidate;
    }
    if (!best) return std::nullopt;
    return best->second;
}

// Installs the best driver of the store on an instance; false when none matches or it fails.
bool install_from_store(const std::u16string& instance_id, bool start) {
    auto driver = best_store_driver(instance_id);
    if (!driver) return false;
    auto set = std::make_shared<DeviceInfoSet>();
    auto element = add_element(*set, instance_id);
    if (!element) return false;
    HDEVINFO handle = insert_set(set);
    bool ok = install_element(handle, *set, *element, *driver, start);
    SetupDiDestroyDeviceInfoList(handle);
    return ok;
}

// Devices that arrive without a driver are installed by a worker of their own, as the platform's
// user-mode Plug and Play service does: the installation restarts the device, so the class
// installer has started it before the co-installers' post-pass, which cannot happen inside the
// PnP manager's own action.
struct Arrivals {
    std::mutex mutex;
    std::deque<std::u16string> pending;
    std::u16string current; // the device being installed now
    bool working = false;
    std::thread worker;
    sched::Event idle{sched::Event::Reset::Manual, true};
    // The service the worker belongs to, with the system's token, made at the first arrival.
    std::shared_ptr<Process> service;
};
Arrivals& arrivals() {
    static Arrivals* a = new Arrivals;
    return *a;
}

std::shared_ptr<Process> installation_service() {
    auto& a = arrivals();
    std::lock_guard lock(a.mutex);
    if (!a.service) {
        ProcessOptions options;
        options.image_path = u"C:\\Windows\\System32\\svchost.exe";
        options.command_line = u"C:\\Windows\\System32\\svchost.exe -k DcomLaunch";
        options.token = TokenKind::System;
        a.service = Process::create(std::move(options));
    }
    return a.service;
}

void install_arrivals() {
    auto& a = arrivals();
    ProcessScope scope(installation_service());
    for (;;) {
        std::u16string instance_id;
        {
            std::lock_guard lock(a.mutex);
            a.current.clear();
            if (a.pending.empty()) {
                a.working = false;
                a.idle.set();
                return;
            }
            instance_id = a.pending.front();
            a.pending.pop_front();
            a.current = instance_id;
        }
        install_from_store(instance_id, true);
    }
}

bool queue_arrival(const std::u16string& instance_id) {
    if (!best_store_driver(instance_id)) return false;
    auto& a = arrivals();
    std::lock_guard lock(a.mutex);
    // A device that arrives again while its installation waits or runs (its parent restarted,
    // or the installation's own restart) is installed once: that installation starts it.
    auto same = [&](const std::u16string& other) { return equal_nocase(other, instance_id); };
    if (same(a.current) || std::any_of(a.pending.begin(), a.pending.end(), same)) return false;
    a.pending.push_back(instance_id);
    if (!a.working) {
        a.working = true;
        a.idle.reset();
        if (a.worker.joinable()) sched::join(a.worker); // the last one has finished its loop
        a.worker = sched::start_thread("device installation", install_arrivals);
    }
    return false; // the node waits with problem 28 until its installation restarts it
}

} // namespace

void wait_for_arrivals() {
    auto& a = arrivals();
    for (;;) {
        a.idle.wait();
        devices::wait_quiet();
        std::lock_guard lock(a.mutex);
        if (!a.working && a.pending.empty()) {
            if (a.worker.joinable()) sched::join(a.worker);
            return;
        }
    }
}

namespace {

struct InstallationSubsystem {
    static void boot(const KernelOptions&) {
        reset_comdb_hooks();
        reset_cm_hooks();
        enable_arrival_installation(true);
    }
    static void shutdown() {
        enable_arrival_installation(false);
        wait_for_arrivals();
        std::shared_ptr<Process> service = std::move(arrivals().service);
        if (service) service->close_all_handles();
    }
};

// After user mode at boot and before it at shutdown: the installation worker runs SetupAPI in a
// service process of its own, as the system.
const bool registered = [] {
    register_kernel_subsystem(
        {"device installation", 950, InstallationSubsystem::boot, InstallationSubsystem::shutdown});
    return true;
}();

} // namespace

bool install_arrived_device(DWORD devinst) {
    auto device = devices::device_of(devinst);
    if (!device) return false;
    return install_from_store(device->instance_id, true);
}

void enable_arrival_installation(bool on) {
    if (!on) {
        devices::set_arrival_installer(nullptr);
        return;
    }
    devices::set_arrival_installer(queue_arrival);
}

} // namespace hvsim::user::setup

namespace hvsim::user {

void wait_for_device_installations() { setup::wait_for_arrivals(); }

} // namespace hvsim::user
