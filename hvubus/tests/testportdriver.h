// A small port driver for the bus driver's tests: a plain WDM function driver built into the test
// program, bound to the bus driver's port children. It asks for the port's interface record with
// the internal control codes, as the real port driver does, fills in its callbacks and lets the
// tests call the record's operations. What the bus driver calls back lands in a sink the tests read.
#pragma once

#include <hvsim/sched.h>
#include <wdm.h>

#include <pmbuffer.h>
#include <hviserial.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace porttest {

inline constexpr char16_t kService[] = u"HvPortTest";

// Registers the built-in driver under kService (once per process).
void register_driver();

// A lock the machine's scheduler sees: a thread waiting on it counts as blocked.
class SchedLock {
public:
    void lock();
    void unlock();

private:
    std::mutex mutex_;
    hvsim::sched::ConditionVariable free_;
    bool held_ = false;
};

// What the bus driver called back, in order.
struct Sink {
    std::mutex mutex;
    hvsim::sched::ConditionVariable changed;

    std::string received;          // every data byte m_Read delivered
    size_t consumed = 0;           // of received, taken by the reader
    size_t capacity = 1 << 20;     // of the receive queue: received - consumed never exceeds it
    size_t overflow = 0;           // bytes refused for want of room
    ULONGLONG written = 0;         // sum of the data-written counts
    ULONGLONG credit = 0;          // transmit credit not yet used
    std::vector<std::string> calls; // "modem 1 1 0 0 1", "line ...", "written 4096", "read 12", ...
    ULONG reads = 0;
    ULONG immediate_sent = 0;
    ULONG xoff_sent = 0;
    // Flow off asked (the receive queue is nearly full): the reader drops RTS.
    bool want_flow_off = false;
    size_t flow_off_level = SIZE_MAX;
    // Counted after the record was released: must stay 0.
    std::atomic<ULONG> after_release{0};
    std::atomic<bool> released{false};

    size_t level() const { return received.size() - consumed; }
};

// The test driver's device on one port child.
struct Port {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    ISerial* record = nullptr;
    ULONG port_number = 0;
    Sink sink;
    // Held while an operation runs, and by the release: the record is never used after it.
    SchedLock operations;
    // Releases the record at removal (as the port driver does).
    bool release_on_remove = true;
    // Threads inside write(); the removal waits for them (guarded by sink.mutex).
    int writers = 0;
    std::atomic<ULONG> removals{0};
};

// The port of a test driver device.
Port* port_of(PDEVICE_OBJECT device);

// Callbacks that reached any port after its record was released (kept across removals).
std::atomic<ULONG>& callbacks_after_release();
// Records released at a removal of the test driver's device.
std::atomic<ULONG>& released_at_removal();

struct ControlResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG_PTR information = 0;
};

// Sends an internal control code to the device below the test driver's device, synchronously.
ControlResult send_internal(Port& port, ULONG code, void* input, ULONG input_length, void* output,
                            ULONG output_length);

// IOCTL_CREATE_HVISERIAL for the port number; binds the sink to the record on success.
ControlResult create_record(Port& port, ULONG port_number, bool bind = true);
// IOCTL_RELEASE_HVISERIAL; the record is forgotten.
ControlResult release_record(Port& port);

// Calls an operation of the bound record under the operations lock; FALSE without a record.
template <class Operation, class... Arguments>
BOOLEAN call(Port& port, Operation HvISerialOperations::*slot, Arguments... arguments) {
    port.operations.lock();
    BOOLEAN result = HvISerialCallOperation(port.record, slot, arguments...);
    port.operations.unlock();
    return result;
}

// Writes bytes through the record as the port driver's write queue does: a buffer of this
// program's pool, no larger than the credit the bus driver gave.
BOOLEAN write(Port& port, const std::string& bytes);

// The program's memory pool for buffers handed to the bus driver.
bool create_pool();
void destroy_pool();

} // namespace porttest
