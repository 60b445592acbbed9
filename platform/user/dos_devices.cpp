// DOS device names (kernel32) over the object namespace's "\??" links.
//
//   QueryDosDeviceW/A    the current target first, then the earlier definitions; no name: all
//   DefineDosDeviceW/A   push a definition, or remove one (the current, or the exact match)
//
// The kernel link holds the current target; the definitions it replaced wait here, so that
// removing the current one brings the previous back, as on Windows.
#include <windows.h>

#include <hvsim/io.h>
#include <hvsim/kernel.h>

#include <algorithm>
#include <map>
#include <mutex>

#include <hvsim/format.h>

#include "internal/user_internal.h"

namespace {

using namespace hvsim::user;

struct Earlier {
    std::mutex mutex;
    std::map<std::u16string, std::vector<std::u16string>> targets; // upper-cased name -> oldest first
};
Earlier& earlier() {
    static Earlier* e = new Earlier;
    return *e;
}

using hvsim::text::equal_nocase;
using hvsim::text::upcase;

std::u16string link_of(const std::u16string& name) { return u"\\??\\" + name; }

// The definitions of a name, current first.
std::vector<std::u16string> definitions(const std::u16string& name) {
    std::vector<std::u16string> out;
    auto current = hvsim::io::symbolic_link_target(link_of(name));
    if (!current) return out;
    out.push_back(*current);
    auto& e = earlier();
    auto it = e.targets.find(upcase(name));
    if (it != e.targets.end()) out.insert(out.end(), it->second.rbegin(), it->second.rend());
    return out;
}

DWORD give(const std::vector<std::u16string>& strings, LPWSTR out, DWORD max) {
    std::u16string multi;
    for (const auto& s : strings) multi += s + u'\0';
    multi += u'\0';
    if (!out || multi.size() > max) {
        set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(multi.begin(), multi.end(), out);
    return DWORD(multi.size());
}

DWORD query(const std::u16string* name, LPWSTR out, DWORD max) {
    auto& e = earlier();
    std::lock_guard lock(e.mutex);
    if (!name) {
        std::vector<std::u16string> names;
        for (const auto& [link, target] : hvsim::io::symbolic_links()) names.push_back(link);
        return give(names, out, max);
    }
    auto targets = definitions(*name);
    if (targets.empty()) {
        set_last_error(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    return give(targets, out, max);
}

BOOL define(DWORD flags, const std::u16string& name, const std::u16string* target) {
    if (name.empty() || name.find(u'\\') != std::u16string::npos) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto& e = earlier();
    std::lock_guard lock(e.mutex);
    std::u16string link = link_of(name);
    auto& older = e.targets[upcase(name)];
    if (flags & DDD_REMOVE_DEFINITION) {
        auto current = hvsim::io::symbolic_link_target(link);
        if (!current) {
            set_last_error(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
        bool exact = (flags & DDD_EXACT_MATCH_ON_REMOVE) && target && !target->empty();
        if (exact && !equal_nocase(*current, *target)) {
            auto it = std::find_if(older.begin(), older.end(), [&](auto& t) { return equal_nocase(t, *target); });
            if (it == older.end()) {
                set_last_error(ERROR_FILE_NOT_FOUND);
                return FALSE;
            }
            older.erase(it);
            return TRUE;
        }
        hvsim::io::delete_symbolic_link(link);
        if (!older.empty()) {
            hvsim::io::create_symbolic_link(link, older.back());
            older.pop_back();
        }
        return TRUE;
    }
    if (!target || target->empty()) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string resolved = (flags & DDD_RAW_TARGET_PATH) ? *target : u"\\??\\" + *target;
    auto current = hvsim::io::symbolic_link_target(link);
    if (current) hvsim::io::delete_symbolic_link(link);
    if (hvsim::io::create_symbolic_link(link, resolved) < 0) {
        if (current) hvsim::io::create_symbolic_link(link, *current);
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (current) older.push_back(*current);
    return TRUE;
}

// The links die with the kernel; so do the definitions they replaced.
const bool registered = [] {
    hvsim::register_kernel_subsystem({"DOS device history", 71, nullptr, [] {
                                          auto& e = earlier();
                                          std::lock_guard lock(e.mutex);
                                          e.targets.clear();
                                      }});
    return true;
}();

} // namespace

HV_EXTERN_C_BEGIN

DWORD WINAPI QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax) {
    std::u16string name = lpDeviceName ? lpDeviceName : u"";
    return query(lpDeviceName ? &name : nullptr, lpTargetPath, ucchMax);
}

DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax) {
    std::vector<WCHAR> wide(ucchMax ? ucchMax : 1);
    std::u16string name = lpDeviceName ? widen_ansi(lpDeviceName) : u"";
    DWORD count = query(lpDeviceName ? &name : nullptr, wide.data(), ucchMax);
    if (!count) return 0;
    std::string narrow = narrow_ansi(std::u16string(wide.data(), count));
    std::copy(narrow.begin(), narrow.end(), lpTargetPath);
    return DWORD(narrow.size());
}

BOOL WINAPI DefineDosDeviceW(DWORD dwFlags, LPCWSTR lpDeviceName, LPCWSTR lpTargetPath) {
    std::u16string target = lpTargetPath ? lpTargetPath : u"";
    return define(dwFlags, lpDeviceName ? lpDeviceName : u"", lpTargetPath ? &target : nullptr);
}

BOOL WINAPI DefineDosDeviceA(DWORD dwFlags, LPCSTR lpDeviceName, LPCSTR lpTargetPath) {
    std::u16string target = lpTargetPath ? widen_ansi(lpTargetPath) : u"";
    return define(dwFlags, lpDeviceName ? widen_ansi(lpDeviceName) : u"", lpTargetPath ? &target : nullptr);
}

HV_EXTERN_C_END
