// Self-relative security descriptors: parsing and building them by SID text, and the standard
// descriptors of the keys the system makes.
//
// Layouts: a SID is revision, count, a 6-byte big-endian authority and `count` 32-bit
// sub-authorities; an ACL is an 8-byte header (revision, size, entry count) followed by its
// entries, each a 4-byte header (type, flags, size), an access mask and a SID; a self-relative
// descriptor is a 20-byte header whose owner, group, SACL and DACL are byte offsets (0: none).
#include <hvsim/registry.h>
#include <hvsim/security.h>

#include <charconv>
#include <cstring>

namespace hvsim::security {
namespace {

constexpr uint8_t kSidRevision = 1;
constexpr uint8_t kMaxSubAuthorities = 15;
constexpr uint8_t kAllowedAce = 0, kDeniedAce = 1;
constexpr uint16_t kDaclPresent = 0x0004, kSelfRelative = 0x8000;
constexpr size_t kHeader = 20, kAclHeader = 8, kAceHeader = 8;
constexpr ULONG kKeyRead = 0x20019, kKeyAllAccess = 0xF003F, kWriteDac = 0x40000;
constexpr UCHAR kContainerInherit = 0x2, kInheritOnly = 0x8;

uint16_t u16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t u32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
void put16(std::vector<uint8_t>& out, size_t at, uint16_t v) { std::memcpy(&out[at], &v, 2); }
void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) { std::memcpy(&out[at], &v, 4); }

size_t sid_size(const uint8_t* sid) { return 8 + 4u * sid[1]; }

// The ACL at `offset` of a descriptor, its entries parsed; false when it is malformed.
bool parse_acl(const std::vector<uint8_t>& bytes, size_t offset, std::vector<Ace>* out) {
    if (offset + kAclHeader > bytes.size()) return false;
    const uint8_t* acl = &bytes[offset];
    size_t size = u16(acl + 2);
    if (offset + size > bytes.size() || !valid_acl(acl, size)) return false;
    size_t at = kAclHeader;
    for (uint16_t i = 0, count = u16(acl + 4); i < count; ++i) {
        uint8_t type = acl[at];
        uint16_t ace_size = u16(acl + at + 2);
        if (type == kAllowedAce || type == kDeniedAce)
            out->push_back({sid_text(acl + at + 8, ace_size - 8), u32(acl + at + 4), type == kDeniedAce, acl[at + 1]});
        at += ace_size;
    }
    return true;
}

} // namespace

std::string sid_text(const uint8_t* sid, size_t available) {
    if (!sid || available < 8 || sid[0] != kSidRevision || sid[1] > kMaxSubAuthorities) return {};
    if (available < sid_size(sid)) return {};
    uint64_t authority = 0;
    for (int i = 0; i < 6; ++i) authority = (authority << 8) | sid[2 + i];
    std::string text = "S-1-" + std::to_string(authority);
    for (uint8_t i = 0; i < sid[1]; ++i) text += "-" + std::to_string(u32(sid + 8 + 4 * i));
    return text;
}

std::vector<uint8_t> sid_bytes(std::string_view text) {
    if (text.substr(0, 4) != "S-1-") return {};
    std::vector<uint64_t> parts;
    const char* at = text.data() + 4;
    const char* end = text.data() + text.size();
    while (true) {
        uint64_t value = 0;
        auto [next, error] = std::from_chars(at, end, value);
        if (error != std::errc() || next == at) return {};
        parts.push_back(value);
        if (next == end) break;
        if (*next != '-') return {};
        at = next + 1;
    }
    size_t count = parts.size() - 1;
    if (count > kMaxSubAuthorities || parts[0] >> 48) return {};
    std::vector<uint8_t> sid(8 + 4 * count);
    sid[0] = kSidRevision;
    sid[1] = uint8_t(count);
    for (int i = 0; i < 6; ++i) sid[2 + i] = uint8_t(parts[0] >> (8 * (5 - i)));
    for (size_t i = 0; i < count; ++i) {
        if (parts[i + 1] > 0xFFFFFFFFu) return {};
        put32(sid, 8 + 4 * i, uint32_t(parts[i + 1]));
    }
    return sid;
}

