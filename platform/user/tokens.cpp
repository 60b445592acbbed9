// Access tokens of processes (advapi32).
//
//   OpenProcessToken, OpenThreadToken, GetTokenInformation, DuplicateTokenEx,
//   AdjustTokenPrivileges, LookupPrivilegeValueA/W
//
// Every process has one primary token made from its TokenKind when it is created; the token
// handle that OpenProcessToken gives refers to that very token, so enabling a privilege through
// it changes what the process may do. Threads never impersonate.
#include <windows.h>

#include <hvsim/security.h>
#include <hvsim/user_hooks.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>

#include "internal/handles.h"
#include "internal/security_internal.h"

namespace hvsim::user {

// ---- Privileges ---------------------------------------------------------------------------------

namespace {

// Which tokens hold a privilege, and enabled from the start or not.
enum class Holders { Everyone, Administrators };
struct PrivilegeRow {
    const char* name;
    DWORD luid;
    Holders holders;
    bool enabled_by_default;
};
constexpr PrivilegeRow kPrivileges[] = {
    {"SeCreateTokenPrivilege", 2, Holders::Administrators, false},
    {"SeAssignPrimaryTokenPrivilege", 3, Holders::Administrators, false},
    {"SeLockMemoryPrivilege", 4, Holders::Administrators, false},
    {"SeIncreaseQuotaPrivilege", 5, Holders::Administrators, false},
    {"SeMachineAccountPrivilege", 6, Holders::Administrators, false},
    {"SeTcbPrivilege", 7, Holders::Administrators, false},
    {"SeSecurityPrivilege", 8, Holders::Administrators, false},
    {"SeTakeOwnershipPrivilege", 9, Holders::Administrators, false},
    {"SeLoadDriverPrivilege", 10, Holders::Administrators, false},
    {"SeSystemProfilePrivilege", 11, Holders::Administrators, false},
    {"SeSystemtimePrivilege", 12, Holders::Administrators, false},
    {"SeProfileSingleProcessPrivilege", 13, Holders::Administrators, false},
    {"SeIncreaseBasePriorityPrivilege", 14, Holders::Administrators, false},
    {"SeCreatePagefilePrivilege", 15, Holders::Administrators, false},
    {"SeCreatePermanentPrivilege", 16, Holders::Administrators, false},
    {"SeBackupPrivilege", 17, Holders::Administrators, false},
    {"SeRestorePrivilege", 18, Holders::Administrators, false},
    {"SeShutdownPrivilege", 19, Holders::Everyone, false},
    {"SeDebugPrivilege", 20, Holders::Administrators, false},
    {"SeAuditPrivilege", 21, Holders::Administrators, false},
    {"SeSystemEnvironmentPrivilege", 22, Holders::Administrators, false},
    {"SeChangeNotifyPrivilege", 23, Holders::Everyone, true},
    {"SeRemoteShutdownPrivilege", 24, Holders::Administrators, false},
    {"SeUndockPrivilege", 25, Holders::Everyone, false},
    {"SeSyncAgentPrivilege", 26, Holders::Administrators, false},
    {"SeEnableDelegationPrivilege", 27, Holders::Administrators, false},
    {"SeManageVolumePrivilege", 28, Holders::Administrators, false},
    {"SeImpersonatePrivilege", 29, Holders::Administrators, true},
    {"SeCreateGlobalPrivilege", 30, Holders::Administrators, true},
    {"SeTrustedCredManAccessPrivilege", 31, Holders::Administrators, false},
    {"SeRelabelPrivilege", 32, Holders::Administrators, false},
    {"SeIncreaseWorkingSetPrivilege", 33, Holders::Everyone, false},
    {"SeTimeZonePrivilege", 34, Holders::Everyone, false},
    {"SeCreateSymbolicLinkPrivilege", 35, Holders::Administrators, false},
};
// Privileges that no interactive token holds, even an administrator's.
constexpr DWORD kSystemOnly[] = {2, 3, 4, 6, 7, 16, 21, 26, 27, 31, 32};

// The machine's accounts: an administrator (the account made at setup) and a standard user.
constexpr std::string_view kMachineDomain = "S-1-5-21-3623811015-3361044348-30300820";
constexpr std::string_view kLogonSid = "S-1-5-5-0-71427";

std::atomic<TokenKind> g_default_kind{TokenKind::Administrator};

bool vista_or_later() { return windows_version().major >= 6; }

} // namespace

struct Token {
    struct Group {
        std::string sid;
        DWORD attributes;
    };
    struct Privilege {
        DWORD luid;
        DWORD attributes;
    };

