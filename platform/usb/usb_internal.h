// Shared state of the USB stack's sources: plugged devices, their configuration and pipes, the
// transfers in flight, the controller's threads, the log and the faults.
//
// One mutex guards everything here. Lanes are the controller's threads: the devices whose models
// keep machine time share one, so that one wake-up serves all their deadlines; a device whose
// model moves data as fast as the host runs gets a lane of its own, so that such devices work side
// by side. A device's own lane lets the mutex go around the bulk calls into its model (the data
// path's work), which the model locks itself; every other call into a model is made with the
// mutex held. A transfer is finished (and freed) only by its device's lane, so it outlives those
// calls. IRPs are completed with the mutex released.
#pragma once

#include <hvsim/usb.h>
#include <usbdlib.h>
#include <wdm.h>

#include <hvsim/sched.h>

#include <atomic>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace hvsim::usb::detail {

inline constexpr ULONG kRootHubPorts = kRootHubPortCount;
inline constexpr ULONG kUsbTag = 'DBSU'; // "USBD" as Windows shows tags

// ---- Descriptors ---------------------------------------------------------------------------------

struct EndpointDesc {
    UCHAR address = 0;
    UCHAR attributes = 0;
    USHORT max_packet = 0;
    UCHAR interval = 0;
};

struct InterfaceDesc {
    UCHAR number = 0;
    UCHAR alternate = 0;
    UCHAR cls = 0;
    UCHAR subclass = 0;
    UCHAR protocol = 0;
    size_t offset = 0; // of the interface descriptor in the configuration
    size_t length = 0; // up to the next interface descriptor
    std::vector<EndpointDesc> endpoints;
};

// The interfaces of a whole configuration descriptor; empty when it is malformed.
std::vector<InterfaceDesc> parse_configuration(const std::vector<uint8_t>& configuration);
// The configuration as the composite child of `interface_number` sees it: the header and that
// interface's descriptors (every alternate setting) only.
std::vector<uint8_t> child_configuration(const std::vector<uint8_t>& configuration, UCHAR interface_number);

// ---- Devices ------------------------------------------------------------------------------------

struct Pipe {
    UCHAR interface = 0;
    UCHAR alternate = 0;
    EndpointDesc endpoint;
};

struct Interface {
    UCHAR number = 0;
    UCHAR alternate = 0;
};

struct Transfer;
struct Lane;

struct Device {
    std::shared_ptr<Lane> lane; // the controller thread that runs it, from its plug on
    // Set by whatever may give the device work that its last pass did not see (a submission, a
    // cancel, a change its model reports): a lane passes over a device only when this is set or
    // the time its last pass asked for came, so that one paced adapter's deadline does not run
    // every other adapter on the shared lane. Shared with the model's change callback.
    std::shared_ptr<std::atomic<bool>> touched = std::make_shared<std::atomic<bool>>(true);
    int64_t next_pass = 0; // needs the lock
    ULONG port = 0;
    std::string label;
    std::shared_ptr<devices::UsbDeviceModel> model;
    std::vector<uint8_t> device_descriptor;
    std::vector<uint8_t> configuration; // the first configuration, whole
    std::vector<InterfaceDesc> interfaces;
    USHORT vendor_id = 0, product_id = 0, bcd_device = 0;
    UCHAR device_class = 0, device_subclass = 0, device_protocol = 0;
    std::u16string serial;
    std::u16string product;
    bool unique_serial = false;

    bool present = true; // plugged
    UCHAR configuration_value = 0;
    // Pipes and interfaces of every configuration ever selected, so that a stale handle never
    // names a new pipe; `current` are the valid ones.
    std::list<Pipe> all_pipes;
    std::list<Interface> all_interfaces;
    std::vector<Pipe*> current_pipes;
    std::vector<Interface*> current_interfaces;
    PVOID configuration_handle = nullptr;
    std::map<UCHAR, bool> halted; // by endpoint address

