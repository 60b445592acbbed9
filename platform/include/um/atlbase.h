// The ATL-like layer: assertions and traces, string-or-id arguments, and the module object of a
// library or program (its instance, its resource instance, its lock count and the COM-server
// entry points over its object map). A static library compiled into each image that uses it.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <hv_classlib.h>
#include <hv_wchar.h>

#include <atomic>
#include <string>

#ifndef CLASS_E_CLASSNOTAVAILABLE
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111L)
#endif

#define STDAPI HV_EXTERN_C __attribute__((visibility("default"))) HRESULT
#define STDAPI_(type) HV_EXTERN_C __attribute__((visibility("default"))) type

// An assertion that fails writes its line to the debugger log; the code goes on, and the
// operation that met it fails.
#define ATLASSERT(expr) ((void)HV_CLASSLIB_CHECK(expr, #expr))
#define ATLVERIFY(expr) ATLASSERT(expr)
#define ATLTRACE(...) ((void)0)

namespace ATL {

// A text given either as a pointer or as a string-table id.
class _U_STRINGorID {
public:
    _U_STRINGorID(LPCWSTR text) : m_lpstr(text) {}
    _U_STRINGorID(UINT id) : m_lpstr(MAKEINTRESOURCEW(id)) {}
    LPCWSTR m_lpstr;
};

class _U_MENUorID {
public:
    _U_MENUorID(HMENU menu) : m_hMenu(menu) {}
    _U_MENUorID(UINT id) : m_hMenu(reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id))) {}
    HMENU m_hMenu;
};

class _U_RECT {
public:
    _U_RECT(LPRECT rect) : m_lpRect(rect) {}
    _U_RECT(RECT& rect) : m_lpRect(&rect) {}
    LPRECT m_lpRect;
};

// One class a COM server offers. An object map lists them; the product's maps are empty.
struct _ATL_OBJMAP_ENTRY {
    const CLSID* pclsid;
    HRESULT (*pfnGetClassObject)(REFCLSID clsid, REFIID iid, LPVOID* object);
    HRESULT (*pfnUpdateRegistry)(BOOL bRegister);
};

#define BEGIN_OBJECT_MAP(name) static ATL::_ATL_OBJMAP_ENTRY name[] = {
#define END_OBJECT_MAP() {nullptr, nullptr, nullptr}};

class CComModule {
public:
    CComModule() = default;
    CComModule(const CComModule&) = delete;
    CComModule& operator=(const CComModule&) = delete;
    virtual ~CComModule();

    // Makes this the image's module, the one the window and page classes load their
    // templates and strings from.
    HRESULT Init(_ATL_OBJMAP_ENTRY* objects, HINSTANCE instance, const GUID* libid = nullptr);
    void Term();

    HINSTANCE GetModuleInstance() const { return m_hInst; }
    HINSTANCE GetResourceInstance() const { return m_hInstResource; }
    HINSTANCE SetResourceInstance(HINSTANCE instance);

    LONG Lock();
    LONG Unlock();
    LONG GetLockCount() const;

    // The COM-server entry points: a server may unload when nothing holds it; a class object
    // exists only for the classes of the map; registration registers what the map lists.
    HRESULT DllCanUnloadNow();
    HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object);
    HRESULT DllRegisterServer(BOOL bRegTypeLib = TRUE);
    HRESULT DllUnregisterServer(BOOL bUnRegTypeLib = TRUE);

    HINSTANCE m_hInst = nullptr;
    HINSTANCE m_hInstResource = nullptr;
    _ATL_OBJMAP_ENTRY* m_pObjMap = nullptr;

private:
    HRESULT UpdateRegistry(BOOL bRegister);
    std::atomic<LONG> m_nLockCnt{0};
    bool m_bInitialized = false;
};

// The image's module once Init ran (null before).
HV_CLASSLIB_INTERNAL CComModule* AtlGetModule();
// Where an image's templates and strings are: the module's resource instance, or the program's
// own image (NULL) when no module was initialised.
HV_CLASSLIB_INTERNAL HINSTANCE AtlGetResourceInstance();

// A string-or-id as text: ids are loaded from the resource instance into storage.
HV_CLASSLIB_INTERNAL LPCWSTR AtlResolveString(_U_STRINGorID text, std::u16string& storage);

} // namespace ATL

#ifndef _ATL_NO_AUTOMATIC_NAMESPACE
using namespace ATL;
#endif
