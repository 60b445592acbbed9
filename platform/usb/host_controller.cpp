// The host controller: plugged devices, the queues of their endpoints, and the lanes (the threads
// that run transfers against the device models and complete them at DISPATCH_LEVEL: one shared by
// the paced devices, one for each unpaced device).
#include "usb_internal.h"

#include <hvsim/format.h>
#include <hvsim/kernel.h>
#include <hvsim/pnp.h>
#include <hvsim/registry.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

namespace hvsim::usb::detail {
namespace {

std::u16string string_descriptor(devices::UsbDeviceModel& model, const std::vector<uint8_t>& device, size_t field) {
    UCHAR index = device.size() > field ? device[field] : 0;
    const auto& strings = model.descriptors().strings;
    if (!index || index >= strings.size() || strings[index].size() < 2) return {};
    const auto& d = strings[index];
    std::u16string text;
    for (size_t i = 2; i + 1 < d.size() && i < d[0]; i += 2) text.push_back((char16_t)(d[i] | d[i + 1] << 8));
    return text;
}

// Pipe and port operations, which do not wait in an endpoint's queue.
bool is_admin(Op op) {
    return op == Op::abort_pipe || op == Op::reset_pipe || op == Op::clear_stall || op == Op::reset_port ||
           op == Op::frame_number;
}

// May the controller complete this transfer's IRP? Not while a cancel routine that took the IRP
// has yet to say so: it still touches the IRP.
bool can_finish(Transfer& t) {
    if (t.cancel_seen) return true;
    if (IoSetCancelRoutine(t.irp, nullptr)) return true;
    if (t.irp->Cancel) {
        t.cancelled = true;
        return false;
    }
    return true; // no routine was ever set
}

// Takes the transfer out of the tables and fills its URB and IRP. Needs the lock.
void finish(State& s, Transfer& t, USBD_STATUS status, std::vector<Finished>& done) {
    if (status == USBD_STATUS_CANCELED) ++s.cancelled;
    ++s.completed;
    NTSTATUS irp_status = irp_status_of(status);
    finish_urb(t, status);
    log_completion(t, status, irp_status);
    t.irp->IoStatus.Status = irp_status;
    t.irp->IoStatus.Information = 0;
    done.push_back({t.irp});
    Device& d = *t.device;
    // A transfer error on a bulk pipe halts the endpoint, as the host controller does, until the
    // client resets the pipe.
    if (t.op == Op::bulk && t.pipe && d.present && ((ULONG)status & 0xFFFFFF00u) == 0xC0000000u)
        d.halted[t.pipe->endpoint.address] = true;
    if (is_admin(t.op)) {
        d.admin.erase(std::remove(d.admin.begin(), d.admin.end(), &t), d.admin.end());
    } else if (auto q = d.queues.find(t.queue); q != d.queues.end()) {
        q->second.erase(std::remove(q->second.begin(), q->second.end(), &t), q->second.end());
        if (q->second.empty()) d.queues.erase(q);
    }
    s.transfers.erase(t.irp); // frees t
}

// The status a transfer ends with before (or without) running: a failure decided at submission,
// a cancel, or its device gone. A transfer that already ran keeps its own result.
std::optional<USBD_STATUS> early_status(const Transfer& t) {
    if (t.performed) return t.result;
    if (t.preset_status) return t.preset_status;
    if (t.cancelled) return USBD_STATUS_CANCELED;
    if (!t.device->present) return USBD_STATUS_DEVICE_GONE;
    return std::nullopt;
}

// Ends a transfer early when early_status says so; false when it still runs or waits for the
// cancel routine that took its IRP.
bool end_early(State& s, Transfer& t, bool head, int64_t now, std::vector<Finished>& done) {
    auto status = early_status(t);
    if (!status || !can_finish(t)) return false;
    if (head && t.polled && !t.performed && t.device->present) t.device->model->cancel(t.pipe->endpoint.address, now);
    finish(s, t, *status, done);
    return true;
}

// Runs a transfer whose turn it is; true when it was finished.
bool run_transfer(State& s, std::unique_lock<std::mutex>& lock, Transfer& t, int64_t now, int64_t& deadline,
                  std::vector<Finished>& done) {
    if (early_status(t)) return end_early(s, t, true, now, done);
    if (t.not_before > now) {
        deadline = std::min(deadline, t.not_before);
        return false;
    }
    if (t.hold) return false;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    if (!perform(t, lock, now, &status)) return false; // waits for data or room
    t.performed = true;
    t.result = status;
    if (!can_finish(t)) return false;
    finish(s, t, status, done);
    return true;
}

void end_with_status(Transfer& t, USBD_STATUS status) {
    if (!t.preset_status) t.preset_status = status;
}

// Lists a lane keeps from pass to pass, so that a pass allocates nothing once they have grown.
struct Scratch {
    std::vector<Transfer*> admin, behind;
    std::vector<int> queues;
    std::vector<Finished> done;
    std::vector<std::shared_ptr<Device>> work;
};

// One pass over a device's work; returns the earliest time it wants to run again.
int64_t run_device(State& s, std::unique_lock<std::mutex>& lock, Device& d, int64_t now, Scratch& scratch) {
    int64_t deadline = devices::kNever;
    auto& [admin, behind, queues, done, work] = scratch;
    if (d.present && d.model->next_deadline() <= now) {
        // The model's own work, as its bulk calls: without the stack's lock on a lane of its own.
        const std::shared_ptr<devices::UsbDeviceModel> model = d.model;
        if (owns_lane(d)) lock.unlock();
        model->advance(now);
        if (!lock.owns_lock()) lock.lock();
    }

    // Pipe and port operations first: an abort must not wait behind the transfers it aborts.
    admin.assign(d.admin.begin(), d.admin.end());
    for (Transfer* t : admin) {
        if (t->op == Op::abort_pipe && !early_status(*t) && t->not_before <= now && !t->hold) {
            bool busy = false;
            for (auto& [queue, list] : d.queues)
                for (Transfer* victim : list)
                    if (victim->pipe == t->pipe && victim->serial < t->serial) {
                        victim->cancelled = true;
                        busy = true;
                    }
            if (busy) continue; // finishes once the aborted transfers are gone
        }
        run_transfer(s, lock, *t, now, deadline, done);
    }

    queues.clear();
    for (auto& [queue, list] : d.queues) queues.push_back(queue);
    for (int queue : queues) {
        for (;;) {
            auto q = d.queues.find(queue);
            if (q == d.queues.end()) break;
            // Transfers behind the head that end early do so at once (a copy of the list, since
            // ending one takes it out of the queue).
            if (std::any_of(q->second.begin() + 1, q->second.end(), [](Transfer* t) { return early_status(*t); })) {
                behind.assign(q->second.begin() + 1, q->second.end());
                for (Transfer* t : behind)
                    if (early_status(*t)) end_early(s, *t, false, now, done);
                q = d.queues.find(queue);
                if (q == d.queues.end()) break;
            }
            if (!run_transfer(s, lock, *q->second.front(), now, deadline, done)) break;
        }
    }
    if (d.present) deadline = std::min(deadline, d.model->next_deadline());
    return deadline;
}

void complete_all(Lane& lane, const std::vector<Finished>& done) {
    if (done.empty()) return;
    State& s = state();
    {
        std::lock_guard lock(s.mutex);
        ++lane.batches_begun;
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (const Finished& f : done) IoCompleteRequest(f.irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
    {
        std::lock_guard lock(s.mutex);
        lane.batches_ended = lane.batches_begun;
    }
    s.batch_ended.notify_all();
}

thread_local const Lane* t_lane = nullptr; // the lane the calling thread runs, if any
// A model's change seen by its own lane during a pass: it only needs another pass, not a
// wake-up through the scheduler.
thread_local bool t_changed = false;

// A lane runs the plugged devices given to it, and devices that were there and whose last
// transfers still have to end.
void lane_thread(Lane& lane) {
    State& s = state();
    t_lane = &lane;
    Scratch scratch;
    for (;;) {
        scratch.done.clear();
        int64_t deadline = devices::kNever;
        {
            std::unique_lock lock(s.mutex);
            if (s.stopping) break;
            const int64_t now = sched::now();
            // The plugged device runs even without transfers: its model may have time to catch up.
            auto& work = scratch.work;
            for (auto& [port, device] : s.devices)
                if (device->lane.get() == &lane) work.push_back(device);
            for (auto& device : lane.busy)
                if (std::find(work.begin(), work.end(), device) == work.end()) work.push_back(device);
            for (auto& device : work) {
                // Cleared before the pass, so that a change during it asks for another.
                if (!device->touched->exchange(false) && device->next_pass > now) {
                    deadline = std::min(deadline, device->next_pass);
                    continue;
                }
                const size_t finished = scratch.done.size();
                device->next_pass = run_device(s, lock, *device, now, scratch);
                // What ended may let what waits behind it (an abort, the next in its queue) go.
                if (scratch.done.size() != finished) device->next_pass = now;
                deadline = std::min(deadline, device->next_pass);
            }
            std::erase_if(lane.busy,
                          [](const auto& device) { return device->queues.empty() && device->admin.empty(); });
            work.clear();
        }
        complete_all(lane, scratch.done);
        // Completions may have brought new work, and a model's change during the pass may have
        // made a transfer that the pass had already looked at ready.
        if (!scratch.done.empty() || std::exchange(t_changed, false)) continue;
        if (deadline == devices::kNever)
            lane.wake.wait();
        else
            lane.wake.wait(deadline);
    }
}

void start_lane(Lane& lane) {
    Lane* raw = &lane;
    lane.thread = sched::start_thread(lane.port ? "usb port " + std::to_string(lane.port) : "usb host controller",
                                      [raw] { lane_thread(*raw); });
}

// The lane of a port (0 for the shared one), made at its first use and running while the
// controller runs. Needs the lock.
std::shared_ptr<Lane> lane_of(State& s, ULONG port) {
    auto& lane = s.lanes[port];
    if (!lane) {
        lane = std::make_shared<Lane>();
        lane->port = port;
        if (s.running) start_lane(*lane);
    }
    return lane;
}

void usb_boot(const KernelOptions&) { start_controller(); }
void usb_shutdown() { stop_controller(); }

[[maybe_unused]] const bool g_registered = [] {
    ldr::register_builtin_driver(kHostService, host_driver_entry);
    ldr::register_builtin_driver(kCompositeService, composite_driver_entry);
    // Boots before the PnP manager and shuts down after it, so that removals still complete.
    register_kernel_subsystem({"usb", 50, usb_boot, usb_shutdown});
    return true;
}();

} // namespace

State& state() {
    static State* s = new State;
    return *s;
}

void wake_all_lanes() {
    State& s = state();
    std::vector<std::shared_ptr<Lane>> lanes;
    {
        std::lock_guard lock(s.mutex);
        for (auto& [port, device] : s.devices) device->touched->store(true);
        for (auto& [port, lane] : s.lanes) {
            for (auto& device : lane->busy) device->touched->store(true);
            lanes.push_back(lane);
        }
    }
    for (auto& lane : lanes) lane->wake.set();
}

void touch(Device& device) {
    device.touched->store(true);
    if (device.lane) device.lane->wake.set();
}

size_t Device::interfaces_count() const {
    size_t count = 0;
    for (size_t i = 0; i < interfaces.size(); ++i)
        if (interfaces[i].alternate == 0) ++count;
    return count;
}

Pipe* Device::pipe_of(PVOID handle, int interface) const {
    for (Pipe* p : current_pipes)
        if (p == handle && (interface < 0 || p->interface == interface)) return p;
    return nullptr;
}

void start_controller() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (s.running) return;
    s.stopping = false;
    s.running = true;
    for (auto& [port, lane] : s.lanes)
        if (!lane->thread.joinable()) start_lane(*lane);
}

void stop_controller() {
    State& s = state();
    std::vector<std::shared_ptr<Lane>> lanes;
    {
        std::lock_guard lock(s.mutex);
        if (!s.running) return;
        s.stopping = true;
        for (auto& [port, lane] : s.lanes) lanes.push_back(std::move(lane));
        s.lanes.clear();
    }
    for (auto& lane : lanes) {
        lane->wake.set();
        sched::join(lane->thread);
    }
    std::lock_guard lock(s.mutex);
    // Devices and their lanes hold each other until here.
    for (auto& lane : lanes) lane->busy.clear();
    s.running = false;
    // Whatever is left belonged to drivers that are gone with the kernel.
    s.transfers.clear();
    for (auto& [port, device] : s.devices) device->model->set_change_callback(nullptr);
    s.devices.clear();
    s.host_pdo = s.host_fdo = nullptr;
    s.log.clear();
    s.first_serial = s.next_serial = 1;
    s.rules.clear();
    s.injected = s.completed = s.cancelled = 0;
}

// ---- Submission --------------------------------------------------------------------------------

namespace {

void cancel_routine(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    State& s = state();
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(s.mutex);
        if (auto it = s.transfers.find(irp); it != s.transfers.end()) {
            it->second->cancelled = true;
            it->second->cancel_seen = true;
            device = it->second->device;
        }
    }
    if (device) touch(*device);
}

} // namespace

NTSTATUS submit(const std::shared_ptr<Device>& device, int interface, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    State& s = state();
    auto transfer = std::make_unique<Transfer>();
    Transfer& t = *transfer;
    t.irp = irp;
    t.device = device;
    t.interface = interface;

    if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
        auto* flags = (PULONG)stack->Parameters.Others.Argument1;
        if (!flags) return complete_irp(irp, STATUS_INVALID_PARAMETER);
        bool present;
        {
            std::lock_guard lock(s.mutex);
            present = device->present;
        }
        *flags = present ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
        return complete_irp(irp, STATUS_SUCCESS);
    }
    if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
        t.op = Op::reset_port;
    } else if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        t.urb = (PURB)stack->Parameters.Others.Argument1;
        if (!t.urb) return complete_irp(irp, STATUS_INVALID_PARAMETER);
    } else {
        return complete_irp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }

    {
        std::lock_guard lock(s.mutex);
        if (t.urb) {
            USBD_STATUS status = prepare(t);
            if (status) end_with_status(t, status);
        }
        if (!device->present) end_with_status(t, USBD_STATUS_DEVICE_GONE);
        log_submission(t);
        if (!t.preset_status) apply_faults(t, sched::now());
        IoMarkIrpPending(irp);
        if (device->lane) {
            auto& busy = device->lane->busy;
            if (std::find(busy.begin(), busy.end(), device) == busy.end()) busy.push_back(device);
        }
        Transfer* raw = transfer.get();
        s.transfers[irp] = std::move(transfer);
        if (is_admin(raw->op))
            device->admin.push_back(raw);
        else
            device->queues[raw->queue].push_back(raw);
        IoSetCancelRoutine(irp, cancel_routine);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
            raw->cancelled = true;
            raw->cancel_seen = true; // nobody else will run the routine
        }
    }
    touch(*device); // its lane is set at the plug, before anyone could submit
    return STATUS_PENDING;
}

