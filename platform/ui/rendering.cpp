// Windows seen as text (hvsim/ui.h): a one-line-per-control listing, and a drawing on a
// character grid from the dialog units of the template (a cell is 4 by 8 units, the size of an
// average character). Hidden controls are left out; a disabled control's brackets become braces.
#include <hvsim/ui.h>

#include "internal/ui_internal.h"

#include <algorithm>
#include <sstream>

namespace hvsim::ui {
namespace {

std::u16string raw_text(HWND hwnd) {
    auto w = find_window(hwnd);
    if (!w) return {};
    std::lock_guard lock(windows_lock());
    return w->text;
}

// The text as shown: accelerator marks taken out, "&&" kept as "&".
std::string shown(const std::u16string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'&' && i + 1 < text.size() && text[i + 1] != u'&') continue;
        if (text[i] == u'&') ++i;
        out.push_back(text[i] == u'\n' || text[i] == u'\r' || text[i] == u'\t' ? u' ' : text[i]);
    }
    return utf8(out);
}

std::vector<HWND> children(HWND hwnd) {
    auto w = find_window(hwnd);
    if (!w) return {};
    std::lock_guard lock(windows_lock());
    return w->children;
}

DWORD style_of(HWND hwnd) { return DWORD(GetWindowLongPtrW(hwnd, GWL_STYLE)); }

std::string state_of(HWND control, const std::string& kind) {
    std::string state;
    auto add = [&](const std::string& s) { state += " " + s; };
    if (kind == "check" || kind == "radio")
        add(SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? "checked" : "unchecked");
    if (kind == "combo" || kind == "list") {
        add("items=" + std::to_string(SendMessageW(control, CB_GETCOUNT, 0, 0)));
        add("sel=" + std::to_string(SendMessageW(control, CB_GETCURSEL, 0, 0)));
    }
    if (kind == "trackbar")
        add("pos=" + std::to_string(SendMessageW(control, TBM_GETPOS, 0, 0)) +
            " range=" + std::to_string(SendMessageW(control, TBM_GETRANGEMIN, 0, 0)) + ".." +
            std::to_string(SendMessageW(control, TBM_GETRANGEMAX, 0, 0)));
    if (kind == "progress") {
        PBRANGE r{};
        SendMessageW(control, PBM_GETRANGE, TRUE, LPARAM(&r));
        add("pos=" + std::to_string(SendMessageW(control, PBM_GETPOS, 0, 0)) + " range=" + std::to_string(r.iLow) +
            ".." + std::to_string(r.iHigh));
    }
    if (kind == "animation") add(SendMessageW(control, ACM_ISPLAYING, 0, 0) ? "playing" : "stopped");
    if (style_of(control) & WS_DISABLED) add("disabled");
    if (!(style_of(control) & WS_VISIBLE)) add("hidden");
    return state;
}

struct Grid {
    int width, height;
    std::vector<std::string> rows;
    Grid(int w, int h) : width(w), height(h), rows(size_t(h), std::string(size_t(w), ' ')) {}
    void put(int x, int y, const std::string& s, int limit = -1) {
        if (y < 0 || y >= height) return;
        // Counted in characters, not bytes, so that UTF-8 text keeps its place.
        int column = x;
        for (size_t i = 0; i < s.size() && column < width && (limit < 0 || column < x + limit);) {
            size_t n = 1;
            const unsigned char c = static_cast<unsigned char>(s[i]);
            if (c >= 0xF0)
                n = 4;
            else if (c >= 0xE0)
                n = 3;
            else if (c >= 0xC0)
                n = 2;
            if (column >= 0) {
                auto& row = rows[size_t(y)];
                size_t at = byte_of(row, column);
                size_t old = at < row.size() ? char_len(row, at) : 1;
                row.replace(at, old, s.substr(i, n));
            }
            i += n;
            ++column;
        }
    }
    static size_t char_len(const std::string& row, size_t at) {
        const unsigned char c = static_cast<unsigned char>(row[at]);
        return c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    }
    static size_t byte_of(const std::string& row, int column) {
        size_t at = 0;
        for (int c = 0; c < column && at < row.size(); ++c) at += char_len(row, at);
        return at;
    }
    std::string text() const {
        std::string out;
        for (auto row : rows) {
            while (!row.empty() && row.back() == ' ') row.pop_back();
            out += row + "\n";
        }
        return out;
    }
};

