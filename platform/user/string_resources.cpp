// Resources of images (kernel32's loader and user32's strings).
//
//   HvRegisterImageStrings, HvUnregisterImageStrings     an image's declared tables, as it is
//   HvRegisterImageDialogs, HvUnregisterImageDialogs     mapped and unmapped (hv_resource.h)
//   HvRegisterImageResources, HvUnregisterImageResources
//   LoadStringW/A                                        a string of a module's table
//   FindResourceW/A, LoadResource, LockResource,         a module's dialog templates (laid out
//   SizeofResource, FreeResource                         as DLGTEMPLATEEX) and other resources
//
// A module handle is the loader's handle of the image, which is the image's link map; NULL is
// the process's own image: the program image the machine runs, else the host program. Tables set
// through the test hook (set_module_strings) come before the image's own.
#include <windows.h>
#include <hv_resource.h>

#include <hvsim/user.h>
#include <hvsim/user_hooks.h>

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "internal/setupapi_platform.h"
#include "internal/user_internal.h"

namespace {

using namespace hvsim::user;

struct Table {
    const HV_STRING_RESOURCE* entries;
    size_t count;
};

// A resource that FindResource hands out: the bytes of a dialog's template, or a declared line.
struct Resource {
    WORD type;
    UINT id;
    const void* owner; // the declared table it came from
    std::vector<BYTE> bytes;
    const HV_RESOURCE_LINE* line = nullptr;
};

struct Image {
    std::vector<Table> strings;
    std::vector<std::unique_ptr<Resource>> resources;
};

struct State {
    std::mutex mutex;
    std::map<const void*, Image> images; // link map -> its tables
    std::map<HINSTANCE, std::map<UINT, std::u16string>> hooked;
};
State& state() {
    static State* s = new State;
    return *s;
}

// The image that holds the address, as the loader knows it.
const void* image_of(const void* address) {
    Dl_info info;
    struct link_map* map = nullptr;
    if (!dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) || !map) return nullptr;
    return map;
}

const void* host_program() {
    void* self = dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD);
    struct link_map* map = nullptr;
    if (self) {
        dlinfo(self, RTLD_DI_LINKMAP, &map);
        dlclose(self);
    }
    return map;
}

// The image of the calling process: the program image the machine loaded for it, when that
// image declares strings; otherwise the host program. Called with the state's lock held.
const void* process_image(State& s) {
    // The image the process was started from, wherever its file is (a host file outside the
    // machine's drive included).
    if (void* module = current_process()->state().image_module) {
        struct link_map* map = nullptr;
        if (dlinfo(module, RTLD_DI_LINKMAP, &map) == 0 && map && s.images.count(map)) return map;
    }
    std::error_code error;
    const std::filesystem::path image = devices::host_path(current_process()->options().image_path, true);
    if (!image.empty())
        for (const auto& [key, tables] : s.images) {
            const char* name = static_cast<const struct link_map*>(key)->l_name;
            if (name && *name && std::filesystem::equivalent(image, name, error)) return key;
        }
    return host_program();
}

// The string and whether the module has a string table at all.
const WCHAR* find(State& s, HINSTANCE module, UINT id, size_t& length, bool& has_table) {
    has_table = false;
    if (auto hooked = s.hooked.find(module); hooked != s.hooked.end()) {
        has_table = true;
        if (auto it = hooked->second.find(id); it != hooked->second.end()) {
            length = it->second.size();
            return it->second.c_str();
        }
    }
    const void* key = module ? static_cast<const void*>(module) : process_image(s);
    auto image = s.images.find(key);
    if (image == s.images.end() || image->second.strings.empty()) return nullptr;
    has_table = true;
    // String IDs are 16 bits wide; an empty string is no string.
    if (id > 0xFFFF) return nullptr;
    for (const auto& table : image->second.strings)
        for (size_t i = 0; i < table.count; ++i)
            if (table.entries[i].Id == id && table.entries[i].Text && *table.entries[i].Text) {
                length = std::char_traits<char16_t>::length(table.entries[i].Text);
                return table.entries[i].Text;
            }
    return nullptr;
}

void drop_empty_images(State& s) {
    for (auto it = s.images.begin(); it != s.images.end();)
        it = it->second.strings.empty() && it->second.resources.empty() ? s.images.erase(it) : std::next(it);
}

void unregister_resources(const void* table) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    for (auto& [key, image] : s.images) {
        auto& r = image.resources;
        r.erase(std::remove_if(r.begin(), r.end(), [&](auto& resource) { return resource->owner == table; }), r.end());
    }
    drop_empty_images(s);
}

