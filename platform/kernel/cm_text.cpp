// The registry's text file, and the registry's part in boot and shutdown.
//
//   to_text from_text file_in save_file load_file save boot_load_error
//
// The file, one item per line:
//
//   hvsim registry 1
//   [\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\HvUsbSam]
//   .time 0x01DA0B6E3C5A8000
//   .class "text"                       (only when the key has a class)
//   .security hex:01 00 04 80 ...       (only when the key has a descriptor)
//   "Start" = dword 0x00000003
//   "ImagePath" = expand_sz "System32\drivers\HvUBus.sys"
//   "Ports" = multi_sz "COM1" "COM2"
//   "Raw" = binary hex:01 02 03
//
// Keys come in creation order, each after its parent. Names and texts are written as they are,
// except that a character outside printable ASCII, or one of % " [ ], is written %XXXX (four hex
// digits). A value is written as text or number only when that gives back exactly its bytes (a
// string with one terminator, a multi-string of non-empty strings, a 4- or 8-byte number);
// otherwise its bytes are written in hex after the type. Lines beginning with ';' are comments.
#include "cm_store.h"

#include <hvsim/debug_log.h>
#include <hvsim/host_file.h>
#include <hvsim/kernel.h>
#include <wdm.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_set>

namespace hvsim::registry {
namespace {

constexpr std::string_view file_header = "hvsim registry 1";

struct TypeName {
    ULONG type;
    const char* name;
};
constexpr TypeName type_names[] = {
    {REG_NONE, "none"},
    {REG_SZ, "sz"},
    {REG_EXPAND_SZ, "expand_sz"},
    {REG_BINARY, "binary"},
    {REG_DWORD, "dword"},
    {REG_DWORD_BIG_ENDIAN, "dword_be"},
    {REG_LINK, "link"},
    {REG_MULTI_SZ, "multi_sz"},
    {REG_RESOURCE_LIST, "resource_list"},
    {REG_FULL_RESOURCE_DESCRIPTOR, "full_resource_descriptor"},
    {REG_RESOURCE_REQUIREMENTS_LIST, "resource_requirements_list"},
    {REG_QWORD, "qword"},
};

std::string boot_error;
std::string shutdown_error;

// ---------------------------------------------------------------------------------------------
// Writing

void put_escaped(std::string& out, std::u16string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7F && c != u'%' && c != u'"' && c != u'[' && c != u']') {
            out.push_back((char)c);
            continue;
        }
        out.push_back('%');
        for (int shift = 12; shift >= 0; shift -= 4) out.push_back(digits[(c >> shift) & 0xF]);
    }
}

void put_quoted(std::string& out, std::u16string_view text) {
    out.push_back('"');
    put_escaped(out, text);
    out.push_back('"');
}

void put_hex(std::string& out, const std::vector<uint8_t>& bytes) {
    out += "hex:";
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof pair, i ? " %02X" : "%02X", bytes[i]);
        out += pair;
    }
}

std::u16string as_units(const std::vector<uint8_t>& data) {
    std::u16string units(data.size() / 2, u'\0');
    std::memcpy(units.data(), data.data(), units.size() * 2);
    return units;
}

// The strings of a well-formed multi-string: non-empty strings, each terminated, then one more
// terminator.
bool split_multi(const std::vector<uint8_t>& data, std::vector<std::u16string>* strings) {
    if (data.size() < 4 || data.size() % 2) return false;
    std::u16string units = as_units(data);
    if (units[units.size() - 1] != 0 || units[units.size() - 2] != 0) return false;
    size_t start = 0;
    for (size_t i = 0; i + 1 < units.size(); ++i) {
        if (units[i] != 0) continue;
        if (i == start) return false;
        strings->push_back(units.substr(start, i - start));
        start = i + 1;
    }
    return start == units.size() - 1;
}

