// Starting programs of the machine: CreateProcessW/A find the image by Windows' search order,
// record what they were asked (the test hooks of hvsim/programs.h list it) and run the image as
// a new process; SetPriorityClass and GetPriorityClass.
#include <windows.h>

#include <hvsim/programs.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "internal/handles.h"
#include "internal/machine_files.h"
#include "internal/process_creation.h"
#include "internal/security_internal.h"

namespace hvsim::user {
namespace {

constexpr DWORD kPriorityClasses[] = {IDLE_PRIORITY_CLASS,   BELOW_NORMAL_PRIORITY_CLASS,
                                      NORMAL_PRIORITY_CLASS, ABOVE_NORMAL_PRIORITY_CLASS,
                                      HIGH_PRIORITY_CLASS,   REALTIME_PRIORITY_CLASS};
constexpr DWORD kPriorityMask = IDLE_PRIORITY_CLASS | BELOW_NORMAL_PRIORITY_CLASS | NORMAL_PRIORITY_CLASS |
                                ABOVE_NORMAL_PRIORITY_CLASS | HIGH_PRIORITY_CLASS | REALTIME_PRIORITY_CLASS;

struct Records {
    std::mutex mutex;
    std::vector<ProcessCreation> creations;
    std::vector<PriorityChange> priorities;
};
Records& records() {
    static Records* r = new Records;
    return *r;
}

bool has_extension(std::u16string_view name) {
    const size_t slash = name.find_last_of(u"\\/");
    const size_t dot = name.rfind(u'.');
    return dot != std::u16string_view::npos && (slash == std::u16string_view::npos || dot > slash);
}

bool names_a_folder(std::u16string_view name) { return name.find_first_of(u"\\/:") != std::u16string_view::npos; }

// An existing regular file at the path, resolved; false when there is none.
bool existing_file(std::u16string_view path, files::MachinePath* out) {
    std::error_code error;
    return files::resolve(path, out) == ERROR_SUCCESS && std::filesystem::is_regular_file(out->host, error);
}

std::u16string folder_of(const std::u16string& path) {
    const size_t slash = path.find_last_of(u'\\');
    return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}

// Windows' search for a bare program name: the starting program's folder, the current folder,
// System32, System, the Windows folder, then the folders of PATH.
std::vector<std::u16string> search_folders(ProcessState& state) {
    std::vector<std::u16string> folders{folder_of(state.options.image_path)};
    std::u16string path_variable;
    {
        std::lock_guard lock(state.mutex);
        folders.push_back(state.current_directory);
        for (const auto& [name, value] : state.environment)
            if (files::same_name(name, u"PATH")) path_variable = value;
    }
    folders.push_back(std::u16string(system_directory));
    folders.push_back(std::u16string(windows_directory) + u"\\System");
    folders.push_back(std::u16string(windows_directory));
    size_t start = 0;
    while (start <= path_variable.size()) {
        size_t end = path_variable.find(u';', start);
        if (end == std::u16string::npos) end = path_variable.size();
        if (end > start) folders.push_back(path_variable.substr(start, end - start));
        start = end + 1;
    }
    return folders;
}

bool find_program(ProcessState& state, std::u16string name, files::MachinePath* out) {
    if (!has_extension(name)) name += u".exe";
    if (names_a_folder(name)) return existing_file(name, out);
    for (const auto& folder : search_folders(state))
        if (!folder.empty() && existing_file(folder + u"\\" + name, out)) return true;
    return false;
}

// The image a command line names: a quoted first word, else each run of words up to a space,
// shortest first, as Windows tries them.
DWORD image_of_command_line(ProcessState& state, std::u16string_view line, files::MachinePath* out) {
    while (!line.empty() && (line[0] == u' ' || line[0] == u'\t')) line.remove_prefix(1);
    if (line.empty()) return ERROR_FILE_NOT_FOUND;
    if (line[0] == u'"') {
        const size_t close = line.find(u'"', 1);
        std::u16string name(line.substr(1, close == std::u16string_view::npos ? std::u16string_view::npos : close - 1));
        return find_program(state, name, out) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    }
    for (size_t end = 0; end <= line.size(); ++end) {
        if (end < line.size() && line[end] != u' ' && line[end] != u'\t') continue;
        if (end && find_program(state, std::u16string(line.substr(0, end)), out)) return ERROR_SUCCESS;
        if (end < line.size() && line.find_first_not_of(u" \t", end) == std::u16string_view::npos) break;
    }
    return ERROR_FILE_NOT_FOUND;
}

// An environment block: "NAME=value" strings, each terminated, and one more terminator.
template <class Char> std::vector<std::pair<std::u16string, std::u16string>> environment_of(const Char* block) {
    std::vector<std::pair<std::u16string, std::u16string>> out;
    while (*block) {
        std::basic_string<Char> entry(block);
        block += entry.size() + 1;
        std::u16string wide;
        if constexpr (sizeof(Char) == 1)
            wide = widen_ansi(entry.c_str());
        else
            wide = entry;
        // Entries that begin with "=" are the per-drive folders of the command interpreter.
        const size_t equals = wide.find(u'=', 1);
        if (equals == std::u16string::npos) continue;
        out.emplace_back(wide.substr(0, equals), wide.substr(equals + 1));
    }
    return out;
}

// A program starts with a token of its parent's kind, as Windows gives it a copy of its parent's.
TokenKind token_kind_of(const Token& token) {
    constexpr std::string_view kAdministrators = "S-1-5-32-544";
    if (token_is_administrator(token)) return TokenKind::Administrator;
    return token_holds(token, kAdministrators, true) ? TokenKind::FilteredAdministrator : TokenKind::StandardUser;
}

DWORD start(const CreateProcessRequest& request, ProcessCreation& record, LPPROCESS_INFORMATION information) {
    auto parent = current_process();
    ProcessState& state = parent->state();
    if (!request.startup || !information) return ERROR_INVALID_PARAMETER;
    const DWORD priority = request.flags & kPriorityMask;
    if (priority & (priority - 1)) return ERROR_INVALID_PARAMETER;
    record.priority_class = priority ? priority : NORMAL_PRIORITY_CLASS;
    if (!request.application_name && !request.command_line) return ERROR_INVALID_PARAMETER;
    // The line travels as a counted string: 32,767 characters with its terminator at most.
    constexpr size_t kMaxCommandLine = 32766;
    if (request.command_line && request.command_line->size() > kMaxCommandLine) return ERROR_FILENAME_EXCED_RANGE;

    files::MachinePath image;
    if (request.application_name) {
        // A given name is taken as it stands: no search, no extension added.
        if (DWORD error = files::resolve(*request.application_name, &image); error != ERROR_SUCCESS) return error;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(image.host, ec))
            return std::filesystem::is_directory(image.parent().host, ec) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    } else if (DWORD error = image_of_command_line(state, *request.command_line, &image); error != ERROR_SUCCESS) {
        return error;
    }
    record.image = image.text();

