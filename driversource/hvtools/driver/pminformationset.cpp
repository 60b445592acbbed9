// Information sets: registration of items, loading and saving through the registry.
#include <pminformationset.h>
#include <pmdebugmanager.h>
#include <pmregistry.h>

static const CHAR s_szSourcePath[] = "driversource\\hvtools\\driver\\pminformationset";

BOOLEAN CPmConfigurableValidator::m_GetRange(PULONG pulMinimum, PULONG pulMaximum) {
    if (!m_bRangeOn)
        return FALSE;
    *pulMinimum = m_ulMinimum;
    *pulMaximum = m_ulMaximum;
    return TRUE;
}

BOOLEAN CPmConfigurableValidator::m_GetDwordCheck(PPM_DWORD_CHECK* ppfnCheck) {
    if (!m_bCheckOn)
        return FALSE;
    *ppfnCheck = m_pfnCheck;
    return TRUE;
}

BOOLEAN CPmStringValidator::m_GetStringCheck(PPM_STRING_CHECK* ppfnCheck) {
    if (!m_bCheckOn)
        return FALSE;
    *ppfnCheck = m_pfnCheck;
    return TRUE;
}

BOOLEAN CPmStringValidator::m_GetMaximumLength(PULONG pulCharacters) {
    if (!m_bLengthOn)
        return FALSE;
    *pulCharacters = m_ulMaximumLength;
    return TRUE;
}

CPmInformationSet::CPmInformationSet(HANDLE hKey)
    : m_Items(PagedPool), m_bValid(FALSE), m_DefaultSectionName(PagedPool), m_RegistryPath(PagedPool), m_hKey(NULL),
      m_pfnOpenKey(NULL), m_pvOpenKeyContext(NULL), m_SavedRegistryPath(PagedPool), m_hSavedKey(NULL),
      m_pfnSavedOpenKey(NULL), m_pvSavedOpenKeyContext(NULL) {
    m_Serialisation.m_ulFlags = PM_SERIALISE_DEFAULT_FLAGS;
    m_Serialisation.m_ulHeaderValue = 0;
    if (NT_SUCCESS(m_DefaultSectionName.m_Assign(u"Default"))) {
        m_hKey = hKey;
        m_bValid = TRUE;
    }
}

void CPmInformationSet::m_DeleteItem(PmInformationItem* pItem) {
    if (pItem->m_ulType == PM_ITEM_STRING)
        PmDeleteObject(static_cast<CPmString*>(pItem->m_pvDefault));
    else
        PmFreeMemory(pItem->m_pvDefault);
    PmDeleteObject(pItem);
}

CPmInformationSet::~CPmInformationSet() {
    while (m_Items.m_GetCount())
        m_DeleteItem(static_cast<PmInformationItem*>(m_Items.m_RemoveHead()));
}

BOOLEAN CPmInformationSet::m_AddItem(ULONG ulRequired, PCWSTR pszName, PVOID pvTarget, ULONG ulType,
                                     CPmValidator* pValidator, PVOID pvDefault) {
    if (!pszName || !*pszName || !pvTarget || (ulType != PM_ITEM_DWORD && ulType != PM_ITEM_STRING) ||
        (!ulRequired && !pvDefault))
        return FALSE;
    PmInformationItem* pItem = new (PagedPool) PmInformationItem;
    if (!pItem)
        return FALSE;
    if (!NT_SUCCESS(pItem->m_Name.m_Assign(pszName)) || !m_Items.m_Append(pItem)) {
        // The default stays with the caller.
        PmDeleteObject(pItem);
        return FALSE;
    }
    pItem->m_ulRequired = ulRequired;
    pItem->m_pvTarget = pvTarget;
    pItem->m_pvDefault = pvDefault;
    pItem->m_ulType = ulType;
    pItem->m_pValidator = pValidator;
    return TRUE;
}

