// SIDs, ACLs and security descriptors in the caller's memory (advapi32).
//
//   AllocateAndInitializeSid, FreeSid, EqualSid, IsValidSid, GetLengthSid
//   InitializeAcl, IsValidAcl, AddAccessAllowedAce(Ex), AddAccessDeniedAce, GetAce
//   InitializeSecurityDescriptor, IsValidSecurityDescriptor, GetSecurityDescriptorLength,
//   SetSecurityDescriptorDacl, GetSecurityDescriptorDacl
//
// The Windows 9x platform has none of them (ERROR_CALL_NOT_IMPLEMENTED). The binary forms are
// those of winnt_security.h; the checks are those of hvsim/security.h, so what a program builds
// here is what the registry accepts.
#include <windows.h>

#include <hvsim/security.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "internal/security_internal.h"
#include "internal/user_internal.h"

namespace hvsim::user {
namespace {

// SIDs that AllocateAndInitializeSid handed out and FreeSid has not taken back yet.
struct AllocatedSids {
    std::mutex mutex;
    std::set<void*> live;
};
AllocatedSids& allocated_sids() {
    static AllocatedSids* a = new AllocatedSids;
    return *a;
}

constexpr size_t kMaxAclSize = 0xFFFF;
constexpr size_t kMaxSubAuthoritiesOfAllocate = 8;

bool fail(DWORD error) {
    SetLastError(error);
    return false;
}

bool security_available() { return !windows_9x() || fail(ERROR_CALL_NOT_IMPLEMENTED); }

bool valid_sid(PSID sid) {
    return sid && !security::sid_text(static_cast<const uint8_t*>(sid), SECURITY_MAX_SID_SIZE).empty();
}

size_t sid_length(PSID sid) { return 8 + 4u * static_cast<const BYTE*>(sid)[1]; }

bool valid_acl(const ACL* acl) {
    return acl && security::valid_acl(reinterpret_cast<const uint8_t*>(acl), acl->AclSize);
}

// Where the ACL's entries end.
size_t acl_used(const ACL* acl) {
    const auto* bytes = reinterpret_cast<const BYTE*>(acl);
    size_t at = sizeof(ACL);
    for (WORD i = 0; i < acl->AceCount; ++i) {
        ACE_HEADER header;
        std::memcpy(&header, bytes + at, sizeof header);
        at += header.AceSize;
    }
    return at;
}

BOOL add_ace(PACL acl, DWORD revision, BYTE type, DWORD flags, DWORD mask, PSID sid) {
    if (!security_available()) return FALSE;
    if (!valid_acl(acl)) return fail(ERROR_INVALID_ACL);
    if (!valid_sid(sid)) return fail(ERROR_INVALID_SID);
    if (revision < ACL_REVISION || revision > ACL_REVISION_DS) return fail(ERROR_REVISION_MISMATCH);
    if (flags & ~DWORD(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE |
                       INHERITED_ACE))
        return fail(ERROR_INVALID_PARAMETER);
    const size_t at = acl_used(acl);
    const size_t size = offsetof(ACCESS_ALLOWED_ACE, SidStart) + sid_length(sid);
    if (at + size > acl->AclSize) return fail(ERROR_ALLOTTED_SPACE_EXCEEDED);
    auto* bytes = reinterpret_cast<BYTE*>(acl);
    ACE_HEADER header{type, BYTE(flags), WORD(size)};
    std::memcpy(bytes + at, &header, sizeof header);
    std::memcpy(bytes + at + sizeof header, &mask, sizeof mask);
    std::memcpy(bytes + at + offsetof(ACCESS_ALLOWED_ACE, SidStart), sid, sid_length(sid));
    if (revision > acl->AclRevision) acl->AclRevision = BYTE(revision);
    ++acl->AceCount;
    return TRUE;
}

// The parts of a descriptor in either form; false when it is malformed.
struct DescriptorParts {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    const BYTE* owner = nullptr;
    const BYTE* group = nullptr;
    const ACL* sacl = nullptr;
    const ACL* dacl = nullptr;
};
bool descriptor_parts(const void* descriptor, DescriptorParts* out) {
    if (!descriptor) return false;
    const auto* bytes = static_cast<const BYTE*>(descriptor);
    if (bytes[0] != SECURITY_DESCRIPTOR_REVISION) return false;
    std::memcpy(&out->control, bytes + 2, sizeof out->control);
    if (out->control & SE_SELF_RELATIVE) {
        SECURITY_DESCRIPTOR_RELATIVE h;
        std::memcpy(&h, bytes, sizeof h);
        out->owner = h.Owner ? bytes + h.Owner : nullptr;
        out->group = h.Group ? bytes + h.Group : nullptr;
        out->sacl = h.Sacl ? reinterpret_cast<const ACL*>(bytes + h.Sacl) : nullptr;
        out->dacl = h.Dacl ? reinterpret_cast<const ACL*>(bytes + h.Dacl) : nullptr;
    } else {
        SECURITY_DESCRIPTOR h;
        std::memcpy(&h, bytes, sizeof h);
        out->owner = static_cast<const BYTE*>(h.Owner);
        out->group = static_cast<const BYTE*>(h.Group);
        out->sacl = h.Sacl;
        out->dacl = h.Dacl;
    }
    if (!(out->control & SE_SACL_PRESENT)) out->sacl = nullptr;
    if (!(out->control & SE_DACL_PRESENT)) out->dacl = nullptr;
    if (out->owner && !valid_sid(const_cast<BYTE*>(out->owner))) return false;
    if (out->group && !valid_sid(const_cast<BYTE*>(out->group))) return false;
    if (out->sacl && !valid_acl(out->sacl)) return false;
    if (out->dacl && !valid_acl(out->dacl)) return false;
    return true;
}

} // namespace

std::optional<std::vector<BYTE>> self_relative_copy(const void* descriptor) {
    DescriptorParts parts;
    if (!descriptor_parts(descriptor, &parts)) return std::nullopt;
    std::vector<BYTE> out(sizeof(SECURITY_DESCRIPTOR_RELATIVE));
    SECURITY_DESCRIPTOR_RELATIVE h{};
    h.Revision = SECURITY_DESCRIPTOR_REVISION;
    h.Control = SECURITY_DESCRIPTOR_CONTROL(parts.control | SE_SELF_RELATIVE);
    auto append = [&](const void* part, size_t size) {
        DWORD at = DWORD(out.size());
        const auto* bytes = static_cast<const BYTE*>(part);
        out.insert(out.end(), bytes, bytes + size);
        return at;
    };
    if (parts.owner) h.Owner = append(parts.owner, sid_length(const_cast<BYTE*>(parts.owner)));
    if (parts.group) h.Group = append(parts.group, sid_length(const_cast<BYTE*>(parts.group)));
    if (parts.sacl) h.Sacl = append(parts.sacl, parts.sacl->AclSize);
    if (parts.dacl) h.Dacl = append(parts.dacl, parts.dacl->AclSize);
    std::memcpy(out.data(), &h, sizeof h);
    return out;
}

} // namespace hvsim::user

