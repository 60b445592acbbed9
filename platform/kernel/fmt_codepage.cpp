// The ANSI code page (Windows-1252) and UTF-8 for the machine's own files.
//
//   ansi_to_wide wide_to_ansi to_utf8 from_utf8
#include <hvsim/format.h>

#include <array>

namespace hvsim::text {
namespace {

// Bytes 0x80..0x9F; the five bytes the code page leaves undefined map to the same code point.
constexpr std::array<char16_t, 32> high_controls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

char16_t ansi_to_wide(unsigned char c) {
    if (c >= 0x80 && c < 0xA0) return high_controls[c - 0x80];
    return c;
}

unsigned char wide_to_ansi(char16_t c, bool* mapped) {
    if (mapped) *mapped = true;
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return (unsigned char)c;
    for (size_t i = 0; i < high_controls.size(); ++i)
        if (high_controls[i] == c) return (unsigned char)(0x80 + i);
    if (mapped) *mapped = false;
    return '?';
}

std::u16string ansi_to_wide(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char c : text) out.push_back(ansi_to_wide((unsigned char)c));
    return out;
}

std::string wide_to_ansi(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) out.push_back((char)wide_to_ansi(c));
    return out;
}

std::string to_utf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back((char)cp);
        } else if (cp < 0x800) {
            out.push_back((char)(0xC0 | (cp >> 6)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back((char)(0xE0 | (cp >> 12)));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else {
            out.push_back((char)(0xF0 | (cp >> 18)));
            out.push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::u16string from_utf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = (unsigned char)text[i];
        uint32_t cp;
        size_t extra;
        if (c < 0x80) {
            cp = c, extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F, extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F, extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07, extra = 3;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        // A broken sequence becomes one U+FFFD for its lead byte and the continuation bytes seen.
        size_t k = 1;
        for (; k <= extra; ++k) {
            if (i + k >= text.size() || ((unsigned char)text[i + k] & 0xC0) != 0x80) break;
            cp = (cp << 6) | ((unsigned char)text[i + k] & 0x3F);
        }
        if (k <= extra) {
            out.push_back(0xFFFD);
            i += k;
            continue;
        }
        i += extra + 1;
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out.push_back((char16_t)(0xD800 + (cp >> 10)));
            out.push_back((char16_t)(0xDC00 + (cp & 0x3FF)));
        } else if (cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
            out.push_back(0xFFFD);
        } else {
            out.push_back((char16_t)cp);
        }
    }
    return out;
}

} // namespace hvsim::text
