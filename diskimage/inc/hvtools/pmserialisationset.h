// A kernel information set as the stream format sees it: the items of the set's list, read from and
// written to the members they point at.
#pragma once

#include <pminformationset.h>
#include <pmserialisation.h>

// Uses the set's item cursor: the set's owner serialises access to the set.
class CPmInformationSetItems : public CPmSerialisedItems {
public:
    explicit CPmInformationSetItems(CPmInformationSet& set) : m_Set(set), m_pItem(NULL) {}

    BOOLEAN m_First() override;
    BOOLEAN m_Next() override;
    ULONG m_GetType() override;
    ULONG m_GetDword() override;
    void m_SetDword(ULONG ulValue) override;
    BOOLEAN m_GetText(BOOLEAN bWide, PCVOID* ppvText, PULONG pulBytes) override;
    BOOLEAN m_SetText(BOOLEAN bWide, PCVOID pvText, ULONG ulBytes) override;
    // Writes the assertion line naming the format's header.
    void m_Refused(ULONG ulLine) override;

private:
    CPmInformationSet& m_Set;
    PmInformationItem* m_pItem;
};