using namespace hvsim;
using namespace hvsim::user;

HV_EXTERN_C_BEGIN

// ---- SIDs ----

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                                     DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                                     DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                                     DWORD nSubAuthority6, DWORD nSubAuthority7, PSID* pSid) {
    if (!security_available()) return FALSE;
    if (!pIdentifierAuthority || !pSid) return fail(ERROR_INVALID_PARAMETER);
    if (nSubAuthorityCount > kMaxSubAuthoritiesOfAllocate) return fail(ERROR_INVALID_SID);
    const DWORD subs[] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                          nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
    size_t size = 8 + 4u * nSubAuthorityCount;
    auto* sid = static_cast<BYTE*>(std::calloc(1, size));
    if (!sid) return fail(ERROR_NOT_ENOUGH_MEMORY);
    sid[0] = SID_REVISION;
    sid[1] = nSubAuthorityCount;
    std::memcpy(sid + 2, pIdentifierAuthority->Value, 6);
    std::memcpy(sid + 8, subs, 4u * nSubAuthorityCount);
    auto& a = allocated_sids();
    std::lock_guard lock(a.mutex);
    a.live.insert(sid);
    *pSid = sid;
    return TRUE;
}

PVOID WINAPI FreeSid(PSID pSid) {
    auto& a = allocated_sids();
    std::lock_guard lock(a.mutex);
    if (!a.live.erase(pSid)) return pSid; // not ours: left alone, as a failure
    std::free(pSid);
    return nullptr;
}

BOOL WINAPI IsValidSid(PSID pSid) { return security_available() && valid_sid(pSid); }

DWORD WINAPI GetLengthSid(PSID pSid) { return valid_sid(pSid) ? DWORD(sid_length(pSid)) : 0; }

BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
    if (!security_available()) return FALSE;
    if (!valid_sid(pSid1) || !valid_sid(pSid2)) return fail(ERROR_INVALID_SID);
    SetLastError(ERROR_SUCCESS);
    return sid_length(pSid1) == sid_length(pSid2) && std::memcmp(pSid1, pSid2, sid_length(pSid1)) == 0;
}

