// A reader for the INF subset that device installation uses: sections of lines "key = a, b, c"
// or plain "a, b, c", comments after ';', quoted fields, '\' line continuation and %strkey%
// substitution from [Strings]. Section and key names compare without regard to case.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace hvsim::user::inf {

struct Line {
    std::u16string key;                 // empty when the line has no '='
    std::vector<std::u16string> fields; // after substitution, unquoted and trimmed
    size_t number = 0;                  // 1-based line number in the file
};

class InfFile {
public:
    // nullopt (with *error) when the file cannot be read or a line is malformed.
    static std::optional<InfFile> load(const std::filesystem::path& file, std::string* error = nullptr);
    static std::optional<InfFile> parse(std::string_view text, std::string* error = nullptr);

    bool has_section(std::u16string_view name) const;
    // The section's lines; empty when the section is missing.
    const std::vector<Line>& section(std::u16string_view name) const;
    // The first field of the first line with that key.
    std::optional<std::u16string> value(std::u16string_view section, std::u16string_view key) const;
    // Every field of every line with that key (AddReg = a, b gives a and b).
    std::vector<std::u16string> values(std::u16string_view section, std::u16string_view key) const;

private:
    struct Section {
        std::u16string name;
        std::vector<Line> lines;
    };
    std::vector<Section> sections_;
};

bool equal_nocase(std::u16string_view a, std::u16string_view b);

} // namespace hvsim::user::inf
