// Tokens as the registry, the service control manager and the shutdown rule see them.
#pragma once

#include <hvsim/user.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace hvsim::user {

struct Token;

// A fresh primary token of that kind, for the machine's Windows version.
std::shared_ptr<Token> make_token(TokenKind kind);
TokenKind default_token_kind();
// The calling thread's process token.
std::shared_ptr<Token> current_token();

// The token behind a token handle that grants `needed`; null with the last error set otherwise.
std::shared_ptr<Token> token_of_handle(HANDLE handle, DWORD needed);
// A primary token (not an impersonation one).
bool token_is_primary(const Token& token);

// Whether an access entry for `sid` applies to the token: allow entries match the user and the
// enabled groups; deny entries match deny-only groups as well.
bool token_holds(const Token& token, std::string_view sid, bool for_deny);
// An enabled Administrators group: what the service control manager asks of its callers.
bool token_is_administrator(const Token& token);
inline constexpr DWORD kShutdownPrivilege = 19; // SeShutdownPrivilege's LUID
bool token_privilege_enabled(const Token& token, DWORD privilege);

// The Windows 9x platform: no security at all.
bool windows_9x();

// The self-relative copy of a caller's descriptor in either form; nullopt when it is malformed.
std::optional<std::vector<uint8_t>> self_relative_copy(const void* descriptor);

} // namespace hvsim::user