BOOLEAN CPmInformationSet::m_AddDword(PCWSTR pszName, PULONG pulTarget, ULONG ulDefault, CPmValidator* pValidator) {
    PULONG pulDefault = static_cast<PULONG>(PmAllocateMemory(sizeof(ULONG), PagedPool));
    if (!pulDefault)
        return FALSE;
    *pulDefault = ulDefault;
    if (!m_AddItem(0, pszName, pulTarget, PM_ITEM_DWORD, pValidator, pulDefault)) {
        PmFreeMemory(pulDefault);
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CPmInformationSet::m_AddString(PCWSTR pszName, CPmString* pTarget, PCSTR pszDefault) {
    CPmString* pDefault = new (PagedPool) CPmString(PagedPool);
    if (!pDefault)
        return FALSE;
    if ((pszDefault && !NT_SUCCESS(pDefault->m_AssignAnsi(pszDefault))) ||
        !m_AddItem(0, pszName, pTarget, PM_ITEM_STRING, NULL, pDefault)) {
        PmDeleteObject(pDefault);
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CPmInformationSet::m_SetRegistryPath(PCUNICODE_STRING pAbsolutePath) {
    return NT_SUCCESS(m_RegistryPath.m_AssignUnicodeString(pAbsolutePath));
}

BOOLEAN CPmInformationSet::m_OpenSection(ULONG ulSection, BOOLEAN bWrite, PHANDLE phKey, PBOOLEAN pbClose) {
    if (ulSection != PM_SECTION_CURRENT && ulSection != PM_SECTION_DEFAULT)
        return FALSE;
    ACCESS_MASK access = bWrite ? KEY_ALL_ACCESS : KEY_READ;
    HANDLE hKey = NULL;
    BOOLEAN bOwned = FALSE;
    if (m_pfnOpenKey) {
        hKey = m_pfnOpenKey(m_pvOpenKeyContext, ulSection, bWrite ? PM_OPEN_KEY_WRITE : PM_OPEN_KEY_READ);
        if (!hKey)
            return FALSE;
        bOwned = TRUE;
    } else if (m_hKey) {
        hKey = m_hKey;
    } else {
        if (m_RegistryPath.m_IsEmpty() || !CPmRegistry::m_OpenPath(m_RegistryPath.m_GetUnicodeString(), &hKey, access, TRUE))
            return FALSE;
        bOwned = TRUE;
    }
    if (ulSection == PM_SECTION_DEFAULT) {
        HANDLE hSubkey = NULL;
        BOOLEAN bOpened = CPmRegistry::m_OpenKey(hKey, m_DefaultSectionName.m_GetText(), &hSubkey, access, TRUE);
        if (bOwned)
            ZwClose(hKey);
        if (!bOpened)
            return FALSE;
        hKey = hSubkey;
        bOwned = TRUE;
    }
    *phKey = hKey;
    *pbClose = bOwned;
    return TRUE;
}

BOOLEAN CPmInformationSet::m_LoadDword(HANDLE hKey, PmInformationItem* pItem) {
    ULONG ulValue;
    if (!CPmRegistry::m_QueryDword(hKey, pItem->m_Name.m_GetText(), &ulValue)) {
        if (pItem->m_ulRequired || !pItem->m_pvDefault)
            return FALSE;
        ulValue = *static_cast<PULONG>(pItem->m_pvDefault);
    }
    if (CPmValidator* pValidator = pItem->m_pValidator) {
        ULONG ulMinimum, ulMaximum;
        if (pValidator->m_GetRange(&ulMinimum, &ulMaximum) && (ulValue < ulMinimum || ulValue > ulMaximum))
            return FALSE;
        PPM_DWORD_CHECK pfnCheck;
        if (pValidator->m_GetDwordCheck(&pfnCheck) && pfnCheck && !pfnCheck(ulValue))
            return FALSE;
    }
    *static_cast<PULONG>(pItem->m_pvTarget) = ulValue;
    return TRUE;
}

BOOLEAN CPmInformationSet::m_LoadString(HANDLE hKey, PmInformationItem* pItem) {
    CPmString* pTarget = static_cast<CPmString*>(pItem->m_pvTarget);
    CPmString value(pTarget->m_ePoolType);
    if (!CPmRegistry::m_QueryString(hKey, pItem->m_Name.m_GetText(), value)) {
        if (pItem->m_ulRequired || !pItem->m_pvDefault ||
            !NT_SUCCESS(value.m_Copy(*static_cast<CPmString*>(pItem->m_pvDefault))))
            return FALSE;
    }
    if (CPmValidator* pValidator = pItem->m_pValidator) {
        ULONG ulMaximum;
        if (pValidator->m_GetMaximumLength(&ulMaximum) && value.m_GetLength() > ulMaximum)
            return FALSE;
        PPM_STRING_CHECK pfnCheck;
        if (pValidator->m_GetStringCheck(&pfnCheck) && pfnCheck && !pfnCheck(value))
            return FALSE;
    }
    pTarget->m_Swap(value);
    return TRUE;
}

BOOLEAN CPmInformationSet::m_Load(HANDLE hKey) {
    for (PmInformationItem* pItem = static_cast<PmInformationItem*>(m_Items.m_GetFirst()); pItem;
         pItem = static_cast<PmInformationItem*>(m_Items.m_GetNext())) {
        BOOLEAN bLoaded;
        if (pItem->m_ulType == PM_ITEM_DWORD) {
            bLoaded = m_LoadDword(hKey, pItem);
        } else if (pItem->m_ulType == PM_ITEM_STRING) {
            bLoaded = m_LoadString(hKey, pItem);
        } else {
            PM_ASSERTION_LINE(s_szSourcePath);
            bLoaded = FALSE;
        }
        if (!bLoaded)
            return FALSE;
    }
    return m_IsValid();
}

BOOLEAN CPmInformationSet::m_Save(HANDLE hKey) {
    for (PmInformationItem* pItem = static_cast<PmInformationItem*>(m_Items.m_GetFirst()); pItem;
         pItem = static_cast<PmInformationItem*>(m_Items.m_GetNext())) {
        UNICODE_STRING usName = *pItem->m_Name.m_GetUnicodeString();
        NTSTATUS ntStatus;
        if (pItem->m_ulType == PM_ITEM_DWORD) {
            ntStatus = ZwSetValueKey(hKey, &usName, 0, REG_DWORD, pItem->m_pvTarget, sizeof(ULONG));
        } else if (pItem->m_ulType == PM_ITEM_STRING) {
            // The characters without a terminating NUL.
            const CPmString* pValue = static_cast<const CPmString*>(pItem->m_pvTarget);
            ntStatus = ZwSetValueKey(hKey, &usName, 0, REG_SZ, const_cast<PWSTR>(pValue->m_GetText()),
                                     pValue->m_GetUnicodeString()->Length);
        } else {
            PM_ASSERTION_LINE(s_szSourcePath);
            return FALSE;
        }
        if (!NT_SUCCESS(ntStatus))
            return FALSE;
    }
    return TRUE;
}

BOOLEAN CPmInformationSet::m_Transfer(ULONG ulSection, BOOLEAN bSave) {
    if (m_Items.m_GetCount() == 0)
        return FALSE;
    HANDLE hKey;
    BOOLEAN bClose;
    if (!m_OpenSection(ulSection, bSave, &hKey, &bClose))
        return FALSE;
    BOOLEAN bDone = bSave ? m_Save(hKey) : m_Load(hKey);
    if (bClose)
        ZwClose(hKey);
    return bDone;
}

BOOLEAN CPmInformationSet::m_TransferWithKey(HANDLE hKey, ULONG ulSection, BOOLEAN bSave) {
    if (!hKey)
        return FALSE;
    m_UseCallerKey(hKey);
    BOOLEAN bDone = m_Transfer(ulSection, bSave);
    m_RestoreLocation();
    return bDone;
}

BOOLEAN CPmInformationSet::m_LoadFromKey(ULONG ulSection) { return m_Transfer(ulSection, FALSE); }

BOOLEAN CPmInformationSet::m_SaveToKey(ULONG ulSection) { return m_Transfer(ulSection, TRUE); }

BOOLEAN CPmInformationSet::m_LoadFromRegistry(HANDLE hKey, ULONG ulSection) {
    return m_TransferWithKey(hKey, ulSection, FALSE);
}

BOOLEAN CPmInformationSet::m_SaveToRegistry(HANDLE hKey, ULONG ulSection) {
    return m_TransferWithKey(hKey, ulSection, TRUE);
}

void CPmInformationSet::m_UseCallerKey(HANDLE hKey) {
    m_SavedRegistryPath.m_Swap(m_RegistryPath);
    m_hSavedKey = m_hKey;
    m_pfnSavedOpenKey = m_pfnOpenKey;
    m_pvSavedOpenKeyContext = m_pvOpenKeyContext;
    m_hKey = hKey;
    m_pfnOpenKey = NULL;
    m_pvOpenKeyContext = NULL;
}

void CPmInformationSet::m_RestoreLocation() {
    m_RegistryPath.m_Swap(m_SavedRegistryPath);
    m_SavedRegistryPath.m_Empty();
    m_hKey = m_hSavedKey;
    m_pfnOpenKey = m_pfnSavedOpenKey;
    m_pvOpenKeyContext = m_pvSavedOpenKeyContext;
    m_hSavedKey = NULL;
    m_pfnSavedOpenKey = NULL;
    m_pvSavedOpenKeyContext = NULL;
}
