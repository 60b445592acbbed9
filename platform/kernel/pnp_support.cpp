// Helpers of the PnP manager: strings, registry values, GUID text and PnP requests.
#include "pnp_internal.h"

#include <hvsim/format.h>
#include <hvsim/io.h>
#include <hvsim/security.h>

#include <cstring>

namespace hvsim::pnp {
namespace detail {

std::vector<std::u16string> parse_multi_sz(const WCHAR* text) {
    std::vector<std::u16string> out;
    if (!text) return out;
    while (*text) {
        std::u16string item(text);
        text += item.size() + 1;
        out.push_back(std::move(item));
    }
    return out;
}

std::vector<std::u16string> parse_multi_sz(const std::vector<uint8_t>& bytes) {
    std::vector<std::u16string> out;
    std::u16string current;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char16_t c = (char16_t)(bytes[i] | bytes[i + 1] << 8);
        if (c) {
            current.push_back(c);
        } else {
            if (current.empty()) break;
            out.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) out.push_back(std::move(current)); // a value missing its terminators
    return out;
}

std::vector<uint8_t> make_multi_sz(const std::vector<std::u16string>& strings) {
    std::u16string joined;
    for (const auto& s : strings) {
        joined += s;
        joined.push_back(0);
    }
    joined.push_back(0);
    if (strings.empty()) joined.push_back(0);
    std::vector<uint8_t> out(joined.size() * 2);
    std::memcpy(out.data(), joined.data(), out.size());
    return out;
}

std::vector<uint8_t> make_sz(std::u16string_view text) {
    std::vector<uint8_t> out((text.size() + 1) * 2, 0);
    std::memcpy(out.data(), text.data(), text.size() * 2);
    return out;
}

std::u16string enum_key_path(std::u16string_view instance_id) {
    std::u16string path(kEnumPath);
    path += u'\\';
    path += instance_id;
    return path;
}

registry::Key open_key(std::u16string_view path) {
    registry::Key key;
    if (!NT_SUCCESS(registry::open(nullptr, path, &key))) return nullptr;
    return key;
}

registry::Key create_key(std::u16string_view path) {
    registry::Key key;
    registry::CreateOptions options;
    options.create_parents = true;
    if (!NT_SUCCESS(registry::create(nullptr, path, &key, nullptr, options))) return nullptr;
    return key;
}

registry::Key create_device_key(std::u16string_view path) {
    registry::Key key = create_key(path);
    security::give_descriptor(key, security::device_key_descriptor());
    return key;
}

std::optional<std::u16string> read_string(const registry::Key& key, std::u16string_view name) {
    registry::Value value;
    if (!key || !NT_SUCCESS(registry::query_value(key, name, &value))) return std::nullopt;
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ && value.type != REG_MULTI_SZ) return std::nullopt;
    std::u16string text;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
        char16_t c = (char16_t)(value.data[i] | value.data[i + 1] << 8);
        if (!c) break;
        text.push_back(c);
    }
    return text;
}

std::optional<std::vector<std::u16string>> read_multi(const registry::Key& key, std::u16string_view name) {
    registry::Value value;
    if (!key || !NT_SUCCESS(registry::query_value(key, name, &value))) return std::nullopt;
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
        auto text = read_string(key, name);
        if (!text || text->empty()) return std::vector<std::u16string>{};
        return std::vector<std::u16string>{*text};
    }
    if (value.type != REG_MULTI_SZ) return std::nullopt;
    return parse_multi_sz(value.data);
}

std::optional<DWORD> read_dword(const registry::Key& key, std::u16string_view name) {
    registry::Value value;
    if (!key || !NT_SUCCESS(registry::query_value(key, name, &value))) return std::nullopt;
    if (value.type != REG_DWORD || value.data.size() != 4) return std::nullopt;
    DWORD out;
    std::memcpy(&out, value.data.data(), 4);
    return out;
}

void write_string(const registry::Key& key, std::u16string_view name, std::u16string_view text) {
    if (!key) return;
    auto bytes = make_sz(text);
    registry::set_value(key, name, REG_SZ, bytes.data(), bytes.size());
}

