// C++ hooks of the registry API, the configuration manager, the COM port database and the
// message boxes, for the machine, SetupAPI and tests. Everything here is machine-wide.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>

#include <hvsim/user.h>

#include <cstddef>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hvsim::registry {
struct Node;
using Key = std::shared_ptr<Node>;
} // namespace hvsim::registry

namespace hvsim::user {

// ---- Registry handles -------------------------------------------------------------------------

// A handle to a key that the caller already holds, with the access given (no security check):
// what SetupAPI hands out for device and driver keys. Close it with RegCloseKey.
HKEY registry_handle(const registry::Key& key, REGSAM granted);
// The key behind a handle (predefined keys included); nullptr when the handle is not open.
registry::Key registry_key_of(HKEY handle);
// Registry handles open now (predefined keys not counted).
size_t open_registry_handles();

// The token of processes created from now on without a token of their own, and of the machine's
// default process (a test's own thread) at once (hvsim/user.h). The registry's access checks, the
// service control manager and the token routines all use the calling process's token.
void set_registry_token(TokenKind kind);
TokenKind registry_token();

// Self-relative descriptors for tests and fixtures: one ACE per entry, all allow entries.
struct AccessEntry {
    std::string sid; // "S-1-1-0", "S-1-5-32-544", "S-1-5-18"
    ACCESS_MASK mask;
    bool deny = false;
    BYTE flags = 0; // CONTAINER_INHERIT_ACE...
};
std::vector<BYTE> make_security_descriptor(const std::vector<AccessEntry>& dacl,
                                           const std::string& owner = "S-1-5-32-544");
// The DACL of a self-relative descriptor; nullopt for a null DACL or a malformed descriptor.
std::optional<std::vector<AccessEntry>> dacl_of(const std::vector<BYTE>& descriptor);

// ---- Restart ----------------------------------------------------------------------------------

// A program's request to restart the machine (ExitWindowsEx), carried out by the machine once the
// program has ended. The last request wins; taking it clears it.
void request_restart(UINT flags);
std::optional<UINT> take_restart_request();

// ---- SetupAPI -------------------------------------------------------------------------------

// Device information sets not destroyed yet.
size_t open_device_info_sets();

// LoadLibrary references not yet released by FreeLibrary.
size_t loaded_libraries();

// Why the last device installation of the calling thread failed (a missing file, a bad INF
// line...); empty when it did not fail or gave no reason.
std::string last_installation_error();
// Devices that arrive without a driver and match an INF of the store are installed by a worker
// of the platform; this waits until it has installed every one and the tree is quiet.
void wait_for_device_installations();
// The hardware IDs that an INF's models name, in their order, each once (empty when the INF
// cannot be read).
std::vector<std::u16string> inf_hardware_ids(const std::u16string& inf_path);
// The files that an INF's installation copies and that are not in the INF's folder.
std::vector<std::u16string> inf_missing_files(const std::u16string& inf_path);

// What keeps an INF from installing as it stands, each with the line it is on (0 when the INF as
// a whole): text that is not an INF, a section that the INF names and lacks (models, install,
// CopyFiles, AddReg, AddService sections), a %key% that [Strings] does not give. Empty when
// nothing is wrong; the files it copies are inf_copied_files' concern.
struct InfProblem {
    size_t line = 0;
    std::string reason;
};
std::vector<InfProblem> inf_problems(const std::u16string& inf_path);

// The files that an INF's installation copies, each with the line that names it and the file
// beside the INF (empty when it is not there).
struct InfCopiedFile {
    std::u16string name;
    size_t line = 0;
    std::filesystem::path source;
};
std::vector<InfCopiedFile> inf_copied_files(const std::u16string& inf_path);

// ---- Configuration manager --------------------------------------------------------------------

struct ReenumerateCall {
    DEVINST node;
    ULONG flags;
};
// Every CM_Reenumerate_DevNode call since the last reset.
std::vector<ReenumerateCall> reenumerate_calls();
// The next call of that routine returns `result` and does nothing (CR_* codes).
enum class CmRoutine { LocateDevNode, ReenumerateDevNode, GetDevNodeStatus };
void cm_fail_next(CmRoutine routine, DWORD result);
void reset_cm_hooks();

// ---- COM port database ------------------------------------------------------------------------

struct ComDbCall {
    std::string routine; // "ComDBClaimPort"...
    DWORD port;          // 0 when the call has none
    LONG result;
};
std::vector<ComDbCall> comdb_calls();
// The next ComDBOpen (or report) fails with `error`.
void comdb_fail_next_open(LONG error);
void comdb_fail_next_report(LONG error);
void reset_comdb_hooks();

// ---- Message boxes (the window system, hvui) ------------------------------------------------

struct MessageBoxEntry {
    HWND owner = nullptr;
    std::u16string text;
    std::u16string caption;
    UINT type = 0;
    int answer = 0;
    bool scripted = false;
    bool owner_disabled = false; // the owner was disabled while the box was shown
};
// Answers given in order, one per box. A box with only an OK button is answered IDOK when the
// script is empty; any other box without an answer fails (MessageBox returns 0) and is
// recorded unscripted.
void script_message_box_answers(std::vector<int> answers);
std::vector<MessageBoxEntry> message_box_transcript();
size_t unscripted_message_boxes();
size_t message_beeps();
void reset_message_boxes();

// The string table of a module (nullptr: the process's own image), as its resources would hold it.
void set_module_strings(HINSTANCE module, std::vector<std::pair<UINT, std::u16string>> strings);
void clear_module_strings(HINSTANCE module);

} // namespace hvsim::user
