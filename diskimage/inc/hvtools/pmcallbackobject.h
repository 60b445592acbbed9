// A named kernel callback object through which functional devices of different drivers find each
// other.
#pragma once

#include <pmstring.h>
#include <pmusagelock.h>

typedef VOID PM_CALLBACK_HANDLER(PVOID pvContext, PVOID pvArgument1, PVOID pvArgument2);
typedef PM_CALLBACK_HANDLER* PPM_CALLBACK_HANDLER;

// {3D08F5B2-6C91-47AE-8E24-51B7C9A0D36F}: the framework's callback object.
DEFINE_GUID(GUID_HVGENDRV_CALLBACK_OBJECT, 0x3D08F5B2, 0x6C91, 0x47AE, 0x8E, 0x24, 0x51, 0xB7, 0xC9, 0xA0, 0xD3, 0x6F);

class CPmCallbackObject {
public:
    PCALLBACK_OBJECT m_pCallbackObject;
    PVOID m_pvRegistration;
    PPM_CALLBACK_HANDLER m_pfnHandler;
    PVOID m_pvHandlerContext;
    CPmUsageLock m_UsageLock; // notifications in progress

    CPmCallbackObject();
    ~CPmCallbackObject() { m_Close(); }

    CPmCallbackObject(const CPmCallbackObject&) = delete;
    CPmCallbackObject& operator=(const CPmCallbackObject&) = delete;

    // Creates or opens "\Callback\{GUID}"; with a handler, also registers it.
    BOOLEAN m_Register(const GUID& guid, PPM_CALLBACK_HANDLER pfnHandler, PVOID pvContext);
    BOOLEAN m_Notify(PVOID pvArgument1, PVOID pvArgument2);
    // Unregisters, waits for handler calls still running and releases the object. Closing twice is
    // harmless.
    void m_Close();

    static CALLBACK_FUNCTION sm_CallbackRoutine;
};
