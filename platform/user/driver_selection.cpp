// Driver selection: the models of an INF for this platform, and the best of them for a device.
#include "internal/device_installation.h"

#include <hvsim/format.h>

#include <algorithm>

#include "internal/registry_store.h"
#include "internal/user_internal.h"

namespace hvsim::user::setup {
namespace {

// A device with several interfaces belongs to the built-in composite parent, which reports one
// child per interface ("&MI_nn"): a package binds those children, never the whole device, even
// where an INF also lists the device's own ID.
bool owned_by_composite_parent(const std::vector<std::u16string>& device_ids) {
    return std::any_of(device_ids.begin(), device_ids.end(),
                       [](const std::u16string& id) { return equal_nocase(id, u"USB\\COMPOSITE"); });
}

} // namespace

// The models section of a [Manufacturer] line for this platform: the base name with the first
// NTamd64 or NT decoration the file has, else the base name.
std::u16string models_section(const InfFile& file, const inf::Line& line) {
    const std::u16string& base = line.fields[0];
    for (size_t i = 1; i < line.fields.size(); ++i) {
        std::u16string decoration = text::upcase(line.fields[i]);
        if (decoration.starts_with(u"NTAMD64") || decoration == u"NT")
            return file.has_section(base + u"." + line.fields[i]) ? base + u"." + line.fields[i] : base;
    }
    return base;
}

std::vector<Model> models_of(const InfFile& file) {
    std::vector<Model> out;
    for (const auto& line : file.section(u"Manufacturer")) {
        if (line.fields.empty() || line.fields[0].empty()) continue;
        for (const auto& model : file.section(models_section(file, line))) {
            if (model.fields.size() < 2) continue;
            Model m{model.key, model.fields[0], {}, line.key};
            for (size_t i = 1; i < model.fields.size(); ++i)
                if (!model.fields[i].empty()) m.ids.push_back(model.fields[i]);
            out.push_back(std::move(m));
        }
    }
    return out;
}

std::u16string decorated(const InfFile& file, const std::u16string& section) {
    for (auto suffix : {u".NTamd64", u".NT"})
        if (file.has_section(section + suffix)) return section + suffix;
    return section;
}

// The best model of an INF for a device: the lower the rank, the better (hardware IDs rank
// before compatible IDs, each in its list's order).
std::optional<std::pair<int, SelectedDriver>> best_model(const InfFile& file, const std::u16string& machine_path,
                                                         const std::vector<std::u16string>& device_ids,
                                                         const std::u16string* only_id) {
    std::optional<std::pair<int, SelectedDriver>> best;
    if (owned_by_composite_parent(device_ids)) return best;
    for (const auto& model : models_of(file)) {
        for (const auto& id : model.ids) {
            if (only_id && !equal_nocase(id, *only_id)) continue;
            for (size_t rank = 0; rank < device_ids.size(); ++rank) {
                if (!equal_nocase(id, device_ids[rank])) continue;
                if (best && best->first <= int(rank)) continue;
                SelectedDriver driver;
                driver.inf_path = machine_path;
                driver.install_section = model.install_section;
                driver.description = model.description;
                driver.manufacturer = model.manufacturer;
                driver.provider = file.value(u"Version", u"Provider").value_or(u"");
                driver.matching_id = id;
                best = std::make_pair(int(rank), driver);
            }
        }
    }
    return best;
}

std::vector<std::u16string> device_ids(const std::u16string& instance_id) {
    std::u16string key = devices::device_key_path(instance_id);
    std::vector<std::u16string> ids = devices::read_multi(key, u"HardwareID");
    for (auto& id : devices::read_multi(key, u"CompatibleIDs")) ids.push_back(id);
    return ids;
}

} // namespace hvsim::user::setup
