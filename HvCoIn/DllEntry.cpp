// The library image: its entry point keeps the module handle whose manifest isolates what it
// loads, and releases at unload what the chain still holds.
#include "CoInstall.h"
#include "IsolatedLoad.h"

extern "C" DECLSPEC_EXPORT BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_hInstance = instance;
    if (reason == DLL_PROCESS_DETACH) {
        ReleaseAwaitingCoInstallers();
        ReleaseIsolationContext();
    }
    return TRUE;
}
