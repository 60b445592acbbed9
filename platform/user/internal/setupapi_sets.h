// Device information sets and their elements, shared by the SetupAPI entry points, the class
// installer runner, newdev and the configuration manager.
#pragma once

#include <setupapi.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hvsim::user::setup {

// The driver chosen for an element from an INF.
struct SelectedDriver {
    std::u16string inf_path;        // machine path of the INF ("C:\Windows\inf\oem0.inf")
    std::u16string install_section; // the models entry's DDInstall section, undecorated
    std::u16string description;
    std::u16string manufacturer;
    std::u16string provider;
    std::u16string matching_id;
};

struct Element {
    std::u16string instance_id;
    DWORD devinst = 0;
    GUID class_guid{};
    SP_DEVINSTALL_PARAMS_W install_params{};
    std::vector<uint8_t> class_install_params; // empty: none set
    std::optional<SelectedDriver> driver;
    bool deleted = false; // taken out of the set
};

struct DeviceInfoSet {
    std::optional<GUID> class_guid;
    bool present_only = false; // made with DIGCF_PRESENT: inactive interfaces are not listed
    SP_DEVINSTALL_PARAMS_W install_params{};
    std::vector<std::shared_ptr<Element>> elements; // never shrinks: SP_DEVINFO_DATA names an index
    struct InterfaceEntry {
        GUID class_guid;
        std::u16string path;
        bool active = false;
        std::shared_ptr<Element> element;
    };
    std::vector<InterfaceEntry> interfaces;
    // Property-page provider libraries, loaded until the set is destroyed.
    std::vector<HMODULE> page_providers;
};

HDEVINFO insert_set(std::shared_ptr<DeviceInfoSet> set);
// The set behind a handle; nullptr (ERROR_INVALID_HANDLE set) when the handle is not a live set.
std::shared_ptr<DeviceInfoSet> lookup_set(HDEVINFO set);
// The element that a caller's SP_DEVINFO_DATA names; nullptr with the last error set.
std::shared_ptr<Element> lookup_element(const std::shared_ptr<DeviceInfoSet>& set, PSP_DEVINFO_DATA data);
// The same, from the set's handle.
std::shared_ptr<Element> lookup_element(HDEVINFO handle, PSP_DEVINFO_DATA data);
// Adds (or finds) the element of an instance; nullptr when the instance is unknown.
std::shared_ptr<Element> add_element(DeviceInfoSet& set, std::u16string_view instance_id);
void fill_data(const DeviceInfoSet& set, const Element& element, PSP_DEVINFO_DATA data);

// The class GUID recorded in a device key; GUID_NULL when none.
GUID class_of(std::u16string_view instance_id);
// "\Registry\Machine\SYSTEM\CurrentControlSet\Control\Class\{guid}\NNNN"; empty when none.
std::u16string driver_key_path(std::u16string_view instance_id);
// "...\Enum\<id>\Device Parameters".
std::u16string hardware_key_path(std::u16string_view instance_id);
constexpr std::u16string_view kClassRoot = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class";
constexpr std::u16string_view kServicesRoot = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";

// ---- Device installation (class_installer_runner.cpp, device_arrivals.cpp)
// --------------------------------------------

// The class installer, the co-installers and the default action of one DIF code.
BOOL call_class_installer(DI_FUNCTION function, HDEVINFO handle, PSP_DEVINFO_DATA data);
// Installs the best driver of the INF store on a node that has none and starts it.
bool install_arrived_device(DWORD devinst);
// Turns the arrival installer of the PnP manager on (the machine does at boot).
void enable_arrival_installation(bool on);
// The library files of the co-installers and the class installer that call_class_installer runs
// for the element.
std::vector<std::u16string> installer_libraries(const Element& element);
// Loads the library of an installer or provider named "file.dll,Entry" (the default entry when
// none is named) and finds its entry; false, with nothing loaded, when either is missing.
bool load_library_entry(const std::u16string& spec, const char* default_entry, HMODULE* module, FARPROC* routine);

} // namespace hvsim::user::setup
