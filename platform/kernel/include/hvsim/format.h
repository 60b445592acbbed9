// Text of the platform: the Windows-printf formatter for narrow and wide output, and the one ANSI
// code page (Windows-1252) that the kernel's Rtl conversions and user mode's CP_ACP share.
//
// Format semantics: see hv_wchar.h.
#pragma once

#include <basetsd.h>

#include <cstdarg>
#include <string>
#include <string_view>

namespace hvsim::text {

// ---------------------------------------------------------------------------------------------
// Formatting. The whole text, never truncated.
std::string vformat(const char* format, va_list args);
std::u16string vformat(const char16_t* format, va_list args);
std::string format(const char* format, ...);
std::u16string format(const char16_t* format, ...);

// Bounded forms of the C runtime's families (see hv_wchar.h), shared by the CRT entry points and
// the safe-string routines. Both write at most count characters and return the full length of the
// text (without terminator); the caller decides about truncation and terminators.
size_t vformat_to(char* buffer, size_t count, const char* format, va_list args);
size_t vformat_to(char16_t* buffer, size_t count, const char16_t* format, va_list args);

// ---------------------------------------------------------------------------------------------
// The ANSI code page.
inline constexpr UINT ansi_code_page = 1252;
// The character of a byte; bytes 0x81, 0x8D, 0x8F, 0x90 and 0x9D map to the same code point.
char16_t ansi_to_wide(unsigned char c);
// The byte of a character, or '?' when the code page has none (*mapped set to false then).
unsigned char wide_to_ansi(char16_t c, bool* mapped = nullptr);
std::u16string ansi_to_wide(std::string_view text);
std::string wide_to_ansi(std::u16string_view text);

// UTF-8 for the machine's own files and messages (unpaired surrogates become U+FFFD).
std::string to_utf8(std::u16string_view text);
std::u16string from_utf8(std::string_view text);

// ---------------------------------------------------------------------------------------------
// Names compared without regard to case, as the registry, the INF files, the services and the
// DOS device names of the platform compare them: ASCII letters fold, nothing else does.
inline char16_t ascii_upper(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; }
inline std::u16string upcase(std::u16string_view text) {
    std::u16string out(text);
    for (auto& c : out) c = ascii_upper(c);
    return out;
}
inline bool equal_nocase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
    return true;
}

} // namespace hvsim::text
