// The tool tip class (tooltips_class32): a list of tools (a control by handle, or an id and a
// rectangle of a window), each with a text, a resource string or a text asked for when shown
// (LPSTR_TEXTCALLBACKW: TTN_GETDISPINFOW to the tool's window), plus a title, delays and a width.
// Nothing pops up; the machine asks a tool's text as the tip would before showing it.
#include "internal/ui_internal.h"

#include <algorithm>
#include <cstring>

namespace hvsim::ui {
namespace {

struct Tool {
    UINT flags = 0;
    HWND hwnd = nullptr;
    UINT_PTR id = 0;
    RECT rect{};
    HINSTANCE instance = nullptr;
    bool callback = false;
    UINT resource = 0;
    std::u16string text;
    LPARAM lparam = 0;
};

struct TooltipModel : WindowModel {
    std::vector<Tool> tools;
    bool active = true;
    int max_width = -1;
    int delays[4] = {500, 100, 5000, 500}; // TTDT_AUTOMATIC, RESHOW, AUTOPOP, INITIAL
    std::u16string title;
    int title_icon = TTI_NONE;
    RECT margin{};
    COLORREF background = 0xE1FFFF, foreground = 0;
};

TooltipModel& model(HWND hwnd) {
    auto w = find_window(hwnd);
    if (!w->model) w->model = std::make_unique<TooltipModel>();
    return static_cast<TooltipModel&>(*w->model);
}

bool valid(const TTTOOLINFOW* ti) { return ti && ti->cbSize >= TTTOOLINFOW_V1_SIZE; }

std::vector<Tool>::iterator find_tool(TooltipModel& m, const TTTOOLINFOW* ti) {
    return std::find_if(m.tools.begin(), m.tools.end(),
                        [&](const Tool& t) { return t.hwnd == ti->hwnd && t.id == ti->uId; });
}

void set_text(Tool& tool, const TTTOOLINFOW* ti) {
    tool.callback = ti->lpszText == LPSTR_TEXTCALLBACKW;
    tool.resource = 0;
    tool.text.clear();
    if (tool.callback) return;
    if (ti->lpszText && IS_INTRESOURCE(ti->lpszText))
        tool.resource = UINT(uintptr_t(ti->lpszText));
    else if (ti->lpszText)
        tool.text = ti->lpszText;
}

void fill(const Tool& tool, TTTOOLINFOW* ti, bool with_text) {
    ti->uFlags = tool.flags;
    ti->hwnd = tool.hwnd;
    ti->uId = tool.id;
    ti->rect = tool.rect;
    ti->hinst = tool.instance;
    if (ti->cbSize >= TTTOOLINFOW_V2_SIZE) ti->lParam = tool.lparam;
    if (!with_text) return;
    if (tool.callback) {
        ti->lpszText = LPSTR_TEXTCALLBACKW;
    } else if (ti->lpszText && ti->lpszText != LPSTR_TEXTCALLBACKW && !IS_INTRESOURCE(ti->lpszText)) {
        // The caller's buffer holds 80 characters, as Windows assumes.
        const size_t n = std::min<size_t>(tool.text.size(), 79);
        std::copy_n(tool.text.data(), n, ti->lpszText);
        ti->lpszText[n] = 0;
    }
}

LRESULT CALLBACK tooltip_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* ti = reinterpret_cast<TTTOOLINFOW*>(lp);
    switch (msg) {
    case WM_CREATE: model(hwnd); return 0;
    case TTM_ADDTOOLW: {
        if (!valid(ti)) return FALSE;
        auto& m = model(hwnd);
        Tool tool;
        tool.flags = ti->uFlags;
        tool.hwnd = ti->hwnd;
        tool.id = ti->uId;
        tool.rect = ti->rect;
        tool.instance = ti->hinst;
        if (ti->cbSize >= TTTOOLINFOW_V2_SIZE) tool.lparam = ti->lParam;
        set_text(tool, ti);
        auto existing = find_tool(m, ti);
        if (existing != m.tools.end())
            *existing = std::move(tool);
        else
            m.tools.push_back(std::move(tool));
        return TRUE;
    }
    case TTM_DELTOOLW: {
        if (!valid(ti)) return 0;
        auto& m = model(hwnd);
        if (auto it = find_tool(m, ti); it != m.tools.end()) m.tools.erase(it);
        return 0;
    }
    case TTM_GETTOOLCOUNT: return LRESULT(model(hwnd).tools.size());
    case TTM_ENUMTOOLSW: {
        auto& m = model(hwnd);
        if (!valid(ti) || wp >= m.tools.size()) return FALSE;
        fill(m.tools[wp], ti, true);
        return TRUE;
    }
    case TTM_GETTOOLINFOW: {
        auto& m = model(hwnd);
        if (!valid(ti)) return FALSE;
        auto it = find_tool(m, ti);
        if (it == m.tools.end()) return FALSE;
        fill(*it, ti, true);
        return TRUE;
    }
    case TTM_SETTOOLINFOW:
    case TTM_NEWTOOLRECTW:
    case TTM_UPDATETIPTEXTW: {
        auto& m = model(hwnd);
        if (!valid(ti)) return 0;
        auto it = find_tool(m, ti);
        if (it == m.tools.end()) return 0;
        if (msg != TTM_UPDATETIPTEXTW) it->rect = ti->rect;
        if (msg == TTM_SETTOOLINFOW) it->flags = ti->uFlags;
        if (msg != TTM_NEWTOOLRECTW) set_text(*it, ti);
        return 0;
    }
    case TTM_GETTEXTW: {
        auto& m = model(hwnd);
        if (!valid(ti)) return 0;
        auto it = find_tool(m, ti);
        if (it == m.tools.end() || !ti->lpszText) return 0;
        const size_t room = wp ? size_t(wp) : 80;
        const size_t n = std::min(it->text.size(), room - 1);
        std::copy_n(it->text.data(), n, ti->lpszText);
        ti->lpszText[n] = 0;
        return 0;
    }
    case TTM_ACTIVATE: model(hwnd).active = wp != 0; return 0;
    case TTM_SETMAXTIPWIDTH: return std::exchange(model(hwnd).max_width, int(lp));
    case TTM_GETMAXTIPWIDTH: return model(hwnd).max_width;
    case TTM_SETDELAYTIME: {
        auto& m = model(hwnd);
        int value = int(short(LOWORD(lp)));
        if (wp == TTDT_AUTOMATIC) {
            if (value < 0) value = 500;
            m.delays[TTDT_AUTOMATIC] = m.delays[TTDT_INITIAL] = value;
            m.delays[TTDT_AUTOPOP] = value * 10;
            m.delays[TTDT_RESHOW] = value / 5;
        } else if (wp <= TTDT_INITIAL) {
            m.delays[wp] = value < 0 ? (wp == TTDT_AUTOPOP ? 5000 : wp == TTDT_RESHOW ? 100 : 500) : value;
        }
        return 0;
    }
    case TTM_GETDELAYTIME: return wp <= TTDT_INITIAL ? model(hwnd).delays[wp] : 0;
    case TTM_SETTITLEW: {
        auto& m = model(hwnd);
        m.title = lp ? reinterpret_cast<LPCWSTR>(lp) : u"";
        m.title_icon = wp <= TTI_ERROR_LARGE ? int(wp) : -1;
        return TRUE;
    }
    case TTM_GETTITLE: {
        auto* title = reinterpret_cast<TTGETTITLE*>(lp);
        auto& m = model(hwnd);
        if (!title || !title->pszTitle || !title->cch) return 0;
        title->uTitleBitmap = UINT(m.title_icon);
        const size_t n = std::min<size_t>(m.title.size(), title->cch - 1);
        std::copy_n(m.title.data(), n, title->pszTitle);
        title->pszTitle[n] = 0;
        return 0;
    }
    case TTM_SETMARGIN:
        if (lp) model(hwnd).margin = *reinterpret_cast<RECT*>(lp);
        return 0;
    case TTM_GETMARGIN:
        if (lp) *reinterpret_cast<RECT*>(lp) = model(hwnd).margin;
        return 0;
    case TTM_SETTIPBKCOLOR: model(hwnd).background = COLORREF(wp); return 0;
    case TTM_SETTIPTEXTCOLOR: model(hwnd).foreground = COLORREF(wp); return 0;
    case TTM_GETTIPBKCOLOR: return model(hwnd).background;
    case TTM_GETTIPTEXTCOLOR: return model(hwnd).foreground;
    case TTM_RELAYEVENT:
    case TTM_POP:
    case TTM_POPUP:
    case TTM_UPDATE:
    case TTM_TRACKACTIVATE:
    case TTM_TRACKPOSITION: return 0;
    default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

// The tool's text as a tip shows it: asked of the tool's window when it is a callback.
TipText text_of(HWND tip, Tool& tool) {
    TipText result;
    if (tool.callback) {
        NMTTDISPINFOW info{};
        info.hdr.hwndFrom = tip;
        info.hdr.idFrom = tool.id;
        info.hdr.code = TTN_GETDISPINFOW;
        info.lpszText = info.szText;
        info.uFlags = tool.flags;
        info.lParam = tool.lparam;
        SendMessageW(tool.hwnd, WM_NOTIFY, WPARAM(tool.id), LPARAM(&info));
        if (info.lpszText && IS_INTRESOURCE(info.lpszText) && info.hinst) {
            WCHAR buffer[1024];
            LoadStringW(info.hinst, UINT(uintptr_t(info.lpszText)), buffer, 1024);
            result.text = buffer;
        } else if (info.lpszText && info.lpszText != LPSTR_TEXTCALLBACKW && !IS_INTRESOURCE(info.lpszText)) {
            result.text = info.lpszText;
        }
        if (info.uFlags & TTF_DI_SETITEM) {
            tool.callback = false;
            tool.text = result.text;
        }
    } else if (tool.resource) {
        WCHAR buffer[1024];
        LoadStringW(tool.instance, tool.resource, buffer, 1024);
        result.text = buffer;
    } else {
        result.text = tool.text;
    }
    if (auto* m = model_of<TooltipModel>(tip)) {
        result.title = m->title;
        result.icon = m->title_icon;
    }
    return result;
}

} // namespace

void register_tooltip_class() { register_system_class(TOOLTIPS_CLASSW, tooltip_proc, 0, CS_DBLCLKS | CS_SAVEBITS); }

std::optional<TipText> tooltip_text(HWND owner, HWND control) {
    const int id = GetDlgCtrlID(control);
    for (auto& w : all_windows()) {
        if (!equal_no_case(class_name_of(*w), TOOLTIPS_CLASSW) || w->owner != root_of(owner)) continue;
        std::optional<TipText> found;
        call_on_owner(w, [&]() -> LRESULT {
            auto* m = model_of<TooltipModel>(w);
            if (!m) return 0;
            for (auto& tool : m->tools) {
                const bool match =
                    (tool.flags & TTF_IDISHWND) ? HWND(tool.id) == control : tool.hwnd == owner && int(tool.id) == id;
                if (!match) continue;
                found = text_of(w->handle, tool);
                return 1;
            }
            return 0;
        });
        if (found) return found;
    }
    return std::nullopt;
}

} // namespace hvsim::ui
