// Dialog templates in the documented in-memory formats: DLGTEMPLATE with DLGITEMTEMPLATE items,
// and the extended DLGTEMPLATEEX (dlgVer 1, signature 0xFFFF) that the resource compiler and
// the machine's dialog tables (hv_resource.h) produce. Every read is bounded, so a malformed
// template fails the dialog's creation instead of reading past its end.
#include "internal/ui_internal.h"

#include <cstring>

namespace hvsim::ui {
namespace {

// The predefined classes that a template names by ordinal.
const char16_t* class_of_ordinal(WORD ordinal) {
    switch (ordinal) {
    case 0x0080: return u"Button";
    case 0x0081: return u"Edit";
    case 0x0082: return u"Static";
    case 0x0083: return u"ListBox";
    case 0x0084: return u"ScrollBar";
    case 0x0085: return u"ComboBox";
    default: return nullptr;
    }
}

class Reader {
public:
    Reader(const void* data, size_t size) : base_(static_cast<const BYTE*>(data)), size_(size) {}
    bool ok() const { return ok_; }
    template <class T> T read() {
        T value{};
        if (!take(sizeof(T))) return value;
        std::memcpy(&value, base_ + offset_ - sizeof(T), sizeof(T));
        return value;
    }
    std::u16string text() {
        std::u16string s;
        for (;;) {
            const WORD c = read<WORD>();
            if (!ok_ || c == 0) return s;
            s.push_back(char16_t(c));
        }
    }
    // A menu, class or title field: empty, an ordinal (0xFFFF, then the number) or a string.
    std::u16string ordinal_or_text(WORD* ordinal) {
        *ordinal = 0;
        const WORD first = read<WORD>();
        if (!ok_ || first == 0) return {};
        if (first == 0xFFFF) {
            *ordinal = read<WORD>();
            return {};
        }
        offset_ -= sizeof(WORD);
        return text();
    }
    void align(size_t to) {
        const size_t aligned = (offset_ + to - 1) / to * to;
        if (aligned > size_)
            ok_ = false;
        else
            offset_ = aligned;
    }
    void bytes(size_t n, std::vector<BYTE>& out) {
        if (!take(n)) return;
        out.assign(base_ + offset_ - n, base_ + offset_);
    }

private:
    bool take(size_t n) {
        if (!ok_ || n > size_ - offset_) {
            ok_ = false;
            return false;
        }
        offset_ += n;
        return true;
    }
    const BYTE* base_;
    size_t size_;
    size_t offset_ = 0;
    bool ok_ = true;
};

bool read_class(Reader& r, DialogItem& item) {
    WORD ordinal = 0;
    item.class_name = r.ordinal_or_text(&ordinal);
    if (ordinal) {
        const char16_t* name = class_of_ordinal(ordinal);
        if (!name) return false;
        item.class_name = name;
    }
    return r.ok() && !item.class_name.empty();
}

} // namespace

std::optional<DialogTemplate> parse_dialog_template(const void* data, size_t size) {
    if (!data || size < sizeof(DLGTEMPLATE)) return std::nullopt;
    Reader r(data, size);
    DialogTemplate t;
    WORD count = 0;
    WORD words[2];
    std::memcpy(words, data, sizeof words);
    t.extended = words[1] == 0xFFFF;
    if (t.extended) {
        if (words[0] != 1) return std::nullopt;
        r.read<DWORD>();
        t.help_id = r.read<DWORD>();
        t.ex_style = r.read<DWORD>();
        t.style = r.read<DWORD>();
    } else {
        t.style = r.read<DWORD>();
        t.ex_style = r.read<DWORD>();
    }
    count = r.read<WORD>();
    t.x = r.read<short>();
    t.y = r.read<short>();
    t.cx = r.read<short>();
    t.cy = r.read<short>();
    WORD ordinal = 0;
    t.menu = r.ordinal_or_text(&ordinal);
    t.class_name = r.ordinal_or_text(&ordinal);
    if (ordinal) t.class_name = ordinal == 0x8002 ? u"#32770" : std::u16string();
    t.title = r.text();
    if (t.style & DS_SETFONT) {
        t.point_size = r.read<WORD>();
        if (t.extended) {
            t.weight = r.read<WORD>();
            t.italic = r.read<BYTE>() != 0;
            r.read<BYTE>();
        }
        t.face = r.text();
    }
    if (!r.ok()) return std::nullopt;
    for (WORD i = 0; i < count; ++i) {
        r.align(4);
        DialogItem item;
        if (t.extended) {
            item.help_id = r.read<DWORD>();
            item.ex_style = r.read<DWORD>();
            item.style = r.read<DWORD>();
        } else {
            item.style = r.read<DWORD>();
            item.ex_style = r.read<DWORD>();
        }
        item.x = r.read<short>();
        item.y = r.read<short>();
        item.cx = r.read<short>();
        item.cy = r.read<short>();
        item.id = t.extended ? r.read<DWORD>() : r.read<WORD>();
        if (!read_class(r, item)) return std::nullopt;
        item.title = r.ordinal_or_text(&item.title_resource);
        const WORD extra = r.read<WORD>();
        // The short form counts its creation data with the count word; the extended one without.
        if (t.extended && extra)
            r.bytes(extra, item.creation_data);
        else if (!t.extended && extra > sizeof(WORD))
            r.bytes(extra - sizeof(WORD), item.creation_data);
        if (!r.ok() || item.cx < 0 || item.cy < 0) return std::nullopt;
        t.items.push_back(std::move(item));
    }
    if (t.cx < 0 || t.cy < 0) return std::nullopt;
    return t;
}

const void* find_dialog_template(HINSTANCE instance, LPCWSTR name, size_t* size) {
    HRSRC resource = FindResourceW(instance, name, RT_DIALOG);
    if (!resource) return nullptr;
    *size = SizeofResource(instance, resource);
    return LockResource(LoadResource(instance, resource));
}

} // namespace hvsim::ui
