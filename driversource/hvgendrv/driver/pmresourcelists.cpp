// The hardware resources of a functional device.
#include <pmresourcelists.h>

namespace {

typedef BOOLEAN PM_FLAGS_MATCH(USHORT usFlags);

BOOLEAN PmIsPortFlags(USHORT usFlags) { return usFlags == 0x31; }
BOOLEAN PmIsMemoryFlags(USHORT usFlags) { return usFlags == 0 || usFlags == 0x80; }
BOOLEAN PmIsLevelInterruptFlags(USHORT usFlags) { return usFlags == 0; }
BOOLEAN PmIsMessageInterruptFlags(USHORT usFlags) { return usFlags == 0x2; }
BOOLEAN PmIsDmaFlags(USHORT usFlags) { return usFlags == 0x8; }

// The n-th (1-based) descriptor of the type whose flags match; only a list of one full descriptor
// is searched.
PCM_PARTIAL_RESOURCE_DESCRIPTOR PmFindDescriptor(PCM_RESOURCE_LIST pList, UCHAR ucType, PM_FLAGS_MATCH* pfnMatch,
                                                 ULONG ulNumber) {
    if (!pList || pList->Count != 1)
        return NULL;
    PCM_PARTIAL_RESOURCE_LIST pPartial = &pList->List[0].PartialResourceList;
    // The descriptors run past the one the structure declares.
    PCM_PARTIAL_RESOURCE_DESCRIPTOR pDescriptors = reinterpret_cast<PCM_PARTIAL_RESOURCE_DESCRIPTOR>(
        reinterpret_cast<PUCHAR>(pPartial) + FIELD_OFFSET(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors));
    for (ULONG ulIndex = 0; ulIndex < pPartial->Count; ++ulIndex) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR pDescriptor = pDescriptors + ulIndex;
        if (pDescriptor->Type == ucType && pfnMatch(pDescriptor->Flags) && --ulNumber == 0)
            return pDescriptor;
    }
    return NULL;
}

struct PmResourceRule {
    PmResourceKind eKind;
    UCHAR ucType;
    PM_FLAGS_MATCH* pfnMatch;
    ULONG ulEntrySize;
};

const PmResourceRule s_aRules[] = {
    {PmResourcePort, CmResourceTypePort, PmIsPortFlags, sizeof(PmPortResource)},
    {PmResourceMemory, CmResourceTypeMemory, PmIsMemoryFlags, sizeof(PmMemoryResource)},
    {PmResourceInterrupt, CmResourceTypeInterrupt, PmIsLevelInterruptFlags, sizeof(PmInterruptResource)},
    {PmResourceMessageInterrupt, CmResourceTypeInterrupt, PmIsMessageInterruptFlags,
     sizeof(PmMessageInterruptResource)},
    {PmResourceDma, CmResourceTypeDma, PmIsDmaFlags, sizeof(PmDmaResource)},
};

} // namespace

void CPmResourceLists::m_Empty() {
    for (ULONG ulKind = 0; ulKind < PmResourceKinds; ++ulKind) {
        for (PVOID pvEntry = m_aLists[ulKind].m_RemoveHead(); pvEntry;
             pvEntry = m_aLists[ulKind].m_RemoveHead()) {
            if (ulKind == PmResourceMemory) {
                PmMemoryResource* pMemory = static_cast<PmMemoryResource*>(pvEntry);
                MmUnmapIoSpace(pMemory->m_pvVirtualAddress, pMemory->m_ulLength);
            }
            PmFreeMemory(pvEntry);
        }
    }
}