void write_multi(const registry::Key& key, std::u16string_view name, const std::vector<std::u16string>& items) {
    if (!key) return;
    auto bytes = make_multi_sz(items);
    registry::set_value(key, name, REG_MULTI_SZ, bytes.data(), bytes.size());
}

void write_dword(const registry::Key& key, std::u16string_view name, DWORD value) {
    if (key) registry::set_value(key, name, REG_DWORD, &value, sizeof value);
}

std::u16string to_u16(std::string_view text) { return text::from_utf8(text); }

std::string to_utf8(std::u16string_view text) { return text::to_utf8(text); }

std::u16string hex8(ULONG value) {
    static const char16_t digits[] = u"0123456789abcdef";
    std::u16string out(8, u'0');
    for (int i = 7; i >= 0; --i, value >>= 4) out[i] = digits[value & 0xF];
    return out;
}

std::u16string decimal(ULONG value, int width) {
    std::u16string out;
    do {
        out.insert(out.begin(), (char16_t)(u'0' + value % 10));
        value /= 10;
    } while (value);
    while ((int)out.size() < width) out.insert(out.begin(), u'0');
    return out;
}

NTSTATUS open_kernel_key(std::u16string path, ACCESS_MASK access, PHANDLE handle) {
    if (!create_key(path)) return STATUS_INSUFFICIENT_RESOURCES;
    UNICODE_STRING name;
    name.Buffer = path.data();
    name.Length = (USHORT)(path.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return ZwOpenKey(handle, access, &attributes);
}

PnpResult send_pnp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill,
                   ULONG_PTR initial_information) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    io::IoResult result = io::send_and_wait(
        top,
        [&](PIRP irp, PIO_STACK_LOCATION stack) {
            irp->IoStatus.Information = initial_information;
            stack->MajorFunction = IRP_MJ_PNP;
            stack->MinorFunction = minor;
            if (fill) fill(stack);
        },
        STATUS_NOT_SUPPORTED);
    ObDereferenceObject(top);
    return {result.status, result.information};
}

} // namespace detail

std::u16string guid_to_string(const GUID& guid) {
    static const char16_t digits[] = u"0123456789ABCDEF";
    std::u16string out = u"{";
    auto put = [&](uint64_t value, int nibbles) {
        for (int i = nibbles - 1; i >= 0; --i) out.push_back(digits[(value >> (4 * i)) & 0xF]);
    };
    put(guid.Data1, 8);
    out.push_back(u'-');
    put(guid.Data2, 4);
    out.push_back(u'-');
    put(guid.Data3, 4);
    out.push_back(u'-');
    put(guid.Data4[0], 2);
    put(guid.Data4[1], 2);
    out.push_back(u'-');
    for (int i = 2; i < 8; ++i) put(guid.Data4[i], 2);
    out.push_back(u'}');
    return out;
}

std::optional<GUID> guid_from_string(std::u16string_view text) {
    if (text.size() != 38 || text.front() != u'{' || text.back() != u'}') return std::nullopt;
    auto nibble = [](char16_t c) -> int {
        if (c >= u'0' && c <= u'9') return c - u'0';
        if (c >= u'a' && c <= u'f') return c - u'a' + 10;
        if (c >= u'A' && c <= u'F') return c - u'A' + 10;
        return -1;
    };
    size_t pos = 1;
    auto read = [&](int nibbles, uint64_t* value) {
        *value = 0;
        for (int i = 0; i < nibbles; ++i) {
            int n = nibble(text[pos++]);
            if (n < 0) return false;
            *value = *value << 4 | (uint64_t)n;
        }
        return true;
    };
    auto dash = [&]() { return text[pos++] == u'-'; };
    GUID guid{};
    uint64_t v;
    if (!read(8, &v)) return std::nullopt;
    guid.Data1 = (ULONG)v;
    if (!dash() || !read(4, &v)) return std::nullopt;
    guid.Data2 = (USHORT)v;
    if (!dash() || !read(4, &v)) return std::nullopt;
    guid.Data3 = (USHORT)v;
    if (!dash()) return std::nullopt;
    for (int i = 0; i < 8; ++i) {
        if (i == 2 && !dash()) return std::nullopt;
        if (!read(2, &v)) return std::nullopt;
        guid.Data4[i] = (UCHAR)v;
    }
    return guid;
}

} // namespace hvsim::pnp
