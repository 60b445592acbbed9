// Records from a bus child to the function device above it: the child's record queue, and the
// reader the children's test driver opens at its start.
#include "pmchildmachine.h"

#include <pmlowerstackio.h>

namespace gendrvtest {
namespace {

using namespace children;

constexpr char kRetried[] = "CPmLowerStackReader read timed out - retrying";

class LowerStack : public ChildDevices {
  protected:
    // A bus with one child whose reads are served as `read_server_type` says.
    PDEVICE_OBJECT add_bus_with_child(DWORD read_server_type) {
        ChildSpec spec = child(1);
        spec.dwords[u"ReadServerType"] = read_server_type;
        DevInst bus = add_bus(1, {{1, spec}});
        auto children = hvsim::pnp::children_of(bus);
        EXPECT_EQ(children.size(), 1u);
        return children.empty() ? nullptr : pdo_of(children[0]);
    }

    static LONG control(const std::u16string& link, ULONG code, const std::vector<UCHAR>& input) {
        hvsim::io::FileObject* file = nullptr;
        LONG status = open(u"\\??\\" + link, &file);
        if (status != STATUS_SUCCESS)
            return status;
        status = hvsim::io::device_control(file, code, input.data(), (ULONG)input.size(), nullptr, 0).status;
        EXPECT_EQ(hvsim::io::close_file(file), STATUS_SUCCESS);
        return status;
    }

    // The bus driver posts {value, data} for the reader above child 1.
    static LONG post(ULONGLONG value, const std::vector<UCHAR>& data) {
        HvgbRecordHeader header{1, 0, value};
        std::vector<UCHAR> input(sizeof header);
        std::memcpy(input.data(), &header, sizeof header);
        input.insert(input.end(), data.begin(), data.end());
        return control(u"HVGB", IOCTL_HVGB_POST_RECORD, input);
    }

    static hvsim::io::IoResult read(PDEVICE_OBJECT pdo, std::vector<UCHAR>& area) {
        return send(pdo, IRP_MJ_READ, 0, [&](hvsim::io::Irp* irp, hvsim::io::StackLocation* stack) {
            irp->AssociatedIrp.SystemBuffer = area.data();
            stack->Parameters.Read.Length = (ULONG)area.size();
        });
    }

    static void advance_ms(LONGLONG ms) {
        LARGE_INTEGER interval;
        interval.QuadPart = -ms * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }

    // Machine time passes until the children's driver has logged `count` records.
    static std::vector<std::string> records_delivered(size_t count) {
        for (int waited = 0; waited < 1000 && hvsim::debug_log::count("HVGC record ") < count; ++waited)
            advance_ms(1);
        std::vector<std::string> out;
        for (auto& line : hvsim::debug_log::lines())
            if (line.rfind("HVGC record ", 0) == 0)
                out.push_back(line.substr(12));
        return out;
    }