    mutable std::mutex mutex;
    TokenKind kind;
    TOKEN_TYPE type = TokenPrimary;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    std::string user;
    std::vector<Group> groups;
    std::vector<Privilege> privileges; // guarded by mutex

    std::string owner() const {
        return kind == TokenKind::System || (kind == TokenKind::Administrator && vista_or_later()) ? "S-1-5-32-544"
                                                                                                   : user;
    }
};

namespace {

class TokenObject : public UserObject {
public:
    explicit TokenObject(std::shared_ptr<Token> token) : UserObject(ObjectKind::Token), token(std::move(token)) {}
    std::shared_ptr<Token> token;
};

constexpr DWORD kGroup = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
const GenericMapping kTokenMapping{TOKEN_READ, TOKEN_WRITE, TOKEN_EXECUTE, TOKEN_ALL_ACCESS};

std::shared_ptr<Token> copy_token(const Token& from) {
    auto token = std::make_shared<Token>();
    std::lock_guard lock(from.mutex);
    token->kind = from.kind;
    token->type = from.type;
    token->level = from.level;
    token->user = from.user;
    token->groups = from.groups;
    token->privileges = from.privileges;
    return token;
}

bool not_on_9x() {
    if (!windows_9x()) return true;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return false;
}

// The token behind a handle, if the handle grants `needed`.
std::shared_ptr<Token> token_of(HANDLE handle, DWORD needed) {
    DWORD access = 0;
    auto object = resolve_handle(handle, ObjectKind::Token, &access);
    if (!object) return nullptr;
    if ((access & needed) != needed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return static_cast<TokenObject&>(*object).token;
}

BOOL open_token(std::shared_ptr<Token> token, DWORD access, PHANDLE out) {
    *out = insert_handle(std::make_shared<TokenObject>(std::move(token)), map_generic_access(access, kTokenMapping));
    return TRUE;
}

// ---- GetTokenInformation's layouts ----

// Writes SID_AND_ATTRIBUTES entries at `entries` with their SIDs from `sids` on.
void put_sids(BYTE* base, size_t entries, size_t sids, const std::vector<Token::Group>& groups) {
    for (size_t i = 0; i < groups.size(); ++i) {
        std::vector<uint8_t> sid = security::sid_bytes(groups[i].sid);
        std::memcpy(base + sids, sid.data(), sid.size());
        SID_AND_ATTRIBUTES entry{base + sids, groups[i].attributes};
        std::memcpy(base + entries + i * sizeof entry, &entry, sizeof entry);
        sids += sid.size();
    }
}

size_t sids_size(const std::vector<Token::Group>& groups) {
    size_t size = 0;
    for (const auto& g : groups) size += security::sid_bytes(g.sid).size();
    return size;
}

// The class's bytes in `out`; false for a class this token does not answer.
bool token_information(const Token& token, TOKEN_INFORMATION_CLASS info, std::vector<BYTE>* out, bool* fixed) {
    std::lock_guard lock(token.mutex);
    *fixed = false;
    auto dword = [&](DWORD value) {
        *fixed = true;
        out->resize(4);
        std::memcpy(out->data(), &value, 4);
    };
    switch (info) {
    case TokenUser: {
        std::vector<Token::Group> user{{token.user, 0}};
        out->assign(sizeof(TOKEN_USER) + sids_size(user), 0);
        put_sids(out->data(), 0, sizeof(TOKEN_USER), user);
        return true;
    }
    case TokenOwner: {
        std::vector<uint8_t> sid = security::sid_bytes(token.owner());
        out->assign(sizeof(TOKEN_OWNER) + sid.size(), 0);
        std::memcpy(out->data() + sizeof(TOKEN_OWNER), sid.data(), sid.size());
        TOKEN_OWNER owner{out->data() + sizeof(TOKEN_OWNER)};
        std::memcpy(out->data(), &owner, sizeof owner);
        return true;
    }
    case TokenGroups: {
        const size_t entries = offsetof(TOKEN_GROUPS, Groups);
        const size_t sids = entries + token.groups.size() * sizeof(SID_AND_ATTRIBUTES);
        out->assign(sids + sids_size(token.groups), 0);
        DWORD count = DWORD(token.groups.size());
        std::memcpy(out->data(), &count, 4);
        put_sids(out->data(), entries, sids, token.groups);
        return true;
    }
    case TokenPrivileges: {
        const size_t entries = offsetof(TOKEN_PRIVILEGES, Privileges);
        out->assign(entries + token.privileges.size() * sizeof(LUID_AND_ATTRIBUTES), 0);
        DWORD count = DWORD(token.privileges.size());
        std::memcpy(out->data(), &count, 4);
        for (size_t i = 0; i < token.privileges.size(); ++i) {
            LUID_AND_ATTRIBUTES entry{{token.privileges[i].luid, 0}, token.privileges[i].attributes};
            std::memcpy(out->data() + entries + i * sizeof entry, &entry, sizeof entry);
        }
        return true;
    }
    case TokenType: dword(token.type); return true;
    case TokenImpersonationLevel:
        if (token.type != TokenImpersonation) return false;
        dword(token.level);
        return true;
    case TokenElevationType:
        if (!vista_or_later()) return false;
        dword(token.kind == TokenKind::Administrator           ? TokenElevationTypeFull
              : token.kind == TokenKind::FilteredAdministrator ? TokenElevationTypeLimited
                                                               : TokenElevationTypeDefault);
        return true;
    case TokenElevation:
        if (!vista_or_later()) return false;
        dword(token.kind == TokenKind::Administrator || token.kind == TokenKind::System ? 1 : 0);
        return true;
    default: return false;
    }
}

const PrivilegeRow* privilege_named(std::u16string_view name) {
    for (const auto& row : kPrivileges) {
        std::string_view n(row.name);
        if (n.size() == name.size() && std::equal(n.begin(), n.end(), name.begin(), [](char a, char16_t b) {
                return b < 128 && std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<int>(b));
            }))
            return &row;
    }
    return nullptr;
}

BOOL lookup_privilege(bool local, std::u16string_view name, PLUID luid) {
    if (!not_on_9x()) return FALSE;
    if (!luid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!local) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    const PrivilegeRow* row = privilege_named(name);
    if (!row) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    *luid = {row->luid, 0};
    return TRUE;
}

} // namespace

std::shared_ptr<Token> token_of_handle(HANDLE handle, DWORD needed) { return token_of(handle, needed); }

bool token_is_primary(const Token& token) { return token.type == TokenPrimary; }

std::shared_ptr<Token> make_token(TokenKind kind) {
    auto token = std::make_shared<Token>();
    token->kind = kind;
    const bool system = kind == TokenKind::System;
    const bool elevated = kind == TokenKind::Administrator || system;
    token->user = system ? std::string(security::kLocalSystem)
                         : std::string(kMachineDomain) + (kind == TokenKind::StandardUser ? "-1001" : "-1000");
    token->groups = {{"S-1-1-0", kGroup}, {"S-1-2-0", kGroup}};
    if (elevated) token->groups.push_back({"S-1-5-32-544", kGroup | SE_GROUP_OWNER});
    if (kind == TokenKind::FilteredAdministrator) token->groups.push_back({"S-1-5-32-544", SE_GROUP_USE_FOR_DENY_ONLY});
    token->groups.push_back({"S-1-5-11", kGroup});
    if (!system) {
        token->groups.push_back({"S-1-5-32-545", kGroup});
        token->groups.push_back({"S-1-5-4", kGroup});
        token->groups.push_back({"S-1-5-15", kGroup});
        token->groups.push_back({std::string(kLogonSid), kGroup | SE_GROUP_LOGON_ID});
    }
    if (vista_or_later())
        token->groups.push_back({system     ? "S-1-16-16384"
                                 : elevated ? "S-1-16-12288"
                                            : "S-1-16-8192",
                                 SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED});
    for (const auto& row : kPrivileges) {
        bool system_only = std::find(std::begin(kSystemOnly), std::end(kSystemOnly), row.luid) != std::end(kSystemOnly);
        if (system_only && !system) continue;
        if (row.holders == Holders::Administrators && !elevated) continue;
        DWORD attributes = row.enabled_by_default ? SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED : 0;
        token->privileges.push_back({row.luid, attributes});
    }
    return token;
}

TokenKind default_token_kind() { return g_default_kind; }

std::shared_ptr<Token> current_token() {
    ProcessState& state = current_process()->state();
    std::lock_guard lock(state.mutex);
    return state.token;
}

bool token_holds(const Token& token, std::string_view sid, bool for_deny) {
    if (sid == token.user) return true;
    for (const auto& group : token.groups) {
        if (group.sid != sid) continue;
        if (group.attributes & SE_GROUP_ENABLED) return true;
        if (for_deny && (group.attributes & SE_GROUP_USE_FOR_DENY_ONLY)) return true;
    }
    return false;
}

bool token_is_administrator(const Token& token) { return token_holds(token, security::kAdministrators, false); }

bool token_privilege_enabled(const Token& token, DWORD privilege) {
    std::lock_guard lock(token.mutex);
    return std::any_of(token.privileges.begin(), token.privileges.end(), [&](const Token::Privilege& p) {
        return p.luid == privilege && (p.attributes & SE_PRIVILEGE_ENABLED);
    });
}

bool windows_9x() { return windows_version().platform_id == VER_PLATFORM_WIN32_WINDOWS; }

void set_registry_token(TokenKind kind) {
    g_default_kind = kind;
    // The machine's default process takes the new kind at once: it stands for whoever drives the
    // machine from outside (a test's own thread). One not made yet takes it when it is made.
    auto process = default_process(false);
    if (!process) return;
    auto token = make_token(kind);
    std::lock_guard lock(process->state().mutex);
    process->state().token = std::move(token);
}

TokenKind registry_token() { return g_default_kind; }

} // namespace hvsim::user

