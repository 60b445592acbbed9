// Loading a library inside this library's own activation context, so that what the loaded
// library binds to is resolved by our manifest rather than by the host process's.
#pragma once

#include <windows.h>

// NULL, with nothing loaded, when the context cannot be created or activated.
HMODULE IsolationAwareLoadLibrary(LPCWSTR path);
// Releases the context at the library's unload.
void ReleaseIsolationContext();

extern HINSTANCE g_hInstance;
