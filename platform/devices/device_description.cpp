#include <hvsim/devices/device_description.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace hvsim::devices {

namespace {

void ftdi_defaults(int interfaces, DeviceSpec& spec) {
    const FtdiConfig c = FtdiChip::default_config(interfaces);
    spec.vendor_id = c.vendor_id;
    spec.product_id = c.product_id;
    spec.bcd_device = c.bcd_device;
}

std::unique_ptr<UsbSerialDevice> make_ftdi(const DeviceSpec& spec, std::span<const std::uint16_t> eeprom) {
    FtdiConfig c = FtdiChip::default_config(spec.interfaces);
    c.vendor_id = spec.vendor_id;
    c.product_id = spec.product_id;
    c.bcd_device = spec.bcd_device;
    c.port_types = spec.types;
    if (!spec.serial.empty()) c.serial.assign(spec.serial.begin(), spec.serial.end());
    c.paced = spec.paced;
    return std::make_unique<FtdiChip>(std::move(c), eeprom);
}

constexpr DeviceModelInfo kModels[] = {
    {FtdiChip::kModelName, FtdiChip::valid_interface_count, "1, 2 or 4", ftdi_defaults, make_ftdi},
};

std::string lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> split(std::string_view s, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = s.find(separator);
        parts.push_back(trim(s.substr(0, at)));
        if (at == std::string_view::npos) return parts;
        s.remove_prefix(at + 1);
    }
}

bool parse_hex16(std::string_view text, std::uint16_t& out) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    if (text.empty() || text.size() > 4) return false;
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    out = static_cast<std::uint16_t>(value);
    return true;
}

std::optional<PortType> parse_type(std::string_view text) {
    const std::string t = lower(text);
    if (t == "rs232" || t == "rs-232") return PortType::rs232;
    if (t == "rs485" || t == "rs-485" || t == "rs422" || t == "rs-422") return PortType::rs485;
    return std::nullopt;
}

std::optional<Wire> parse_wire(std::string_view text) {
    const std::string t = lower(text);
    if (t == "open" || t == "none") return Wire::open;
    if (t == "loopback") return Wire::loopback;
    if (t == "null-modem" || t == "nullmodem") return Wire::null_modem;
    if (t == "pty") return Wire::pty;
    return std::nullopt;
}

std::optional<bool> parse_switch(std::string_view text) {
    const std::string t = lower(text);
    if (t == "on" || t == "yes" || t == "true" || t == "1") return true;
    if (t == "off" || t == "no" || t == "false" || t == "0") return false;
    return std::nullopt;
}

const char* type_name(PortType t) { return t == PortType::rs485 ? "rs485" : "rs232"; }

const char* wire_name(Wire w) {
    switch (w) {
    case Wire::loopback: return "loopback";
    case Wire::null_modem: return "null-modem";
    case Wire::pty: return "pty";
    case Wire::open: break;
    }
    return "open";
}

// One value for every port, or one per port.
template <class T, class Parse>
bool per_port(std::string_view key, std::string_view value, int ports, Parse parse, const char* expected,
              std::vector<T>& out, std::string& why) {
    const auto items = split(value, '/');
    std::vector<T> parsed;
    for (auto item : items) {
        const auto v = parse(item);
        if (!v) {
            why = std::string(key) + ": '" + std::string(item) + "' is not " + expected;
            return false;
        }
        parsed.push_back(*v);
    }
    if (parsed.size() == 1) {
        out.assign(ports, parsed[0]);
        return true;
    }
    if (static_cast<int>(parsed.size()) != ports) {
        why = std::string(key) + ": " + std::to_string(parsed.size()) + " values for " + std::to_string(ports) +
              (ports == 1 ? " port" : " ports");
        return false;
    }
    out = std::move(parsed);
    return true;
}

} // namespace

const DeviceModelInfo* find_device_model(std::string_view name) {
    const std::string n = lower(name);
    for (const auto& m : kModels)
        if (m.name == n) return &m;
    return nullptr;
}