void wait_for_completions() {
    State& s = state();
    std::unique_lock lock(s.mutex);
    // A lane's own completion routines are not waited for by the lane.
    if (!s.running || t_lane) return;
    std::vector<std::pair<const Lane*, uint64_t>> targets;
    for (auto& [port, lane] : s.lanes) targets.emplace_back(lane.get(), lane->batches_begun);
    s.batch_ended.wait(lock, [&] {
        for (auto [lane, target] : targets)
            if (lane->batches_ended < target) return false;
        return true;
    });
}

void fail_transfers(Device& device, int interface, USBD_STATUS status) {
    auto mark = [&](Transfer* t) {
        if (interface < 0 || t->interface == interface) end_with_status(*t, status);
    };
    for (Transfer* t : device.admin) mark(t);
    for (auto& [queue, list] : device.queues)
        for (Transfer* t : list) mark(t);
    touch(device);
}

void unconfigure(Device& device) {
    device.configuration_value = 0;
    device.current_pipes.clear();
    device.current_interfaces.clear();
    device.configuration_handle = nullptr;
    device.halted.clear();
}

USBD_STATUS configure_whole_device(Device& device) {
    if (!device.present) return USBD_STATUS_DEVICE_GONE;
    if (device.configuration.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    UCHAR value = device.configuration[5];
    devices::SetupPacket setup;
    setup.request = USB_REQUEST_SET_CONFIGURATION;
    setup.value = value;
    auto result = device.model->control(setup, {}, sched::now());
    if (result.status != devices::UsbStatus::ok) return USBD_STATUS_STALL_PID;
    unconfigure(device);
    device.configuration_value = value;
    device.configuration_handle = &device.configuration_value;
    for (const InterfaceDesc& i : device.interfaces) {
        if (i.alternate != 0) continue;
        device.all_interfaces.push_back({i.number, 0});
        device.current_interfaces.push_back(&device.all_interfaces.back());
        for (const EndpointDesc& e : i.endpoints) {
            device.all_pipes.push_back({i.number, 0, e});
            device.current_pipes.push_back(&device.all_pipes.back());
        }
    }
    return USBD_STATUS_SUCCESS;
}

} // namespace hvsim::usb::detail