void put_value(std::string& out, const Value& v) {
    put_quoted(out, v.name);
    out += " = ";
    const char* name = nullptr;
    for (const auto& t : type_names)
        if (t.type == v.type) name = t.name;
    out += name ? name : std::to_string(v.type);
    out.push_back(' ');
    if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_LINK) && v.data.size() >= 2 &&
        v.data.size() % 2 == 0) {
        std::u16string units = as_units(v.data);
        if (units.back() == 0 && units.find(u'\0') == units.size() - 1) {
            units.pop_back();
            put_quoted(out, units);
            return;
        }
    }
    std::vector<std::u16string> strings;
    if (v.type == REG_MULTI_SZ && split_multi(v.data, &strings)) {
        for (size_t i = 0; i < strings.size(); ++i) {
            if (i) out.push_back(' ');
            put_quoted(out, strings[i]);
        }
        return;
    }
    char number[24];
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t x;
        std::memcpy(&x, v.data.data(), 4);
        std::snprintf(number, sizeof number, "0x%08X", x);
        out += number;
        return;
    }
    if (v.type == REG_QWORD && v.data.size() == 8) {
        uint64_t x;
        std::memcpy(&x, v.data.data(), 8);
        std::snprintf(number, sizeof number, "0x%016llX", (unsigned long long)x);
        out += number;
        return;
    }
    put_hex(out, v.data);
}

void put_key(std::string& out, const Node& node, const std::string& path) {
    if (node.is_volatile) return;
    out += "[" + path + "]\n";
    char time[32];
    std::snprintf(time, sizeof time, ".time 0x%016llX\n", (unsigned long long)node.last_write_time);
    out += time;
    if (!node.class_name.empty()) {
        out += ".class ";
        put_quoted(out, node.class_name);
        out.push_back('\n');
    }
    if (!node.security.empty()) {
        out += ".security ";
        put_hex(out, node.security);
        out.push_back('\n');
    }
    for (const auto& v : node.values) {
        put_value(out, v);
        out.push_back('\n');
    }
    for (const auto& child : node.children) {
        std::string child_path = path + "\\";
        put_escaped(child_path, child->name);
        put_key(out, *child, child_path);
    }
}

// ---------------------------------------------------------------------------------------------
// Reading

struct Reader {
    std::string_view line;
    size_t pos = 0;
    std::string error;

