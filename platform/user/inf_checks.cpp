// Checks of an INF before it is installed: the hardware IDs it names, the files it copies, and
// what its installation would refuse.
#include "internal/device_installation.h"

#include <hvsim/format.h>

#include <hvsim/user_hooks.h>

#include <algorithm>

#include "internal/user_internal.h"

namespace hvsim::user {

std::vector<std::u16string> inf_hardware_ids(const std::u16string& inf_path) {
    std::vector<std::u16string> ids;
    auto host = setup::existing_file(inf_path);
    auto file = host.empty() ? std::nullopt : inf::InfFile::load(host);
    if (!file) return ids;
    for (const auto& model : setup::models_of(*file))
        for (const auto& id : model.ids)
            if (std::none_of(ids.begin(), ids.end(), [&](auto& known) { return inf::equal_nocase(known, id); }))
                ids.push_back(id);
    return ids;
}

namespace {

// The sections an INF's installation reads, with the line that names each.
struct Reached {
    std::u16string section;
    size_t line;
};

std::vector<Reached> install_sections(const inf::InfFile& file) {
    std::vector<Reached> out{{setup::decorated(file, u"ClassInstall32"), 0}};
    for (const auto& model : setup::models_of(file)) {
        std::u16string section = setup::decorated(file, model.install_section);
        if (std::any_of(out.begin(), out.end(), [&](auto& known) { return inf::equal_nocase(known.section, section); }))
            continue;
        // The first model line that names it.
        size_t line = 0;
        for (const auto& manufacturer : file.section(u"Manufacturer"))
            if (!manufacturer.fields.empty() && !manufacturer.fields[0].empty())
                for (const auto& entry : file.section(setup::models_section(file, manufacturer)))
                    if (!line && !entry.fields.empty() && inf::equal_nocase(entry.fields[0], model.install_section))
                        line = entry.number;
        out.push_back({section, line});
        out.push_back({section + u".CoInstallers", 0});
        out.push_back({section + u".Services", 0});
    }
    return out;
}

// The files the CopyFiles lines of the reached sections name, each once.
std::vector<InfCopiedFile> copied_files(const inf::InfFile& file, const std::filesystem::path& folder) {
    std::vector<InfCopiedFile> out;
    auto note = [&](const std::u16string& name, size_t line) {
        if (std::any_of(out.begin(), out.end(), [&](auto& known) { return inf::equal_nocase(known.name, name); }))
            return;
        out.push_back({name, line, setup::find_in(folder, name)});
    };
    for (const auto& reached : install_sections(file)) {
        for (const auto& line : file.section(reached.section)) {
            if (!inf::equal_nocase(line.key, u"CopyFiles")) continue;
            for (const auto& name : line.fields) {
                if (name.starts_with(u"@")) {
                    note(name.substr(1), line.number);
                    continue;
                }
                for (const auto& entry : file.section(name))
                    if (!entry.fields.empty() && !entry.fields[0].empty())
                        note(entry.fields.size() > 1 && !entry.fields[1].empty() ? entry.fields[1] : entry.fields[0],
                             entry.number);
            }
        }
    }
    return out;
}

// A %key% left in a field: [Strings] has no such key (numbers are directory IDs).
std::optional<std::u16string> unresolved_key(const std::u16string& field) {
    for (size_t start = field.find(u'%'); start != std::u16string::npos; start = field.find(u'%', start + 1)) {
        size_t end = field.find(u'%', start + 1);
        if (end == std::u16string::npos) return std::nullopt;
        std::u16string key = field.substr(start + 1, end - start - 1);
        if (!key.empty() && !(key[0] >= u'0' && key[0] <= u'9') && key.find(u' ') == std::u16string::npos)
            return field.substr(start, end - start + 1);
        start = end;
    }
    return std::nullopt;
}

} // namespace

std::vector<std::u16string> inf_missing_files(const std::u16string& inf_path) {
    auto host = setup::existing_file(inf_path);
    auto file = host.empty() ? std::nullopt : inf::InfFile::load(host);
    if (!file) return {inf_path};
    std::vector<std::u16string> missing;
    for (const auto& copied : copied_files(*file, host.parent_path()))
        if (copied.source.empty()) missing.push_back(copied.name);
    return missing;
}

std::vector<InfCopiedFile> inf_copied_files(const std::u16string& inf_path) {
    auto host = setup::existing_file(inf_path);
    auto file = host.empty() ? std::nullopt : inf::InfFile::load(host);
    if (!file) return {};
    return copied_files(*file, host.parent_path());
}

std::vector<InfProblem> inf_problems(const std::u16string& inf_path) {
    auto host = setup::existing_file(inf_path);
    if (host.empty()) return {{0, "the file does not exist"}};
    std::string why;
    auto file = inf::InfFile::load(host, &why);
    if (!file) {
        // The reader says "line N: ...".
        size_t line = 0;
        if (why.starts_with("line ")) line = std::strtoul(why.c_str() + 5, nullptr, 10);
        const size_t colon = why.find(": ");
        return {{line, line && colon != std::string::npos ? why.substr(colon + 2) : why}};
    }
    std::vector<InfProblem> problems;
    auto lacks = [&](const std::u16string& section, size_t line, const std::string& what) {
        if (!file->has_section(section))
            problems.push_back({line, what + " [" + to_utf8(section) + "] is not in the file"});
    };
    // What the installation would refuse only once a device arrives: a line of an AddReg section
    // that starts with no registry root.
    auto check_roots = [&](const std::u16string& section) {
        for (const auto& entry : file->section(section))
            if (!setup::Installer::root(entry.fields.empty() ? u"" : entry.fields[0], u"HKR"))
                problems.push_back({entry.number, "\"" + to_utf8(entry.fields.empty() ? u"" : entry.fields[0]) +
                                                      "\" is not a registry root (HKR, HKLM, HKCR, HKCU or HKU)"});
    };
    if (!file->has_section(u"Version")) problems.push_back({0, "there is no [Version] section"});
    lacks(u"Manufacturer", 0, "the section");
    for (const auto& manufacturer : file->section(u"Manufacturer")) {
        if (manufacturer.fields.empty() || manufacturer.fields[0].empty()) continue;
        const std::u16string models = setup::models_section(*file, manufacturer);
        lacks(models, manufacturer.number, "the models section");
        for (const auto& model : file->section(models))
            if (auto key = unresolved_key(model.key))
                problems.push_back({model.number, to_utf8(*key) + " is not in [Strings]"});
    }
    for (const auto& reached : install_sections(*file)) {
        // Only the models' own install sections must exist; the others are optional.
        if (reached.line) lacks(reached.section, reached.line, "the install section");
        for (const auto& line : file->section(reached.section)) {
            if (inf::equal_nocase(line.key, u"CopyFiles"))
                for (const auto& name : line.fields)
                    if (!name.starts_with(u"@")) lacks(name, line.number, "the CopyFiles section");
            if (inf::equal_nocase(line.key, u"AddReg"))
                for (const auto& name : line.fields) {
                    lacks(name, line.number, "the AddReg section");
                    check_roots(name);
                }
            if (inf::equal_nocase(line.key, u"AddService") && line.fields.size() > 2 && !line.fields[2].empty()) {
                lacks(line.fields[2], line.number, "the service section");
                for (const auto& name : file->values(line.fields[2], u"AddReg")) {
                    lacks(name, line.number, "the AddReg section");
                    check_roots(name);
                }
            }
            for (const auto& field : line.fields)
                if (auto key = unresolved_key(field))
                    problems.push_back({line.number, to_utf8(*key) + " is not in [Strings]"});
        }
    }
    return problems;
}

} // namespace hvsim::user