// A resource name or type as a number: MAKEINTRESOURCE, or a string "#123".
std::optional<UINT> resource_number(LPCWSTR name) {
    if (IS_INTRESOURCE(name)) return UINT(uintptr_t(name));
    if (!name || name[0] != u'#' || !name[1]) return std::nullopt;
    UINT value = 0;
    for (const WCHAR* p = name + 1; *p; ++p) {
        if (*p < u'0' || *p > u'9' || value > 0xFFFF) return std::nullopt;
        value = value * 10 + UINT(*p - u'0');
    }
    return value <= 0xFFFF ? std::optional<UINT>(value) : std::nullopt;
}

// An extended in-memory dialog template, as the resource compiler lays one out.
class TemplateWriter {
public:
    void word(WORD value) { put(&value, sizeof value); }
    void dword(DWORD value) { put(&value, sizeof value); }
    void text(LPCWSTR s) {
        for (; s && *s; ++s) word(WORD(*s));
        word(0);
    }
    void ordinal_or_text(WORD ordinal, LPCWSTR s) {
        if (ordinal) {
            word(0xFFFF);
            word(ordinal);
        } else {
            text(s);
        }
    }
    void align() {
        while (bytes.size() % 4) bytes.push_back(0);
    }
    std::vector<BYTE> bytes;

private:
    void put(const void* data, size_t size) {
        auto* p = static_cast<const BYTE*>(data);
        bytes.insert(bytes.end(), p, p + size);
    }
};

std::unique_ptr<Resource> build_dialog(const HV_DIALOG_LINE* table, const HV_DIALOG_LINE& dialog,
                                       const HV_DIALOG_LINE* font, const std::vector<const HV_DIALOG_LINE*>& items) {
    DWORD style = dialog.Style;
    if (font) style |= DS_SETFONT;
    TemplateWriter w;
    w.word(1);
    w.word(0xFFFF);
    w.dword(0);
    w.dword(dialog.ExStyle);
    w.dword(style);
    w.word(WORD(items.size()));
    w.word(WORD(dialog.X));
    w.word(WORD(dialog.Y));
    w.word(WORD(dialog.Cx));
    w.word(WORD(dialog.Cy));
    w.word(0); // no menu
    w.word(0); // the dialog class
    w.text(dialog.Text);
    if (style & DS_SETFONT) {
        w.word(WORD(font ? font->Id : 8));
        w.word(FW_NORMAL);
        w.word(0x0100); // not italic, DEFAULT_CHARSET
        w.text(font ? font->Text : u"MS Shell Dlg");
    }
    for (const HV_DIALOG_LINE* item : items) {
        w.align();
        w.dword(0);
        w.dword(item->ExStyle);
        w.dword(item->Style);
        w.word(WORD(item->X));
        w.word(WORD(item->Y));
        w.word(WORD(item->Cx));
        w.word(WORD(item->Cy));
        w.dword(item->Id);
        w.ordinal_or_text(item->ClassAtom, item->ClassName);
        w.ordinal_or_text(item->TextResource, item->Text ? item->Text : u"");
        w.word(0); // no creation data
    }
    auto resource = std::make_unique<Resource>();
    resource->type = 5; // RT_DIALOG
    resource->id = dialog.Id;
    resource->owner = table;
    resource->bytes = std::move(w.bytes);
    return resource;
}

// A table's dialogs: each dialog line starts one, the lines up to the next are its font and items.
std::vector<std::unique_ptr<Resource>> build_dialog_templates(const HV_DIALOG_LINE* table, size_t count) {
    std::vector<std::unique_ptr<Resource>> result;
    for (size_t i = 0; i < count;) {
        if (table[i].Kind != HV_DIALOG_LINE_DIALOG) {
            ++i;
            continue;
        }
        const HV_DIALOG_LINE& dialog = table[i++];
        const HV_DIALOG_LINE* font = nullptr;
        std::vector<const HV_DIALOG_LINE*> items;
        for (; i < count && table[i].Kind != HV_DIALOG_LINE_DIALOG; ++i) {
            if (table[i].Kind == HV_DIALOG_LINE_FONT)
                font = &table[i];
            else if (table[i].Kind == HV_DIALOG_LINE_CONTROL)
                items.push_back(&table[i]);
        }
        result.push_back(build_dialog(table, dialog, font, items));
    }
    return result;
}

} // namespace

namespace hvsim::user {

void set_module_strings(HINSTANCE module, std::vector<std::pair<UINT, std::u16string>> strings) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto& table = s.hooked[module];
    for (auto& [id, text] : strings) table[id] = std::move(text);
}

void clear_module_strings(HINSTANCE module) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.hooked.erase(module);
}

} // namespace hvsim::user

HV_EXTERN_C_BEGIN

void WINAPI HvRegisterImageStrings(const HV_STRING_RESOURCE* table, SIZE_T count) {
    const void* image = image_of(table);
    if (!table || !image) return;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.images[image].strings.push_back(Table{table, count});
}

void WINAPI HvUnregisterImageStrings(const HV_STRING_RESOURCE* table) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    for (auto& [key, image] : s.images) {
        auto& tables = image.strings;
        tables.erase(std::remove_if(tables.begin(), tables.end(), [&](const Table& t) { return t.entries == table; }),
                     tables.end());
    }
    drop_empty_images(s);
}

