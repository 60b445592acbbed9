// The property pages' own copy of a driver's settings set: named values, registry-free, read from
// and written to the stream the drivers' settings interface carries. Defaults come only from the
// driver, so an item's default slot stays unused here.
#pragma once

#include <windows.h>

#include <pmserialisation.h>

#include <hv_wchar.h>

#include <list>
#include <string>

class CPmInformationSet {
public:
    CPmInformationSet();
    virtual ~CPmInformationSet();
    CPmInformationSet(const CPmInformationSet&) = delete;
    CPmInformationSet& operator=(const CPmInformationSet&) = delete;

    // Appends one item. A failed allocation or a missing name adds nothing and returns FALSE; the
    // set is then invalid for good, since its stream no longer matches the driver's.
    BOOLEAN m_AddItem(BOOLEAN bRequired, const WCHAR* pszName, void* pvTarget, ULONG ulType, ULONG ulValidator,
                      void* pvDefault);
    BOOLEAN m_AddString(const WCHAR* pszName, std::u16string* pTarget);
    BOOLEAN m_AddDword(const WCHAR* pszName, ULONG* pulTarget);

    // With ulFlags non-zero, those flags for this call (refused flags give 0 or FALSE).
    ULONG m_GetSerialisedSize(ULONG ulFlags = 0);
    BOOLEAN m_Serialise(PUCHAR pucBuffer, PULONG pulRoom, ULONG ulFlags = 0);
    // Values are stored as they are read: a read that fails part-way leaves the earlier items set.
    BOOLEAN m_Deserialise(const UCHAR* pucBuffer, PULONG pulLength, ULONG ulFlags = 0);

    // Every item was registered.
    BOOLEAN m_GetValid() const { return m_bValid; }
    ULONG m_GetItemCount() const { return static_cast<ULONG>(m_Items.size()); }
    // Whether the item of this member holds a value of the driver's (its last read reached it).
    BOOLEAN m_HasValue(const void* pvTarget) const;
    // The last read gave a value to every item and matched the driver's stream exactly: only
    // then may the set be written back.
    BOOLEAN m_IsComplete() const { return m_bValid && m_bComplete; }
    // Set by the transfer that read the set, as it judges the whole answer.
    void m_SetComplete(BOOLEAN bComplete) { m_bComplete = bComplete; }

    CPmSerialisation m_Serialisation;

protected:
    // Copies which items hold driver values, for a derived set's value copy.
    void m_CopyReadState(const CPmInformationSet& other);

private:
    struct Item {
        UCHAR m_ucRequired;
        std::u16string m_Name;
        void* m_pvTarget;
        void* m_pvDefault;
        ULONG m_ulType;
        ULONG m_ulValidator;
        BOOLEAN m_bRead;
    };
    class Items;
    friend class Items;

    // Runs fn with the set's flags replaced by ulFlags (when non-zero and acceptable).
    template <typename F> auto m_WithFlags(ULONG ulFlags, F fn) -> decltype(fn());

    std::list<Item> m_Items;
    std::list<Item>::iterator m_Cursor;
    BOOLEAN m_bValid = TRUE;
    BOOLEAN m_bComplete = FALSE;
};