std::string pad(std::string s, int width) {
    if (int(s.size()) > width) s.resize(size_t(std::max(width, 0)));
    return s + std::string(size_t(std::max(0, width - int(s.size()))), ' ');
}

void draw(Grid& g, HWND control, int ox, int oy);

void draw_children(Grid& g, HWND parent, int ox, int oy) {
    for (HWND child : children(parent)) draw(g, child, ox, oy);
}

void draw(Grid& g, HWND control, int ox, int oy) {
    auto w = find_window(control);
    if (!w || !(w->style & WS_VISIBLE) || !w->has_dialog_units) {
        // Controls a sheet made itself carry their place in dialog units as well.
        if (!w || !(w->style & WS_VISIBLE)) return;
    }
    const RECT du = w->dialog_units;
    // To the nearest cell, so that a label and the field beside it share a line.
    const int x = ox + (du.left + 2) / 4, y = oy + (du.top + 4) / 8;
    // The far edges fall where they fall, so that a frame holds what lies inside it.
    const int cells = std::max(1, ox + int(du.left + du.right) / 4 - x);
    const int lines = std::max(1, oy + int(du.top + du.bottom) / 8 - y + 1);
    const std::string kind = control_kind(control);
    const bool disabled = (w->style & WS_DISABLED) != 0;
    const char open = disabled ? '{' : '[', close = disabled ? '}' : ']';
    const std::string text = shown(raw_text(control));
    if (kind == "page" || kind == "dialog") {
        draw_children(g, control, x, y);
    } else if (kind == "static") {
        const DWORD type = w->style & SS_TYPEMASK;
        if (type == SS_ETCHEDHORZ || type == SS_BLACKFRAME || type == SS_GRAYFRAME || type == SS_ETCHEDFRAME)
            g.put(x, y, std::string(size_t(cells), '-'));
        else
            g.put(x, y, text, cells);
    } else if (kind == "icon") {
        g.put(x, y, disabled ? "{i}" : "(i)");
    } else if (kind == "check") {
        const bool on = SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
        g.put(x, y, std::string(1, open) + (on ? "x" : " ") + close + " " + text, std::max(cells, 4));
    } else if (kind == "radio") {
        const bool on = SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
        g.put(x, y, std::string(disabled ? "{" : "(") + (on ? "o" : " ") + (disabled ? "}" : ")") + " " + text,
              std::max(cells, 4));
    } else if (kind == "button") {
        g.put(x, y, std::string(1, open) + " " + text + " " + close);
    } else if (kind == "group") {
        g.put(x, y, "+-" + text + std::string(size_t(std::max(0, cells - 3 - int(text.size()))), '-') + "+");
        for (int row = 1; row < lines - 1; ++row) {
            g.put(x, y + row, "|");
            g.put(x + cells - 1, y + row, "|");
        }
        if (lines > 1) g.put(x, y + lines - 1, "+" + std::string(size_t(std::max(0, cells - 2)), '-') + "+");
    } else if (kind == "edit") {
        g.put(x, y, std::string(1, open) + pad(text, cells - 2) + close);
    } else if (kind == "combo" || kind == "list") {
        g.put(x, y, std::string(1, open) + pad(text, cells - 3) + "v" + close);
    } else if (kind == "trackbar") {
        const int min = int(SendMessageW(control, TBM_GETRANGEMIN, 0, 0));
        const int max = int(SendMessageW(control, TBM_GETRANGEMAX, 0, 0));
        const int pos = int(SendMessageW(control, TBM_GETPOS, 0, 0));
        const int inner = std::max(1, cells - 2);
        const int at = max > min ? (pos - min) * (inner - 1) / (max - min) : 0;
        std::string bar(size_t(inner), '-');
        bar[size_t(at)] = 'o';
        g.put(x, y, std::string(disabled ? "{" : "|") + bar + (disabled ? "}" : "|") + " " + std::to_string(pos));
    } else if (kind == "progress") {
        PBRANGE r{};
        SendMessageW(control, PBM_GETRANGE, TRUE, LPARAM(&r));
        const int pos = int(SendMessageW(control, PBM_GETPOS, 0, 0));
        const int inner = std::max(1, cells - 2);
        const int filled = r.iHigh > r.iLow ? (pos - r.iLow) * inner / (r.iHigh - r.iLow) : 0;
        g.put(x, y, "[" + std::string(size_t(filled), '#') + std::string(size_t(inner - filled), ' ') + "]");
    } else if (kind == "animation") {
        g.put(x, y, SendMessageW(control, ACM_ISPLAYING, 0, 0) ? "(~~ playing ~~)" : "(animation)");
    } else if (kind == "tab") {
        std::string line;
        if (auto* tab = model_of<TabModel>(control))
            for (size_t i = 0; i < tab->titles.size(); ++i)
                line += (int(i) == tab->current ? "[*" : "[ ") + shown(tab->titles[i]) + "]";
        g.put(x, y, line, cells);
        g.put(x, y + 1, std::string(size_t(cells), '-'));
    }
}

