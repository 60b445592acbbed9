// The library image: its entry point keeps the module handle under which its resources are found.
// Its exports are declared with the routines they name (HvUCoInstallPort in CoInstallPort.h,
// HvUCoInstallCard in CoInstallCard.h, HvUCoInstallGpio in CoInstallGpio.h, HvUPortPropPage in
// PortPropPage.h).
#include <atlbase.h>

#include "CoInstallCard.h"
#include "CoInstallGpio.h"
#include "CoInstallPort.h"
#include "PortPropPage.h"
#include "Resources.h"

namespace {

// The pages find their dialogs and strings through the module.
ATL::CComModule g_Module;

} // namespace

extern "C" DECLSPEC_EXPORT BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_hInstance = instance;
        g_Module.Init(nullptr, instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        g_Module.Term();
    }
    return TRUE;
}
