// The machine's one registry store, shared by the kernel's Zw routines, the user-mode registry
// API, SetupAPI and the machine.
//
// Keys form one tree under "\REGISTRY" ("MACHINE" and "USER" below it). Names of keys and values
// are compared without regard to case and keep the case they were created with; subkeys and values
// enumerate in creation order. Values keep exactly the bytes stored, whatever their type. Each key
// has a class name, a last-write time (100-ns units since 1601) and a security-descriptor slot
// (opaque bytes, empty until set). Volatile keys are never saved.
//
// Every routine is thread-safe and returns an NTSTATUS (user mode maps them to Win32 errors):
// STATUS_OBJECT_NAME_NOT_FOUND for a missing key or value, STATUS_KEY_DELETED for a key that was
// deleted while held, STATUS_CANNOT_DELETE for a key with subkeys or a root, STATUS_OBJECT_NAME_
// INVALID for a malformed path (empty component, a name above 255 characters).
//
// Persistence: a text file in the machine's folder, loaded at boot when KernelOptions::root is set
// and saved at shutdown (and by save()). Saving and loading again gives the same file byte for byte.
#pragma once

#include <ntdef.h>
#include <ntstatus.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hvsim::registry {

struct Node;
// A held key. A key stays usable while held, also after it is deleted (every operation then gives
// STATUS_KEY_DELETED).
using Key = std::shared_ptr<Node>;

struct Value {
    std::u16string name;
    ULONG type = 0;
    std::vector<uint8_t> data;
};

struct KeyInfo {
    std::u16string name;
    std::u16string class_name;
    int64_t last_write_time = 0;
    size_t subkeys = 0;
    size_t values = 0;
    size_t max_subkey_name_bytes = 0;
    size_t max_subkey_class_bytes = 0;
    size_t max_value_name_bytes = 0;
    size_t max_value_data_bytes = 0;
};

struct CreateOptions {
    bool create_parents = false; // create every missing key of the path, not only the last
    bool is_volatile = false;
    std::u16string class_name;
};

// ---------------------------------------------------------------------------------------------
// Paths. An absolute path begins with "\Registry\" (any case); a relative path is taken below the
// base key. native_path maps the user-mode root names as well: "HKEY_LOCAL_MACHINE\X" and
// "HKLM\X" give "\Registry\Machine\X"; HKEY_USERS (HKU) "\Registry\User"; HKEY_CURRENT_USER
// (HKCU) "\Registry\User\CurrentUser"; HKEY_CLASSES_ROOT (HKCR)
// "\Registry\Machine\SOFTWARE\Classes"; HKEY_CURRENT_CONFIG (HKCC)
// "\Registry\Machine\SYSTEM\CurrentControlSet\Hardware Profiles\Current". Paths already native
// come back unchanged; anything else gives nullopt.
std::optional<std::u16string> native_path(std::u16string_view path);

// The key "\REGISTRY".
Key root();

// base null: path must be absolute. An empty relative path opens base itself.
NTSTATUS open(const Key& base, std::u16string_view path, Key* out);
// Opens the key or creates it; without create_parents only the last component may be missing.
NTSTATUS create(const Key& base, std::u16string_view path, Key* out, bool* created = nullptr,
                const CreateOptions& options = {});
// Refuses a key with subkeys and the roots (\REGISTRY, MACHINE, USER and the hive keys below them).
NTSTATUS delete_key(const Key& key);
// Deletes the key and everything below it.
NTSTATUS delete_tree(const Key& key);
bool is_deleted(const Key& key);
// "\REGISTRY\MACHINE\SYSTEM\..." in the case the keys were created with.
std::u16string path_of(const Key& key);

// Values; the empty name is the key's default value.
NTSTATUS set_value(const Key& key, std::u16string_view name, ULONG type, const void* data, size_t size);
NTSTATUS query_value(const Key& key, std::u16string_view name, Value* out);
NTSTATUS delete_value(const Key& key, std::u16string_view name);

// Enumeration in creation order; STATUS_NO_MORE_ENTRIES past the end.
NTSTATUS enum_key(const Key& key, size_t index, KeyInfo* out);
NTSTATUS enum_value(const Key& key, size_t index, Value* out);
NTSTATUS query_key(const Key& key, KeyInfo* out);

NTSTATUS get_security(const Key& key, std::vector<uint8_t>* descriptor);
NTSTATUS set_security(const Key& key, const void* descriptor, size_t size);

// ---------------------------------------------------------------------------------------------
// Shortcuts by path (native or user-mode form), for the machine and tests. Strings are written as
// REG_SZ with their terminator; get_string accepts REG_SZ and REG_EXPAND_SZ and drops one
// trailing terminator.
bool key_exists(std::u16string_view path);
NTSTATUS create_key(std::u16string_view path); // with every missing parent
NTSTATUS set_dword(std::u16string_view key_path, std::u16string_view name, DWORD value);
NTSTATUS set_string(std::u16string_view key_path, std::u16string_view name, std::u16string_view text,
                    ULONG type = 1 /* REG_SZ */);
std::optional<DWORD> get_dword(std::u16string_view key_path, std::u16string_view name);
std::optional<std::u16string> get_string(std::u16string_view key_path, std::u16string_view name);
std::optional<Value> get_value(std::u16string_view key_path, std::u16string_view name);

// ---------------------------------------------------------------------------------------------
// The whole store.

// Empties the store and seeds the standard roots: \Registry\Machine\SYSTEM\CurrentControlSet with
// Services (and Services\EventLog\System), Control and Enum; \Registry\Machine\HARDWARE\DEVICEMAP
// (and SERIALCOMM); \Registry\Machine\SOFTWARE\Microsoft\Windows NT\CurrentVersion and
// \Registry\Machine\SOFTWARE\Microsoft\Windows\CurrentVersion; \Registry\User\CurrentUser.
void reset();

// The text form. from_text replaces the store only when the whole text is valid; otherwise the
// store is unchanged and *error tells the line and the fault.
std::string to_text();
NTSTATUS from_text(std::string_view text, std::string* error = nullptr);

// The file of a machine folder.
std::filesystem::path file_in(const std::filesystem::path& machine_root);
NTSTATUS save_file(const std::filesystem::path& file, std::string* error = nullptr);
NTSTATUS load_file(const std::filesystem::path& file, std::string* error = nullptr);
// Saves to the booted machine's file; STATUS_SUCCESS without doing anything when the machine has
// no folder, STATUS_UNSUCCESSFUL when boot could not load the file (it is then kept as it was).
NTSTATUS save();
// Why boot could not load the machine's file; empty when it could.
std::string boot_load_error();
// Why the last shutdown could not save the machine's file; empty when it saved it.
std::string shutdown_save_error();

// ---------------------------------------------------------------------------------------------
// Test hooks.
enum class Operation { Create, Set, Delete };
// The next operation of that kind (key creation, value write, key or value deletion) fails with
// the status and changes nothing. Cleared at boot.
void fail_next(Operation operation, NTSTATUS status);
// Kernel key handles open now.
size_t open_key_handles();
// Where last-write times come from (default: the kernel's system time).
void set_time_source(std::function<int64_t()> now);

} // namespace hvsim::registry
