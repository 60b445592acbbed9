// The WTL-like application module: the module object of an image with windows.
#pragma once

#include <atlbase.h>

namespace WTL {

class CAppModule : public ATL::CComModule {
public:
    HRESULT Init(ATL::_ATL_OBJMAP_ENTRY* objects, HINSTANCE instance, const GUID* libid = nullptr) {
        return ATL::CComModule::Init(objects, instance, libid);
    }
    void Term() { ATL::CComModule::Term(); }
};

} // namespace WTL

#ifndef _WTL_NO_AUTOMATIC_NAMESPACE
using namespace WTL;
#endif