using namespace hvsim;
using namespace hvsim::user;

HV_EXTERN_C_BEGIN

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (!not_on_9x()) return FALSE;
    auto object = resolve_handle(ProcessHandle, ObjectKind::Process);
    if (!object) return FALSE;
    if (!TokenHandle) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto process = static_cast<ProcessObject&>(*object).process();
    if (!process) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<Token> token;
    {
        std::lock_guard lock(process->state().mutex);
        token = process->state().token;
    }
    return open_token(std::move(token), DesiredAccess, TokenHandle);
}

BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD, BOOL, PHANDLE TokenHandle) {
    if (!not_on_9x()) return FALSE;
    if (!resolve_handle(ThreadHandle, ObjectKind::Thread)) return FALSE;
    if (TokenHandle) *TokenHandle = nullptr;
    SetLastError(ERROR_NO_TOKEN);
    return FALSE;
}

BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength) {
    if (!not_on_9x()) return FALSE;
    auto token = token_of(TokenHandle, TokenInformationClass == TokenSource ? TOKEN_QUERY_SOURCE : TOKEN_QUERY);
    if (!token) return FALSE;
    if (!ReturnLength) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    std::vector<BYTE> bytes;
    bool fixed = false;
    if (!token_information(*token, TokenInformationClass, &bytes, &fixed)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *ReturnLength = DWORD(bytes.size());
    if (!TokenInformation || TokenInformationLength < bytes.size()) {
        // Fixed-size classes report a wrong length, variable ones a short buffer.
        SetLastError(fixed ? ERROR_BAD_LENGTH : ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // The SIDs' pointers were made for the scratch copy: move them to the caller's block.
    auto* out = static_cast<BYTE*>(TokenInformation);
    std::memcpy(out, bytes.data(), bytes.size());
    auto relocate = [&](size_t at) {
        BYTE* pointer;
        std::memcpy(&pointer, out + at, sizeof pointer);
        pointer = out + (pointer - bytes.data());
        std::memcpy(out + at, &pointer, sizeof pointer);
    };
    if (TokenInformationClass == TokenUser || TokenInformationClass == TokenOwner) relocate(0);
    if (TokenInformationClass == TokenGroups) {
        DWORD count;
        std::memcpy(&count, out, 4);
        for (DWORD i = 0; i < count; ++i) relocate(offsetof(TOKEN_GROUPS, Groups) + i * sizeof(SID_AND_ATTRIBUTES));
    }
    return TRUE;
}

BOOL WINAPI DuplicateTokenEx(HANDLE hExistingToken, DWORD dwDesiredAccess, LPSECURITY_ATTRIBUTES,
                             SECURITY_IMPERSONATION_LEVEL ImpersonationLevel, TOKEN_TYPE TokenType,
                             PHANDLE phNewToken) {
    if (!not_on_9x()) return FALSE;
    auto token = token_of(hExistingToken, TOKEN_DUPLICATE);
    if (!token) return FALSE;
    if (!phNewToken || (TokenType != TokenPrimary && TokenType != TokenImpersonation)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (TokenType == TokenImpersonation &&
        (ImpersonationLevel < SecurityAnonymous || ImpersonationLevel > SecurityDelegation)) {
        SetLastError(ERROR_BAD_IMPERSONATION_LEVEL);
        return FALSE;
    }
    auto copy = copy_token(*token);
    copy->type = TokenType;
    copy->level = TokenType == TokenImpersonation ? ImpersonationLevel : SecurityAnonymous;
    return open_token(std::move(copy), dwDesiredAccess, phNewToken);
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                  DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
    if (!not_on_9x()) return FALSE;
    auto token = token_of(TokenHandle, TOKEN_ADJUST_PRIVILEGES | (PreviousState ? TOKEN_QUERY : 0));
    if (!token) return FALSE;
    if ((!DisableAllPrivileges && !NewState) || (PreviousState && !ReturnLength)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lock(token->mutex);
    // What changes: (index in the token, new attributes).
    std::vector<std::pair<size_t, DWORD>> changes;
    bool all_assigned = true;
    auto change = [&](size_t index, DWORD attributes) {
        if (token->privileges[index].attributes != attributes) changes.push_back({index, attributes});
    };
    if (DisableAllPrivileges) {
        for (size_t i = 0; i < token->privileges.size(); ++i)
            change(i, token->privileges[i].attributes & ~DWORD(SE_PRIVILEGE_ENABLED));
    } else {
        for (DWORD n = 0; n < NewState->PrivilegeCount; ++n) {
            const LUID_AND_ATTRIBUTES& wanted = NewState->Privileges[n];
            auto it = std::find_if(token->privileges.begin(), token->privileges.end(), [&](const Token::Privilege& p) {
                return wanted.Luid.HighPart == 0 && p.luid == wanted.Luid.LowPart;
            });
            if (it == token->privileges.end()) {
                all_assigned = false;
                continue;
            }
            DWORD attributes =
                (it->attributes & ~DWORD(SE_PRIVILEGE_ENABLED)) | (wanted.Attributes & SE_PRIVILEGE_ENABLED);
            if (wanted.Attributes & SE_PRIVILEGE_REMOVED) attributes = SE_PRIVILEGE_REMOVED;
            change(size_t(it - token->privileges.begin()), attributes);
        }
    }
    if (PreviousState) {
        DWORD needed = DWORD(offsetof(TOKEN_PRIVILEGES, Privileges) + changes.size() * sizeof(LUID_AND_ATTRIBUTES));
        *ReturnLength = needed;
        if (BufferLength < needed) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        PreviousState->PrivilegeCount = DWORD(changes.size());
        for (size_t i = 0; i < changes.size(); ++i) {
            const Token::Privilege& p = token->privileges[changes[i].first];
            LUID_AND_ATTRIBUTES entry{{p.luid, 0}, p.attributes};
            std::memcpy(reinterpret_cast<BYTE*>(PreviousState) + offsetof(TOKEN_PRIVILEGES, Privileges) +
                            i * sizeof entry,
                        &entry, sizeof entry);
        }
    }
    for (const auto& [index, attributes] : changes) token->privileges[index].attributes = attributes;
    std::erase_if(token->privileges, [](const Token::Privilege& p) { return p.attributes == SE_PRIVILEGE_REMOVED; });
    SetLastError(all_assigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
    return lookup_privilege(!lpSystemName || !*lpSystemName, lpName ? std::u16string_view(lpName) : u"", lpLuid);
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
    std::u16string name = widen_ansi(lpName ? lpName : "");
    return lookup_privilege(!lpSystemName || !*lpSystemName, name, lpLuid);
}

HV_EXTERN_C_END