    static long child_traces(const std::string& line) {
        long count = 0;
        for (auto& record : hvsim::trace_log::records())
            if (record.image == kChildImage && record.text() == line)
                ++count;
        return count;
    }
};

std::vector<UCHAR> record_bytes(ULONGLONG value, const std::vector<UCHAR>& data) {
    std::vector<UCHAR> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

// The test itself reads at the child: each record is announced in the size word, and a read takes
// it only when it asks for exactly its length.
TEST_F(LowerStack, TheRecordQueueAnnouncesEachRecordAndServesExactReads) {
    install_children_ = false;
    PDEVICE_OBJECT pdo = add_bus_with_child(1);
    ASSERT_NE(pdo, nullptr);
    std::vector<UCHAR> area(16);
    // Nothing attached yet: nothing to read, nowhere to post.
    EXPECT_EQ(read(pdo, area).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(post(0x11, {1}), STATUS_UNSUCCESSFUL);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ULONG size_word = 0;
    PmNotifierRecord notifier{&event, &size_word}, half{&event, nullptr}, none{nullptr, nullptr};
    struct {
        void* input;
        ULONG length;
        LONG status;
    } const attaches[] = {
        {&notifier, 8, STATUS_INVALID_PARAMETER},
        {nullptr, 16, STATUS_INVALID_PARAMETER},
        {&half, 16, STATUS_INVALID_PARAMETER},
        {&notifier, 16, STATUS_SUCCESS},
    };
    for (auto& attach : attaches)
        EXPECT_EQ(internal(pdo, IOCTL_HVGENDRV_ATTACH_NOTIFIER, attach.input, attach.length, 0).status,
                  attach.status)
            << attach.length;

    ASSERT_EQ(post(0xA1, {1, 2, 3}), STATUS_SUCCESS);
    ASSERT_EQ(post(0xB2, {}), STATUS_SUCCESS);
    ASSERT_EQ(post(0xC3, {9}), STATUS_SUCCESS);
    EXPECT_EQ(size_word, 8u + 3);
    EXPECT_NE(KeReadStateEvent(&event), 0);

    // A read of another length leaves the record where it is.
    area.assign(10, 0);
    EXPECT_EQ(read(pdo, area).status, STATUS_BUFFER_TOO_SMALL);
    area.assign(12, 0);
    EXPECT_EQ(read(pdo, area).status, STATUS_UNSUCCESSFUL);
    struct {
        ULONGLONG value;
        std::vector<UCHAR> data;
        ULONG next_size;
    } const expected[] = {{0xA1, {1, 2, 3}, 8}, {0xB2, {}, 9}, {0xC3, {9}, 0}};
    for (auto& record : expected) {
        area.assign(8 + record.data.size(), 0);
        auto result = read(pdo, area);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, area.size());
        EXPECT_EQ(area, record_bytes(record.value, record.data));
        EXPECT_EQ(size_word, record.next_size);
    }
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    area.assign(8, 0);
    EXPECT_EQ(read(pdo, area).status, STATUS_UNSUCCESSFUL);

    // The reader detaches: a record still waiting goes with the queue, and the reader's size word
    // and event are left as "nothing announced".
    ASSERT_EQ(post(0xD4, {5}), STATUS_SUCCESS);
    EXPECT_EQ(size_word, 9u);
    EXPECT_EQ(internal(pdo, IOCTL_HVGENDRV_ATTACH_NOTIFIER, &none, 16, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(size_word, 0u);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(post(0xE5, {6}), STATUS_UNSUCCESSFUL);
    area.assign(9, 0);
    EXPECT_EQ(read(pdo, area).status, STATUS_UNSUCCESSFUL);

    hvsim::pnp::stop_tree();
    expect_unloaded_clean();
}

// The children's driver opens its reader at its start; what the bus posts reaches its delivery
// routine in order, and once the reader is gone the child no longer knows it.
TEST_F(LowerStack, PostedRecordsReachTheReaderInOrder) {
    child_function_dwords_ = {{u"ReadClientType", 1}};
    ASSERT_NE(add_bus_with_child(1), nullptr);
    EXPECT_EQ(hvsim::debug_log::count("HVGC reader opened"), 1u);

    std::vector<std::string> expected;
    for (UCHAR n = 0; n < 20; ++n) {
        std::vector<UCHAR> data(n * 3);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = (UCHAR)(n + i);
        ASSERT_EQ(post(0x5000000000ull + n, data), STATUS_SUCCESS);
        char line[64];
        std::string bytes;
        for (size_t i = 0; i < data.size() && i < 8; ++i) {
            snprintf(line, sizeof line, "%02x", data[i]);
            bytes += line;
        }
        snprintf(line, sizeof line, "%llx %zu ", 0x5000000000ull + n, data.size());
        expected.push_back(line + bytes);
    }
    EXPECT_EQ(records_delivered(expected.size()), expected);

    EXPECT_EQ(control(u"HVGC1", IOCTL_HVGC_DELETE_READER, {}), STATUS_SUCCESS);
    EXPECT_EQ(post(0x99, {1}), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(child_traces(kRetried), 0);
    hvsim::pnp::stop_tree();
    expect_unloaded_clean();
}

// The child hands reads to the bus device's read queue, where they wait: the reader cancels each
// after five seconds and sends it again, takes the record once the data arrives, and its thread
// ends when the device goes while a read waits.
TEST_F(LowerStack, AReadThatWaitsTooLongIsSentAgain) {
    child_function_dwords_ = {{u"ReadClientType", 1}};
    ASSERT_NE(add_bus_with_child(2), nullptr);
    ASSERT_EQ(post(0x77, {1, 2, 3, 4}), STATUS_SUCCESS);
    advance_ms(11000);
    EXPECT_EQ(child_traces(kRetried), 2);
    EXPECT_TRUE(records_delivered(0).empty());

    EXPECT_EQ(control(u"HVGB", IOCTL_HVGB_FEED_READS, record_bytes(0x77, {1, 2, 3, 4})), STATUS_SUCCESS);
    EXPECT_EQ(records_delivered(1), std::vector<std::string>{"77 4 01020304"});
    // The record is still announced (this child never takes it), so the next read waits below.
    advance_ms(100);
    hvsim::pnp::stop_tree();
    expect_unloaded_clean();
}

} // namespace
} // namespace gendrvtest
