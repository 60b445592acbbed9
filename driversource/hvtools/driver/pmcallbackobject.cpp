// Named kernel callback object.
#include <pmcallbackobject.h>

CPmCallbackObject::CPmCallbackObject()
    : m_pCallbackObject(NULL), m_pvRegistration(NULL), m_pfnHandler(NULL), m_pvHandlerContext(NULL) {
    m_UsageLock.m_SetLimit(PM_USAGE_UNLIMITED);
    m_UsageLock.m_Init(FALSE);
}

BOOLEAN CPmCallbackObject::m_Register(const GUID& guid, PPM_CALLBACK_HANDLER pfnHandler, PVOID pvContext) {
    if (m_pCallbackObject)
        return FALSE;
    UNICODE_STRING usGuid = {0, 0, NULL};
    if (!NT_SUCCESS(RtlStringFromGUID(guid, &usGuid)))
        return FALSE;
    CPmString name(PagedPool, u"\\Callback\\");
    NTSTATUS ntStatus = name.m_Concatenate(PmStringWideCounted, &usGuid, FALSE);
    RtlFreeUnicodeString(&usGuid);
    if (!NT_SUCCESS(ntStatus))
        return FALSE;

    UNICODE_STRING usName = *name.m_GetUnicodeString();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &usName, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, NULL, NULL);
    PCALLBACK_OBJECT pCallbackObject = NULL;
    if (!NT_SUCCESS(ExCreateCallback(&pCallbackObject, &attributes, TRUE, TRUE)))
        return FALSE;
    if (pfnHandler) {
        m_pfnHandler = pfnHandler;
        m_pvHandlerContext = pvContext;
        PVOID pvRegistration = ExRegisterCallback(pCallbackObject, sm_CallbackRoutine, this);
        if (!pvRegistration) {
            m_pfnHandler = NULL;
            m_pvHandlerContext = NULL;
            ObDereferenceObject(pCallbackObject);
            return FALSE;
        }
        m_pvRegistration = pvRegistration;
    }
    m_pCallbackObject = pCallbackObject;
    m_UsageLock.m_Init(TRUE);
    return TRUE;
}

BOOLEAN CPmCallbackObject::m_Notify(PVOID pvArgument1, PVOID pvArgument2) {
    if (!m_UsageLock.m_Acquire())
        return FALSE;
    // A closed object is never notified, even when the lock still admitted us.
    BOOLEAN bNotified = m_pCallbackObject != NULL;
    if (bNotified)
        ExNotifyCallback(m_pCallbackObject, pvArgument1, pvArgument2);
    m_UsageLock.m_Release();
    return bNotified;
}

void CPmCallbackObject::sm_CallbackRoutine(PVOID pvContext, PVOID pvArgument1, PVOID pvArgument2) {
    CPmCallbackObject* pThis = static_cast<CPmCallbackObject*>(pvContext);
    if (!pThis->m_UsageLock.m_Acquire())
        return;
    if (pThis->m_pfnHandler)
        pThis->m_pfnHandler(pThis->m_pvHandlerContext, pvArgument1, pvArgument2);
    pThis->m_UsageLock.m_Release();
}

void CPmCallbackObject::m_Close() {
    if (!m_pCallbackObject && !m_pvRegistration)
        return;
    if (m_pvRegistration) {
        ExUnregisterCallback(m_pvRegistration);
        m_pvRegistration = NULL;
    }
    // Also without a registration: no notification may reach the object once it is released.
    m_UsageLock.m_DisableAndWait();
    m_pfnHandler = NULL;
    m_pvHandlerContext = NULL;
    if (m_pCallbackObject) {
        ObDereferenceObject(m_pCallbackObject);
        m_pCallbackObject = NULL;
    }
    KeClearEvent(&m_UsageLock.m_kIdleEvent);
}
