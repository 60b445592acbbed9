// String resources of images (user32).
//
//   HvRegisterImageStrings, HvUnregisterImageStrings   an image's declared table, as it is
//                                                      mapped and unmapped (hv_resource.h)
//   LoadStringW/A                                      a string of a module's table
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
#include <vector>

#include "internal/setupapi_platform.h"
#include "internal/user_internal.h"

namespace {

using namespace hvsim::user;

struct Table {
    const HV_STRING_RESOURCE* entries;
    size_t count;
};

struct State {
    std::mutex mutex;
    std::map<const void*, std::vector<Table>> images; // link map -> its tables
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
    if (image == s.images.end()) return nullptr;
    has_table = true;
    // String IDs are 16 bits wide; an empty string is no string.
    if (id > 0xFFFF) return nullptr;
    for (const auto& table : image->second)
        for (size_t i = 0; i < table.count; ++i)
            if (table.entries[i].Id == id && table.entries[i].Text && *table.entries[i].Text) {
                length = std::char_traits<char16_t>::length(table.entries[i].Text);
                return table.entries[i].Text;
            }
    return nullptr;
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
    s.images[image].push_back(Table{table, count});
}

void WINAPI HvUnregisterImageStrings(const HV_STRING_RESOURCE* table) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    for (auto it = s.images.begin(); it != s.images.end(); ++it) {
        auto& tables = it->second;
        tables.erase(std::remove_if(tables.begin(), tables.end(), [&](const Table& t) { return t.entries == table; }),
                     tables.end());
        if (tables.empty()) {
            s.images.erase(it);
            return;
        }
    }
}

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
