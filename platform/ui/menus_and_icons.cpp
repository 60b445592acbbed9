// System menus, icons and cursors (user32). A window's system menu holds the standard commands
// until they are removed or greyed, so that a test sees that Close was taken away. Icons are
// handles: the system's (IDI_*) are shared and never freed; a module's come from its resources.
//
//   GetSystemMenu, DeleteMenu, RemoveMenu, EnableMenuItem, GetMenuItemCount
//   LoadIconW/A, LoadCursorW, LoadImageW, DestroyIcon, SetCursor
#include <hv_resource.h>

#include "internal/ui_internal.h"

#include <algorithm>

namespace hvsim::ui {
namespace {

struct MenuItem {
    UINT command;
    bool enabled = true;
};

struct Menus {
    std::mutex mutex;
    std::map<uintptr_t, std::vector<MenuItem>> menus;
    uintptr_t next = 0x3000010;
    std::map<uintptr_t, std::pair<HINSTANCE, UINT>> icons; // loaded from modules
    uintptr_t next_icon = 0x4000010;
};
Menus& menus() {
    static Menus* m = new Menus;
    return *m;
}

constexpr uintptr_t kSystemIconBase = 0x3F00000;

std::vector<MenuItem>* menu_of(Menus& m, HMENU menu) {
    auto it = m.menus.find(uintptr_t(menu));
    return it == m.menus.end() ? nullptr : &it->second;
}

std::vector<MenuItem>::iterator item_of(std::vector<MenuItem>& items, UINT position, UINT flags) {
    if (flags & MF_BYPOSITION) return position < items.size() ? items.begin() + position : items.end();
    return std::find_if(items.begin(), items.end(), [&](const MenuItem& i) { return i.command == position; });
}

HICON module_icon(HINSTANCE instance, LPCWSTR name) {
    if (!instance) {
        const UINT id = IS_INTRESOURCE(name) ? UINT(uintptr_t(name)) : 0;
        if (id >= 32512 && id <= 32518) return system_icon(WORD(id));
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    if (!FindResourceW(instance, name, RT_GROUP_ICON) && !FindResourceW(instance, name, RT_ICON)) return nullptr;
    auto& m = menus();
    std::lock_guard lock(m.mutex);
    // The same icon of a module is one shared handle, as LoadIcon gives.
    const UINT id = IS_INTRESOURCE(name) ? UINT(uintptr_t(name)) : 0;
    for (auto& [handle, icon] : m.icons)
        if (icon.first == instance && icon.second == id && id) return HICON(handle);
    const uintptr_t handle = m.next_icon;
    m.next_icon += 4;
    m.icons[handle] = {instance, id};
    return HICON(handle);
}

} // namespace

HICON system_icon(WORD id) { return HICON(kSystemIconBase + id); }

HMENU create_system_menu() {
    auto& m = menus();
    std::lock_guard lock(m.mutex);
    const uintptr_t handle = m.next;
    m.next += 4;
    m.menus[handle] = {{SC_RESTORE}, {SC_MOVE}, {SC_SIZE}, {SC_MINIMIZE}, {SC_MAXIMIZE}, {SC_CLOSE}};
    return HMENU(handle);
}

void destroy_menu(HMENU menu) {
    auto& m = menus();
    std::lock_guard lock(m.mutex);
    m.menus.erase(uintptr_t(menu));
}

bool menu_has_command(HMENU menu, UINT command, bool* enabled) {
    auto& m = menus();
    std::lock_guard lock(m.mutex);
    auto* items = menu_of(m, menu);
    if (!items) return false;
    auto it = item_of(*items, command, MF_BYCOMMAND);
    if (it == items->end()) return false;
    if (enabled) *enabled = it->enabled;
    return true;
}

} // namespace hvsim::ui

using namespace hvsim::ui;

HV_EXTERN_C_BEGIN

HMENU WINAPI GetSystemMenu(HWND hwnd, BOOL revert) {
    auto w = window_of(hwnd);
    if (!w) return nullptr;
    if (revert) {
        if (w->system_menu) destroy_menu(std::exchange(w->system_menu, nullptr));
        return nullptr;
    }
    std::lock_guard lock(windows_lock());
    if (!w->system_menu) w->system_menu = create_system_menu();
    return w->system_menu;
}

BOOL WINAPI DeleteMenu(HMENU menu, UINT position, UINT flags) {
    auto& m = menus();
    std::lock_guard lock(m.mutex);
    auto* items = menu_of(m, menu);
    if (!items) {
        SetLastError(ERROR_INVALID_MENU_HANDLE);
        return FALSE;
    }
    auto it = item_of(*items, position, flags);
    if (it == items->end()) return FALSE;
    items->erase(it);
    return TRUE;
}

BOOL WINAPI RemoveMenu(HMENU menu, UINT position, UINT flags) { return DeleteMenu(menu, position, flags); }

// The previous state (MF_ENABLED or MF_GRAYED), or -1 when the item is not there.
BOOL WINAPI EnableMenuItem(HMENU menu, UINT id, UINT enable) {
    auto& m = menus();
    std::lock_guard lock(m.mutex);
    auto* items = menu_of(m, menu);
    if (!items) return -1;
    auto it = item_of(*items, id, enable & MF_BYPOSITION);
    if (it == items->end()) return -1;
    const BOOL previous = it->enabled ? MF_ENABLED : MF_GRAYED;
    it->enabled = !(enable & (MF_GRAYED | MF_DISABLED));
    return previous;
}

int WINAPI GetMenuItemCount(HMENU menu) {
    auto& m = menus();
    std::lock_guard lock(m.mutex);
    auto* items = menu_of(m, menu);
    if (!items) {
        SetLastError(ERROR_INVALID_MENU_HANDLE);
        return -1;
    }
    return int(items->size());
}

HICON WINAPI LoadIconW(HINSTANCE instance, LPCWSTR name) { return module_icon(instance, name); }

HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name) {
    if (IS_INTRESOURCE(name)) return module_icon(instance, reinterpret_cast<LPCWSTR>(name));
    const std::u16string wide = widen(name);
    return module_icon(instance, wide.c_str());
}

HCURSOR WINAPI LoadCursorW(HINSTANCE instance, LPCWSTR name) {
    if (!instance && IS_INTRESOURCE(name)) return HCURSOR(kSystemIconBase + 0x10000 + uintptr_t(name));
    return HCURSOR(module_icon(instance, name));
}

HANDLE WINAPI LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int, int, UINT) {
    switch (type) {
    case IMAGE_BITMAP: return LoadBitmapW(instance, name);
    case IMAGE_ICON: return LoadIconW(instance, name);
    case IMAGE_CURSOR: return LoadCursorW(instance, name);
    default: SetLastError(ERROR_INVALID_PARAMETER); return nullptr;
    }
}

// Shared icons stay; DestroyIcon on them succeeds and changes nothing.
BOOL WINAPI DestroyIcon(HICON icon) { return icon != nullptr; }

HCURSOR WINAPI SetCursor(HCURSOR cursor) { return cursor; }

HV_EXTERN_C_END
