// The registry values the package's bus INF writes, read from the INF itself, so that the tests
// install an adapter's function as the package does.
#pragma once

#include <hvsim/pnp.h>
#include <hvsim/registry.h>
#include <wdm.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace businf {

// One "HKR,subkey,name,flags,value" line of an AddReg section.
struct InfValue {
    std::string subkey, name;
    bool dword = false;
    DWORD number = 0;
    std::string text;
};

inline std::string trim(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '"')) text.pop_back();
    size_t first = text.find_first_not_of(" \"");
    return first == std::string::npos ? std::string() : text.substr(first);
}

// The trimmed lines of one section of the package's INF.
inline std::vector<std::string> inf_lines(const std::string& section) {
    std::ifstream in(HV_PACKAGE_BUS_INF);
    std::vector<std::string> out;
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        line = trim(line);
        if (!line.empty() && line[0] == '[')
            inside = line == "[" + section + "]";
        else if (inside)
            out.push_back(line);
    }
    return out;
}

// The INF's [Strings]: "%name%" in a value stands for its text.
inline std::map<std::string, std::string> inf_strings() {
    std::map<std::string, std::string> out;
    for (const std::string& line : inf_lines("Strings")) {
        size_t equals = line.find('=');
        if (equals != std::string::npos) out[trim(line.substr(0, equals))] = trim(line.substr(equals + 1));
    }
    return out;
}

// The values the package's INF writes in one of its AddReg sections.
inline std::vector<InfValue> inf_section(const std::string& section) {
    static const std::map<std::string, std::string> strings = inf_strings();
    std::vector<InfValue> out;
    for (std::string line : inf_lines(section)) {
        if (line.rfind("HKR,", 0) != 0) continue;
        for (size_t start = line.find('%'); start != std::string::npos; start = line.find('%', start)) {
            size_t end = line.find('%', start + 1);
            if (end == std::string::npos) break;
            auto text = strings.find(line.substr(start + 1, end - start - 1));
            if (text == strings.end()) {
                start = end + 1;
                continue;
            }
            line.replace(start, end - start + 1, text->second);
            start += text->second.size();
        }
        std::vector<std::string> fields;
        std::stringstream stream(line);
        for (std::string field; std::getline(stream, field, ',');) fields.push_back(trim(field));
        if (fields.size() < 5) continue;
        InfValue value;
        value.subkey = fields[1];
        value.name = fields[2];
        value.dword = fields[3] == "0x00010001";
        if (value.dword)
            value.number = (DWORD)std::stoul(fields[4], nullptr, 0);
        else
            value.text = fields[4];
        out.push_back(value);
    }
    return out;
}

inline std::u16string wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// The interface number of a composite adapter's function from the "&MI_xx" of its instance ID;
// 0 for a function that is the whole device.
inline unsigned interface_of(const std::u16string& instance_id) {
    const size_t at = instance_id.find(u"&MI_");
    if (at == std::u16string::npos || at + 6 > instance_id.size()) return 0;
    auto digit = [](char16_t c) { return c >= u'0' && c <= u'9' ? unsigned(c - u'0') : unsigned(c - u'A' + 10); };
    return digit(instance_id[at + 4]) * 16 + digit(instance_id[at + 5]);
}

// Writes what the INF's sections write for a USB function of the bus driver (interface n of a
// composite adapter takes the section of interface n).
inline void write_function_registry(hvsim::pnp::DevInst node, unsigned interface_number) {
    const std::u16string parameters = hvsim::pnp::device_key_path(node) + u"\\Device Parameters";
    const std::string function = "HvUBus.Interface" + std::to_string(interface_number) + ".AddReg";
    for (const std::string& section : {std::string("HvUBus.Device.AddReg"), function}) {
        for (const InfValue& value : inf_section(section)) {
            const std::u16string subkey = value.subkey.empty() ? parameters : parameters + u"\\" + wide(value.subkey);
            hvsim::registry::create_key(subkey);
            if (value.dword)
                hvsim::registry::set_dword(subkey, wide(value.name), value.number);
            else
                hvsim::registry::set_string(subkey, wide(value.name), wide(value.text));
        }
    }
}

} // namespace businf
