// Registry access over the kernel's Zw calls.
#include <pmregistry.h>
#include <pmmemorypool.h>

static PCWSTR const s_apszRoots[] = {
    u"",
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
    u"\\Registry\\Machine\\Hardware\\DeviceMap",
    u"\\Registry\\User\\CurrentUser",
};

// A partial-information block just large enough for a DWORD.
static const ULONG s_cbSmallQuery = sizeof(KEY_VALUE_PARTIAL_INFORMATION);

BOOLEAN CPmRegistry::m_MakeAbsolutePath(ULONG ulRelativeTo, CPmString& path) {
    if (path.m_IsEmpty() || ulRelativeTo >= RTL_NUMBER_OF(s_apszRoots))
        return FALSE;
    if (path.m_GetText()[0] != u'\\' && !NT_SUCCESS(path.m_Prepend(u"\\")))
        return FALSE;
    if (ulRelativeTo != PM_REGISTRY_ABSOLUTE && !NT_SUCCESS(path.m_Prepend(s_apszRoots[ulRelativeTo])))
        return FALSE;
    return TRUE;
}

BOOLEAN CPmRegistry::m_CreateKey(PCWSTR pszPath) {
    CPmString path(PagedPool, pszPath);
    if (!NT_SUCCESS(path.m_GetStatus()) || !m_MakeAbsolutePath(PM_REGISTRY_SERVICES, path))
        return FALSE;
    HANDLE hKey;
    if (!m_OpenPath(path.m_GetUnicodeString(), &hKey, KEY_ALL_ACCESS, TRUE))
        return FALSE;
    ZwClose(hKey);
    return TRUE;
}

