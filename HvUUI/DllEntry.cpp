// The library image: its entry point keeps the module handle under which its resources are found.
// Its exports are declared with the routines they name (HvUCoInstallPort in CoInstallPort.h,
// HvUCoInstallCard in CoInstallCard.h, HvUCoInstallGpio in CoInstallGpio.h).
#include "CoInstallCard.h"
#include "CoInstallGpio.h"
#include "CoInstallPort.h"
#include "Resources.h"

extern "C" __attribute__((visibility("default"))) BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_hInstance = instance;
    return TRUE;
}
