// The pages' settings sets and their stream, on the stream format the drivers use.
#include "PmInformationSet.h"

#include <new>

// At most this many characters of a string convert to the stream's 8-bit text.
#define HV_SET_STRING_ROOM 256

// The set's items as the stream format walks them.
class CPmInformationSet::Items : public CPmSerialisedItems {
public:
    explicit Items(CPmInformationSet& set) : m_Set(set) {}

    BOOLEAN m_First() override {
        m_Set.m_Cursor = m_Set.m_Items.begin();
        return m_Set.m_Cursor != m_Set.m_Items.end();
    }
    BOOLEAN m_Next() override {
        if (m_Set.m_Cursor != m_Set.m_Items.end()) ++m_Set.m_Cursor;
        return m_Set.m_Cursor != m_Set.m_Items.end();
    }
    ULONG m_GetType() override { return m_Item().m_ulType; }
    ULONG m_GetDword() override { return *static_cast<ULONG*>(m_Item().m_pvTarget); }
    void m_SetDword(ULONG ulValue) override {
        *static_cast<ULONG*>(m_Item().m_pvTarget) = ulValue;
        m_Item().m_bRead = TRUE;
    }
    // 8-bit text of the ANSI code page only, as the drivers' sets carry it; a text longer than
    // the conversion buffer holds cannot be written.
    BOOLEAN m_GetText(BOOLEAN bWide, PCVOID* ppvText, PULONG pulBytes) override {
        const std::u16string& text = *static_cast<std::u16string*>(m_Item().m_pvTarget);
        if (bWide || text.size() >= HV_SET_STRING_ROOM) return FALSE;
        int n = text.empty() ? 0
                             : WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), m_acText,
                                                   HV_SET_STRING_ROOM - 1, nullptr, nullptr);
        if (!text.empty() && n <= 0) return FALSE;
        *ppvText = m_acText;
        *pulBytes = static_cast<ULONG>(n);
        return TRUE;
    }
    // A text the set could not write back is refused on reading too.
    BOOLEAN m_SetText(BOOLEAN bWide, PCVOID pvText, ULONG ulBytes) override {
        if (bWide || ulBytes >= HV_SET_STRING_ROOM) return FALSE;
        WCHAR awcText[HV_SET_STRING_ROOM];
        int n = ulBytes == 0 ? 0
                             : MultiByteToWideChar(CP_ACP, 0, static_cast<LPCSTR>(pvText), static_cast<int>(ulBytes),
                                                   awcText, HV_SET_STRING_ROOM - 1);
        if (ulBytes && n <= 0) return FALSE;
        static_cast<std::u16string*>(m_Item().m_pvTarget)->assign(awcText, static_cast<size_t>(n));
        m_Item().m_bRead = TRUE;
        return TRUE;
    }

private:
    Item& m_Item() { return *m_Set.m_Cursor; }

    CPmInformationSet& m_Set;
    CHAR m_acText[HV_SET_STRING_ROOM];
};

CPmInformationSet::CPmInformationSet() : m_Serialisation{PM_SERIALISE_DEFAULT_FLAGS, 0}, m_Cursor(m_Items.end()) {}

CPmInformationSet::~CPmInformationSet() {
    for (Item& item : m_Items) {
        if (item.m_ulType == PM_SERIAL_ITEM_STRING) delete static_cast<std::u16string*>(item.m_pvDefault);
        else delete static_cast<ULONG*>(item.m_pvDefault);
    }
}

BOOLEAN CPmInformationSet::m_AddItem(BOOLEAN bRequired, const WCHAR* pszName, void* pvTarget, ULONG ulType,
                                     ULONG ulValidator, void* pvDefault) {
    if (!pszName || !pvTarget || (ulType != PM_SERIAL_ITEM_DWORD && ulType != PM_SERIAL_ITEM_STRING)) {
        m_bValid = FALSE;
        return FALSE;
    }
    try {
        m_Items.push_back(Item{bRequired, pszName, pvTarget, pvDefault, ulType, ulValidator, FALSE});
    } catch (const std::bad_alloc&) {
        m_bValid = FALSE;
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CPmInformationSet::m_AddString(const WCHAR* pszName, std::u16string* pTarget) {
    auto* pDefault = new (std::nothrow) std::u16string();
    if (!pDefault) {
        m_bValid = FALSE;
        return FALSE;
    }
    if (m_AddItem(FALSE, pszName, pTarget, PM_SERIAL_ITEM_STRING, 0, pDefault)) return TRUE;
    delete pDefault;
    return FALSE;
}

BOOLEAN CPmInformationSet::m_AddDword(const WCHAR* pszName, ULONG* pulTarget) {
    auto* pDefault = new (std::nothrow) ULONG(0);
    if (!pDefault) {
        m_bValid = FALSE;
        return FALSE;
    }
    if (m_AddItem(FALSE, pszName, pulTarget, PM_SERIAL_ITEM_DWORD, 0, pDefault)) return TRUE;
    delete pDefault;
    return FALSE;
}

template <typename F> auto CPmInformationSet::m_WithFlags(ULONG ulFlags, F fn) -> decltype(fn()) {
    if (!ulFlags) return fn();
    const CPmSerialisation saved = m_Serialisation;
    if (!m_Serialisation.m_SetFlags(ulFlags)) return decltype(fn())(0);
    auto result = fn();
    m_Serialisation = saved;
    return result;
}

ULONG CPmInformationSet::m_GetSerialisedSize(ULONG ulFlags) {
    Items items(*this);
    return m_WithFlags(ulFlags, [&] { return m_Serialisation.m_GetSerialisedSize(items); });
}

BOOLEAN CPmInformationSet::m_Serialise(PUCHAR pucBuffer, PULONG pulRoom, ULONG ulFlags) {
    if (!pucBuffer || !pulRoom) return FALSE;
    Items items(*this);
    return m_WithFlags(ulFlags, [&] { return m_Serialisation.m_Serialise(items, pucBuffer, pulRoom); });
}

BOOLEAN CPmInformationSet::m_Deserialise(const UCHAR* pucBuffer, PULONG pulLength, ULONG ulFlags) {
    if (!pulLength || (!pucBuffer && *pulLength)) return FALSE;
    for (Item& item : m_Items) item.m_bRead = FALSE;
    m_bComplete = FALSE;
    Items items(*this);
    return m_WithFlags(ulFlags, [&] { return m_Serialisation.m_Deserialise(items, pucBuffer, pulLength); });
}

BOOLEAN CPmInformationSet::m_HasValue(const void* pvTarget) const {
    for (const Item& item : m_Items)
        if (item.m_pvTarget == pvTarget) return item.m_bRead;
    return FALSE;
}

void CPmInformationSet::m_CopyReadState(const CPmInformationSet& other) {
    auto from = other.m_Items.begin();
    for (Item& item : m_Items) {
        item.m_bRead = from != other.m_Items.end() && from->m_bRead;
        if (from != other.m_Items.end()) ++from;
    }
    m_bComplete = other.m_bComplete;
}
