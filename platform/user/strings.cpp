// String routines of kernel32 and user32: lengths, copies, comparisons, wsprintf, and the
// conversions between the machine's ANSI code page, UTF-8 and UTF-16.
#include <windows.h>

#include <hv_wchar.h>
#include <hvsim/format.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "internal/user_internal.h"

namespace hvsim::user {
namespace {

// wsprintf never writes more than 1024 characters, terminator included.
constexpr size_t kWsprintfLimit = 1024;

bool is_ansi_code_page(UINT code_page) {
    return code_page == CP_ACP || code_page == CP_OEMCP || code_page == CP_THREAD_ACP ||
           code_page == text::ansi_code_page;
}

// Strict UTF-8: overlong forms, surrogates and values above U+10FFFF are invalid. Each invalid
// sequence gives one U+FFFD, or nullopt when invalid input is an error.
std::optional<std::u16string> decode_utf8(std::string_view in, bool fail_on_invalid) {
    std::u16string out;
    size_t i = 0;
    while (i < in.size()) {
        const auto b0 = static_cast<unsigned char>(in[i]);
        size_t length = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
        char32_t cp = length == 1 ? b0 : length == 2 ? (b0 & 0x1F) : length == 3 ? (b0 & 0x0F) : (b0 & 0x07);
        bool valid = length != 0 && i + length <= in.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const auto b = static_cast<unsigned char>(in[i + k]);
            if ((b & 0xC0) != 0x80) valid = false;
            cp = (cp << 6) | (b & 0x3F);
        }
        static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) valid = false;
        if (!valid) {
            if (fail_on_invalid) return std::nullopt;
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += length;
    }
    return out;
}

bool has_unpaired_surrogate(std::u16string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                ++i;
                continue;
            }
            return true;
        }
        if (c >= 0xDC00 && c <= 0xDFFF) return true;
    }
    return false;
}

// Copies a conversion result out with the size rules both conversions share: a zero-sized
// destination asks for the size, a short one fails.
template <class Char> int deliver(const std::basic_string<Char>& result, Char* out, int out_size) {
    if (out_size == 0) return static_cast<int>(result.size());
    if (!out || out_size < 0) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (result.size() > static_cast<size_t>(out_size)) {
        set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(result.begin(), result.end(), out);
    return static_cast<int>(result.size());
}

// The lexical order of Windows' string comparison for the characters it matters for: letters
// compare without regard to case first, and lower case sorts before upper case at a tie.
int compare_words(const WCHAR* a, const WCHAR* b, bool ignore_case) {
    if (!a || !b) return a == b ? 0 : (a ? 1 : -1);
    int tie = 0;
    for (size_t i = 0;; ++i) {
        const char16_t ca = a[i], cb = b[i];
        const char16_t la = towlower(ca), lb = towlower(cb);
        if (la != lb) return la < lb ? -1 : 1;
        if (!tie && ca != cb) tie = iswlower(ca) ? -1 : 1;
        if (!ca) break;
    }
    return ignore_case ? 0 : tie;
}

} // namespace

std::u16string widen_ansi(const char* text) { return text::ansi_to_wide(std::string_view(text ? text : "")); }

std::string narrow_ansi(const std::u16string& text) { return text::wide_to_ansi(text); }

std::string to_utf8(std::u16string_view text) { return text::to_utf8(text); }

} // namespace hvsim::user

using namespace hvsim::user;

namespace {
template <char16_t (*Convert)(char16_t)> LPWSTR change_case(LPWSTR text) {
    const auto value = reinterpret_cast<ULONG_PTR>(text);
    if ((value >> 16) == 0)
        return reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(Convert(static_cast<char16_t>(value))));
    for (LPWSTR p = text; *p; ++p) *p = Convert(*p);
    return text;
}
char16_t lower(char16_t c) { return towlower(c); }
char16_t upper(char16_t c) { return towupper(c); }
} // namespace