BOOLEAN CPmRegistry::m_Open(HANDLE hRoot, PUNICODE_STRING pName, PHANDLE phKey, ACCESS_MASK access,
                            BOOLEAN bCreate) {
    if (!phKey)
        return FALSE;
    *phKey = NULL;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, pName, OBJ_CASE_INSENSITIVE, hRoot, NULL);
    NTSTATUS ntStatus;
    if (bCreate) {
        ULONG ulDisposition;
        ntStatus = ZwCreateKey(phKey, access, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, &ulDisposition);
    } else {
        ntStatus = ZwOpenKey(phKey, access, &attributes);
    }
    if (!NT_SUCCESS(ntStatus)) {
        *phKey = NULL;
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CPmRegistry::m_OpenPath(PCUNICODE_STRING pAbsolutePath, PHANDLE phKey, ACCESS_MASK access, BOOLEAN bCreate) {
    if (!pAbsolutePath || !pAbsolutePath->Buffer)
        return FALSE;
    UNICODE_STRING usPath = *pAbsolutePath;
    return m_Open(NULL, &usPath, phKey, access, bCreate);
}

BOOLEAN CPmRegistry::m_OpenKey(HANDLE hRoot, PCWSTR pszName, PHANDLE phKey, ACCESS_MASK access, BOOLEAN bCreate) {
    if (!hRoot || !pszName)
        return FALSE;
    UNICODE_STRING usName;
    RtlInitUnicodeString(&usName, pszName);
    return m_Open(hRoot, &usName, phKey, access, bCreate);
}

BOOLEAN CPmRegistry::m_QueryDword(HANDLE hKey, PCWSTR pszValueName, PULONG pulValue) {
    if (!hKey || !pszValueName || !pulValue)
        return FALSE;
    PKEY_VALUE_PARTIAL_INFORMATION pInfo =
        static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(PmAllocateMemory(s_cbSmallQuery, PagedPool));
    if (!pInfo)
        return FALSE;
    UNICODE_STRING usName;
    RtlInitUnicodeString(&usName, pszValueName);
    ULONG cbResult = 0;
    NTSTATUS ntStatus =
        ZwQueryValueKey(hKey, &usName, KeyValuePartialInformation, pInfo, s_cbSmallQuery, &cbResult);
    BOOLEAN bResult = NT_SUCCESS(ntStatus) && pInfo->Type == REG_DWORD && cbResult == s_cbSmallQuery;
    if (bResult)
        RtlCopyMemory(pulValue, pInfo->Data, sizeof(ULONG));
    PmFreeMemory(pInfo);
    return bResult;
}

BOOLEAN CPmRegistry::m_ReadDword(PCUNICODE_STRING pAbsolutePath, PCWSTR pszValueName, PULONG pulValue) {
    HANDLE hKey;
    if (!m_OpenPath(pAbsolutePath, &hKey, KEY_READ, FALSE))
        return FALSE;
    BOOLEAN bResult = m_QueryDword(hKey, pszValueName, pulValue);
    ZwClose(hKey);
    return bResult;
}

BOOLEAN CPmRegistry::m_QueryString(HANDLE hKey, PCWSTR pszValueName, CPmString& value) {
    if (!hKey || !pszValueName)
        return FALSE;
    UNICODE_STRING usName;
    RtlInitUnicodeString(&usName, pszValueName);
    ULONG cbBlock = s_cbSmallQuery;
    PKEY_VALUE_PARTIAL_INFORMATION pInfo =
        static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(PmAllocateZeroedMemory(cbBlock, PagedPool));
    if (!pInfo)
        return FALSE;
    ULONG cbResult = 0;
    NTSTATUS ntStatus = ZwQueryValueKey(hKey, &usName, KeyValuePartialInformation, pInfo, cbBlock, &cbResult);
    if (ntStatus == STATUS_BUFFER_OVERFLOW || ntStatus == STATUS_BUFFER_TOO_SMALL) {
        PmFreeMemory(pInfo);
        if (cbResult > MAXULONG - sizeof(WCHAR))
            return FALSE;
        // Two zeroed bytes behind the data terminate a value stored without its NUL.
        cbBlock = cbResult + sizeof(WCHAR);
        pInfo = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(PmAllocateZeroedMemory(cbBlock, PagedPool));
        if (!pInfo)
            return FALSE;
        ntStatus = ZwQueryValueKey(hKey, &usName, KeyValuePartialInformation, pInfo, cbBlock, &cbResult);
    }
    BOOLEAN bResult = FALSE;
    if (NT_SUCCESS(ntStatus) && pInfo->Type == REG_SZ) {
        // The text ends at its first NUL, and never beyond the data the value holds.
        ULONG cbRoom = cbBlock - FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        ULONG cchMax = (pInfo->DataLength < cbRoom ? pInfo->DataLength : cbRoom) / sizeof(WCHAR);
        PCWCH pwcText = reinterpret_cast<PCWCH>(pInfo->Data);
        ULONG cch = 0;
        while (cch < cchMax && pwcText[cch])
            ++cch;
        if (cch * sizeof(WCHAR) <= MAXUSHORT) {
            UNICODE_STRING usText = {(USHORT)(cch * sizeof(WCHAR)), (USHORT)(cch * sizeof(WCHAR)),
                                     const_cast<PWCH>(pwcText)};
            bResult = NT_SUCCESS(value.m_AssignUnicodeString(&usText));
        }
    }
    PmFreeMemory(pInfo);
    return bResult;
}

BOOLEAN CPmRegistry::m_WriteDword(ULONG ulRelativeTo, PCWSTR pszPath, PCWSTR pszValueName, ULONG ulValue) {
    return NT_SUCCESS(RtlWriteRegistryValue(ulRelativeTo, pszPath, pszValueName, REG_DWORD, &ulValue, sizeof(ulValue)));
}

BOOLEAN CPmRegistry::m_WriteString(ULONG ulRelativeTo, PCWSTR pszPath, PCWSTR pszValueName, const CPmString& value,
                                   ULONG ulType) {
    if (ulType != REG_SZ && ulType != REG_EXPAND_SZ)
        return FALSE;
#if defined(HV_PM_BUS_DRIVER)
    ulType = REG_EXPAND_SZ;
    ulRelativeTo = PM_REGISTRY_SERVICES;
#endif
    // The text and its terminator; an empty string is a lone terminator.
    return NT_SUCCESS(RtlWriteRegistryValue(ulRelativeTo, pszPath, pszValueName, ulType,
                                            const_cast<PWSTR>(value.m_GetText()),
                                            value.m_GetUnicodeString()->Length + sizeof(WCHAR)));
}
