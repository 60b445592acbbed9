// Files in use: Windows' sharing check between the opens of one file, with the images that the
// loader maps (driver images, libraries, programs) counted as opens that share reading only.
#include <windows.h>

#include <algorithm>
#include <list>
#include <map>
#include <mutex>

#include "internal/machine_files.h"
#include "internal/setupapi_platform.h"

namespace hvsim::user::files {
namespace {

// The access bits the sharing check looks at, each with the share bit that allows it.
struct SharedRight {
    DWORD access;
    DWORD share;
};
constexpr SharedRight kSharedRights[] = {
    {FILE_READ_DATA | FILE_EXECUTE, FILE_SHARE_READ},
    {FILE_WRITE_DATA | FILE_APPEND_DATA, FILE_SHARE_WRITE},
    {DELETE, FILE_SHARE_DELETE},
};

struct Open {
    DWORD access;
    DWORD share;
};

struct Opens {
    std::mutex mutex;
    std::map<std::string, std::list<Open>> by_file;
};
Opens& opens() {
    static Opens* o = new Opens;
    return *o;
}

// One spelling per file, whatever links or dots lead to it.
std::string key_of(const std::filesystem::path& host) {
    std::error_code error;
    auto canonical = std::filesystem::weakly_canonical(host, error);
    return (error ? host.lexically_normal() : canonical).string();
}

bool conflicts(const Open& held, DWORD access, DWORD share) {
    for (const auto& right : kSharedRights) {
        if ((access & right.access) && !(held.share & right.share)) return true;
        if ((held.access & right.access) && !(share & right.share)) return true;
    }
    return false;
}

bool is_loaded_driver(const std::string& key) {
    for (const auto& image : devices::loaded_driver_images())
        if (key_of(image) == key) return true;
    return false;
}

constexpr Open kImage{FILE_READ_DATA | FILE_EXECUTE, FILE_SHARE_READ};

} // namespace

ShareClaim::ShareClaim(std::string key, DWORD access, DWORD share)
    : key_(std::move(key)), access_(access), share_(share) {}

ShareClaim::~ShareClaim() {
    auto& o = opens();
    std::lock_guard lock(o.mutex);
    auto it = o.by_file.find(key_);
    if (it == o.by_file.end()) return;
    auto& list = it->second;
    auto open =
        std::find_if(list.begin(), list.end(), [&](const Open& e) { return e.access == access_ && e.share == share_; });
    if (open != list.end()) list.erase(open);
    if (list.empty()) o.by_file.erase(it);
}

std::unique_ptr<ShareClaim> claim(const std::filesystem::path& host, DWORD access, DWORD share, DWORD* error) {
    std::string key = key_of(host);
    if (is_loaded_driver(key) && conflicts(kImage, access, share)) {
        *error = ERROR_SHARING_VIOLATION;
        return nullptr;
    }
    auto& o = opens();
    std::lock_guard lock(o.mutex);
    auto& list = o.by_file[key];
    if (std::any_of(list.begin(), list.end(), [&](const Open& held) { return conflicts(held, access, share); })) {
        *error = ERROR_SHARING_VIOLATION;
        return nullptr;
    }
    list.push_back({access, share});
    *error = ERROR_SUCCESS;
    return std::unique_ptr<ShareClaim>(new ShareClaim(std::move(key), access, share));
}

std::unique_ptr<ShareClaim> claim_image(const std::filesystem::path& host) {
    // An image may be mapped while a writer holds it shared: the loader does not ask for sharing.
    auto& o = opens();
    std::string key = key_of(host);
    std::lock_guard lock(o.mutex);
    o.by_file[key].push_back(kImage);
    return std::unique_ptr<ShareClaim>(new ShareClaim(std::move(key), kImage.access, kImage.share));
}

DWORD check_delete(const std::filesystem::path& host) {
    const std::string key = key_of(host);
    const std::string below = key + "/";
    auto in_use = [&](const std::string& file) { return file == key || file.compare(0, below.size(), below) == 0; };
    for (const auto& image : devices::loaded_driver_images())
        if (in_use(key_of(image))) return ERROR_SHARING_VIOLATION;
    auto& o = opens();
    std::lock_guard lock(o.mutex);
    for (const auto& [file, list] : o.by_file) {
        if (!in_use(file)) continue;
        // The entry itself may be deleted when every open shares deletion; a folder with an open
        // file below it cannot go at all.
        if (file != key) return ERROR_SHARING_VIOLATION;
        for (const auto& held : list)
            if (conflicts(held, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
                return ERROR_SHARING_VIOLATION;
    }
    return ERROR_SUCCESS;
}

} // namespace hvsim::user::files