bool valid_acl(const uint8_t* acl, size_t size) {
    if (!acl || size < kAclHeader) return false;
    if (acl[0] < 2 || acl[0] > 4) return false;
    size_t declared = u16(acl + 2);
    if (declared < kAclHeader || declared > size) return false;
    size_t at = kAclHeader;
    for (uint16_t i = 0, count = u16(acl + 4); i < count; ++i) {
        if (at + 4 > declared) return false;
        uint16_t ace_size = u16(acl + at + 2);
        if (ace_size < 4 || at + ace_size > declared) return false;
        uint8_t type = acl[at];
        if ((type == kAllowedAce || type == kDeniedAce) &&
            (ace_size < kAceHeader + 8 || sid_text(acl + at + 8, ace_size - 8).empty()))
            return false;
        at += ace_size;
    }
    return true;
}

std::optional<Descriptor> parse(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < kHeader || bytes[0] != 1) return std::nullopt;
    const uint8_t* h = bytes.data();
    uint16_t control = u16(h + 2);
    if (!(control & kSelfRelative)) return std::nullopt;
    Descriptor out;
    auto sid_at = [&](uint32_t offset, std::string* text) {
        if (!offset) return true;
        if (offset >= bytes.size()) return false;
        *text = sid_text(&bytes[offset], bytes.size() - offset);
        return !text->empty();
    };
    if (!sid_at(u32(h + 4), &out.owner) || !sid_at(u32(h + 8), &out.group)) return std::nullopt;
    if ((control & kDaclPresent) && u32(h + 16)) {
        out.dacl_present = true;
        if (!parse_acl(bytes, u32(h + 16), &out.dacl)) return std::nullopt;
    } else if (control & kDaclPresent) {
        out.dacl_present = false; // a NULL DACL: open to everyone
    }
    return out;
}

std::vector<uint8_t> build(const Descriptor& descriptor) {
    std::vector<uint8_t> out(kHeader, 0);
    out[0] = 1;
    uint16_t control = kSelfRelative;
    auto append_sid = [&](const std::string& text, size_t field) {
        std::vector<uint8_t> sid = sid_bytes(text);
        if (sid.empty()) return;
        put32(out, field, uint32_t(out.size()));
        out.insert(out.end(), sid.begin(), sid.end());
    };
    append_sid(descriptor.owner, 4);
    append_sid(descriptor.group, 8);
    if (descriptor.dacl_present) {
        control |= kDaclPresent;
        size_t acl_at = out.size();
        put32(out, 16, uint32_t(acl_at));
        out.resize(acl_at + kAclHeader, 0);
        uint16_t count = 0;
        for (const Ace& ace : descriptor.dacl) {
            std::vector<uint8_t> sid = sid_bytes(ace.sid);
            if (sid.empty()) continue;
            size_t at = out.size();
            out.resize(at + kAceHeader + sid.size());
            out[at] = ace.deny ? kDeniedAce : kAllowedAce;
            out[at + 1] = ace.flags;
            put16(out, at + 2, uint16_t(kAceHeader + sid.size()));
            put32(out, at + 4, ace.mask);
            std::memcpy(&out[at + 8], sid.data(), sid.size());
            ++count;
        }
        out[acl_at] = 2; // ACL_REVISION
        put16(out, acl_at + 2, uint16_t(out.size() - acl_at));
        put16(out, acl_at + 4, count);
    }
    put16(out, 2, control);
    return out;
}

std::vector<uint8_t> device_key_descriptor() {
    Descriptor d;
    d.owner = kAdministrators;
    d.group = kLocalSystem;
    d.dacl_present = true;
    d.dacl = {{std::string(kLocalSystem), kKeyAllAccess, false, kContainerInherit},
              {std::string(kAdministrators), kKeyRead | kWriteDac, false, kContainerInherit},
              {std::string(kEveryone), kKeyRead, false, kContainerInherit}};
    return build(d);
}

std::vector<uint8_t> system_settings_descriptor() {
    Descriptor d;
    d.owner = kAdministrators;
    d.group = kLocalSystem;
    d.dacl_present = true;
    d.dacl = {{std::string(kLocalSystem), kKeyAllAccess, false, kContainerInherit},
              {std::string(kAdministrators), kKeyAllAccess, false, kContainerInherit},
              {std::string(kUsers), kKeyRead, false, kContainerInherit},
              {std::string(kCreatorOwner), kKeyAllAccess, false, kContainerInherit | kInheritOnly}};
    return build(d);
}

void give_descriptor(const std::shared_ptr<registry::Node>& key, const std::vector<uint8_t>& descriptor) {
    std::vector<uint8_t> current;
    if (!key || !NT_SUCCESS(registry::get_security(key, &current)) || !current.empty()) return;
    registry::set_security(key, descriptor.data(), descriptor.size());
}

} // namespace hvsim::security