void list(std::ostringstream& out, HWND parent, const std::string& indent) {
    for (HWND child : children(parent)) {
        const std::string kind = control_kind(child);
        out << indent << GetDlgCtrlID(child) << " " << kind << " \"" << utf8(raw_text(child)) << "\""
            << state_of(child, kind) << "\n";
        if (kind == "page") list(out, child, indent + "  ");
    }
}

template <class T> T on_owner(HWND hwnd, const std::function<T()>& f) {
    auto w = find_window(hwnd);
    if (!w) return T();
    T result{};
    call_on_owner(w, [&]() -> LRESULT {
        result = f();
        return 0;
    });
    return result;
}

} // namespace

std::string control_kind(HWND control) {
    auto w = find_window(control);
    if (!w) return "none";
    const std::u16string cls = class_name_of(*w);
    const DWORD style = w->style;
    if (equal_no_case(cls, u"Button")) {
        switch (style & BS_TYPEMASK) {
        case BS_CHECKBOX:
        case BS_AUTOCHECKBOX:
        case BS_3STATE:
        case BS_AUTO3STATE: return "check";
        case BS_RADIOBUTTON:
        case BS_AUTORADIOBUTTON: return "radio";
        case BS_GROUPBOX: return "group";
        default: return "button";
        }
    }
    if (equal_no_case(cls, u"Static")) return (style & SS_TYPEMASK) == SS_ICON ? "icon" : "static";
    if (equal_no_case(cls, u"Edit")) return "edit";
    if (equal_no_case(cls, u"ComboBox")) return (style & 3) == CBS_DROPDOWNLIST ? "list" : "combo";
    if (equal_no_case(cls, TRACKBAR_CLASSW)) return "trackbar";
    if (equal_no_case(cls, PROGRESS_CLASSW)) return "progress";
    if (equal_no_case(cls, ANIMATE_CLASSW)) return "animation";
    if (equal_no_case(cls, WC_TABCONTROLW)) return "tab";
    if (equal_no_case(cls, TOOLTIPS_CLASSW)) return "tooltip";
    if (w->dialog) return (style & WS_CHILD) ? "page" : "dialog";
    return utf8(cls);
}

std::string Dialog::listing() const {
    return on_owner<std::string>(hwnd_, [&] {
        std::ostringstream out;
        list(out, hwnd_, "");
        return out.str();
    });
}

std::string Dialog::render() const {
    return on_owner<std::string>(hwnd_, [&] {
        auto w = find_window(hwnd_);
        const RECT du = w->dialog_units;
        const int width = std::max(8, int(du.right) / 4 + 2), height = std::max(3, int(du.bottom) / 8 + 3);
        Grid g(width, height);
        const std::string caption = shown(raw_text(hwnd_));
        g.put(0, 0, "+" + std::string(size_t(width - 2), '-') + "+");
        g.put(2, 0, " " + caption + " ", width - 4);
        for (int row = 1; row < height - 1; ++row) {
            g.put(0, row, "|");
            g.put(width - 1, row, "|");
        }
        g.put(0, height - 1, "+" + std::string(size_t(width - 2), '-') + "+");
        Sheet sheet(hwnd_);
        if (is_property_sheet(hwnd_) && sheet.wizard()) {
            const std::string title = shown(sheet.header_title()), subtitle = shown(sheet.header_subtitle());
            if (!title.empty()) g.put(2, 1, title, width - 4);
            if (!subtitle.empty()) g.put(4, 2, subtitle, width - 6);
        }
        draw_children(g, hwnd_, 1, 1);
        return g.text();
    });
}

} // namespace hvsim::ui
