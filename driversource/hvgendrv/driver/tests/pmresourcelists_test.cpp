// The resource lists of a functional device: which descriptors are kept, in which order, and
// that memory ranges are mapped and unmapped again.
#include "pmkerneltest.h"

#include <pmresourcelists.h>

#include <algorithm>
#include <vector>

namespace gendrvtest {
namespace {

// A CM_RESOURCE_LIST with `full` full descriptors, the first holding the partial descriptors.
class ResourceList {
public:
    explicit ResourceList(std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> partials, ULONG full = 1)
        : bytes_(sizeof(CM_RESOURCE_LIST) + partials.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR)) {
        list()->Count = full;
        list()->List[0].PartialResourceList.Count = (ULONG)partials.size();
        auto* descriptors = reinterpret_cast<CM_PARTIAL_RESOURCE_DESCRIPTOR*>(
            bytes_.data() + FIELD_OFFSET(CM_RESOURCE_LIST, List) + FIELD_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
            FIELD_OFFSET(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors));
        std::copy(partials.begin(), partials.end(), descriptors);
    }
    PCM_RESOURCE_LIST list() { return reinterpret_cast<PCM_RESOURCE_LIST>(bytes_.data()); }

private:
    std::vector<UCHAR> bytes_;
};

CM_PARTIAL_RESOURCE_DESCRIPTOR port(USHORT flags, LONGLONG start, ULONG length) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypePort;
    d.Flags = flags;
    d.u.Port.Start.QuadPart = start;
    d.u.Port.Length = length;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR memory(USHORT flags, LONGLONG start, ULONG length) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeMemory;
    d.Flags = flags;
    d.u.Memory.Start.QuadPart = start;
    d.u.Memory.Length = length;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR interrupt(USHORT flags, ULONG level, ULONG vector) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeInterrupt;
    d.Flags = flags;
    d.u.Interrupt.Level = level;
    d.u.Interrupt.Vector = vector;
    d.u.Interrupt.Affinity = 1;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR dma(USHORT flags, ULONG channel) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeDma;
    d.Flags = flags;
    d.u.Dma.Channel = channel;
    d.u.Dma.Port = 7;
    return d;
}

class ResourceLists : public KernelTest {};

TEST_F(ResourceLists, KeepsTheDescriptorsOfEachKindInOrder) {
    ResourceList raw({port(0x31, 0x300, 8), port(0x11, 0x400, 8), port(0x31, 0x500, 4), interrupt(0, 5, 0x35),
                      interrupt(0x2, 6, 0x36), dma(0x8, 3), dma(0, 4)});
    ResourceList translated({port(0x31, 0x1300, 8), port(0x11, 0x1400, 8), port(0x31, 0x1500, 4), interrupt(0, 15, 0x45),
                             interrupt(0x2, 16, 0x46), dma(0x8, 13), dma(0, 14)});
    CPmResourceLists lists;
    ASSERT_EQ(lists.m_Parse(raw.list(), translated.list()), STATUS_SUCCESS);

    auto* first = static_cast<PmPortResource*>(lists.m_GetElement(PmResourcePort, 1));
    auto* second = static_cast<PmPortResource*>(lists.m_GetElement(PmResourcePort, 2));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->m_ullTranslatedStart, 0x1300u);
    EXPECT_EQ(first->m_ullRawStart, 0x300u);
    EXPECT_EQ(second->m_ullTranslatedStart, 0x1500u); // flags 0x11 are not kept
    EXPECT_EQ(lists.m_GetElement(PmResourcePort, 3), nullptr);
    EXPECT_EQ(lists.m_GetElement(PmResourcePort, 0), nullptr);

    auto* level = static_cast<PmInterruptResource*>(lists.m_GetElement(PmResourceInterrupt, 1));
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(level->m_ulLevel, 15u);
    EXPECT_EQ(level->m_ulRawVector, 0x35u);
    EXPECT_EQ(lists.m_GetElement(PmResourceInterrupt, 2), nullptr);
    auto* message = static_cast<PmMessageInterruptResource*>(lists.m_GetElement(PmResourceMessageInterrupt, 1));
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->m_usFlags, 0x2);
    EXPECT_EQ(message->m_ulLevel, 16u);
    auto* channel = static_cast<PmDmaResource*>(lists.m_GetElement(PmResourceDma, 1));
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channel->m_ulChannel, 13u);
    EXPECT_EQ(lists.m_GetElement(PmResourceDma, 2), nullptr);
    EXPECT_EQ(lists.m_GetElement(PmResourceKinds, 1), nullptr);
}

TEST_F(ResourceLists, MapsMemoryAndUnmapsItWhenParsedAgain) {
    ResourceList raw({memory(0, 0xF0000000, 0x1000), memory(0x80, 0xF0001000, 0x100), memory(0x4, 0xF0002000, 0x10)});
    CPmResourceLists lists;
    ASSERT_EQ(lists.m_Parse(raw.list(), raw.list()), STATUS_SUCCESS);
    auto* range = static_cast<PmMemoryResource*>(lists.m_GetElement(PmResourceMemory, 1));
    ASSERT_NE(range, nullptr);
    ASSERT_NE(range->m_pvVirtualAddress, nullptr);
    EXPECT_EQ(range->m_ulLength, 0x1000u);
    static_cast<volatile UCHAR*>(range->m_pvVirtualAddress)[0xFFF] = 1; // the whole range is usable
    EXPECT_NE(lists.m_GetElement(PmResourceMemory, 2), nullptr);
    EXPECT_EQ(lists.m_GetElement(PmResourceMemory, 3), nullptr);

    // A new start replaces what the last one gave.
    ResourceList none({});
    ASSERT_EQ(lists.m_Parse(none.list(), none.list()), STATUS_SUCCESS);
    EXPECT_EQ(lists.m_GetElement(PmResourceMemory, 1), nullptr);
}

TEST_F(ResourceLists, OnlyAListOfOneFullDescriptorIsSearched) {
    ResourceList two({port(0x31, 0x300, 8)}, 2);
    CPmResourceLists lists;
    ASSERT_EQ(lists.m_Parse(two.list(), two.list()), STATUS_SUCCESS);
    EXPECT_EQ(lists.m_GetElement(PmResourcePort, 1), nullptr);
    // A USB device gets no lists at all.
    ASSERT_EQ(lists.m_Parse(nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(lists.m_GetElement(PmResourcePort, 1), nullptr);
}

TEST_F(ResourceLists, ADescriptorMissingFromTheTranslatedListIsNotKept) {
    ResourceList raw({port(0x31, 0x300, 8), port(0x31, 0x500, 8)});
    ResourceList translated({port(0x31, 0x1300, 8)});
    CPmResourceLists lists;
    ASSERT_EQ(lists.m_Parse(raw.list(), translated.list()), STATUS_SUCCESS);
    EXPECT_NE(lists.m_GetElement(PmResourcePort, 1), nullptr);
    EXPECT_EQ(lists.m_GetElement(PmResourcePort, 2), nullptr);
}

} // namespace
} // namespace gendrvtest