    bool fail(const std::string& why) {
        if (error.empty()) error = why;
        return false;
    }
    void skip_blanks() {
        while (pos < line.size() && line[pos] == ' ') ++pos;
    }
    bool at_end() {
        skip_blanks();
        return pos >= line.size();
    }
    bool expect(std::string_view token) {
        skip_blanks();
        if (line.substr(pos, token.size()) != token) return fail("expected '" + std::string(token) + "'");
        pos += token.size();
        return true;
    }
    std::string_view word() {
        skip_blanks();
        size_t start = pos;
        while (pos < line.size() && line[pos] != ' ') ++pos;
        return line.substr(start, pos - start);
    }
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Unescapes text up to a stop character (not consumed).
bool read_escaped(Reader& r, char stop, std::u16string* out) {
    out->clear();
    while (r.pos < r.line.size() && r.line[r.pos] != stop) {
        char c = r.line[r.pos];
        if (c == '%') {
            if (r.pos + 5 > r.line.size()) return r.fail("a %XXXX escape is cut short");
            int value = 0;
            for (size_t i = 1; i <= 4; ++i) {
                int d = hex_digit(r.line[r.pos + i]);
                if (d < 0) return r.fail("a %XXXX escape has a character that is not a hex digit");
                value = value * 16 + d;
            }
            out->push_back((char16_t)value);
            r.pos += 5;
            continue;
        }
        if ((unsigned char)c < 0x20 || (unsigned char)c >= 0x7F || c == '"' || c == '[' || c == ']')
            return r.fail("a character that must be escaped appears as it is");
        out->push_back((char16_t)c);
        ++r.pos;
    }
    return true;
}

bool read_quoted(Reader& r, std::u16string* out) {
    if (!r.expect("\"")) return false;
    if (!read_escaped(r, '"', out)) return false;
    if (r.pos >= r.line.size()) return r.fail("a quoted text has no closing quote");
    ++r.pos;
    return true;
}

bool read_hex(Reader& r, std::vector<uint8_t>* out) {
    if (!r.expect("hex:")) return false;
    out->clear();
    while (!r.at_end()) {
        std::string_view byte = r.word();
        int hi = byte.size() == 2 ? hex_digit(byte[0]) : -1;
        int lo = byte.size() == 2 ? hex_digit(byte[1]) : -1;
        if (hi < 0 || lo < 0) return r.fail("'" + std::string(byte) + "' is not a hex byte");
        out->push_back((uint8_t)(hi * 16 + lo));
    }
    return true;
}

bool read_number(Reader& r, size_t bytes, std::vector<uint8_t>* out) {
    std::string_view text = r.word();
    if (text.size() != 2 + bytes * 2 || text.substr(0, 2) != "0x")
        return r.fail("'" + std::string(text) + "' is not a " + std::to_string(bytes * 2) + "-digit 0x number");
    uint64_t value = 0;
    for (char c : text.substr(2)) {
        int d = hex_digit(c);
        if (d < 0) return r.fail("'" + std::string(text) + "' is not a hex number");
        value = value * 16 + (uint64_t)d;
    }
    out->resize(bytes);
    std::memcpy(out->data(), &value, bytes);
    return true;
}

void append_units(std::vector<uint8_t>* data, std::u16string_view units) {
    size_t at = data->size();
    data->resize(at + units.size() * 2);
    if (!units.empty()) std::memcpy(data->data() + at, units.data(), units.size() * 2);
}

bool read_value(Reader& r, Value* v) {
    if (!read_quoted(r, &v->name) || !r.expect("=")) return false;
    std::string_view type = r.word();
    bool known = false;
    for (const auto& t : type_names)
        if (type == t.name) v->type = t.type, known = true;
    if (!known) {
        if (type.empty() || type.find_first_not_of("0123456789") != std::string_view::npos || type.size() > 10)
            return r.fail("'" + std::string(type) + "' is not a value type");
        uint64_t n = std::stoull(std::string(type));
        if (n > MAXULONG) return r.fail("value type " + std::string(type) + " is too large");
        v->type = (ULONG)n;
    }
    r.skip_blanks();
    if (r.line.substr(r.pos, 4) == "hex:")
        return read_hex(r, &v->data) && (r.at_end() || r.fail("text after the bytes"));
    if (r.pos < r.line.size() && r.line[r.pos] == '"' &&
        (v->type == REG_SZ || v->type == REG_EXPAND_SZ || v->type == REG_LINK || v->type == REG_MULTI_SZ)) {
        std::u16string text;
        do {
            if (!read_quoted(r, &text)) return false;
            if (v->type == REG_MULTI_SZ && text.empty()) return r.fail("a multi-string holds an empty string");
            append_units(&v->data, text);
            append_units(&v->data, std::u16string_view(u"\0", 1));
        } while (v->type == REG_MULTI_SZ && !r.at_end());
        if (v->type == REG_MULTI_SZ) append_units(&v->data, std::u16string_view(u"\0", 1));
        return r.at_end() || r.fail("text after the value");
    }
    if (v->type == REG_DWORD) return read_number(r, 4, &v->data) && (r.at_end() || r.fail("text after the number"));
    if (v->type == REG_QWORD) return read_number(r, 8, &v->data) && (r.at_end() || r.fail("text after the number"));
    return r.fail("the value's data is missing or not of a form its type allows");
}

// Parses the whole text into a new tree.
std::shared_ptr<Node> parse(std::string_view text, std::string* error) {
    std::shared_ptr<Node> root;
    Node* current = nullptr;
    std::unordered_set<const Node*> listed;
    size_t line_number = 0;
    bool header_seen = false;
    size_t start = 0;
    auto failed = [&](const std::string& why) {
        if (error) *error = "line " + std::to_string(line_number) + ": " + why;
        return nullptr;
    };
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string_view line =
            text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        start = end == std::string_view::npos ? text.size() : end + 1;
        ++line_number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line[0] == ';') continue;
        if (!header_seen) {
            if (line != file_header) return failed("not a registry file (the first line must be \"hvsim registry 1\")");
            header_seen = true;
            continue;
        }
        Reader r;
        r.line = line;
        if (line[0] == '[') {
            if (line.back() != ']') return failed("a key line must end with ']'");
            r.line = line.substr(1, line.size() - 2);
            if (r.line.empty() || r.line[0] != '\\') return failed("a key path must begin with '\\'");
            std::vector<std::u16string> parts;
            while (r.pos < r.line.size()) {
                ++r.pos; // the separator
                std::u16string part;
                if (!read_escaped(r, '\\', &part)) return failed(r.error);
                if (part.empty()) return failed("a key path has an empty name");
                if (part.size() > 255) return failed("a key name is longer than 255 characters");
                parts.push_back(part);
            }
            if (parts.empty()) return failed("a key path has no name");
            if (!root) {
                if (parts.size() != 1 || !store::names_equal(parts[0], u"REGISTRY"))
                    return failed("the first key must be \\REGISTRY");
                root = std::make_shared<Node>();
                root->name = parts[0];
                current = root.get();
                listed.insert(current);
                continue;
            }
            if (!store::names_equal(parts[0], root->name)) return failed("a key outside \\REGISTRY");
            Node* node = root.get();
            for (size_t i = 1; i < parts.size(); ++i) {
                auto child = store::find_child_locked(*node, parts[i]);
                if (!child) {
                    child = std::make_shared<Node>();
                    child->name = parts[i];
                    child->parent = node;
                    node->children.push_back(child);
                }
                node = child.get();
            }
            if (!listed.insert(node).second) return failed("the key is listed twice");
            current = node;
            continue;
        }
        if (!current) return failed("a value or property before the first key");
        if (line[0] == '.') {
            std::string_view property = r.word();
            if (property == ".time") {
                std::vector<uint8_t> bytes;
                if (!read_number(r, 8, &bytes) || !r.at_end())
                    return failed(r.error.empty() ? "text after the time" : r.error);
                std::memcpy(&current->last_write_time, bytes.data(), 8);
            } else if (property == ".class") {
                if (!read_quoted(r, &current->class_name) || !r.at_end())
                    return failed(r.error.empty() ? "text after the class" : r.error);
            } else if (property == ".security") {
                if (!read_hex(r, &current->security)) return failed(r.error);
            } else {
                return failed("unknown key property '" + std::string(property) + "'");
            }
            continue;
        }
        Value v;
        if (!read_value(r, &v)) return failed(r.error);
        for (const auto& existing : current->values)
            if (store::names_equal(existing.name, v.name)) return failed("the value is listed twice in its key");
        current->values.push_back(std::move(v));
    }
    if (!header_seen) {
        line_number = 0;
        return failed("not a registry file (it is empty)");
    }
    if (!root) return failed("the file has no \\REGISTRY key");
    return root;
}

