// Information sets: ordered lists of named, typed values that a driver keeps in its own members, each
// with a default, loaded from and saved to a registry key. A derived set registers its items in its
// constructor; the base class loads, saves and validates them without knowing what they mean.
#pragma once

#include <pmmemorypool.h>
#include <pmserialisation.h>
#include <pmstring.h>

#define PM_ITEM_DWORD 1
#define PM_ITEM_STRING 2

// Sections: the set's key itself, and its "Default" subkey.
#define PM_SECTION_CURRENT 0
#define PM_SECTION_DEFAULT 1

// Modes of the key-opening callback.
#define PM_OPEN_KEY_READ 0
#define PM_OPEN_KEY_WRITE (-1)

typedef BOOLEAN PM_DWORD_CHECK(ULONG ulValue);
typedef PM_DWORD_CHECK* PPM_DWORD_CHECK;
typedef BOOLEAN PM_STRING_CHECK(const CPmString& value);
typedef PM_STRING_CHECK* PPM_STRING_CHECK;
// Gives an open key for the section (closed by the set after use), or NULL.
typedef HANDLE PM_OPEN_KEY_CALLBACK(PVOID pvContext, ULONG ulSection, LONG lMode);
typedef PM_OPEN_KEY_CALLBACK* PPM_OPEN_KEY_CALLBACK;

// Answers "none" to every query.
class CPmValidator {
public:
    virtual ~CPmValidator() {}
    virtual BOOLEAN m_GetRange(PULONG pulMinimum, PULONG pulMaximum) { return FALSE; }
    virtual BOOLEAN m_GetStringCheck(PPM_STRING_CHECK* ppfnCheck) { return FALSE; }
    virtual BOOLEAN m_GetDwordCheck(PPM_DWORD_CHECK* ppfnCheck) { return FALSE; }
    virtual BOOLEAN m_GetMaximumLength(PULONG pulCharacters) { return FALSE; }
};

// A DWORD range and a DWORD check, each answered only while switched on.
class CPmConfigurableValidator : public CPmValidator {
public:
    ULONG m_ulMinimum;
    ULONG m_ulMaximum;
    BOOLEAN m_bRangeOn;
    PPM_DWORD_CHECK m_pfnCheck;
    BOOLEAN m_bCheckOn;

    CPmConfigurableValidator() : m_ulMinimum(0), m_ulMaximum(0), m_bRangeOn(FALSE), m_pfnCheck(NULL), m_bCheckOn(FALSE) {}
    void m_SetRange(ULONG ulMinimum, ULONG ulMaximum) {
        m_ulMinimum = ulMinimum;
        m_ulMaximum = ulMaximum;
        m_bRangeOn = TRUE;
    }
    void m_SetCheck(PPM_DWORD_CHECK pfnCheck) {
        m_pfnCheck = pfnCheck;
        m_bCheckOn = pfnCheck != NULL;
    }
    BOOLEAN m_GetRange(PULONG pulMinimum, PULONG pulMaximum) override;
    BOOLEAN m_GetDwordCheck(PPM_DWORD_CHECK* ppfnCheck) override;
};

// A maximum string length and a string check, each answered only while switched on.
class CPmStringValidator : public CPmValidator {
public:
    ULONG m_ulMaximumLength;
    BOOLEAN m_bLengthOn;
    PPM_STRING_CHECK m_pfnCheck;
    BOOLEAN m_bCheckOn;

    CPmStringValidator() : m_ulMaximumLength(0), m_bLengthOn(FALSE), m_pfnCheck(NULL), m_bCheckOn(FALSE) {}
    void m_SetMaximumLength(ULONG ulCharacters) {
        m_ulMaximumLength = ulCharacters;
        m_bLengthOn = TRUE;
    }
    void m_SetCheck(PPM_STRING_CHECK pfnCheck) {
        m_pfnCheck = pfnCheck;
        m_bCheckOn = pfnCheck != NULL;
    }
    BOOLEAN m_GetStringCheck(PPM_STRING_CHECK* ppfnCheck) override;
    BOOLEAN m_GetMaximumLength(PULONG pulCharacters) override;
};

struct PmInformationItem {
    PmInformationItem() : m_ulRequired(0), m_Name(PagedPool), m_pvTarget(NULL), m_pvDefault(NULL), m_ulType(0), m_pValidator(NULL) {}

