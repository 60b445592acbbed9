// The system modules every process has loaded (kernel32, advapi32, user32, setupapi...): their
// module handles and their exports, which follow the machine's Windows version.
#pragma once

#include <windows.h>

#include <string_view>

namespace hvsim::user {

// The module of a system library's name ("KERNEL32.DLL", "kernel32", a path in System32), or
// null when the name is no system module.
HMODULE system_module(std::u16string_view name);
bool is_system_module(HMODULE module);
// The platform's routine a system module exports under that name on this Windows version; null
// with ERROR_PROC_NOT_FOUND when it has none.
FARPROC system_export(HMODULE module, const char* name);
// A library that LoadLibrary loaded, by its file name (with or without the extension).
HMODULE loaded_library(std::u16string_view name);

} // namespace hvsim::user