void mark_tree_deleted(Node* node) {
    node->deleted = true;
    for (auto& child : node->children) mark_tree_deleted(child.get());
}

void boot(const KernelOptions& options) {
    set_time_source(nullptr);
    reset();
    boot_error.clear();
    shutdown_error.clear();
    if (options.root.empty()) return;
    std::filesystem::path file = file_in(options.root);
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return;
    std::string error;
    if (NT_SUCCESS(load_file(file, &error))) {
        std::lock_guard lock(store::mutex());
        store::add_standard_keys_locked(*store::root_locked());
    } else {
        boot_error = file.string() + ": " + error;
        debugger_log_write("Registry: cannot load " + boot_error +
                           "; the machine runs on a fresh registry and leaves the file as it is\n");
    }
}

void shutdown() {
    if (kernel_options().root.empty() || !boot_error.empty()) return;
    std::string why;
    if (NT_SUCCESS(save_file(file_in(kernel_options().root), &why))) return;
    shutdown_error = "the registry was not saved: " + why;
    debugger_log_write("Registry: " + shutdown_error + "\n");
}

const bool registered = [] {
    register_kernel_subsystem({"registry", -60, boot, shutdown});
    return true;
}();

} // namespace

std::string to_text() {
    std::lock_guard lock(store::mutex());
    std::string out(file_header);
    out.push_back('\n');
    const Node& root = *store::root_locked();
    std::string path = "\\";
    put_escaped(path, root.name);
    put_key(out, root, path);
    return out;
}

NTSTATUS from_text(std::string_view text, std::string* error) {
    std::string why;
    std::shared_ptr<Node> tree = parse(text, &why);
    if (!tree) {
        if (error) *error = why;
        return STATUS_UNSUCCESSFUL;
    }
    std::lock_guard lock(store::mutex());
    mark_tree_deleted(store::root_locked().get());
    store::root_locked() = tree;
    return STATUS_SUCCESS;
}

std::filesystem::path file_in(const std::filesystem::path& machine_root) { return machine_root / "registry.txt"; }

NTSTATUS save_file(const std::filesystem::path& file, std::string* error) {
    return write_file_atomically(file, to_text(), error) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS load_file(const std::filesystem::path& file, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot open " + file.string();
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return from_text(text.str(), error);
}

NTSTATUS save() {
    if (!boot_error.empty()) return STATUS_UNSUCCESSFUL;
    if (kernel_options().root.empty()) return STATUS_SUCCESS;
    return save_file(file_in(kernel_options().root));
}

std::string boot_load_error() { return boot_error; }

std::string shutdown_save_error() { return shutdown_error; }

} // namespace hvsim::registry
