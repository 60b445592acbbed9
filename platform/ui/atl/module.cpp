// The module object: the image's instance and resource instance, its lock count, and the
// COM-server entry points over its object map.
#include <atlbase.h>

#include <atomic>
#include <string>

namespace ATL {
namespace {

std::atomic<CComModule*> g_module{nullptr};

} // namespace

CComModule* AtlGetModule() { return g_module.load(); }

HINSTANCE AtlGetResourceInstance() {
    CComModule* module = g_module.load();
    return module ? module->GetResourceInstance() : nullptr;
}

LPCWSTR AtlResolveString(_U_STRINGorID text, std::u16string& storage) {
    if (!text.m_lpstr || !IS_INTRESOURCE(text.m_lpstr)) return text.m_lpstr;
    const WCHAR* loaded = nullptr;
    const UINT id = static_cast<UINT>(reinterpret_cast<ULONG_PTR>(text.m_lpstr));
    int length = LoadStringW(AtlGetResourceInstance(), id, reinterpret_cast<LPWSTR>(&loaded), 0);
    storage.assign(loaded && length > 0 ? loaded : u"", loaded && length > 0 ? static_cast<size_t>(length) : 0);
    return storage.c_str();
}

CComModule::~CComModule() {
    CComModule* self = this;
    g_module.compare_exchange_strong(self, nullptr);
}

HRESULT CComModule::Init(_ATL_OBJMAP_ENTRY* objects, HINSTANCE instance, const GUID*) {
    m_pObjMap = objects;
    m_hInst = m_hInstResource = instance;
    m_nLockCnt = 0;
    m_bInitialized = true;
    g_module.store(this);
    return S_OK;
}

void CComModule::Term() {
    ATLASSERT(m_nLockCnt == 0);
    m_pObjMap = nullptr;
    m_bInitialized = false;
    CComModule* self = this;
    g_module.compare_exchange_strong(self, nullptr);
}

HINSTANCE CComModule::SetResourceInstance(HINSTANCE instance) {
    HINSTANCE old = m_hInstResource;
    m_hInstResource = instance;
    return old;
}

LONG CComModule::Lock() { return ++m_nLockCnt; }
LONG CComModule::Unlock() { return --m_nLockCnt; }
LONG CComModule::GetLockCount() const { return m_nLockCnt; }

HRESULT CComModule::DllCanUnloadNow() { return GetLockCount() == 0 ? S_OK : S_FALSE; }

HRESULT CComModule::DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!m_bInitialized) return E_UNEXPECTED;
    for (_ATL_OBJMAP_ENTRY* entry = m_pObjMap; entry && entry->pclsid; ++entry)
        if (IsEqualGUID(*entry->pclsid, clsid) && entry->pfnGetClassObject)
            return entry->pfnGetClassObject(clsid, iid, object);
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CComModule::UpdateRegistry(BOOL bRegister) {
    if (!m_bInitialized) return E_UNEXPECTED;
    for (_ATL_OBJMAP_ENTRY* entry = m_pObjMap; entry && entry->pclsid; ++entry) {
        if (!entry->pfnUpdateRegistry) continue;
        HRESULT hr = entry->pfnUpdateRegistry(bRegister);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT CComModule::DllRegisterServer(BOOL) { return UpdateRegistry(TRUE); }
HRESULT CComModule::DllUnregisterServer(BOOL) { return UpdateRegistry(FALSE); }

} // namespace ATL