    // Transfers by queue: 0x100 for the default pipe, else the endpoint address.
    std::map<int, std::deque<Transfer*>> queues;
    std::deque<Transfer*> admin; // pipe and port operations, done before the queues

    PDEVICE_OBJECT pdo = nullptr;
    std::map<UCHAR, PDEVICE_OBJECT> child_pdos; // of the composite parent, by interface
    ULONG power_failures = 0;
    LONG power_failure_status = 0;

    bool composite() const { return interfaces_count() > 1; }
    size_t interfaces_count() const;
    Pipe* pipe_of(PVOID handle, int interface) const;
};

// ---- Transfers ----------------------------------------------------------------------------------

enum class Op {
    control, // a control transfer on the default pipe: through the model
    select_configuration,
    select_interface,
    bulk,
    abort_pipe,
    reset_pipe,
    clear_stall,
    frame_number,
    reset_port,
};

struct Transfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    std::shared_ptr<Device> device;
    int interface = -1;
    Op op = Op::control;
    int queue = 0x100;
    bool in = false;
    devices::SetupPacket setup;
    PUCHAR buffer = nullptr;
    ULONG length = 0;
    ULONG done = 0; // bytes moved so far
    Pipe* pipe = nullptr;
    bool polled = false; // the model has seen this IN transfer
    int64_t not_before = 0;
    bool hold = false;
    bool cancelled = false;   // asked to end with CANCELED
    bool cancel_seen = false; // the cancel routine ran and no longer touches the IRP
    LONG preset_status = 0;   // a failure decided at submission (fault or invalid request)
    bool performed = false;   // ran against the device; `result` is its status
    LONG result = 0;
    uint64_t serial = 0; // in the log
};

// A transfer ready to complete, with its URB and IRP filled in.
struct Finished {
    PIRP irp;
};

// A controller thread and the devices it runs.
struct Lane {
    ULONG port = 0; // of its one device; 0 for the lane that devices share
    sched::Event wake{sched::Event::Reset::Auto};
    // Its devices that have transfers queued: plugged ones, and those that were plugged and
    // whose last transfers still have to end. Under the lock.
    std::vector<std::shared_ptr<Device>> busy;
    std::thread thread;
    // Batches of completions this lane has begun and ended.
    uint64_t batches_begun = 0;
    uint64_t batches_ended = 0;
};

// Whether the device runs on a lane of its own (not the shared one).
inline bool owns_lane(const Device& device) { return device.lane && device.lane->port != 0; }

struct State {
    std::mutex mutex;
    // By port (0 for the shared lane), made at the first plug that needs it; shared with the
    // devices and with wake-ups that may race a shutdown.
    std::map<ULONG, std::shared_ptr<Lane>> lanes;
    bool running = false;
    bool stopping = false;

    std::map<ULONG, std::shared_ptr<Device>> devices; // by port
    std::map<PIRP, std::unique_ptr<Transfer>> transfers;
    // The root device the host controller runs on and its function device; read without the lock
    // by the dispatch routines.
    std::atomic<PDEVICE_OBJECT> host_pdo{nullptr};
    std::atomic<PDEVICE_OBJECT> host_fdo{nullptr};

    // Log
    std::deque<UrbRecord> log;
    uint64_t first_serial = 1;
    uint64_t next_serial = 1;

    // Faults
    struct Rule {
        UrbMatch match;
        UrbFault fault;
        ULONG seen = 0;
        ULONG applied = 0;
    };
    std::vector<Rule> rules;
    uint64_t injected = 0;

    uint64_t completed = 0;
    uint64_t cancelled = 0;
    sched::ConditionVariable batch_ended; // a lane ended a batch of completions
};

State& state();

// ---- The controller (host_controller.cpp) ------------------------------------------------------