    ProcessOptions options;
    options.image_path = image.text();
    options.command_line = request.command_line ? *request.command_line : *request.application_name;
    options.token = token_kind_of(request.token ? *request.token : *current_token());
    options.standard_output = state.options.standard_output;
    options.standard_error = state.options.standard_error;
    {
        std::lock_guard lock(state.mutex);
        options.current_directory = state.current_directory;
        options.environment = state.environment;
    }
    if (request.current_directory) {
        files::MachinePath folder;
        std::error_code ec;
        if (files::resolve(*request.current_directory, &folder) != ERROR_SUCCESS ||
            !std::filesystem::is_directory(folder.host, ec))
            return ERROR_DIRECTORY;
        options.current_directory = folder.text();
    }
    record.current_directory = options.current_directory;
    if (request.environment) options.environment = *request.environment;

    DWORD error = ERROR_SUCCESS;
    auto process = start_program(image.host, std::move(options), &error, (request.flags & CREATE_SUSPENDED) != 0);
    if (!process) return error;
    process->state().priority_class = record.priority_class;
    record.process_id = process->id();
    information->hProcess = process->open_handle();
    information->hThread = insert_handle(process->state().main_thread, THREAD_ALL_ACCESS);
    information->dwProcessId = process->id();
    information->dwThreadId = process->state().main_thread->id();
    return ERROR_SUCCESS;
}

std::optional<std::u16string> wide_of(LPCSTR text) {
    if (!text) return std::nullopt;
    return widen_ansi(text);
}

std::optional<std::u16string> wide_of(LPCWSTR text) {
    if (!text) return std::nullopt;
    return std::u16string(text);
}

} // namespace

BOOL create_process(const CreateProcessRequest& request, LPPROCESS_INFORMATION information) {
    ProcessCreation record;
    record.application_name = request.application_name.value_or(u"");
    record.command_line = request.command_line.value_or(u"");
    record.creation_flags = request.flags;
    record.inherit_handles = request.inherit_handles;
    if (request.startup) {
        record.startup_size = request.startup->cb;
        record.startup_flags = request.startup->dwFlags;
        record.show_window = request.startup->wShowWindow;
    }
    record.error = start(request, record, information);
    {
        auto& r = records();
        std::lock_guard lock(r.mutex);
        r.creations.push_back(record);
    }
    if (record.error != ERROR_SUCCESS) {
        SetLastError(record.error);
        return FALSE;
    }
    return TRUE;
}