namespace hvsim::usb {

using namespace detail;

void install_host_controller() {
    bool present = false;
    for (pnp::DevInst node : pnp::all_nodes())
        if (auto info = pnp::node_info(node))
            for (const auto& id : info->hardware_ids)
                if (text::to_utf8(id) == text::to_utf8(kHostHardwareId)) present = true;
    if (!present) {
        pnp::RootDeviceSpec spec;
        spec.hardware_id = kHostHardwareId;
        spec.service = kHostService;
        spec.class_guid = GUID{0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
        spec.description = u"USB Host Controller and Root Hub";
        std::u16string id;
        if (NT_SUCCESS(pnp::create_root_device(spec, &id)))
            registry::set_string(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + id, u"Class", u"USB");
    }
    pnp::wait_quiet();
}

ULONG plug(std::shared_ptr<devices::UsbDeviceModel> model, std::string label) {
    if (!model) return 0;
    State& s = state();
    auto device = std::make_shared<Device>();
    device->model = model;
    device->label = std::move(label);
    const auto& descriptors = model->descriptors();
    device->device_descriptor = descriptors.device;
    device->configuration = descriptors.configuration;
    if (device->device_descriptor.size() < sizeof(USB_DEVICE_DESCRIPTOR)) return 0;
    USB_DEVICE_DESCRIPTOR dd;
    std::memcpy(&dd, device->device_descriptor.data(), sizeof dd);
    device->vendor_id = dd.idVendor;
    device->product_id = dd.idProduct;
    device->bcd_device = dd.bcdDevice;
    device->device_class = dd.bDeviceClass;
    device->device_subclass = dd.bDeviceSubClass;
    device->device_protocol = dd.bDeviceProtocol;
    device->interfaces = parse_configuration(device->configuration);
    device->serial =
        string_descriptor(*model, device->device_descriptor, offsetof(USB_DEVICE_DESCRIPTOR, iSerialNumber));
    device->product = string_descriptor(*model, device->device_descriptor, offsetof(USB_DEVICE_DESCRIPTOR, iProduct));
    {
        std::lock_guard lock(s.mutex);
        ULONG port = 1;
        while (port <= kRootHubPorts && s.devices.count(port)) ++port;
        if (port > kRootHubPorts) return 0;
        device->port = port;
        // A serial number names the device only while no other device of its kind has it.
        device->unique_serial = !device->serial.empty();
        for (auto& [p, other] : s.devices)
            if (other->vendor_id == device->vendor_id && other->product_id == device->product_id &&
                other->serial == device->serial)
                device->unique_serial = false;
        // A model that keeps machine time shares the one lane of such devices, so that one
        // wake-up serves all their deadlines; one that moves data as fast as the host runs gets
        // a lane of its own, so that such devices work side by side.
        device->lane = lane_of(s, model->paced() ? 0 : port);
        // The model may call back from any thread, also from inside a call into another model.
        model->set_change_callback([lane = device->lane, touched = device->touched] {
            touched->store(true);
            if (t_lane == lane.get())
                t_changed = true;
            else
                lane->wake.set();
        });
        s.devices[port] = device;
    }
    DbgPrint("USB: port %u: device %04X:%04X plugged%s%s\n", (unsigned)device->port, device->vendor_id,
             device->product_id, device->label.empty() ? "" : " - ", device->label.c_str());
    invalidate_hub();
    device->lane->wake.set();
    return device->port;
}

bool unplug(ULONG port) {
    State& s = state();
    std::shared_ptr<Lane> lane;
    {
        std::lock_guard lock(s.mutex);
        auto it = s.devices.find(port);
        if (it == s.devices.end() || !it->second->present) return false;
        Device& d = *it->second;
        lane = d.lane;
        d.present = false;
        d.model->set_change_callback(nullptr);
        unconfigure(d);
        fail_transfers(d, -1, USBD_STATUS_DEVICE_GONE);
        // A PDO that was never reported has nobody to remove it.
        if (!d.pdo) s.devices.erase(it);
    }
    DbgPrint("USB: port %u: device unplugged\n", (unsigned)port);
    invalidate_hub();
    if (lane) lane->wake.set();
    return true;
}

std::vector<DeviceInfo> devices() {
    State& s = state();
    std::vector<DeviceInfo> out;
    std::vector<std::pair<PDEVICE_OBJECT, std::vector<PDEVICE_OBJECT>>> objects;
    {
        std::lock_guard lock(s.mutex);
        for (auto& [port, d] : s.devices) {
            if (!d->present) continue;
            DeviceInfo info;
            info.port = port;
            info.label = d->label;
            info.vendor_id = d->vendor_id;
            info.product_id = d->product_id;
            info.bcd_device = d->bcd_device;
            info.serial = d->serial;
            info.configured = d->configuration_value != 0;
            std::vector<PDEVICE_OBJECT> children;
            for (const InterfaceDesc& i : d->interfaces)
                if (i.alternate == 0) {
                    info.interfaces.push_back({i.number, u""});
                    auto child = d->child_pdos.find(i.number);
                    children.push_back(child == d->child_pdos.end() ? nullptr : child->second);
                }
            objects.emplace_back(d->pdo, children);
            out.push_back(std::move(info));
        }
    }
    // The PnP manager names the nodes; it is asked without the stack's lock.
    auto instance_of = [](PDEVICE_OBJECT pdo) -> std::u16string {
        if (!pdo) return {};
        auto node = pnp::node_info(pnp::node_of_pdo(pdo));
        return node ? node->instance_id : std::u16string();
    };
    for (size_t k = 0; k < out.size(); ++k) {
        out[k].instance_id = instance_of(objects[k].first);
        for (size_t i = 0; i < out[k].interfaces.size(); ++i)
            out[k].interfaces[i].instance_id = instance_of(objects[k].second[i]);
    }
    return out;
}

Counters counters() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return {s.transfers.size(), s.completed, s.cancelled};
}

void fail_device_power(ULONG port, LONG status, ULONG count) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (auto it = s.devices.find(port); it != s.devices.end()) {
        it->second->power_failures = count;
        it->second->power_failure_status = status;
    }
}

} // namespace hvsim::usb
