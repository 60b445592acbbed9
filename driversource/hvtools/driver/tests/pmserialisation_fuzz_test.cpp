// The stream reader against hostile input: random, mutated and truncated streams under every flag
// combination. Each stream ends right before an inaccessible page, so a read past its end faults
// in every build, not only under AddressSanitizer.
#include "pmtestsupport.h"

#include <pminformationset.h>
#include <pmserialisation.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <vector>

using namespace pmtest;

namespace {

using Bytes = std::vector<UCHAR>;

// Holds one stream at the very end of a readable page.
class GuardedStream {
public:
    GuardedStream() {
        page_ = (size_t)sysconf(_SC_PAGESIZE);
        void* area = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (area == MAP_FAILED)
            return;
        area_ = static_cast<UCHAR*>(area);
        if (mprotect(area_ + page_, page_, PROT_NONE) != 0) {
            munmap(area_, 2 * page_);
            area_ = nullptr;
        }
    }
    ~GuardedStream() {
        if (area_)
            munmap(area_, 2 * page_);
    }
    bool ready() const { return area_ != nullptr; }
    const UCHAR* place(const UCHAR* data, size_t length) {
        UCHAR* at = area_ + page_ - length;
        if (length)
            std::memcpy(at, data, length);
        return at;
    }

private:
    size_t page_ = 0;
    UCHAR* area_ = nullptr;
};

// Four DWORDs and three strings, interleaved.
class FuzzSet : public CPmInformationSet {
public:
    ULONG m_aul[4] = {};
    CPmString m_Texts[3] = {CPmString(PagedPool), CPmString(PagedPool), CPmString(PagedPool)};

    explicit FuzzSet(ULONG flags) : CPmInformationSet(nullptr) {
        m_Serialisation.m_ulFlags = flags;
        registered = m_AddDword(u"A", &m_aul[0], 0) && m_AddString(u"B", &m_Texts[0], "") &&
                     m_AddDword(u"C", &m_aul[1], 0) && m_AddString(u"D", &m_Texts[1], "") &&
                     m_AddString(u"E", &m_Texts[2], "") && m_AddDword(u"F", &m_aul[2], 0) &&
                     m_AddDword(u"G", &m_aul[3], 0);
    }
    bool registered = false;
};

Bytes serialise(FuzzSet& set) {
    Bytes out(set.m_GetSerialisedSize());
    ULONG room = (ULONG)out.size();
    EXPECT_TRUE(set.m_Serialise(out.data(), &room));
    return out;
}

class PmSerialisationFuzzTest : public PmKernelTest {
protected:
    std::mt19937 random_{20261208};
    GuardedStream guard_;

    ULONG below(ULONG n) { return std::uniform_int_distribution<ULONG>(0, n - 1)(random_); }

    void random_values(FuzzSet& set) {
        for (ULONG& v : set.m_aul)
            v = below(4) ? random_() : below(3);
        for (CPmString& text : set.m_Texts) {
            WCHAR chars[12];
            ULONG n = below(12);
            for (ULONG i = 0; i < n; ++i)
                chars[i] = below(5) ? (WCHAR)(0x20 + below(0x5F)) : (WCHAR)below(0x3000);
            UNICODE_STRING counted = {(USHORT)(n * 2), (USHORT)(n * 2), chars};
            ASSERT_EQ(STATUS_SUCCESS, text.m_AssignUnicodeString(&counted));
        }
    }

    void mutate(Bytes& stream) {
        if (stream.empty())
            return;
        switch (below(4)) {
        case 0: // a few flipped bytes
            for (ULONG n = 1 + below(3); n; --n)
                stream[below((ULONG)stream.size())] ^= (UCHAR)(1 + below(255));
            break;
        case 1: { // a length field made small, large or huge
            ULONG at = below((ULONG)stream.size());
            ULONG values[] = {0, 1, below(16), 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFC};
            ULONG v = values[below(6)];
            for (ULONG i = 0; i < 4 && at + i < stream.size(); ++i)
                stream[at + i] = (UCHAR)(v >> (8 * i));
            break;
        }
        case 2: // bytes cut out of the middle
            stream.erase(stream.begin() + below((ULONG)stream.size()), stream.end() - below(2));
            break;
        default: // NULs sprinkled in
            stream[below((ULONG)stream.size())] = 0;
            break;
        }
    }

    // Reads a stream from the guarded page; what is accepted must write out and read back
    // unchanged.
    bool read(ULONG flags, const Bytes& stream) {
        FuzzSet set(flags);
        EXPECT_TRUE(set.registered);
        const UCHAR* at = guard_.place(stream.data(), stream.size());
        ULONG length = (ULONG)stream.size();
        BOOLEAN accepted = set.m_Deserialise(at, &length);
        EXPECT_LE(length, stream.size());
        if (accepted) {
            Bytes again = serialise(set);
            FuzzSet copy(flags);
            ULONG left = (ULONG)again.size();
            EXPECT_TRUE(copy.m_Deserialise(again.data(), &left)) << "flags " << flags;
            EXPECT_EQ(0u, left);
            EXPECT_EQ(again, serialise(copy)) << "flags " << flags;
        }
        return accepted;
    }
};

} // namespace

TEST_F(PmSerialisationFuzzTest, RandomBytesNeverReadPastTheStream) {
    expect_failed_checks_ = true; // refused on purpose: the refusals write the assertion line
    ASSERT_TRUE(guard_.ready());
    for (ULONG flags = 0; flags < 32; ++flags) {
        for (int round = 0; round < 300; ++round) {
            Bytes stream(below(48));
            for (UCHAR& b : stream)
                b = below(3) ? (UCHAR)below(8) : (UCHAR)random_();
            read(flags, stream);
        }
    }
}

TEST_F(PmSerialisationFuzzTest, MutatedStreamsAreReadOrRefusedWhole) {
    expect_failed_checks_ = true; // refused on purpose: the refusals write the assertion line
    ASSERT_TRUE(guard_.ready());
    for (ULONG flags = 0; flags < 32; ++flags) {
        if (!(flags & (SERIALISE_FLAG_TERMINATOR | SERIALISE_FLAG_LENGTH_PREFIX)))
            continue; // nothing is written in these formats
        for (int round = 0; round < 200; ++round) {
            FuzzSet from(flags);
            ASSERT_TRUE(from.registered);
            random_values(from);
            Bytes stream = serialise(from);
            ASSERT_FALSE(stream.empty());
            ASSERT_TRUE(read(flags, stream)) << "flags " << flags;
            mutate(stream);
            read(flags, stream);
        }
    }
}

TEST_F(PmSerialisationFuzzTest, EveryTruncationOfAStreamIsRefused) {
    expect_failed_checks_ = true; // refused on purpose: the refusals write the assertion line
    ASSERT_TRUE(guard_.ready());
    for (ULONG flags = 0; flags < 32; ++flags) {
        if (!(flags & (SERIALISE_FLAG_TERMINATOR | SERIALISE_FLAG_LENGTH_PREFIX)))
            continue;
        for (int round = 0; round < 10; ++round) {
            FuzzSet from(flags);
            random_values(from);
            Bytes stream = serialise(from);
            for (size_t cut = 0; cut < stream.size(); ++cut)
                EXPECT_FALSE(read(flags, Bytes(stream.begin(), stream.begin() + cut)))
                    << "flags " << flags << ", " << cut << " of " << stream.size() << " bytes";
        }
    }
}