void start_controller();
void stop_controller();
// Wakes every lane; the lock need not be held.
void wake_all_lanes();
// Asks the device's lane for a pass over it.
void touch(Device& device);
// Queues an IRP_MJ_INTERNAL_DEVICE_CONTROL request of a device PDO or composite child;
// returns what the dispatch routine returns.
NTSTATUS submit(const std::shared_ptr<Device>& device, int interface, PIRP irp);
// Returns once every lane has left the completion routines it was running: a client
// driver passing REMOVE down may be unloaded right after, and its code must not be running then.
void wait_for_completions();
// Ends every transfer of the device (of one composite child when interface >= 0) with the status.
void fail_transfers(Device& device, int interface, USBD_STATUS status);
// Selects the first configuration with every interface at alternate setting 0 (the composite
// parent's start). Needs the lock.
USBD_STATUS configure_whole_device(Device& device);
void unconfigure(Device& device);

// ---- URB processing (urb_requests.cpp), with the lock held ------------------------------------

// Checks an URB at submission and fills the transfer; a failure status ends it at once.
USBD_STATUS prepare(Transfer& transfer);
// Runs the transfer against the device now. Returns false while it must wait (bulk data). A bulk
// transfer's call into the model is made with `lock` released.
bool perform(Transfer& transfer, std::unique_lock<std::mutex>& lock, int64_t now, USBD_STATUS* status);
// The NTSTATUS that goes with a USBD status.
NTSTATUS irp_status_of(USBD_STATUS status);
// Writes the status and the transferred length into the URB.
void finish_urb(Transfer& transfer, USBD_STATUS status);

// ---- Log and faults (urb_log.cpp), with the lock held --------------------------------------------

void log_submission(Transfer& transfer);
void log_completion(const Transfer& transfer, USBD_STATUS status, NTSTATUS irp_status);
// A request the stack makes of a device on its own (the composite parent's configuration).
void log_own_request(const Device& device, USHORT function, USBD_STATUS status);
void apply_faults(Transfer& transfer, int64_t now);

// ---- The hub and the composite parent ------------------------------------------------------------

NTSTATUS host_driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
NTSTATUS composite_driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
// Asks the PnP manager to enumerate the root hub again.
void invalidate_hub();
// What the hub's and the composite parent's device objects share.
void install_dispatch(PDRIVER_OBJECT driver, PDRIVER_ADD_DEVICE add, PDRIVER_DISPATCH pnp, PDRIVER_DISPATCH power,
                      PDRIVER_DISPATCH internal_control, PDRIVER_DISPATCH system_control);
NTSTATUS complete_irp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
NTSTATUS keep_irp(PIRP irp); // completes with the status and information it has
NTSTATUS pass_down(PDEVICE_OBJECT lower, PIRP irp);
// Sends the IRP down and waits for it; the caller completes it.
NTSTATUS forward_and_wait(PDEVICE_OBJECT lower, PIRP irp);
NTSTATUS answer_text(PIRP irp, const std::u16string& text);
NTSTATUS answer_strings(PIRP irp, const std::vector<std::u16string>& strings);
// Relations of these objects, replacing an answer from above; a function device passes the
// IRP down, a PDO completes it.
NTSTATUS answer_relations(PIRP irp, const std::vector<PDEVICE_OBJECT>& objects, bool forward_down,
                          PDEVICE_OBJECT lower);
NTSTATUS pdo_power(Device* device, PDEVICE_OBJECT pdo, PIRP irp);
WCHAR* pool_multi_sz(const std::vector<std::u16string>& strings);
std::u16string hex4(USHORT value, bool upper = true);
std::u16string decimal(ULONG value, int width = 0); // zero-padded to width
// "USB\<prefix>_ff&SubClass_ff&Prot_ff", then without the protocol, then the class alone.
std::vector<std::u16string> class_ids(const char16_t* prefix, UCHAR cls, UCHAR subclass, UCHAR protocol);

} // namespace hvsim::usb::detail