// ---- ACLs ----

BOOL WINAPI InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision) {
    if (!security_available()) return FALSE;
    if (!pAcl) return fail(ERROR_INVALID_PARAMETER);
    if (nAclLength < sizeof(ACL)) return fail(ERROR_INSUFFICIENT_BUFFER);
    if (nAclLength > kMaxAclSize || dwAclRevision < ACL_REVISION || dwAclRevision > ACL_REVISION_DS)
        return fail(ERROR_INVALID_PARAMETER);
    // The size is kept a whole number of DWORDs.
    *pAcl = ACL{BYTE(dwAclRevision), 0, WORD(nAclLength & ~3u), 0, 0};
    return TRUE;
}

BOOL WINAPI IsValidAcl(PACL pAcl) { return security_available() && valid_acl(pAcl); }

BOOL WINAPI AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid) {
    return add_ace(pAcl, dwAceRevision, ACCESS_ALLOWED_ACE_TYPE, 0, AccessMask, pSid);
}

BOOL WINAPI AddAccessAllowedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask, PSID pSid) {
    return add_ace(pAcl, dwAceRevision, ACCESS_ALLOWED_ACE_TYPE, AceFlags, AccessMask, pSid);
}

BOOL WINAPI AddAccessDeniedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid) {
    return add_ace(pAcl, dwAceRevision, ACCESS_DENIED_ACE_TYPE, 0, AccessMask, pSid);
}

BOOL WINAPI GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce) {
    if (!security_available()) return FALSE;
    if (!valid_acl(pAcl)) return fail(ERROR_INVALID_ACL);
    if (!pAce || dwAceIndex >= pAcl->AceCount) return fail(ERROR_INVALID_PARAMETER);
    auto* bytes = reinterpret_cast<BYTE*>(pAcl);
    size_t at = sizeof(ACL);
    for (DWORD i = 0; i < dwAceIndex; ++i) {
        ACE_HEADER header;
        std::memcpy(&header, bytes + at, sizeof header);
        at += header.AceSize;
    }
    *pAce = bytes + at;
    return TRUE;
}

// ---- Security descriptors ----

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (!security_available()) return FALSE;
    if (!pSecurityDescriptor) return fail(ERROR_INVALID_PARAMETER);
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return fail(ERROR_UNKNOWN_REVISION);
    SECURITY_DESCRIPTOR empty{};
    empty.Revision = SECURITY_DESCRIPTOR_REVISION;
    std::memcpy(pSecurityDescriptor, &empty, sizeof empty);
    return TRUE;
}

BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    DescriptorParts parts;
    return security_available() && descriptor_parts(pSecurityDescriptor, &parts);
}

DWORD WINAPI GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    auto copy = self_relative_copy(pSecurityDescriptor);
    return copy ? DWORD(copy->size()) : 0;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                      BOOL bDaclDefaulted) {
    if (!security_available()) return FALSE;
    if (!pSecurityDescriptor) return fail(ERROR_INVALID_PARAMETER);
    auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) return fail(ERROR_UNKNOWN_REVISION);
    // A self-relative descriptor has no room to take a pointer.
    if (descriptor->Control & SE_SELF_RELATIVE) return fail(ERROR_INVALID_SECURITY_DESCR);
    if (bDaclPresent && pDacl && !valid_acl(pDacl)) return fail(ERROR_INVALID_ACL);
    descriptor->Control &= ~SECURITY_DESCRIPTOR_CONTROL(SE_DACL_PRESENT | SE_DACL_DEFAULTED);
    descriptor->Dacl = nullptr;
    if (bDaclPresent) {
        descriptor->Control |= SE_DACL_PRESENT;
        descriptor->Dacl = pDacl;
        if (bDaclDefaulted) descriptor->Control |= SE_DACL_DEFAULTED;
    }
    return TRUE;
}

BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent, PACL* pDacl,
                                      LPBOOL lpbDaclDefaulted) {
    if (!security_available()) return FALSE;
    if (!lpbDaclPresent || !pDacl || !lpbDaclDefaulted) return fail(ERROR_INVALID_PARAMETER);
    DescriptorParts parts;
    if (!descriptor_parts(pSecurityDescriptor, &parts)) return fail(ERROR_INVALID_SECURITY_DESCR);
    *lpbDaclPresent = (parts.control & SE_DACL_PRESENT) != 0;
    *pDacl = const_cast<PACL>(parts.dacl);
    *lpbDaclDefaulted = (parts.control & SE_DACL_DEFAULTED) != 0;
    return TRUE;
}

HV_EXTERN_C_END
