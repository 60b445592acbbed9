// Static operations over the kernel's registry calls. PASSIVE_LEVEL only.
#pragma once

#include <pmstring.h>

// Relative-to codes, as RtlWriteRegistryValue takes them.
#define PM_REGISTRY_ABSOLUTE 0
#define PM_REGISTRY_SERVICES 1
#define PM_REGISTRY_CONTROL 2
#define PM_REGISTRY_WINDOWS_NT 3
#define PM_REGISTRY_DEVICEMAP 4
#define PM_REGISTRY_USER 5

class CPmRegistry {
public:
    // Puts the root of the relative-to code (and a backslash, when missing) in front of the path.
    static BOOLEAN m_MakeAbsolutePath(ULONG ulRelativeTo, CPmString& path);
    // Creates (or opens) the key under the Services root and closes it at once.
    static BOOLEAN m_CreateKey(PCWSTR pszPath);

    static BOOLEAN m_OpenPath(PCUNICODE_STRING pAbsolutePath, PHANDLE phKey, ACCESS_MASK access, BOOLEAN bCreate);
    static BOOLEAN m_OpenKey(HANDLE hRoot, PCWSTR pszName, PHANDLE phKey, ACCESS_MASK access, BOOLEAN bCreate);

    static BOOLEAN m_QueryDword(HANDLE hKey, PCWSTR pszValueName, PULONG pulValue);
    static BOOLEAN m_ReadDword(PCUNICODE_STRING pAbsolutePath, PCWSTR pszValueName, PULONG pulValue);
    static BOOLEAN m_QueryString(HANDLE hKey, PCWSTR pszValueName, CPmString& value);

    static BOOLEAN m_WriteDword(ULONG ulRelativeTo, PCWSTR pszPath, PCWSTR pszValueName, ULONG ulValue);
    // REG_SZ or REG_EXPAND_SZ only, written with the terminator.
    static BOOLEAN m_WriteString(ULONG ulRelativeTo, PCWSTR pszPath, PCWSTR pszValueName, const CPmString& value,
                                 ULONG ulType);

private:
    static BOOLEAN m_Open(HANDLE hRoot, PUNICODE_STRING pName, PHANDLE phKey, ACCESS_MASK access, BOOLEAN bCreate);
};