std::optional<DeviceSpec> parse_device_spec(std::string_view text, std::string* error) {
    std::string why;
    auto failed = [&](std::string reason) -> std::optional<DeviceSpec> {
        if (error) *error = "device spec '" + std::string(text) + "': " + reason;
        return std::nullopt;
    };

    const std::string_view whole = trim(text);
    const auto colon = whole.find(':');
    const std::string_view name = trim(whole.substr(0, colon));
    const DeviceModelInfo* model = find_device_model(name);
    if (!model) {
        std::string known;
        for (const auto& m : kModels) known += (known.empty() ? "'" : ", '") + std::string(m.name) + "'";
        return failed("unknown device model '" + std::string(name) + "' (known: " + known + ")");
    }

    // Collect the keys first: interfaces decides the defaults and the length of the lists.
    std::vector<std::pair<std::string, std::string_view>> settings;
    if (colon != std::string_view::npos) {
        for (auto item : split(whole.substr(colon + 1), ',')) {
            const auto eq = item.find('=');
            if (item.empty()) return failed("empty setting (two commas, or a comma at the end?)");
            if (eq == std::string_view::npos) return failed("'" + std::string(item) + "' is not key=value");
            std::string key = lower(trim(item.substr(0, eq)));
            const std::string_view value = trim(item.substr(eq + 1));
            if (value.empty()) return failed(key + ": no value");
            for (const auto& s : settings)
                if (s.first == key) return failed(key + ": given twice");
            settings.emplace_back(std::move(key), value);
        }
    }

    DeviceSpec spec;
    spec.model = std::string(model->name);
    for (const auto& [key, value] : settings) {
        if (key != "interfaces") continue;
        int n = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (ec != std::errc() || end != value.data() + value.size() || !model->valid_interfaces(n))
            return failed("interfaces: '" + std::string(value) + "' is not " + std::string(model->interfaces_text));
        spec.interfaces = n;
    }
    model->defaults(spec.interfaces, spec);
    spec.types.assign(spec.interfaces, PortType::rs232);
    spec.wires.assign(spec.interfaces, Wire::open);

    for (const auto& [key, value] : settings) {
        if (key == "interfaces") {
            continue;
        } else if (key == "vid" || key == "pid" || key == "rev") {
            std::uint16_t& field = key == "vid" ? spec.vendor_id : key == "pid" ? spec.product_id : spec.bcd_device;
            if (!parse_hex16(value, field))
                return failed(key + ": '" + std::string(value) + "' is not a hexadecimal number from 0 to FFFF");
        } else if (key == "type") {
            if (!per_port(key, value, spec.interfaces, parse_type, "rs232, rs485 or rs422", spec.types, why))
                return failed(why);
        } else if (key == "wire") {
            if (!per_port(key, value, spec.interfaces, parse_wire, "open, loopback, null-modem or pty", spec.wires,
                          why))
                return failed(why);
        } else if (key == "serial") {
            const bool printable = std::all_of(value.begin(), value.end(),
                                               [](char c) { return c > ' ' && c < 0x7F && c != '/' && c != '\\'; });
            if (!printable || value.size() > 32)
                return failed("serial: '" + std::string(value) +
                              "' must be 1 to 32 printable characters without spaces or slashes");
            spec.serial = std::string(value);
        } else if (key == "paced") {
            const auto on = parse_switch(value);
            if (!on) return failed("paced: '" + std::string(value) + "' is not on or off");
            spec.paced = *on;
        } else {
            return failed("unknown key '" + key + "' (known: vid, pid, rev, interfaces, type, wire, serial, paced)");
        }
    }
    if (std::count(spec.wires.begin(), spec.wires.end(), Wire::null_modem) % 2 != 0)
        return failed("wire: null-modem cables pair this device's ports in order, and one is left without a partner");
    return spec;
}

std::string to_string(const DeviceSpec& spec) {
    char ids[64];
    std::snprintf(ids, sizeof ids, "vid=0x%04X,pid=0x%04X,rev=0x%04X", spec.vendor_id, spec.product_id,
                  spec.bcd_device);
    std::string text = spec.model + ":" + ids + ",interfaces=" + std::to_string(spec.interfaces);
    auto list = [&](const char* key, auto values, auto name) {
        text += std::string(",") + key + "=";
        for (std::size_t i = 0; i < values.size(); ++i) text += (i ? "/" : "") + std::string(name(values[i]));
    };
    list("type", spec.types, type_name);
    list("wire", spec.wires, wire_name);
    if (!spec.serial.empty()) text += ",serial=" + spec.serial;
    text += spec.paced ? ",paced=on" : ",paced=off";
    return text;
}

} // namespace hvsim::devices