HV_EXTERN_C_BEGIN

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && !lpWideCharStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // -1: the string and its terminator.
    const std::string_view in(lpMultiByteStr,
                              cbMultiByte == -1 ? strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte));
    std::u16string out;
    if (CodePage == CP_UTF8) {
        if (dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) {
            SetLastError(ERROR_INVALID_FLAGS);
            return 0;
        }
        auto decoded = decode_utf8(in, (dwFlags & MB_ERR_INVALID_CHARS) != 0);
        if (!decoded) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
        out = std::move(*decoded);
    } else if (is_ansi_code_page(CodePage)) {
        if (dwFlags & ~static_cast<DWORD>(MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS)) {
            SetLastError(ERROR_INVALID_FLAGS);
            return 0;
        }
        out = hvsim::text::ansi_to_wide(in);
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return deliver(out, lpWideCharStr, cchWideChar);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && !lpMultiByteStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string_view in(lpWideCharStr,
                                 cchWideChar == -1 ? wcslen(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar));
    std::string out;
    if (CodePage == CP_UTF8) {
        // UTF-8 has no default character.
        if (lpDefaultChar || lpUsedDefaultChar) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (dwFlags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) {
            SetLastError(ERROR_INVALID_FLAGS);
            return 0;
        }
        if ((dwFlags & WC_ERR_INVALID_CHARS) && has_unpaired_surrogate(in)) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
        out = hvsim::text::to_utf8(in);
    } else if (is_ansi_code_page(CodePage)) {
        const char fallback = lpDefaultChar ? *lpDefaultChar : '?';
        bool used_default = false;
        out.reserve(in.size());
        for (char16_t c : in) {
            bool mapped = true;
            unsigned char byte = hvsim::text::wide_to_ansi(c, &mapped);
            if (!mapped) {
                used_default = true;
                byte = static_cast<unsigned char>(fallback);
            }
            out.push_back(static_cast<char>(byte));
        }
        if (lpUsedDefaultChar) *lpUsedDefaultChar = used_default ? TRUE : FALSE;
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return deliver(out, lpMultiByteStr, cbMultiByte);
}

UINT WINAPI GetACP(void) { return hvsim::text::ansi_code_page; }

UINT WINAPI GetOEMCP(void) { return hvsim::text::ansi_code_page; }

int WINAPI lstrlenW(LPCWSTR lpString) { return lpString ? static_cast<int>(wcslen(lpString)) : 0; }

int WINAPI lstrlenA(LPCSTR lpString) { return lpString ? static_cast<int>(strlen(lpString)) : 0; }

LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) {
    if (!lpString1 || !lpString2) return nullptr;
    return wcscpy(lpString1, lpString2);
}

LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2) {
    if (!lpString1 || !lpString2) return nullptr;
    return strcpy(lpString1, lpString2);
}

// Copies at most iMaxLength - 1 characters and always terminates.
LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
    if (!lpString1 || !lpString2 || iMaxLength <= 0) return iMaxLength == 0 ? lpString1 : nullptr;
    int i = 0;
    for (; i < iMaxLength - 1 && lpString2[i]; ++i) lpString1[i] = lpString2[i];
    lpString1[i] = 0;
    return lpString1;
}

LPWSTR WINAPI lstrcatW(LPWSTR lpString1, LPCWSTR lpString2) {
    if (!lpString1 || !lpString2) return nullptr;
    return wcscat(lpString1, lpString2);
}

int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) { return compare_words(lpString1, lpString2, false); }

int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) { return compare_words(lpString1, lpString2, true); }

int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) {
    if (!lpString1 || !lpString2) return lpString1 == lpString2 ? 0 : (lpString1 ? 1 : -1);
    return compare_words(widen_ansi(lpString1).c_str(), widen_ansi(lpString2).c_str(), false);
}

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
    if (!lpString1 || !lpString2) return lpString1 == lpString2 ? 0 : (lpString1 ? 1 : -1);
    return compare_words(widen_ansi(lpString1).c_str(), widen_ansi(lpString2).c_str(), true);
}

int WINAPI wvsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, va_list arglist) {
    if (!lpOut || !lpFmt) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length = hvsim::text::vformat_to(lpOut, kWsprintfLimit - 1, lpFmt, arglist);
    if (length > kWsprintfLimit - 1) length = kWsprintfLimit - 1;
    lpOut[length] = 0;
    return static_cast<int>(length);
}

int wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
    va_list args;
    va_start(args, lpFmt);
    int n = wvsprintfW(lpOut, lpFmt, args);
    va_end(args);
    return n;
}

int wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
    if (!lpOut || !lpFmt) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    va_list args;
    va_start(args, lpFmt);
    size_t length = hvsim::text::vformat_to(lpOut, kWsprintfLimit - 1, lpFmt, args);
    va_end(args);
    if (length > kWsprintfLimit - 1) length = kWsprintfLimit - 1;
    lpOut[length] = 0;
    return static_cast<int>(length);
}

LPWSTR WINAPI CharLowerW(LPWSTR lpsz) { return change_case<lower>(lpsz); }

LPWSTR WINAPI CharUpperW(LPWSTR lpsz) { return change_case<upper>(lpsz); }

HV_EXTERN_C_END
