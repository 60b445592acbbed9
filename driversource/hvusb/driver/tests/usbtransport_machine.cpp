// The machine the transport's tests run their bus driver in.
#include "usbtransport_machine.h"

#include <pmdebugmanager.h>

#include <algorithm>
#include <cstring>

namespace usbtransporttest {

namespace {

const std::u16string kServices = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";

void write_device_registry(const std::u16string& parameters, const UsbRegistry& config) {
    using namespace hvsim::registry;
    create_key(parameters);
    // What the framework needs of a device of its own.
    set_dword(parameters, u"TypeOfDevice", 0x22);
    set_string(parameters, u"DeviceName", u"HvUsbTest");
    set_dword(parameters, u"DeviceIndexingPolicyType", 1);
    set_dword(parameters, u"LowestStackLayer", 1);
    set_dword(parameters, u"DeviceIsExclusive", 0);
    set_dword(parameters, u"IoType", 4);
    const std::u16string usb = parameters + u"\\USB";
    create_key(usb);
    for (auto& [name, value] : config.usb) set_dword(usb, name, value);
    for (auto& [number, e] : config.endpoints) {
        std::u16string key = parameters + u"\\EndPoint";
        for (char c : std::to_string(number)) key += (char16_t)c;
        create_key(key);
        std::map<std::u16string, DWORD> values = {{u"EndPointHandle", e.handle},       {u"InterfaceNumber", e.interface_number},
                                                  {u"AlternateSetting", e.alternate}, {u"EndPointAddress", e.address},
                                                  {u"EndPointType", e.type},          {u"CallbackNeeded", e.callback}};
        auto gap = config.missing.find(number);
        for (auto& [name, value] : values)
            if (gap == config.missing.end() || gap->second != name) set_dword(key, name, value);
    }
}

} // namespace

void TransportMachine::SetUp() {
    auto drivers = root() / "C" / "Windows" / "System32" / "drivers";
    std::filesystem::create_directories(drivers);
    std::filesystem::copy_file(HV_HVUSBTEST_IMAGE, drivers / kImage);
    hvsim::kernel_boot(on_virtual_clock<hvsim::KernelOptions>());
    const std::u16string key = kServices + kService;
    hvsim::registry::create_key(key);
    hvsim::registry::set_dword(key, u"Type", 1);
    hvsim::registry::set_dword(key, u"Start", 3);
    hvsim::registry::set_dword(key, u"ErrorControl", 1);
    hvsim::registry::set_string(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\hvusbtest.sys", REG_EXPAND_SZ);
    for (const GUID& guid : g_aPmTraceControlGuids)
        hvsim::trace_log::enable(guid, 0xFFFFFFFF, TRACE_LEVEL_VERBOSE, kImage);
    // The test driver drives every USB function the hub or a composite parent reports.
    hvsim::pnp::set_new_device_handler([this](hvsim::pnp::DevInst node) {
        auto info = hvsim::pnp::node_info(node);
        if (!info || info->hardware_ids.empty() || info->hardware_ids[0].rfind(u"USB\\VID_", 0) != 0) return false;
        const std::u16string device = hvsim::pnp::device_key_path(node);
        hvsim::registry::set_string(device, u"Service", kService);
        write_device_registry(device + u"\\Device Parameters", registry_);
        return true;
    });
    hvsim::pnp::start_tree();
    hvsim::usb::install_host_controller();
}

void TransportMachine::TearDown() {
    if (hvsim::kernel_running()) {
        hvsim::pnp::wait_quiet();
        hvsim::pnp::set_new_device_handler(nullptr);
        // The shutdown removes the devices and unloads the driver; pool it still held is a bug
        // check there.
        hvsim::kernel_shutdown();
    }
    adapters_.clear();
    MachineTest::TearDown();
}

PDEVICE_OBJECT TransportMachine::driver_device(ULONG port, int interface) {
    std::u16string id;
    for (auto& d : hvsim::usb::devices()) {
        if (d.port != port) continue;
        id = d.instance_id;
        for (auto& i : d.interfaces)
            if (i.number == interface) id = i.instance_id;
    }
    hvsim::pnp::DevInst node = hvsim::pnp::find_node(id);
    EXPECT_NE(node, hvsim::pnp::no_node);
    auto stack = hvsim::pnp::device_stack(node);
    PDEVICE_OBJECT top = stack.empty() ? nullptr : stack.back();
    for (PDEVICE_OBJECT o : stack) ObDereferenceObject(o);
    EXPECT_NE(top, nullptr);
    return top;
}

std::unique_ptr<HvutRequest> TransportMachine::call(PDEVICE_OBJECT device, unsigned op, unsigned a, unsigned b,
                                                    unsigned c, const std::string& data) {
    auto request = std::make_unique<HvutRequest>();
    std::memset(request.get(), 0, sizeof(HvutRequest));
    request->op = op;
    request->a = a;
    request->b = b;
    request->c = c;
    request->length = (unsigned)data.size();
    std::memcpy(request->data, data.data(), std::min(data.size(), sizeof(request->data)));
    if (op == HVUT_READ) request->length = HVUT_DATA_SIZE;
    HvutRequest* raw = request.get();
    hvsim::io::IoResult result = hvsim::io::send_and_wait(
        device,
        [raw](hvsim::io::Irp* irp, hvsim::io::StackLocation* stack) {
            stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_HVUT_REQUEST;
            stack->Parameters.DeviceIoControl.InputBufferLength = sizeof(HvutRequest);
            stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof(HvutRequest);
            irp->AssociatedIrp.SystemBuffer = raw;
        },
        STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    return request;
}

std::string TransportMachine::drain(PDEVICE_OBJECT device) {
    std::string out;
    for (;;) {
        auto r = call(device, HVUT_READ);
        out.append((const char*)r->data, r->length);
        if (r->length < HVUT_DATA_SIZE) return out;
    }
}

std::vector<hvsim::usb::UrbRecord> TransportMachine::urbs(USHORT function) {
    std::vector<hvsim::usb::UrbRecord> out;
    for (auto& r : hvsim::usb::urb_log())
        if (r.function == function) out.push_back(r);
    return out;
}

size_t TransportMachine::count_vendor(UCHAR request) {
    size_t n = 0;
    for (auto& r : urbs(URB_FUNCTION_VENDOR_INTERFACE)) n += r.request == request;
    return n;
}

size_t TransportMachine::count_resets() { return urbs(hvsim::usb::kResetPortRecord).size(); }

long TransportMachine::count_lines(const std::string& text) {
    long n = 0;
    for (auto& line : hvsim::debug_log::lines()) n += line.find(text) != std::string::npos;
    return n;
}

} // namespace usbtransporttest
