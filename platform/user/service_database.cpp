// The kernel side of the service control manager: the Services keys in the registry store and
// the drivers the loader holds.
#include <wdm.h>

#include <hvsim/format.h>
#include <hvsim/pnp.h>
#include <hvsim/registry.h>

#include <cstring>

#include "internal/service_database.h"

namespace hvsim::user::services {
namespace {

constexpr std::u16string_view kServicesPath = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";
constexpr ULONG kRegSz = 1, kRegExpandSz = 2, kRegDword = 4, kRegMultiSz = 7;
constexpr DWORD kDemandStart = 3, kErrorNormal = 1;

registry::Key service_key(std::u16string_view service) {
    if (service.empty() || service.find(u'\\') != std::u16string_view::npos) return nullptr;
    registry::Key key;
    if (!NT_SUCCESS(registry::open(nullptr, std::u16string(kServicesPath) + u"\\" + std::u16string(service), &key)))
        return nullptr;
    return key;
}

std::optional<DWORD> read_dword(const registry::Key& key, std::u16string_view name) {
    registry::Value value;
    if (!NT_SUCCESS(registry::query_value(key, name, &value)) || value.type != kRegDword || value.data.size() != 4)
        return std::nullopt;
    DWORD out;
    std::memcpy(&out, value.data.data(), 4);
    return out;
}

// The UTF-16 text of a value (its terminators dropped); for a multi-string, its strings each with
// their zero.
std::optional<std::u16string> read_text(const registry::Key& key, std::u16string_view name, bool multi) {
    registry::Value value;
    if (!NT_SUCCESS(registry::query_value(key, name, &value))) return std::nullopt;
    bool string = value.type == kRegSz || value.type == kRegExpandSz;
    if (multi ? value.type != kRegMultiSz : !string) return std::nullopt;
    std::u16string text(value.data.size() / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), value.data.data(), text.size() * 2);
    if (!multi) return text.substr(0, text.find(u'\0'));
    std::u16string out;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find(u'\0', at);
        if (end == std::u16string::npos) end = text.size();
        if (end == at) break;
        out += text.substr(at, end - at);
        out.push_back(u'\0');
        at = end + 1;
    }
    return out;
}

std::optional<ldr::LoadedDriver> driver_of(std::u16string_view service) {
    for (auto& driver : ldr::loaded_drivers()) {
        if (text::equal_nocase(driver.service, service)) return driver;
    }
    return std::nullopt;
}

} // namespace

std::optional<Config> config(std::u16string_view service) {
    registry::Key key = service_key(service);
    if (!key) return std::nullopt;
    auto type = read_dword(key, u"Type");
    if (!type) return std::nullopt;
    Config out;
    out.type = *type;
    out.start = read_dword(key, u"Start").value_or(kDemandStart);
    out.error_control = read_dword(key, u"ErrorControl").value_or(kErrorNormal);
    out.tag = read_dword(key, u"Tag").value_or(0);
    out.binary_path = read_text(key, u"ImagePath", false).value_or(u"");
    out.group = read_text(key, u"Group", false).value_or(u"");
    out.dependencies = read_text(key, u"DependOnService", true).value_or(u"");
    if (auto groups = read_text(key, u"DependOnGroup", true)) {
        for (size_t at = 0; at < groups->size();) {
            size_t end = groups->find(u'\0', at);
            out.dependencies += u"+" + groups->substr(at, end - at + 1);
            at = end + 1;
        }
    }
    out.start_name = read_text(key, u"ObjectName", false).value_or(u"");
    out.display_name = read_text(key, u"DisplayName", false).value_or(std::u16string(service));
    return out;
}

Status status(std::u16string_view service) {
    Status out;
    if (auto driver = driver_of(service)) {
        out.running = true;
        out.can_stop = driver->driver_object && driver->driver_object->DriverUnload;
        out.devices = driver->device_count;
    }
    return out;
}

bool loaded(std::u16string_view service) { return ldr::is_loaded(service); }

StopResult stop(std::u16string_view service) {
    NTSTATUS status = ldr::unload_driver(service);
    if (NT_SUCCESS(status)) return StopResult::Stopped;
    return status == STATUS_OBJECT_NAME_NOT_FOUND ? StopResult::NotActive : StopResult::Refused;
}

bool marked_for_deletion(std::u16string_view service) {
    registry::Key key = service_key(service);
    return key && read_dword(key, u"DeleteFlag").value_or(0) != 0;
}

bool mark_for_deletion(std::u16string_view service) {
    registry::Key key = service_key(service);
    DWORD one = 1;
    return key && NT_SUCCESS(registry::set_value(key, u"DeleteFlag", kRegDword, &one, sizeof one));
}

void delete_key(std::u16string_view service) {
    if (registry::Key key = service_key(service)) registry::delete_tree(key);
}

void observe_unloads(void (*observer)(std::u16string_view service)) { ldr::set_unload_observer(observer); }

void delete_marked_services() {
    registry::Key services;
    if (!NT_SUCCESS(registry::open(nullptr, kServicesPath, &services))) return;
    std::vector<std::u16string> marked;
    registry::KeyInfo info;
    for (size_t i = 0; NT_SUCCESS(registry::enum_key(services, i, &info)); ++i)
        if (marked_for_deletion(info.name)) marked.push_back(info.name);
    for (const auto& name : marked) {
        DbgPrint("SCM: deleting service %s, marked for deletion\n", text::to_utf8(name).c_str());
        delete_key(name);
    }
}

} // namespace hvsim::user::services
