// The Windows-printf formatter, for narrow and wide output, and the C runtime's formatting entry
// points built on it.
//
//   hvsim::text::vformat vformat_to format
//   swprintf vswprintf _snwprintf _vsnwprintf _scwprintf _vscwprintf
//   _snprintf _vsnprintf _scprintf _vscprintf
//
// Conversions: see hv_wchar.h. The one difference between the narrow and the wide formatter is
// what %s, %c, %S and %C take without a size prefix: text of the formatter's own width for the
// lower-case letters, of the other width for the upper-case ones.
#include <hvsim/format.h>
#include <hv_wchar.h>
#include <ntdef.h>

#include <cstdio>
#include <cstring>

namespace hvsim::text {
namespace {

enum class Size { None, Char, Short, Long, LongLong, Wide, Pointer, LongDouble };

struct Spec {
    bool left = false, plus = false, space = false, alternate = false, zero = false;
    int width = -1;
    int precision = -1;
    Size size = Size::None;
};

template <typename Out> void pad(Out& out, size_t n, typename Out::value_type c) { out.append(n, c); }

// Appends text given as code units of either width, converted to the output width.
template <typename Out> void append_converted(Out& out, const char* s, size_t n) {
    if constexpr (sizeof(typename Out::value_type) == 1)
        out.append(s, n);
    else
        for (size_t i = 0; i < n; ++i) out.push_back(ansi_to_wide((unsigned char)s[i]));
}
template <typename Out> void append_converted(Out& out, const char16_t* s, size_t n) {
    if constexpr (sizeof(typename Out::value_type) == 1)
        for (size_t i = 0; i < n; ++i) out.push_back((char)wide_to_ansi(s[i]));
    else
        out.append(s, n);
}

template <typename Out, typename In> void emit_text(Out& out, const Spec& spec, const In* s, size_t n) {
    if (spec.precision >= 0 && (size_t)spec.precision < n) n = (size_t)spec.precision;
    size_t fill = spec.width > 0 && (size_t)spec.width > n ? (size_t)spec.width - n : 0;
    if (!spec.left) pad(out, fill, ' ');
    append_converted(out, s, n);
    if (spec.left) pad(out, fill, ' ');
}

template <typename Out> void emit_null(Out& out, const Spec& spec) {
    static const char null_text[] = "(null)";
    emit_text(out, spec, null_text, sizeof null_text - 1);
}

template <typename Out>
void emit_integer(Out& out, const Spec& spec, ULONGLONG magnitude, bool negative, int base, bool upper,
                  bool is_signed) {
    char digits[70];
    size_t n = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (ULONGLONG v = magnitude; v; v /= (ULONGLONG)base) digits[n++] = set[v % (ULONGLONG)base];
    size_t precision = spec.precision >= 0 ? (size_t)spec.precision : 1;
    size_t zeros = precision > n ? precision - n : 0;
    std::string prefix;
    if (is_signed) {
        if (negative)
            prefix = "-";
        else if (spec.plus)
            prefix = "+";
        else if (spec.space)
            prefix = " ";
    }
    if (spec.alternate && magnitude != 0) {
        if (base == 16) prefix += upper ? "0X" : "0x";
        if (base == 8 && zeros == 0) zeros = 1;
    }
    size_t body = prefix.size() + zeros + n;
    size_t fill = spec.width > 0 && (size_t)spec.width > body ? (size_t)spec.width - body : 0;
    if (spec.zero && !spec.left && spec.precision < 0) {
        zeros += fill;
        fill = 0;
    }
    if (!spec.left) pad(out, fill, ' ');
    append_converted(out, prefix.data(), prefix.size());
    pad(out, zeros, '0');
    while (n) out.push_back((typename Out::value_type)digits[--n]);
    if (spec.left) pad(out, fill, ' ');
}

// Floating point goes through the C library with the same flags, width and precision.
template <typename Out> void emit_float(Out& out, const Spec& spec, char type, long double value, bool is_long) {
    std::string f = "%";
    if (spec.left) f += '-';
    if (spec.plus) f += '+';
    if (spec.space) f += ' ';
    if (spec.alternate) f += '#';
    if (spec.zero) f += '0';
    if (spec.width >= 0) f += std::to_string(spec.width);
    if (spec.precision >= 0) f += "." + std::to_string(spec.precision);
    if (is_long) f += 'L';
    f += type;
    char buffer[512];
    int n = is_long ? std::snprintf(buffer, sizeof buffer, f.c_str(), value)
                    : std::snprintf(buffer, sizeof buffer, f.c_str(), (double)value);
    if (n < 0) return;
    if ((size_t)n < sizeof buffer) {
        append_converted(out, buffer, (size_t)n);
        return;
    }
    std::string big((size_t)n + 1, '\0');
    if (is_long)
        std::snprintf(big.data(), big.size(), f.c_str(), value);
    else
        std::snprintf(big.data(), big.size(), f.c_str(), (double)value);
    append_converted(out, big.data(), (size_t)n);
}

template <typename In> size_t length_of(const In* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

// The va_list is passed by pointer so that the caller's list advances with every argument taken.
template <typename Out, typename In> void format_into(Out& out, const In* format, va_list* ap) {
    constexpr bool wide_formatter = sizeof(In) == 2;
    if (!format) return;
    const In* p = format;
    while (*p) {
        if (*p != '%') {
            const In* start = p;
            while (*p && *p != '%') ++p;
            append_converted(out, start, (size_t)(p - start));
            continue;
        }
        const In* spec_start = p++;
        Spec spec;
        for (;; ++p) {
            if (*p == '-')
                spec.left = true;
            else if (*p == '+')
                spec.plus = true;
            else if (*p == ' ')
                spec.space = true;
            else if (*p == '#')
                spec.alternate = true;
            else if (*p == '0')
                spec.zero = true;
            else
                break;
        }
        if (*p == '*') {
            int w = va_arg(*ap, int);
            if (w < 0) {
                spec.left = true;
                w = -w;
            }
            spec.width = w;
            ++p;
        } else if (*p >= '0' && *p <= '9') {
            spec.width = 0;
            while (*p >= '0' && *p <= '9') spec.width = spec.width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            spec.precision = 0;
            if (*p == '*') {
                int pr = va_arg(*ap, int);
                spec.precision = pr < 0 ? -1 : pr;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') spec.precision = spec.precision * 10 + (*p++ - '0');
            }
        }
        if (*p == 'h') {
            ++p;
            spec.size = Size::Short;
            if (*p == 'h') ++p, spec.size = Size::Char;
        } else if (*p == 'l') {
            ++p;
            spec.size = Size::Long;
            if (*p == 'l') ++p, spec.size = Size::LongLong;
        } else if (*p == 'w') {
            ++p;
            spec.size = Size::Wide;
        } else if (*p == 'I') {
            if (p[1] == '6' && p[2] == '4')
                p += 3, spec.size = Size::LongLong;
            else if (p[1] == '3' && p[2] == '2')
                p += 3, spec.size = Size::Long;
            else
                ++p, spec.size = Size::Pointer;
        } else if (*p == 'z' || *p == 'j' || *p == 't') {
            ++p;
            spec.size = Size::Pointer;
        } else if (*p == 'L') {
            ++p;
            spec.size = Size::LongDouble;
        }
        In type = *p;
        if (!type) {
            append_converted(out, spec_start, (size_t)(p - spec_start));
            break;
        }
        ++p;
        switch (type) {
        case '%': out.push_back('%'); break;
        case 'd':
        case 'i': {
            LONGLONG v;
            if (spec.size == Size::LongLong || spec.size == Size::Pointer || spec.size == Size::LongDouble)
                v = va_arg(*ap, long long);
            else if (spec.size == Size::Short)
                v = (short)va_arg(*ap, int);
            else if (spec.size == Size::Char)
                v = (signed char)va_arg(*ap, int);
            else
                v = va_arg(*ap, int);
            ULONGLONG magnitude = v < 0 ? (ULONGLONG)0 - (ULONGLONG)v : (ULONGLONG)v;
            emit_integer(out, spec, magnitude, v < 0, 10, false, true);
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            ULONGLONG v;
            if (spec.size == Size::LongLong || spec.size == Size::Pointer || spec.size == Size::LongDouble)
                v = va_arg(*ap, unsigned long long);
            else if (spec.size == Size::Short)
                v = (unsigned short)va_arg(*ap, unsigned int);
            else if (spec.size == Size::Char)
                v = (unsigned char)va_arg(*ap, unsigned int);
            else
                v = va_arg(*ap, unsigned int);
            int base = type == 'u' ? 10 : type == 'o' ? 8 : 16;
            emit_integer(out, spec, v, false, base, type == 'X', false);
            break;
        }
        case 'p': {
            Spec pointer = spec;
            pointer.precision = 16;
            pointer.alternate = false;
            emit_integer(out, pointer, (ULONGLONG)(uintptr_t)va_arg(*ap, void*), false, 16, true, false);
            break;
        }
        case 'c':
        case 'C': {
            int c = va_arg(*ap, int);
            bool wide_arg = spec.size == Size::Long || spec.size == Size::Wide ||
                            (spec.size != Size::Short && ((type == 'c') == wide_formatter));
            if (wide_arg) {
                char16_t ch = (char16_t)c;
                emit_text(out, Spec{spec.left, false, false, false, false, spec.width, -1, Size::None}, &ch, 1);
            } else {
                char ch = (char)c;
                emit_text(out, Spec{spec.left, false, false, false, false, spec.width, -1, Size::None}, &ch, 1);
            }
            break;
        }
        case 's':
        case 'S': {
            bool wide_arg = spec.size == Size::Long || spec.size == Size::Wide ||
                            (spec.size != Size::Short && ((type == 's') == wide_formatter));
            const void* s = va_arg(*ap, const void*);
            if (!s)
                emit_null(out, spec);
            else if (wide_arg)
                emit_text(out, spec, (const char16_t*)s, length_of((const char16_t*)s));
            else
                emit_text(out, spec, (const char*)s, length_of((const char*)s));
            break;
        }
        case 'Z': {
            const void* s = va_arg(*ap, const void*);
            if (spec.size == Size::Wide || spec.size == Size::Long) {
                const UNICODE_STRING* u = (const UNICODE_STRING*)s;
                if (!u || !u->Buffer)
                    emit_null(out, spec);
                else
                    emit_text(out, spec, u->Buffer, u->Length / sizeof(WCHAR));
            } else {
                const ANSI_STRING* a = (const ANSI_STRING*)s;
                if (!a || !a->Buffer)
                    emit_null(out, spec);
                else
                    emit_text(out, spec, a->Buffer, a->Length);
            }
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (spec.size == Size::LongDouble)
                emit_float(out, spec, (char)type, va_arg(*ap, long double), true);
            else
                emit_float(out, spec, (char)type, va_arg(*ap, double), false);
            break;
        case 'n':
            // Disabled, as in the Windows runtime: the pointer is consumed and nothing is written.
            (void)va_arg(*ap, void*);
            break;
        default: append_converted(out, spec_start, (size_t)(p - spec_start)); break;
        }
    }
}

template <typename Char> std::basic_string<Char> format_string(const Char* format, va_list args) {
    std::basic_string<Char> out;
    va_list ap;
    va_copy(ap, args);
    format_into(out, format, &ap);
    va_end(ap);
    return out;
}

template <typename Char> size_t format_bounded(Char* buffer, size_t count, const Char* format, va_list args) {
    std::basic_string<Char> text = format_string(format, args);
    if (buffer && count) std::memcpy(buffer, text.data(), (text.size() < count ? text.size() : count) * sizeof(Char));
    return text.size();
}

// _snprintf family: count characters at most; -1 when the text does not fit, no terminator then.
template <typename Char> int print_counted(Char* buffer, size_t count, const Char* format, va_list args) {
    if (!format || (!buffer && count)) return -1;
    size_t n = format_bounded(buffer, count, format, args);
    if (n > count) return -1;
    if (n < count) buffer[n] = 0;
    return (int)n;
}

// swprintf with a count: -1 when the text does not fit, the truncated text terminated.
template <typename Char> int print_terminated(Char* buffer, size_t count, const Char* format, va_list args) {
    if (!format || !buffer || count == 0) return -1;
    size_t n = format_bounded(buffer, count, format, args);
    if (n >= count) {
        buffer[count - 1] = 0;
        return -1;
    }
    buffer[n] = 0;
    return (int)n;
}

template <typename Char> int print_unbounded(Char* buffer, const Char* format, va_list args) {
    if (!format || !buffer) return -1;
    std::basic_string<Char> text = format_string(format, args);
    std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(Char));
    return (int)text.size();
}

} // namespace

std::string vformat(const char* format, va_list args) { return format_string(format, args); }
std::u16string vformat(const char16_t* format, va_list args) { return format_string(format, args); }

std::string format(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string s = format_string(format, ap);
    va_end(ap);
    return s;
}

std::u16string format(const char16_t* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::u16string s = format_string(format, ap);
    va_end(ap);
    return s;
}

size_t vformat_to(char* buffer, size_t count, const char* format, va_list args) {
    return format_bounded(buffer, count, format, args);
}
size_t vformat_to(char16_t* buffer, size_t count, const char16_t* format, va_list args) {
    return format_bounded(buffer, count, format, args);
}

} // namespace hvsim::text

using hvsim::text::format_string;

int vswprintf(char16_t* buffer, size_t count, const char16_t* format, va_list args) {
    return hvsim::text::print_terminated(buffer, count, format, args);
}
int vswprintf(char16_t* buffer, const char16_t* format, va_list args) {
    return hvsim::text::print_unbounded(buffer, format, args);
}
int swprintf(char16_t* buffer, size_t count, const char16_t* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vswprintf(buffer, count, format, ap);
    va_end(ap);
    return n;
}
int swprintf(char16_t* buffer, const char16_t* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vswprintf(buffer, format, ap);
    va_end(ap);
    return n;
}
int _vsnwprintf(char16_t* buffer, size_t count, const char16_t* format, va_list args) {
    return hvsim::text::print_counted(buffer, count, format, args);
}
int _snwprintf(char16_t* buffer, size_t count, const char16_t* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = _vsnwprintf(buffer, count, format, ap);
    va_end(ap);
    return n;
}
int _vscwprintf(const char16_t* format, va_list args) { return format ? (int)format_string(format, args).size() : -1; }
int _scwprintf(const char16_t* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = _vscwprintf(format, ap);
    va_end(ap);
    return n;
}

int _vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
    return hvsim::text::print_counted(buffer, count, format, args);
}
int _snprintf(char* buffer, size_t count, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = _vsnprintf(buffer, count, format, ap);
    va_end(ap);
    return n;
}
int _vscprintf(const char* format, va_list args) { return format ? (int)format_string(format, args).size() : -1; }
int _scprintf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = _vscprintf(format, ap);
    va_end(ap);
    return n;
}
