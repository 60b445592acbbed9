// The class libraries' string: CStringT over char (the multibyte build's CString) and over
// WCHAR (the Unicode build's). A value type on std::basic_string; a null pointer assigns "".
//
// Format takes its arguments as a typed list, so a format never reads what was not passed: a
// conversion without an argument is left out of the result, arguments beyond the format are
// ignored, a string given to a numeric conversion is written as a string and a number given to
// %s as a decimal number. CStringT arguments may be given for %s as they are.
#pragma once

#include <windows.h>

#include <hv_wchar.h>

#include <string>
#include <string_view>
#include <type_traits>

template <typename TChar> class CStringT;

namespace hvclass::format {

struct Arg {
    enum Type { Signed, Unsigned, Double, Narrow, Wide, Pointer } type;
    union {
        long long i;
        unsigned long long u;
        double d;
        const char* narrow;
        const WCHAR* wide;
        const void* pointer;
    };
};

inline Arg make(const char* s) { return Arg{Arg::Narrow, {.narrow = s}}; }
inline Arg make(char* s) { return make(static_cast<const char*>(s)); }
inline Arg make(const WCHAR* s) {
    Arg a{Arg::Wide, {}};
    a.wide = s;
    return a;
}
inline Arg make(WCHAR* s) { return make(static_cast<const WCHAR*>(s)); }
inline Arg make(std::nullptr_t) {
    Arg a{Arg::Pointer, {}};
    a.pointer = nullptr;
    return a;
}
template <typename TChar> Arg make(const CStringT<TChar>& s) { return make(s.GetString()); }
template <typename T> Arg make(const T& value) {
    Arg a{Arg::Signed, {}};
    if constexpr (std::is_enum_v<T>) {
        a.i = static_cast<long long>(value);
    } else if constexpr (std::is_floating_point_v<T>) {
        a.type = Arg::Double;
        a.d = static_cast<double>(value);
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        a.i = value;
    } else if constexpr (std::is_integral_v<T>) {
        a.type = Arg::Unsigned;
        a.u = value;
    } else if constexpr (std::is_pointer_v<T>) {
        a.type = Arg::Pointer;
        a.pointer = static_cast<const void*>(value);
    } else {
        static_assert(std::is_pointer_v<T>, "not a type a format can take");
    }
    return a;
}

// One conversion, written with the C runtime's formatter of the string's character type.
template <typename TChar>
void append_one(std::basic_string<TChar>& out, const std::basic_string<TChar>& spec, const Arg& arg) {
    auto write = [&](auto value) {
        if constexpr (std::is_same_v<TChar, char>) {
            int n = _scprintf(spec.c_str(), value);
            if (n <= 0) return;
            std::string piece(static_cast<size_t>(n) + 1, '\0');
            _snprintf(piece.data(), piece.size(), spec.c_str(), value);
            out.append(piece.data(), static_cast<size_t>(n));
        } else {
            int n = _scwprintf(spec.c_str(), value);
            if (n <= 0) return;
            std::u16string piece(static_cast<size_t>(n) + 1, u'\0');
            _snwprintf(piece.data(), piece.size(), spec.c_str(), value);
            out.append(piece.data(), static_cast<size_t>(n));
        }
    };
    switch (arg.type) {
    case Arg::Signed:
        if (spec.back() == 'c') write(static_cast<int>(arg.i));
        else write(arg.i);
        break;
    case Arg::Unsigned: write(arg.u); break;
    case Arg::Double: write(arg.d); break;
    case Arg::Narrow: write(arg.narrow); break;
    case Arg::Wide: write(arg.wide); break;
    case Arg::Pointer: write(arg.pointer); break;
    }
}

template <typename TChar>
std::basic_string<TChar> format(const TChar* text, const Arg* args, size_t count) {
    std::basic_string<TChar> out;
    if (!text) return out;
    size_t next = 0;
    auto take = [&]() -> const Arg* { return next < count ? &args[next++] : nullptr; };
    auto take_int = [&]() -> int {
        const Arg* a = take();
        if (!a) return 0;
        if (a->type == Arg::Signed) return static_cast<int>(a->i);
        if (a->type == Arg::Unsigned) return static_cast<int>(a->u);
        return 0;
    };
    auto cat = [](std::basic_string<TChar>& s, const char* ascii) {
        while (*ascii) s.push_back(static_cast<TChar>(*ascii++));
    };
    for (const TChar* p = text; *p;) {
        if (*p != '%') {
            out.push_back(*p++);
            continue;
        }
        if (p[1] == '%') {
            out.push_back('%');
            p += 2;
            continue;
        }
        const TChar* start = p++;
        std::basic_string<TChar> spec(1, '%');
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') spec.push_back(*p++);
        auto number = [&](bool allow_star) {
            if (allow_star && *p == '*') {
                ++p;
                std::string digits = std::to_string(take_int());
                cat(spec, digits.c_str());
                return;
            }
            while (*p >= '0' && *p <= '9') spec.push_back(*p++);
        };
        number(true);
        if (*p == '.') {
            spec.push_back(*p++);
            number(true);
        }
        // Size prefixes: 'h' short (narrow for strings), 'l'/'w' long (wide), 'll'/'I64' 64 bits.
        int bits = 32;
        bool narrow = false, wide = false;
        for (;;) {
            if (*p == 'h') {
                bits = p[1] == 'h' ? 8 : 16;
                p += p[1] == 'h' ? 2 : 1;
                narrow = true;
            } else if (*p == 'l' && p[1] == 'l') {
                bits = 64;
                p += 2;
            } else if (*p == 'l' || *p == 'w') {
                ++p;
                wide = true;
            } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
                bits = 64;
                p += 3;
            } else if (*p == 'I' && p[1] == '3' && p[2] == '2') {
                bits = 32;
                p += 3;
            } else if (*p == 'I' || *p == 'z' || *p == 't' || *p == 'j') {
                bits = 64;
                ++p;
            } else if (*p == 'L') {
                ++p;
            } else {
                break;
            }
        }
        const TChar conversion = *p;
        if (!conversion) {
            out.append(start, p);
            break;
        }
        ++p;
        const Arg* arg = nullptr;
        switch (conversion) {
        case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'c': case 'C':
        case 'e': case 'E': case 'f': case 'g': case 'G': case 'a': case 'A':
        case 's': case 'S': case 'p': case 'n': arg = take(); break;
        default:
            // Not a conversion: the text stands as written.
            out.append(start, p);
            continue;
        }
        if (!arg || conversion == 'n') continue;
        Arg value = *arg;
        const bool is_string = value.type == Arg::Narrow || value.type == Arg::Wide;
        const bool is_number = value.type == Arg::Signed || value.type == Arg::Unsigned;
        if (conversion == 's' || conversion == 'S' || (is_string && conversion != 'p')) {
            if (is_string) {
                cat(spec, value.type == Arg::Narrow ? "hs" : "ls");
            } else if (value.type == Arg::Double) {
                cat(spec, "g");
            } else if (value.type == Arg::Pointer) {
                cat(spec, "p");
            } else {
                cat(spec, value.type == Arg::Signed ? "lld" : "llu");
            }
        } else if (conversion == 'c' || conversion == 'C') {
            if (!is_number) continue;
            value.i = static_cast<int>(value.type == Arg::Signed ? value.i : static_cast<long long>(value.u));
            value.type = Arg::Signed;
            const bool wide_char = std::is_same_v<TChar, WCHAR> ? (conversion == 'C' ? wide : !narrow)
                                                                : (conversion == 'C' ? !narrow : wide);
            cat(spec, wide_char ? "lc" : "hc");
        } else if (conversion == 'p') {
            cat(spec, "p");
        } else if (conversion == 'e' || conversion == 'E' || conversion == 'f' || conversion == 'g' ||
                   conversion == 'G' || conversion == 'a' || conversion == 'A') {
            if (is_number) {
                value.d = value.type == Arg::Signed ? static_cast<double>(value.i) : static_cast<double>(value.u);
                value.type = Arg::Double;
            } else if (value.type != Arg::Double) {
                continue;
            }
            spec.push_back(conversion);
        } else {
            // Integers, cut to the width the size prefix names.
            unsigned long long raw = 0;
            if (value.type == Arg::Signed) raw = static_cast<unsigned long long>(value.i);
            else if (value.type == Arg::Unsigned) raw = value.u;
            else if (value.type == Arg::Double) raw = static_cast<unsigned long long>(static_cast<long long>(value.d));
            else raw = reinterpret_cast<uintptr_t>(value.pointer);
            const bool is_signed = conversion == 'd' || conversion == 'i';
            if (bits < 64) {
                const unsigned long long mask = (1ULL << bits) - 1;
                raw &= mask;
                if (is_signed && (raw >> (bits - 1)) & 1) raw |= ~mask;
            }
            if (is_signed) {
                value.type = Arg::Signed;
                value.i = static_cast<long long>(raw);
            } else {
                value.type = Arg::Unsigned;
                value.u = raw;
            }
            cat(spec, "ll");
            spec.push_back(conversion);
        }
        append_one(out, spec, value);
    }
    return out;
}

} // namespace hvclass::format

