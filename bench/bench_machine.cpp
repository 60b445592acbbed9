#include "bench_machine.h"

#include <hvsim/user_hooks.h>

#include <unistd.h>

#include <atomic>

#include "../platform/machine/serial_tools.h"

namespace hvbench {

BenchMachine::BenchMachine(const std::string& name, hvsim::ClockMode clock) {
    static std::atomic<int> counter{0};
    root_ = std::filesystem::temp_directory_path() /
            ("hv-" + name + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(root_);
    hvsim::MachineOptions options;
    options.root = root_;
    options.clock = clock;
    machine_ = std::make_unique<hvsim::Machine>(options);
    machine_->install_package(hvsim::installable_package(HV_PACKAGE_DIR));
}

BenchMachine::~BenchMachine() {
    hvsim::user::current_process()->close_all_handles();
    machine_->shutdown();
    machine_.reset();
    std::error_code error;
    std::filesystem::remove_all(root_, error);
}

std::vector<std::u16string> BenchMachine::plug(const std::string& spec, std::string* id) {
    const std::string plugged = machine_->plug(spec);
    if (id) *id = plugged;
    size_t interfaces = 1;
    for (const auto& device : machine_->usb_devices())
        if (device.id == plugged && !device.interfaces.empty()) interfaces = device.interfaces.size();
    std::vector<std::u16string> names;
    for (const auto& port : hvsim::wait_for_com_ports(*machine_, plugged, interfaces)) names.push_back(port.name);
    // The installation's last steps may still run once the names are there: none of it is
    // counted in a figure.
    hvsim::user::wait_for_device_installations();
    return names;
}

void BenchMachine::unplug(const std::string& id) { machine_->unplug(id); }

HANDLE open_port(const std::u16string& name) {
    const std::u16string path = u"\\\\.\\" + name;
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
}

LONG control(HANDLE port, ULONG code, const void* input, DWORD input_length, void* output, DWORD output_length,
             ULONG_PTR* information) {
    Request request;
    DeviceIoControl(port, code, const_cast<void*>(input), input_length, output, output_length, nullptr,
                    &request.overlapped);
    request.wait();
    if (information) *information = request.information();
    return request.status();
}

bool set_up_port(HANDLE port, DWORD baud, DWORD read_total_ms, DWORD write_total_ms) {
    SERIAL_BAUD_RATE rate{baud};
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 1024, 1024};
    SERIAL_TIMEOUTS timeouts{0, 0, read_total_ms, 0, write_total_ms};
    SERIAL_QUEUE_SIZE queues{16384, 16384};
    return control(port, IOCTL_SERIAL_SET_QUEUE_SIZE, &queues, sizeof queues) == 0 &&
           control(port, IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate) == 0 &&
           control(port, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line) == 0 &&
           control(port, IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof handflow) == 0 &&
           control(port, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts) == 0;
}

double machine_seconds() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

} // namespace hvbench