    ULONG m_ulRequired;
    CPmString m_Name;
    PVOID m_pvTarget;  // ULONG or CPmString member of the derived set
    PVOID m_pvDefault; // pool ULONG or CPmString owned by the item; NULL for required items
    ULONG m_ulType;    // PM_ITEM_DWORD or PM_ITEM_STRING
    CPmValidator* m_pValidator;
};

class CPmInformationSet : public CPmObject {
public:
    CPmPointerList m_Items;
    CPmSerialisation m_Serialisation;
    BOOLEAN m_bValid;
    CPmString m_DefaultSectionName;
    CPmString m_RegistryPath; // absolute; used when no key handle is given
    HANDLE m_hKey;
    PPM_OPEN_KEY_CALLBACK m_pfnOpenKey;
    PVOID m_pvOpenKeyContext;
    // The set's own location while a caller-supplied key is in force.
    CPmString m_SavedRegistryPath;
    HANDLE m_hSavedKey;
    PPM_OPEN_KEY_CALLBACK m_pfnSavedOpenKey;
    PVOID m_pvSavedOpenKeyContext;

    explicit CPmInformationSet(HANDLE hKey);
    ~CPmInformationSet() override;

    CPmInformationSet(const CPmInformationSet&) = delete;
    CPmInformationSet& operator=(const CPmInformationSet&) = delete;

    // Called after every successful load.
    virtual BOOLEAN m_IsValid() { return TRUE; }

    BOOLEAN m_AddItem(ULONG ulRequired, PCWSTR pszName, PVOID pvTarget, ULONG ulType, CPmValidator* pValidator,
                      PVOID pvDefault);
    BOOLEAN m_AddDword(PCWSTR pszName, PULONG pulTarget, ULONG ulDefault, CPmValidator* pValidator = NULL);
    BOOLEAN m_AddString(PCWSTR pszName, CPmString* pTarget, PCSTR pszDefault);

    BOOLEAN m_LoadFromKey(ULONG ulSection);
    BOOLEAN m_LoadFromRegistry(HANDLE hKey, ULONG ulSection);
    BOOLEAN m_SaveToKey(ULONG ulSection);
    BOOLEAN m_SaveToRegistry(HANDLE hKey, ULONG ulSection);

    // Where the set lives when no key is given.
    BOOLEAN m_SetRegistryPath(PCUNICODE_STRING pAbsolutePath);
    void m_SetKey(HANDLE hKey) { m_hKey = hKey; }
    void m_SetOpenKeyCallback(PPM_OPEN_KEY_CALLBACK pfnOpenKey, PVOID pvContext) {
        m_pfnOpenKey = pfnOpenKey;
        m_pvOpenKeyContext = pvContext;
    }

    // The set's values as the serialised stream, in the set's own format or in the one given (a
    // lossless copy, say). Reading stores each value as soon as it is read.
    ULONG m_GetSerialisedSize(const CPmSerialisation* pFormat = NULL);
    BOOLEAN m_Serialise(PUCHAR pucBuffer, PULONG pulRoom, const CPmSerialisation* pFormat = NULL);
    BOOLEAN m_Deserialise(const UCHAR* pucBuffer, PULONG pulLength, const CPmSerialisation* pFormat = NULL);

    BOOLEAN m_GetValid() const { return m_bValid; }
    void m_SetValid(BOOLEAN bValid) { m_bValid = bValid; }
    ULONG m_GetItemCount() const { return m_Items.m_GetCount(); }

private:
    BOOLEAN m_OpenSection(ULONG ulSection, BOOLEAN bWrite, PHANDLE phKey, PBOOLEAN pbClose);
    BOOLEAN m_Transfer(ULONG ulSection, BOOLEAN bSave);
    BOOLEAN m_TransferWithKey(HANDLE hKey, ULONG ulSection, BOOLEAN bSave);
    BOOLEAN m_Load(HANDLE hKey);
    BOOLEAN m_Save(HANDLE hKey);
    BOOLEAN m_LoadDword(HANDLE hKey, PmInformationItem* pItem);
    BOOLEAN m_LoadString(HANDLE hKey, PmInformationItem* pItem);
    void m_UseCallerKey(HANDLE hKey);
    void m_RestoreLocation();
    static void m_DeleteItem(PmInformationItem* pItem);
};

// The derived sets' members follow the base part at this offset in every image (the port driver reads
// a bus-driver set at a fixed offset).
static_assert(sizeof(CPmInformationSet) == 0x110, "information set base layout");
