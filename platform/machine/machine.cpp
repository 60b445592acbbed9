// The machine: its folder, boot and shutdown, installing services and root devices, and the
// logs it keeps.
#include <hvsim/machine.h>

#include <hvsim/debug_log.h>
#include <hvsim/format.h>
#include <hvsim/host_file.h>
#include <hvsim/pnp.h>
#include <hvsim/registry.h>
#include <hvsim/ui_system.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "machine_internal.h"

namespace hvsim {
namespace {

constexpr std::u16string_view kServicesKey = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";

// Only one machine can be booted in a process: there is one kernel.
bool g_machine_booted = false;

std::string narrow(std::u16string_view text) { return text::to_utf8(text); }

bool valid_service_name(const std::u16string& name) {
    return !name.empty() && name.size() <= 256 && name.find_first_of(u"\\/") == std::u16string::npos;
}

std::string status_text(NTSTATUS status) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(status));
    return buffer;
}

} // namespace

Machine::Machine(MachineOptions options) : root_(std::move(options.root)) {
    if (root_.empty()) throw MachineError("the machine needs a folder (--root DIR)");
    if (g_machine_booted) throw MachineError("a machine is already running in this process");
    std::error_code ec;
    root_ = std::filesystem::absolute(root_, ec);
    lock_ = std::make_unique<FolderLock>(root_, folder_lock_wait());
    for (const auto& dir : {drivers_directory(), inf_directory(), logs_directory()}) {
        std::filesystem::create_directories(dir, ec);
        if (ec) throw MachineError("cannot create " + dir.string() + ": " + ec.message());
    }
    // The window system's own files (its help control) belong to every machine's System32.
    ui::install_system_files(system_directory());
    MachineConfiguration configuration = read_configuration(root_ / "machine.txt");
    clock_ = options.clock.value_or(configuration.clock.value_or(ClockMode::Real));
    windows_ = options.windows.value_or(configuration.windows.value_or(windows_));
    if (!windows_version_named(windows_))
        throw MachineError("unknown Windows version '" + windows_ + "' (" + windows_version_names() + ")");

    if (options.exit_on_bug_check) {
        const std::filesystem::path logs = logs_directory();
        set_bug_check_handler([logs](ULONG, const std::string&) {
            try {
                write_logs(logs);
            } catch (const MachineError& e) {
                std::fprintf(stderr, "hvsim: %s\n", e.what());
            }
            std::fflush(stdout);
            std::fflush(stderr);
            _exit(3);
        });
    }

    // A machine starts without a medium in its drive D:.
    user::set_media_folder(std::nullopt);
    boot();
}

void Machine::boot() {
    KernelOptions kernel;
    kernel.clock = clock_;
    kernel.root = root_;
    kernel_boot(kernel);
    g_machine_booted = true;
    running_ = true;
    // From here on a failure takes the machine down again, so that no thread outlives it.
    try {
        const std::string registry_error = registry::boot_load_error();
        // The file stays as it is for the user to mend.
        if (!registry_error.empty()) throw MachineError(registry_error);
        user::set_windows_version(*windows_version_named(windows_));
        // Session Manager's work, before any driver starts: the files that were in use when the
        // last boot ended.
        boot_file_operations_ = user::carry_out_pending_file_operations();
        for (const auto& operation : boot_file_operations_)
            debugger_log_write("SMSS: " + narrow(operation.from) +
                               (operation.to.empty() ? "" : " -> " + narrow(operation.to)) + ": " + operation.result +
                               "\n");
        // The root bus enumerates the devices the registry lists and their drivers start.
        pnp::start_tree();
        pnp::wait_quiet();
        boot_usb(root_);
        // What the boot found without a driver is installed from the INF store before anyone looks.
        settle_installations();
        save_configuration();
    } catch (...) {
        stop_kernel();
        set_bug_check_handler(nullptr);
        throw;
    }
}

Machine::~Machine() {
    try {
        shutdown();
    } catch (const MachineError& e) {
        debugger_log_write(std::string("Machine: ") + e.what() + "\n");
    }
}
std::filesystem::path Machine::system_directory() const { return root_ / "C" / "Windows" / "System32"; }
std::filesystem::path Machine::drivers_directory() const { return system_directory() / "drivers"; }
std::filesystem::path Machine::inf_directory() const { return root_ / "C" / "Windows" / "inf"; }
std::filesystem::path Machine::logs_directory() const { return root_ / "logs"; }