void WINAPI HvRegisterImageDialogs(const HV_DIALOG_LINE* table, SIZE_T count) {
    const void* image = image_of(table);
    if (!table || !image) return;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    for (auto& dialog : build_dialog_templates(table, count)) s.images[image].resources.push_back(std::move(dialog));
}

void WINAPI HvUnregisterImageDialogs(const HV_DIALOG_LINE* table) { unregister_resources(table); }

void WINAPI HvRegisterImageResources(const HV_RESOURCE_LINE* table, SIZE_T count) {
    const void* image = image_of(table);
    if (!table || !image) return;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    for (size_t i = 0; i < count; ++i) {
        auto resource = std::make_unique<Resource>();
        resource->type = table[i].Type;
        resource->id = table[i].Id;
        resource->owner = table;
        resource->line = &table[i];
        if (table[i].Data)
            resource->bytes.assign(static_cast<const BYTE*>(table[i].Data),
                                   static_cast<const BYTE*>(table[i].Data) + table[i].Size);
        s.images[image].resources.push_back(std::move(resource));
    }
}

void WINAPI HvUnregisterImageResources(const HV_RESOURCE_LINE* table) { unregister_resources(table); }

HRSRC WINAPI FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    std::optional<UINT> id = resource_number(name);
    std::optional<UINT> type_id = resource_number(type);
    auto& s = state();
    std::lock_guard lock(s.mutex);
    const void* key = module ? static_cast<const void*>(module) : process_image(s);
    auto image = s.images.find(key);
    bool has_type = false;
    if (image != s.images.end() && type_id)
        for (auto& resource : image->second.resources) {
            if (resource->type != *type_id) continue;
            has_type = true;
            if (id && resource->id == *id) return reinterpret_cast<HRSRC>(resource.get());
        }
    set_last_error(has_type ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
    std::u16string wide_name = IS_INTRESOURCE(name) ? std::u16string() : widen_ansi(name);
    std::u16string wide_type = IS_INTRESOURCE(type) ? std::u16string() : widen_ansi(type);
    return FindResourceW(module, IS_INTRESOURCE(name) ? reinterpret_cast<LPCWSTR>(name) : wide_name.c_str(),
                         IS_INTRESOURCE(type) ? reinterpret_cast<LPCWSTR>(type) : wide_type.c_str());
}

// The data stays where the loader keeps it while the image is loaded.
HGLOBAL WINAPI LoadResource(HMODULE, HRSRC resource) {
    if (!resource) {
        set_last_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto* r = reinterpret_cast<Resource*>(resource);
    return r->bytes.empty() ? static_cast<HGLOBAL>(const_cast<HV_RESOURCE_LINE*>(r->line))
                            : static_cast<HGLOBAL>(r->bytes.data());
}

LPVOID WINAPI LockResource(HGLOBAL data) { return data; }

DWORD WINAPI SizeofResource(HMODULE, HRSRC resource) {
    if (!resource) {
        set_last_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    auto* r = reinterpret_cast<Resource*>(resource);
    return r->bytes.empty() ? DWORD(sizeof(HV_RESOURCE_LINE)) : DWORD(r->bytes.size());
}

BOOL WINAPI FreeResource(HGLOBAL) { return FALSE; }

// The text is copied up to cchBufferMax - 1 characters and terminated; with cchBufferMax 0 the
// buffer receives a read-only pointer to the text in the image (valid while the image is
// loaded, not terminated as far as the caller knows) and the result is its length.
int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
    if (!lpBuffer || cchBufferMax < 0) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto& s = state();
    std::lock_guard lock(s.mutex);
    size_t length = 0;
    bool has_table = false;
    const WCHAR* text = find(s, hInstance, uID, length, has_table);
    if (!text) {
        set_last_error(has_table ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
        if (cchBufferMax > 0) lpBuffer[0] = 0;
        return 0;
    }
    if (cchBufferMax == 0) {
        std::memcpy(lpBuffer, &text, sizeof text);
        return int(length);
    }
    const int copied = int(std::min<size_t>(size_t(cchBufferMax) - 1, length));
    std::copy_n(text, copied, lpBuffer);
    lpBuffer[copied] = 0;
    return copied;
}

int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    if (!lpBuffer || cchBufferMax <= 0) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const WCHAR* text = nullptr;
    const int length = LoadStringW(hInstance, uID, reinterpret_cast<LPWSTR>(&text), 0);
    if (length == 0) {
        lpBuffer[0] = 0;
        return 0;
    }
    const std::string narrow = narrow_ansi(std::u16string(text, length));
    const int copied = std::min<int>(cchBufferMax - 1, int(narrow.size()));
    std::copy_n(narrow.data(), copied, lpBuffer);
    lpBuffer[copied] = 0;
    return copied;
}

HV_EXTERN_C_END
