// The class installer runner (SetupDiCallClassInstaller): the class and device co-installers, the
// class installer, then the default action of the DIF code.
#include "internal/device_installation.h"

#include <hvsim/format.h>

#include <cstring>
#include <memory>

#include "internal/registry_store.h"
#include "internal/user_internal.h"

namespace hvsim::user::setup {
namespace {

// {4D36E978-E325-11CE-BFC1-08002BE10318}
constexpr GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr std::u16string_view kCoDeviceInstallers =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\CoDeviceInstallers";

} // namespace

bool load_library_entry(const std::u16string& spec, const char* default_entry, HMODULE* module, FARPROC* routine) {
    std::u16string file = spec, entry;
    if (size_t comma = spec.find(u','); comma != std::u16string::npos) {
        file = spec.substr(0, comma);
        entry = spec.substr(comma + 1);
    }
    auto trim = [](std::u16string& s) {
        while (!s.empty() && s.front() == u' ') s.erase(s.begin());
        while (!s.empty() && s.back() == u' ') s.pop_back();
    };
    trim(file);
    trim(entry);
    *module = LoadLibraryW(file.c_str());
    *routine = nullptr;
    if (!*module) {
        debugger_output("SETUP: the installer library " + to_utf8(file) + " cannot be loaded\n");
        return false;
    }
    std::string name = entry.empty() ? std::string(default_entry) : narrow_ansi(entry);
    *routine = GetProcAddress(*module, name.c_str());
    if (!*routine) {
        debugger_output("SETUP: " + to_utf8(file) + " has no entry point " + name + "\n");
        FreeLibrary(*module);
        *module = nullptr;
        return false;
    }
    return true;
}

namespace {

// A library's entry point named "file.dll,Entry" (or the default entry).
struct Entry {
    HMODULE module = nullptr;
    FARPROC routine = nullptr;
    ~Entry() {
        if (module) FreeLibrary(module);
    }
};

template <typename Routine> Routine routine_as(FARPROC routine) {
    return reinterpret_cast<Routine>(reinterpret_cast<void (*)()>(routine));
}

std::unique_ptr<Entry> load_entry(const std::u16string& spec, const char* default_entry) {
    auto out = std::make_unique<Entry>();
    if (!load_library_entry(spec, default_entry, &out->module, &out->routine)) return nullptr;
    return out;
}

std::vector<std::u16string> coinstallers_of(const Element& element) {
    std::vector<std::u16string> out;
    if (!IsEqualGUID(element.class_guid, GUID{}))
        out = devices::read_multi(kCoDeviceInstallers, devices::guid_text(element.class_guid));
    if (std::u16string driver = driver_key_path(element.instance_id); !driver.empty())
        for (auto& spec : devices::read_multi(driver, u"CoInstallers32")) out.push_back(spec);
    return out;
}

DWORD default_action(DI_FUNCTION function, HDEVINFO handle, Element& element) {
    switch (function) {
    case DIF_REGISTER_COINSTALLERS: return register_coinstallers(element) ? NO_ERROR : GetLastError();
    case DIF_INSTALLDEVICE: return install_driver(element) && start_device(element) ? NO_ERROR : GetLastError();
    case DIF_REMOVE: return remove_device(element) ? NO_ERROR : GetLastError();
    case DIF_PROPERTYCHANGE: return change_state(element) ? NO_ERROR : GetLastError();
    default: return NO_ERROR;
    }
}

} // namespace

std::vector<std::u16string> installer_libraries(const Element& element) {
    std::vector<std::u16string> out = coinstallers_of(element);
    if (!IsEqualGUID(element.class_guid, GUID{}))
        if (auto spec = devices::read_string(
                std::u16string(kClassRoot) + u"\\" + devices::guid_text(element.class_guid), u"Installer32");
            spec && !spec->empty())
            out.push_back(*spec);
    for (auto& spec : out) {
        spec = spec.substr(0, spec.find(u','));
        while (!spec.empty() && spec.front() == u' ') spec.erase(spec.begin());
        while (!spec.empty() && spec.back() == u' ') spec.pop_back();
    }
    return out;
}

BOOL call_class_installer(DI_FUNCTION function, HDEVINFO handle, PSP_DEVINFO_DATA data) {
    auto set = lookup_set(handle);
    if (!set) return FALSE;
    std::shared_ptr<Element> element;
    if (data) {
        element = lookup_element(set, data);
        if (!element) return FALSE;
    } else if (function == DIF_INSTALLDEVICE || function == DIF_REMOVE || function == DIF_PROPERTYCHANGE ||
               function == DIF_REGISTER_COINSTALLERS) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    t_failure.clear();

    // Co-installers registered for the class, then those of the device, each called before the
    // class installer; those that ask for it are called again after it, in reverse order, with
    // the same context (its address too: a co-installer may key what it keeps on it).
    struct Called {
        std::unique_ptr<Entry> entry;
        COINSTALLER_CONTEXT_DATA context{};
    };
    std::vector<std::unique_ptr<Called>> post;
    std::vector<std::u16string> specs;
    if (element) specs = coinstallers_of(*element);
    DWORD result = NO_ERROR;
    bool aborted = false;
    for (const auto& spec : specs) {
        auto entry = load_entry(spec, "CoDeviceInstall");
        if (!entry) continue;
        auto called = std::make_unique<Called>();
        called->entry = std::move(entry);
        auto routine = routine_as<PCOINSTALLER_ROUTINE>(called->entry->routine);
        DWORD answer = routine(function, handle, data, &called->context);
        if (answer == ERROR_DI_POSTPROCESSING_REQUIRED) {
            post.push_back(std::move(called));
        } else if (answer != NO_ERROR) {
            result = answer;
            aborted = true;
            break;
        }
    }

    if (!aborted) {
        // The class installer: the one the class key names, else the platform's own for Ports.
        std::optional<std::u16string> spec;
        if (element && !IsEqualGUID(element->class_guid, GUID{}))
            spec = devices::read_string(std::u16string(kClassRoot) + u"\\" + devices::guid_text(element->class_guid),
                                        u"Installer32");
        result = ERROR_DI_DO_DEFAULT;
        if (spec && !spec->empty()) {
            if (auto entry = load_entry(*spec, "ClassInstall"))
                result = routine_as<PCLASS_INSTALLER_ROUTINE>(entry->routine)(function, handle, data);
        } else if (element && IsEqualGUID(element->class_guid, kPortsClass)) {
            result = ports_class_installer(function, *element);
        }
        if (result == ERROR_DI_DO_DEFAULT && element && !(element->install_params.Flags & DI_NODI_DEFAULTACTION))
            result = default_action(function, handle, *element);
        else if (result == ERROR_DI_DO_DEFAULT)
            result = NO_ERROR;
    }

    for (auto it = post.rbegin(); it != post.rend(); ++it) {
        Called& called = **it;
        called.context.PostProcessing = TRUE;
        called.context.InstallResult = result;
        result = routine_as<PCOINSTALLER_ROUTINE>(called.entry->routine)(function, handle, data, &called.context);
    }
    if (result == NO_ERROR) {
        set_last_error(NO_ERROR);
        return TRUE;
    }
    set_last_error(result);
    return FALSE;
}

// Installs one element with the driver selected for it.
bool install_element(HDEVINFO handle, DeviceInfoSet& set, Element& element, const SelectedDriver& driver, bool start) {
    auto inf = stored_of(driver.inf_path);
    if (!inf) return fail(ERROR_FILE_NOT_FOUND, to_utf8(driver.inf_path) + " is not in the INF store");
    auto file = load_inf(*inf);
    if (!file || !apply_class(*file, *inf, element)) return false;
    element.driver = driver;
    if (!start) element.install_params.Flags |= DI_DONOTCALLCONFIGMG;
    SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA), {}, 0, 0};
    fill_data(set, element, &data);
    debugger_output("SETUP: installing " + to_utf8(element.instance_id) + " from " + to_utf8(inf->name) + " [" +
                    to_utf8(driver.install_section) + "]\n");
    if (!call_class_installer(DIF_REGISTER_COINSTALLERS, handle, &data)) return false;
    if (!call_class_installer(DIF_INSTALLDEVICE, handle, &data)) {
        DWORD error = GetLastError();
        // A failed installation leaves the device marked for another try.
        std::u16string device = devices::device_key_path(element.instance_id);
        DWORD flags = 0;
        if (auto value = devices::read_value(device, u"ConfigFlags"); value && value->data.size() == 4)
            std::memcpy(&flags, value->data.data(), 4);
        devices::write_dword(device, u"ConfigFlags", flags | 0x40);
        devices::delete_value(device, u"Service");
        return fail(error);
    }
    return true;
}

} // namespace hvsim::user::setup

using namespace hvsim;
using namespace hvsim::user;
using namespace hvsim::user::setup;

HV_EXTERN_C_BEGIN

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    return call_class_installer(InstallFunction, DeviceInfoSet, DeviceInfoData);
}

HV_EXTERN_C_END
