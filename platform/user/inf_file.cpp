// The INF reader of device installation (internal/inf_file.h).
#include "internal/inf_file.h"

#include <hvsim/format.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace hvsim::user::inf {
namespace {

using text::upcase;

std::u16string trim(std::u16string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == u' ' || text[begin] == u'\t')) ++begin;
    while (end > begin && (text[end - 1] == u' ' || text[end - 1] == u'\t' || text[end - 1] == u'\r')) --end;
    return std::u16string(text.substr(begin, end - begin));
}

// The text as UTF-16: a file with a UTF-16LE byte order mark, else ANSI (with a UTF-8 mark
// dropped).
std::u16string decode(std::string_view bytes) {
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
        std::u16string out((bytes.size() - 2) / 2, u'\0');
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = char16_t(uint8_t(bytes[2 + 2 * i]) | (uint8_t(bytes[3 + 2 * i]) << 8));
        return out;
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    return text::ansi_to_wide(bytes);
}

struct RawLine {
    std::u16string text;
    size_t number;
};

// Splits the text into logical lines without comments; quotes protect ';' and ','.
std::vector<RawLine> logical_lines(const std::u16string& text) {
    std::vector<RawLine> out;
    std::u16string current;
    size_t number = 1, start = 1;
    bool quoted = false, comment = false;
    for (size_t i = 0; i <= text.size(); ++i) {
        char16_t c = i < text.size() ? text[i] : u'\n';
        if (c == u'\n') {
            std::u16string trimmed = trim(current);
            if (!quoted && !trimmed.empty() && trimmed.back() == u'\\') {
                trimmed.pop_back();
                current = trimmed + u' ';
            } else {
                if (!trim(current).empty()) out.push_back({trim(current), start});
                current.clear();
                start = number + 1;
            }
            quoted = false;
            comment = false;
            ++number;
            continue;
        }
        if (comment) continue;
        if (c == u'"') quoted = !quoted;
        if (c == u';' && !quoted) {
            comment = true;
            continue;
        }
        current += c;
    }
    return out;
}

// Splits "a, "b, c", d" into fields, keeping the quotes (substitution happens first).
std::vector<std::u16string> split_fields(std::u16string_view text) {
    std::vector<std::u16string> fields;
    std::u16string current;
    bool quoted = false;
    for (char16_t c : text) {
        if (c == u'"') quoted = !quoted;
        if (c == u',' && !quoted) {
            fields.push_back(trim(current));
            current.clear();
            continue;
        }
        current += c;
    }
    fields.push_back(trim(current));
    return fields;
}

// A field's value: quotes removed ("" inside quotes is a quote), %strkey% replaced by its
// string, %% by a percent sign; replacements are not processed again.
std::u16string expand(const std::u16string& field, const std::map<std::u16string, std::u16string>& strings) {
    std::u16string out;
    bool quoted = false;
    for (size_t i = 0; i < field.size(); ++i) {
        char16_t c = field[i];
        if (c == u'"') {
            if (quoted && i + 1 < field.size() && field[i + 1] == u'"') {
                out += u'"';
                ++i;
            } else {
                quoted = !quoted;
            }
            continue;
        }
        if (c == u'%') {
            size_t end = field.find(u'%', i + 1);
            if (end == std::u16string::npos) {
                out += c;
                continue;
            }
            std::u16string name = field.substr(i + 1, end - i - 1);
            if (name.empty()) {
                out += u'%';
            } else if (auto it = strings.find(upcase(name)); it != strings.end()) {
                out += it->second;
            } else {
                out += field.substr(i, end - i + 1); // %12% and unknown keys stay for the installer
            }
            i = end;
            continue;
        }
        out += c;
    }
    return out;
}

} // namespace

bool equal_nocase(std::u16string_view a, std::u16string_view b) { return text::equal_nocase(a, b); }

std::optional<InfFile> InfFile::load(const std::filesystem::path& file, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot read " + file.string();
        return std::nullopt;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    return parse(buffer.str(), error);
}

