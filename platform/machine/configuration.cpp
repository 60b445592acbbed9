// machine.txt: the machine's saved configuration, one "name = value" per line.
#include <hvsim/host_file.h>

#include <fstream>
#include <sstream>

#include "machine_internal.h"

namespace hvsim {
namespace {

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

} // namespace

std::optional<ClockMode> parse_clock(std::string_view text) {
    if (text == "real") return ClockMode::Real;
    if (text == "virtual") return ClockMode::Virtual;
    return std::nullopt;
}

const char* clock_name(ClockMode clock) { return clock == ClockMode::Virtual ? "virtual" : "real"; }

MachineConfiguration read_configuration(const std::filesystem::path& file) {
    MachineConfiguration configuration;
    std::ifstream in(file);
    if (!in) return configuration;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string content = trim(line);
        if (content.empty() || content[0] == '#') continue;
        const auto equals = content.find('=');
        const std::string where = file.string() + ":" + std::to_string(number) + ": ";
        if (equals == std::string::npos) throw MachineError(where + "expected 'name = value'");
        const std::string name = trim(std::string_view(content).substr(0, equals));
        const std::string value = trim(std::string_view(content).substr(equals + 1));
        if (name == "clock") {
            configuration.clock = parse_clock(value);
            if (!configuration.clock) throw MachineError(where + "clock must be real or virtual, not '" + value + "'");
        } else if (name == "windows") {
            if (!windows_version_named(value))
                throw MachineError(where + "windows must be one of " + windows_version_names() + ", not '" + value +
                                   "'");
            configuration.windows = value;
        } else {
            throw MachineError(where + "unknown setting '" + name + "'");
        }
    }
    return configuration;
}

void write_configuration(const std::filesystem::path& file, const MachineConfiguration& configuration) {
    std::ostringstream out;
    out << "# The machine's configuration, kept by hvsim.\n";
    if (configuration.clock) out << "clock = " << clock_name(*configuration.clock) << "\n";
    if (configuration.windows) out << "windows = " << *configuration.windows << "\n";
    std::string why;
    if (!write_file_atomically(file, out.str(), &why)) throw MachineError(why);
}

} // namespace hvsim