template <typename TChar> class CStringT {
public:
    typedef TChar XCHAR;
    typedef TChar* PXSTR;
    typedef const TChar* PCXSTR;

    CStringT() = default;
    CStringT(const CStringT&) = default;
    CStringT(CStringT&&) noexcept = default;
    CStringT(PCXSTR text) { Assign(text); }
    CStringT(PCXSTR text, int length) {
        if (text && length > 0) m_text.assign(text, static_cast<size_t>(length));
    }
    CStringT(TChar c, int repeat = 1) {
        if (repeat > 0) m_text.assign(static_cast<size_t>(repeat), c);
    }
    CStringT(const std::basic_string<TChar>& text) : m_text(text) {}

    CStringT& operator=(const CStringT&) = default;
    CStringT& operator=(CStringT&&) noexcept = default;
    CStringT& operator=(PCXSTR text) {
        Assign(text);
        return *this;
    }
    CStringT& operator=(TChar c) {
        m_text.assign(1, c);
        return *this;
    }

    CStringT& operator+=(const CStringT& s) {
        m_text += s.m_text;
        return *this;
    }
    CStringT& operator+=(PCXSTR s) {
        if (s) m_text += s;
        return *this;
    }
    CStringT& operator+=(TChar c) {
        m_text.push_back(c);
        return *this;
    }

    operator PCXSTR() const { return m_text.c_str(); }
    PCXSTR GetString() const { return m_text.c_str(); }
    int GetLength() const { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const { return m_text.empty(); }
    void Empty() { m_text.clear(); }
    TChar GetAt(int index) const { return InRange(index) ? m_text[static_cast<size_t>(index)] : TChar(0); }
    TChar operator[](int index) const { return GetAt(index); }
    void SetAt(int index, TChar c) {
        if (InRange(index)) m_text[static_cast<size_t>(index)] = c;
    }
    const std::basic_string<TChar>& str() const { return m_text; }

    // Room for length characters and a terminator; ReleaseBuffer takes the text up to its first
    // terminator (or the given length).
    PXSTR GetBuffer(int length = 0) {
        size_t keep = m_text.size();
        m_text.resize(std::max(keep, static_cast<size_t>(std::max(length, 0))));
        return m_text.data();
    }
    PXSTR GetBufferSetLength(int length) {
        m_text.resize(static_cast<size_t>(std::max(length, 0)));
        return m_text.data();
    }
    void ReleaseBuffer(int length = -1) {
        size_t end = length < 0 ? std::basic_string_view<TChar>(m_text.c_str()).size()
                                : std::min(static_cast<size_t>(length), m_text.size());
        m_text.resize(end);
    }

    int Compare(PCXSTR other) const { return std::basic_string_view<TChar>(m_text).compare(View(other)); }
    int CompareNoCase(PCXSTR other) const {
        CStringT a(*this), b(other);
        a.MakeLower();
        b.MakeLower();
        return a.Compare(b);
    }

    int Find(TChar c, int start = 0) const { return Position(m_text.find(c, Start(start))); }
    int Find(PCXSTR sub, int start = 0) const {
        if (!sub) return -1;
        return Position(m_text.find(sub, Start(start)));
    }
    int ReverseFind(TChar c) const { return Position(m_text.rfind(c)); }

    CStringT Left(int count) const { return CStringT(m_text.substr(0, Count(count))); }
    CStringT Right(int count) const {
        size_t n = Count(count);
        return CStringT(m_text.substr(m_text.size() - n));
    }
    CStringT Mid(int first) const { return Mid(first, GetLength()); }
    CStringT Mid(int first, int count) const {
        size_t from = Start(first);
        return CStringT(m_text.substr(from, Count(count)));
    }

    CStringT& MakeUpper() {
        for (auto& c : m_text) c = Upper(c);
        return *this;
    }
    CStringT& MakeLower() {
        for (auto& c : m_text) c = Lower(c);
        return *this;
    }
    CStringT& Trim() {
        TrimRight();
        return TrimLeft();
    }
    CStringT& TrimLeft() {
        size_t n = 0;
        while (n < m_text.size() && IsSpace(m_text[n])) ++n;
        m_text.erase(0, n);
        return *this;
    }
    CStringT& TrimRight() {
        while (!m_text.empty() && IsSpace(m_text.back())) m_text.pop_back();
        return *this;
    }

    // Every occurrence, left to right and not overlapping; the count replaced. An empty or null
    // pattern replaces nothing; a null replacement removes.
    int Replace(PCXSTR old_text, PCXSTR new_text) {
        std::basic_string_view<TChar> from = View(old_text), to = View(new_text);
        if (from.empty()) return 0;
        int count = 0;
        for (size_t at = m_text.find(from); at != std::basic_string<TChar>::npos;
             at = m_text.find(from, at + to.size())) {
            m_text.replace(at, from.size(), to);
            ++count;
        }
        return count;
    }
    int Replace(TChar old_char, TChar new_char) {
        int count = 0;
        for (auto& c : m_text)
            if (c == old_char) {
                c = new_char;
                ++count;
            }
        return count;
    }
    // Removes up to count characters from index (clamped to the text); returns the new length.
    int Delete(int index, int count = 1) {
        if (InRange(index) && count > 0) m_text.erase(static_cast<size_t>(index), static_cast<size_t>(count));
        return GetLength();
    }
    int Insert(int index, PCXSTR text) {
        m_text.insert(std::min(Start(index), m_text.size()), View(text));
        return GetLength();
    }
    int Remove(TChar c) {
        size_t before = m_text.size();
        std::erase(m_text, c);
        return static_cast<int>(before - m_text.size());
    }

    template <typename... Args> void Format(PCXSTR format, const Args&... args) {
        const hvclass::format::Arg list[] = {hvclass::format::make(args)..., hvclass::format::make(0)};
        m_text = hvclass::format::format(format, list, sizeof...(Args));
    }
    template <typename... Args> void AppendFormat(PCXSTR format, const Args&... args) {
        CStringT more;
        more.Format(format, args...);
        m_text += more.m_text;
    }
    template <typename... Args> void Format(UINT format_id, const Args&... args) {
        CStringT format;
        if (format.LoadString(format_id)) Format(format.GetString(), args...);
        else Empty();
    }

    // From the string table of the given module (NULL: the program's own image). FALSE, and an
    // empty string, when there is no such string.
    BOOL LoadString(UINT id) { return LoadString(nullptr, id); }
    BOOL LoadString(HINSTANCE instance, UINT id) {
        const WCHAR* text = nullptr;
        int length = ::LoadStringW(instance, id, reinterpret_cast<LPWSTR>(&text), 0);
        m_text.clear();
        if (length <= 0 || !text) return FALSE;
        if constexpr (std::is_same_v<TChar, WCHAR>) {
            m_text.assign(text, static_cast<size_t>(length));
        } else {
            int n = ::WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
            m_text.resize(static_cast<size_t>(std::max(n, 0)));
            if (n > 0) ::WideCharToMultiByte(CP_ACP, 0, text, length, m_text.data(), n, nullptr, nullptr);
        }
        return TRUE;
    }

    friend CStringT operator+(const CStringT& a, const CStringT& b) {
        CStringT r(a);
        r += b;
        return r;
    }
    friend CStringT operator+(const CStringT& a, PCXSTR b) {
        CStringT r(a);
        r += b;
        return r;
    }
    friend CStringT operator+(PCXSTR a, const CStringT& b) {
        CStringT r(a);
        r += b;
        return r;
    }
    friend CStringT operator+(const CStringT& a, TChar b) {
        CStringT r(a);
        r += b;
        return r;
    }
    friend bool operator==(const CStringT& a, const CStringT& b) { return a.m_text == b.m_text; }
    friend bool operator==(const CStringT& a, PCXSTR b) { return a.Compare(b) == 0; }
    friend bool operator==(PCXSTR a, const CStringT& b) { return b.Compare(a) == 0; }
    friend bool operator!=(const CStringT& a, const CStringT& b) { return !(a == b); }
    friend bool operator!=(const CStringT& a, PCXSTR b) { return !(a == b); }
    friend bool operator!=(PCXSTR a, const CStringT& b) { return !(b == a); }
    friend bool operator<(const CStringT& a, const CStringT& b) { return a.m_text < b.m_text; }

private:
    void Assign(PCXSTR text) {
        if (text) m_text = text;
        else m_text.clear();
    }
    static std::basic_string_view<TChar> View(PCXSTR text) {
        return text ? std::basic_string_view<TChar>(text) : std::basic_string_view<TChar>();
    }
    bool InRange(int index) const { return index >= 0 && static_cast<size_t>(index) < m_text.size(); }
    size_t Start(int index) const { return std::min(static_cast<size_t>(std::max(index, 0)), m_text.size()); }
    size_t Count(int count) const { return std::min(static_cast<size_t>(std::max(count, 0)), m_text.size()); }
    static int Position(size_t at) { return at == std::basic_string<TChar>::npos ? -1 : static_cast<int>(at); }
    static bool IsSpace(TChar c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }
    static TChar Upper(TChar c) {
        if constexpr (std::is_same_v<TChar, WCHAR>) return towupper(c);
        else return c >= 'a' && c <= 'z' ? static_cast<TChar>(c - 'a' + 'A') : c;
    }
    static TChar Lower(TChar c) {
        if constexpr (std::is_same_v<TChar, WCHAR>) return towlower(c);
        else return c >= 'A' && c <= 'Z' ? static_cast<TChar>(c - 'A' + 'a') : c;
    }

    std::basic_string<TChar> m_text;
};

typedef CStringT<char> CStringA;
typedef CStringT<WCHAR> CStringW;