void Machine::add_driver(const std::u16string& service, const std::filesystem::path& image) {
    if (!valid_service_name(service)) throw MachineError("invalid service name '" + narrow(service) + "'");
    std::error_code ec;
    if (!std::filesystem::is_regular_file(image, ec)) throw MachineError(image.string() + ": no such driver image");
    if (auto problem = image_problem(image, ImageKind::Driver)) throw MachineError(image.string() + ": " + *problem);

    // A new file replaces the old one under its name, so that a loaded image keeps its own.
    const std::filesystem::path target = drivers_directory() / image.filename();
    std::string why;
    if (!copy_file_atomically(image, target, &why)) throw MachineError("cannot install " + image.string() + ": " + why);

    const std::u16string key = std::u16string(kServicesKey) + service;
    const std::u16string image_path = u"\\SystemRoot\\System32\\drivers\\" + text::from_utf8(image.filename().string());
    NTSTATUS status = registry::create_key(key);
    if (NT_SUCCESS(status)) status = registry::set_string(key, u"ImagePath", image_path, 2 /* REG_EXPAND_SZ */);
    if (NT_SUCCESS(status)) status = registry::set_dword(key, u"Type", 1);
    if (NT_SUCCESS(status)) status = registry::set_dword(key, u"Start", 3);
    if (NT_SUCCESS(status)) status = registry::set_dword(key, u"ErrorControl", 1);
    if (!NT_SUCCESS(status))
        throw MachineError("cannot write the service key of " + narrow(service) + " (" + status_text(status) + ")");
}

std::u16string Machine::add_root_device(const std::u16string& hardware_id, const std::u16string& service) {
    if (hardware_id.empty() || hardware_id.find(u'\\') == std::u16string::npos)
        throw MachineError("invalid hardware ID '" + narrow(hardware_id) + "' (expected ENUMERATOR\\NAME)");
    if (!valid_service_name(service) || !registry::key_exists(std::u16string(kServicesKey) + service))
        throw MachineError("service '" + narrow(service) + "' is not installed (add-driver installs it)");
    pnp::RootDeviceSpec spec;
    spec.hardware_id = hardware_id;
    spec.service = service;
    std::u16string instance_id;
    NTSTATUS status = pnp::create_root_device(spec, &instance_id);
    if (!NT_SUCCESS(status))
        throw MachineError("cannot create a device for " + narrow(hardware_id) + " (" + status_text(status) + ")");
    pnp::wait_quiet();
    return instance_id;
}

std::string Machine::device_tree_text() const { return format_device_tree(); }

void Machine::stop_kernel() {
    kernel_shutdown();
    release_usb_devices();
    running_ = false;
    g_machine_booted = false;
}

void Machine::shutdown() {
    if (!running_) return;
    stop_kernel();
    set_bug_check_handler(nullptr);
    // Everything that can be saved is; then what could not be is the caller's error.
    std::string failed = registry::shutdown_save_error();
    for (auto save : {&Machine::save_logs, &Machine::save_configuration}) {
        try {
            (this->*save)();
        } catch (const MachineError& e) {
            failed += (failed.empty() ? "" : "; ") + std::string(e.what());
        }
    }
    lock_.reset();
    if (!failed.empty()) throw MachineError(failed);
}

void Machine::restart() {
    if (!running_) throw MachineError("the machine is not running");
    stop_kernel();
    std::string failed = registry::shutdown_save_error();
    if (!failed.empty()) {
        set_bug_check_handler(nullptr);
        lock_.reset();
        throw MachineError(failed);
    }
    save_logs();
    boot();
}

void Machine::set_media(std::optional<std::filesystem::path> folder) {
    std::error_code ec;
    if (folder && !std::filesystem::is_directory(*folder, ec))
        throw MachineError(folder->string() + ": no such folder for the medium");
    if (folder) folder = std::filesystem::absolute(*folder, ec);
    user::set_media_folder(std::move(folder));
}

void Machine::save_logs() const { write_logs(logs_directory()); }

void Machine::save_configuration() const {
    MachineConfiguration configuration;
    configuration.clock = clock_;
    configuration.windows = windows_;
    write_configuration(root_ / "machine.txt", configuration);
}

} // namespace hvsim
