// What the files of device installation share: the INF store, the models of an INF, the sections
// that an installation applies, and why the last installation call failed.
#pragma once

#include <setupapi.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "inf_file.h"
#include "setupapi_platform.h"
#include "setupapi_sets.h"

namespace hvsim::user::setup {

using inf::equal_nocase;
using inf::InfFile;

// Why the last installation call of this thread failed (last_installation_error()).
extern thread_local std::string t_failure;
// Sets the last error, and the reason (logged) when one is given; false.
bool fail(DWORD error, std::string why = {});

std::u16string decimal(DWORD value, int width = 0);
std::u16string from_utf8(const std::string& text);
std::u16string wide(PCSTR text);
// A host file of a machine path or a host path; empty when it does not exist.
std::filesystem::path existing_file(std::u16string_view path);
std::string read_file(const std::filesystem::path& path);
// An entry of a folder matched without regard to case.
std::filesystem::path find_in(const std::filesystem::path& folder, std::u16string_view name);

// ---- The INF store (inf_store.cpp) ------------------------------------------------------------

struct StoredInf {
    std::u16string machine_path; // C:\Windows\inf\oemN.inf
    std::u16string name;         // oemN.inf
    std::filesystem::path host;
    std::filesystem::path source_folder;
};

std::filesystem::path store_folder();
std::optional<StoredInf> stored(const std::filesystem::path& host);
std::optional<StoredInf> stored_of(const std::u16string& machine_path);
std::vector<StoredInf> store_infs();
// Copies an INF into the store; the same text already there is that file again.
bool copy_oem_inf(const std::u16string& source, DWORD style, StoredInf* result);
std::optional<InfFile> load_inf(const StoredInf& inf);

// ---- Driver selection (driver_selection.cpp) --------------------------------------------------

// The sections of an INF's models for this platform, each with its DDInstall section and IDs.
struct Model {
    std::u16string description;
    std::u16string install_section;
    std::vector<std::u16string> ids;
    std::u16string manufacturer;
};

// The models section of a [Manufacturer] line for this platform.
std::u16string models_section(const InfFile& file, const inf::Line& line);
std::vector<Model> models_of(const InfFile& file);
// The section with this platform's decoration, when the file has one.
std::u16string decorated(const InfFile& file, const std::u16string& section);
// The best model of an INF for a device, with its rank (the lower, the better).
std::optional<std::pair<int, SelectedDriver>> best_model(const InfFile& file, const std::u16string& machine_path,
                                                         const std::vector<std::u16string>& device_ids,
                                                         const std::u16string* only_id);
// The hardware IDs, then the compatible IDs, of an instance.
std::vector<std::u16string> device_ids(const std::u16string& instance_id);

// ---- Installing an INF's sections (section_installation.cpp) ----------------------------------

struct Installer {
    const InfFile& file;
    const StoredInf& inf;

    // A registry root of an AddReg line; `hkr` is what HKR means in this section.
    static std::optional<std::u16string> root(const std::u16string& name, const std::u16string& hkr);
    bool add_reg_line(const inf::Line& line, const std::u16string& hkr) const;
    bool add_reg(const std::u16string& section, const std::u16string& hkr) const;
    std::u16string destination(const std::u16string& section) const;
    bool copy_one(const std::u16string& target_name, const std::u16string& source_name,
                  const std::u16string& folder) const;
    bool copy_files(const std::u16string& section) const;
    // AddService lines; the associated service (flag 2) is returned.
    bool add_services(const std::u16string& section, std::u16string* associated) const;
};

// The class the INF names, written into the device key; the class key is made when missing.
bool apply_class(const InfFile& file, const StoredInf& inf, Element& element);
// The default action of DIF_REGISTER_COINSTALLERS: the .CoInstallers section.
bool register_coinstallers(Element& element);
// The device part of the default DIF_INSTALLDEVICE: files, services and registry.
bool install_driver(Element& element);
// Starts (or restarts) the device so that the PnP manager loads the driver just installed.
bool start_device(Element& element);

// ---- The platform's Ports class installer (ports_class_installer.cpp) -------------------------

DWORD ports_class_installer(DI_FUNCTION function, Element& element);

// ---- Removal and state changes (device_removal.cpp) -------------------------------------------

bool remove_device(Element& element);
bool change_state(Element& element);

// ---- The class installer runner (class_installer_runner.cpp) ----------------------------------

// Installs one element with the driver selected for it.
bool install_element(HDEVINFO handle, DeviceInfoSet& set, Element& element, const SelectedDriver& driver, bool start);

// ---- Arrivals (device_arrivals.cpp) -----------------------------------------------------------

// Returns once no installation of an arrived device waits or runs.
void wait_for_arrivals();

} // namespace hvsim::user::setup