std::vector<ProcessCreation> process_creations() {
    auto& r = records();
    std::lock_guard lock(r.mutex);
    return r.creations;
}

std::vector<PriorityChange> priority_changes() {
    auto& r = records();
    std::lock_guard lock(r.mutex);
    return r.priorities;
}

void reset_process_records() {
    auto& r = records();
    std::lock_guard lock(r.mutex);
    r.creations.clear();
    r.priorities.clear();
}

} // namespace hvsim::user

using namespace hvsim::user;

HV_EXTERN_C_BEGIN

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
    CreateProcessRequest request;
    request.application_name = wide_of(lpApplicationName);
    request.command_line = wide_of(lpCommandLine);
    request.inherit_handles = bInheritHandles != FALSE;
    request.flags = dwCreationFlags;
    if (lpEnvironment)
        request.environment = (dwCreationFlags & CREATE_UNICODE_ENVIRONMENT)
                                  ? environment_of(static_cast<const WCHAR*>(lpEnvironment))
                                  : environment_of(static_cast<const char*>(lpEnvironment));
    request.current_directory = wide_of(lpCurrentDirectory);
    request.startup = lpStartupInfo;
    return create_process(request, lpProcessInformation);
}

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                           LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
    // The numbers of both start-up records lie at the same places; the strings are not used.
    STARTUPINFOW startup{};
    if (lpStartupInfo) {
        std::memcpy(&startup, lpStartupInfo, sizeof startup);
        startup.lpReserved = startup.lpDesktop = startup.lpTitle = nullptr;
    }
    std::optional<std::u16string> command = wide_of(lpCommandLine);
    std::optional<std::u16string> application = wide_of(lpApplicationName);
    std::optional<std::u16string> folder = wide_of(lpCurrentDirectory);
    return CreateProcessW(application ? application->c_str() : nullptr, command ? command->data() : nullptr,
                          lpProcessAttributes, lpThreadAttributes, bInheritHandles, dwCreationFlags, lpEnvironment,
                          folder ? folder->c_str() : nullptr, lpStartupInfo ? &startup : nullptr, lpProcessInformation);
}

BOOL WINAPI CreateProcessAsUserA(HANDLE hToken, LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                                 LPSECURITY_ATTRIBUTES, BOOL bInheritHandles, DWORD dwCreationFlags,
                                 LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                                 LPPROCESS_INFORMATION lpProcessInformation) {
    if (windows_9x()) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    auto token = token_of_handle(hToken, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY);
    if (!token) return FALSE;
    if (!token_is_primary(*token)) {
        SetLastError(ERROR_BAD_TOKEN_TYPE);
        return FALSE;
    }
    STARTUPINFOW startup{};
    if (lpStartupInfo) {
        std::memcpy(&startup, lpStartupInfo, sizeof startup);
        startup.lpReserved = startup.lpDesktop = startup.lpTitle = nullptr;
    }
    CreateProcessRequest request;
    request.application_name = wide_of(lpApplicationName);
    request.command_line = wide_of(lpCommandLine);
    request.inherit_handles = bInheritHandles != FALSE;
    request.flags = dwCreationFlags;
    if (lpEnvironment) request.environment = environment_of(static_cast<const char*>(lpEnvironment));
    request.current_directory = wide_of(lpCurrentDirectory);
    request.startup = lpStartupInfo ? &startup : nullptr;
    request.token = std::move(token);
    return create_process(request, lpProcessInformation);
}

BOOL WINAPI SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass) {
    auto object = resolve_handle(hProcess, ObjectKind::Process);
    if (!object) return FALSE;
    if (std::find(std::begin(kPriorityClasses), std::end(kPriorityClasses), dwPriorityClass) ==
        std::end(kPriorityClasses)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto process = static_cast<ProcessObject&>(*object).process();
    if (!process || process->has_exited()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    process->state().priority_class = dwPriorityClass;
    auto& r = records();
    std::lock_guard lock(r.mutex);
    r.priorities.push_back({process->id(), dwPriorityClass});
    return TRUE;
}

DWORD WINAPI GetPriorityClass(HANDLE hProcess) {
    auto object = resolve_handle(hProcess, ObjectKind::Process);
    if (!object) return 0;
    auto process = static_cast<ProcessObject&>(*object).process();
    if (!process) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return process->state().priority_class;
}

HV_EXTERN_C_END
