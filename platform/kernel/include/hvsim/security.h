// Security descriptors in their self-relative binary form (what a registry key's security slot
// holds), read and built by SID text ("S-1-5-32-544"), and the descriptors the system gives the
// keys it makes. Neutral types only: the kernel, user mode and the machine share these.
#pragma once

#include <ntdef.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hvsim::registry {
struct Node;
}

namespace hvsim::security {

inline constexpr std::string_view kEveryone = "S-1-1-0";
inline constexpr std::string_view kLocalSystem = "S-1-5-18";
inline constexpr std::string_view kAdministrators = "S-1-5-32-544";
inline constexpr std::string_view kUsers = "S-1-5-32-545";
inline constexpr std::string_view kCreatorOwner = "S-1-3-0";

struct Ace {
    std::string sid;
    ULONG mask = 0;
    bool deny = false;
    UCHAR flags = 0; // CONTAINER_INHERIT_ACE...
};

struct Descriptor {
    std::string owner; // empty: none
    std::string group;
    bool dacl_present = false; // without a DACL everyone gets everything
    std::vector<Ace> dacl;     // present and empty: nobody gets anything
};

// The SID's text, or empty when the bytes (`available` of them) hold no valid SID.
std::string sid_text(const uint8_t* sid, size_t available);
// The binary SID of a text; empty for a malformed text.
std::vector<uint8_t> sid_bytes(std::string_view text);
// Whether `size` bytes at `acl` hold a well-formed ACL (revision 2 to 4, entries inside it).
bool valid_acl(const uint8_t* acl, size_t size);

// nullopt for bytes that are no well-formed self-relative descriptor.
std::optional<Descriptor> parse(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> build(const Descriptor& descriptor);

// Keys that Plug and Play makes for a device (its Enum instance key and its driver key): SYSTEM
// full control, Administrators read and change the DACL, Everyone read.
std::vector<uint8_t> device_key_descriptor();
// Keys of the system's software settings (the Ports list): SYSTEM and Administrators full
// control, Users read, and full control for the creator of a subkey.
std::vector<uint8_t> system_settings_descriptor();
// Gives the key `descriptor` unless it already carries one (a descriptor a program set is kept).
void give_descriptor(const std::shared_ptr<registry::Node>& key, const std::vector<uint8_t>& descriptor);

} // namespace hvsim::security