std::optional<InfFile> InfFile::parse(std::string_view bytes, std::string* error) {
    const std::u16string text = decode(bytes);
    // Control characters other than tabs and line ends (and an old editor's end-of-file mark)
    // mean the file is not text: a binary or a damaged file.
    size_t number = 1;
    for (char16_t c : text) {
        if (c == u'\n') ++number;
        if (c >= 0x20 || c == u'\t' || c == u'\n' || c == u'\r' || c == 0x1A) continue;
        if (error) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned>(c));
            *error = "line " + std::to_string(number) + ": control character " + code + " (not a text file)";
        }
        return std::nullopt;
    }
    std::vector<RawLine> lines = logical_lines(text);
    // First pass: sections and raw lines; [Strings] is read before anything is substituted.
    struct RawSection {
        std::u16string name;
        std::vector<RawLine> lines;
    };
    std::vector<RawSection> raw;
    for (auto& line : lines) {
        if (line.text.front() == u'[') {
            size_t close = line.text.find(u']');
            if (close == std::u16string::npos || close == 1) {
                if (error) *error = "line " + std::to_string(line.number) + ": malformed section name";
                return std::nullopt;
            }
            std::u16string name = trim(std::u16string_view(line.text).substr(1, close - 1));
            auto it = std::find_if(raw.begin(), raw.end(), [&](auto& s) { return equal_nocase(s.name, name); });
            if (it == raw.end())
                raw.push_back({name, {}});
            else
                std::rotate(it, it + 1, raw.end()); // a section named twice continues
            continue;
        }
        if (raw.empty()) {
            if (error) *error = "line " + std::to_string(line.number) + ": text before the first section";
            return std::nullopt;
        }
        raw.back().lines.push_back(line);
    }
    std::map<std::u16string, std::u16string> strings;
    for (auto& section : raw) {
        if (!equal_nocase(section.name, u"Strings")) continue;
        for (auto& line : section.lines) {
            size_t eq = line.text.find(u'=');
            if (eq == std::u16string::npos) continue;
            strings[upcase(trim(std::u16string_view(line.text).substr(0, eq)))] =
                expand(trim(std::u16string_view(line.text).substr(eq + 1)), {});
        }
    }
    InfFile file;
    for (auto& section : raw) {
        Section out{section.name, {}};
        for (auto& line : section.lines) {
            Line parsed;
            parsed.number = line.number;
            std::u16string rest = line.text;
            // A key is what stands before an '=' outside quotes.
            bool quoted = false;
            for (size_t i = 0; i < rest.size(); ++i) {
                if (rest[i] == u'"') quoted = !quoted;
                if (rest[i] == u'=' && !quoted) {
                    parsed.key = expand(trim(std::u16string_view(rest).substr(0, i)), strings);
                    rest = rest.substr(i + 1);
                    break;
                }
            }
            for (auto& field : split_fields(rest)) parsed.fields.push_back(expand(field, strings));
            out.lines.push_back(std::move(parsed));
        }
        file.sections_.push_back(std::move(out));
    }
    return file;
}

bool InfFile::has_section(std::u16string_view name) const {
    return std::any_of(sections_.begin(), sections_.end(), [&](auto& s) { return equal_nocase(s.name, name); });
}

const std::vector<Line>& InfFile::section(std::u16string_view name) const {
    static const std::vector<Line> empty;
    for (auto& s : sections_)
        if (equal_nocase(s.name, name)) return s.lines;
    return empty;
}

std::optional<std::u16string> InfFile::value(std::u16string_view section_name, std::u16string_view key) const {
    for (auto& line : section(section_name))
        if (equal_nocase(line.key, key) && !line.fields.empty()) return line.fields[0];
    return std::nullopt;
}

std::vector<std::u16string> InfFile::values(std::u16string_view section_name, std::u16string_view key) const {
    std::vector<std::u16string> out;
    for (auto& line : section(section_name))
        if (equal_nocase(line.key, key))
            for (auto& field : line.fields)
                if (!field.empty()) out.push_back(field);
    return out;
}

} // namespace hvsim::user::inf