NTSTATUS CPmResourceLists::m_Parse(PCM_RESOURCE_LIST pRaw, PCM_RESOURCE_LIST pTranslated) {
    m_Empty();
    for (const PmResourceRule& rule : s_aRules) {
        for (ULONG ulNumber = 1;; ++ulNumber) {
            PCM_PARTIAL_RESOURCE_DESCRIPTOR pRawDescriptor = PmFindDescriptor(pRaw, rule.ucType, rule.pfnMatch, ulNumber);
            PCM_PARTIAL_RESOURCE_DESCRIPTOR pTranslatedDescriptor =
                PmFindDescriptor(pTranslated, rule.ucType, rule.pfnMatch, ulNumber);
            if (!pRawDescriptor || !pTranslatedDescriptor)
                break;
            PVOID pvEntry = PmAllocateZeroedMemory(rule.ulEntrySize, NonPagedPool);
            if (!pvEntry) {
                m_Empty();
                return STATUS_UNSUCCESSFUL;
            }
            switch (rule.eKind) {
            case PmResourcePort: {
                PmPortResource* pPort = static_cast<PmPortResource*>(pvEntry);
                pPort->m_ullTranslatedStart = pTranslatedDescriptor->u.Port.Start.QuadPart;
                pPort->m_ulLength = pTranslatedDescriptor->u.Port.Length;
                pPort->m_ullRawStart = pRawDescriptor->u.Port.Start.QuadPart;
                break;
            }
            case PmResourceMemory: {
                PmMemoryResource* pMemory = static_cast<PmMemoryResource*>(pvEntry);
                pMemory->m_pvVirtualAddress = MmMapIoSpace(pTranslatedDescriptor->u.Memory.Start,
                                                           pTranslatedDescriptor->u.Memory.Length, MmNonCached);
                // A range that cannot be mapped ends the parsing with what was kept so far.
                if (!pMemory->m_pvVirtualAddress) {
                    PmFreeMemory(pvEntry);
                    return STATUS_SUCCESS;
                }
                pMemory->m_ulLength = pTranslatedDescriptor->u.Memory.Length;
                pMemory->m_ullRawStart = pRawDescriptor->u.Memory.Start.QuadPart;
                break;
            }
            case PmResourceInterrupt: {
                PmInterruptResource* pInterrupt = static_cast<PmInterruptResource*>(pvEntry);
                pInterrupt->m_ulLevel = pTranslatedDescriptor->u.Interrupt.Level;
                pInterrupt->m_ulVector = pTranslatedDescriptor->u.Interrupt.Vector;
                pInterrupt->m_Affinity = pTranslatedDescriptor->u.Interrupt.Affinity;
                pInterrupt->m_ulRawLevel = pRawDescriptor->u.Interrupt.Level;
                pInterrupt->m_ulRawVector = pRawDescriptor->u.Interrupt.Vector;
                break;
            }
            case PmResourceMessageInterrupt: {
                PmMessageInterruptResource* pMessage = static_cast<PmMessageInterruptResource*>(pvEntry);
                pMessage->m_usFlags = pTranslatedDescriptor->Flags;
                pMessage->m_ulLevel = pTranslatedDescriptor->u.MessageInterrupt.Translated.Level;
                pMessage->m_ulVector = pTranslatedDescriptor->u.MessageInterrupt.Translated.Vector;
                pMessage->m_Affinity = pTranslatedDescriptor->u.MessageInterrupt.Translated.Affinity;
                pMessage->m_usRawMessageCount = pRawDescriptor->u.MessageInterrupt.Raw.MessageCount;
                pMessage->m_ulRawVector = pRawDescriptor->u.MessageInterrupt.Raw.Vector;
                pMessage->m_RawAffinity = pRawDescriptor->u.MessageInterrupt.Raw.Affinity;
                break;
            }
            case PmResourceDma: {
                PmDmaResource* pDma = static_cast<PmDmaResource*>(pvEntry);
                pDma->m_ulChannel = pTranslatedDescriptor->u.Dma.Channel;
                pDma->m_ulPort = pTranslatedDescriptor->u.Dma.Port;
                break;
            }
            default:
                break;
            }
            if (!m_aLists[rule.eKind].m_Append(pvEntry)) {
                if (rule.eKind == PmResourceMemory)
                    MmUnmapIoSpace(static_cast<PmMemoryResource*>(pvEntry)->m_pvVirtualAddress,
                                   static_cast<PmMemoryResource*>(pvEntry)->m_ulLength);
                PmFreeMemory(pvEntry);
                m_Empty();
                return STATUS_UNSUCCESSFUL;
            }
        }
    }
    return STATUS_SUCCESS;
}

PVOID CPmResourceLists::m_GetElement(ULONG ulKind, ULONG ulNumber) {
    if (ulKind >= PmResourceKinds || ulNumber == 0 || ulNumber > m_aLists[ulKind].m_GetCount())
        return NULL;
    return m_aLists[ulKind].m_GetAt(ulNumber);
}
