// The interface record: its byte layout, the control codes' buffer rules, the builder's gates and
// the calls that cross it in both directions.
#include <hviserial.h>

#include <hvsim/debug_log.h>

#include <pmkerneltest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char kAssertion[] = "ASSERT at - diskimage\\interfaces\\hviserial\\hviserial.h";

// Every allocation is given back by the end of a test.
class HvISerialTest : public gendrvtest::KernelTest {
  protected:
    void TearDown() override {
        EXPECT_EQ(0u, tracked_allocations());
        gendrvtest::KernelTest::TearDown();
    }

    static ULONG tracked_allocations() {
        ULONG blocks = 0, next_slot = 0;
        g_pPmMemoryPool->m_QueryTracking(&blocks, &next_slot, nullptr);
        return (blocks - 1) * (PM_TRACKING_SLOTS - 1) + next_slot - 1;
    }
};

// A provider that answers every operation with `answer` and writes down what it was given.
class RecordingProvider : public CISerialProvider {
  public:
    BOOLEAN answer = TRUE;
    std::vector<std::string> calls;

    void note(const char* name, std::initializer_list<ULONG> arguments = {}) {
        std::string line = name;
        for (ULONG value : arguments)
            line += " " + std::to_string(value);
        calls.push_back(line);
    }

    BOOLEAN m_ConnectCallback() override { return note("connect"), answer; }
    BOOLEAN m_DisconnectCallback() override { return note("disconnect"), answer; }
    BOOLEAN m_PortWriteCallback(CPmBuffer* pBuffer) override {
        note("write", {pBuffer->m_GetLength()});
        pBuffer->m_Delete();
        return answer;
    }
    BOOLEAN m_RtsCallback(BOOLEAN b) override { return note("rts", {b}), answer; }
    BOOLEAN m_DtrCallback(BOOLEAN b) override { return note("dtr", {b}), answer; }
    BOOLEAN m_CommSettingsCallback(ULONG d, ULONG p, ULONG s) override {
        return note("comm", {d, p, s}), answer;
    }
    BOOLEAN m_BaudrateCallback(ULONG r) override { return note("baud", {r}), answer; }
    BOOLEAN m_TriggerLevelsCallback(UCHAR t, UCHAR r, UCHAR f) override {
        return note("trigger", {t, r, f}), answer;
    }
    BOOLEAN m_HandshakingSettingsCallback(BOOLEAN b1, BOOLEAN b2, BOOLEAN b3, BOOLEAN b4, BOOLEAN b5,
                                          BOOLEAN b6, BOOLEAN b7, BOOLEAN b8, BOOLEAN b9) override {
        return note("handshake", {b1, b2, b3, b4, b5, b6, b7, b8, b9}), answer;
    }
    BOOLEAN m_InternalLoopbackCallback(BOOLEAN b) override { return note("loopback", {b}), FALSE; }
    BOOLEAN m_DuplexModeSettingsCallback(ULONG m, BOOLEAN c) override {
        return note("duplex", {m, c}), answer;
    }
    BOOLEAN m_ReadEepromCallback(ULONG o, ULONG l, PUCHAR) override {
        return note("read-eeprom", {o, l}), FALSE;
    }
    BOOLEAN m_WriteEepromCallback(ULONG o, ULONG l, const UCHAR*) override {
        return note("write-eeprom", {o, l}), FALSE;
    }
    BOOLEAN m_SetBreakCallback(BOOLEAN b) override { return note("break", {b}), answer; }
    BOOLEAN m_PurgeCallback(BOOLEAN t, BOOLEAN r) override { return note("purge", {t, r}), answer; }
    BOOLEAN m_IsBaudRateSupportedCallback(ULONG r) override { return note("supported", {r}), r >= 184; }
    BOOLEAN m_SetSpecialCharactersCallback(UCHAR b, UCHAR e, UCHAR er, UCHAR ev, UCHAR xon,
                                           UCHAR xoff) override {
        return note("chars", {b, e, er, ev, xon, xoff}), answer;
    }
    BOOLEAN m_LsrMstInsertCallback(UCHAR c) override { return note("lsrmst", {c}), answer; }
    BOOLEAN m_PretendXoffReceivedCallback(BOOLEAN b) override { return note("pretend-xoff", {b}), answer; }
    BOOLEAN m_SendImmediateCharacterCallback(UCHAR c) override { return note("immediate", {c}), answer; }
    BOOLEAN m_GetFifoSizesCallback(PULONG pulTransmit, PULONG pulReceive) override {
        note("fifo");
        *pulTransmit = 128;
        *pulReceive = 256;
        return TRUE;
    }
    BOOLEAN m_UpdateModemStatus() override { return note("modem"), TRUE; }
    BOOLEAN m_SendXonXoffCallback(BOOLEAN b) override { return note("xonxoff", {b}), answer; }

    // The record of this bus driver: ask per rate, no EEPROM or LSR/MST operations, all six signals.
    ISerial* build(BOOLEAN duplex) {
        const BOOLEAN signals[HVISERIAL_SIGNALS] = {1, 1, 1, 1, 1, 1};
        return m_BuildISerial(HVISERIAL_VERSION, duplex, HVISERIAL_ASK_EACH_BAUD_RATE, 0, 0, 0, signals);
    }
};

// What the port driver's side registers: a sink that writes down every callback.
struct Sink {
    std::vector<std::string> calls;
    ULONG free_space = 1000;

    static Sink* of(PVOID context) { return static_cast<Sink*>(context); }
    void note(const std::string& line) { calls.push_back(line); }

    static void bind(ISerial* record, Sink* sink) {
        record->m_pvCallbackContext = sink;
        HvISerialCallbacks& c = record->m_Callbacks;
        c.m_Read = [](PVOID context, CPmBuffer* pBuffer) {
            of(context)->note(
                "read " + std::string(reinterpret_cast<char*>(pBuffer->m_GetData()), pBuffer->m_GetLength()));
            pBuffer->m_Delete();
            return (BOOLEAN)TRUE;
        };
        c.m_LineStatusCallback = [](PVOID context, BOOLEAN b1, BOOLEAN b2, BOOLEAN b3, BOOLEAN b4, BOOLEAN b5,
                                    BOOLEAN b6, BOOLEAN b7, BOOLEAN b8) {
            char line[32];
            snprintf(line, sizeof line, "line %d%d%d%d%d%d%d%d", b1, b2, b3, b4, b5, b6, b7, b8);
            of(context)->note(line);
            return (BOOLEAN)TRUE;
        };
        c.m_ModemStatusCallback = [](PVOID context, BOOLEAN cts, BOOLEAN dsr, BOOLEAN ri, BOOLEAN trailing,
                                     BOOLEAN dcd) {
            char line[32];
            snprintf(line, sizeof line, "modem %d%d%d%d%d", cts, dsr, ri, trailing, dcd);
            of(context)->note(line);
            return (BOOLEAN)TRUE;
        };
        c.m_DataWrittenCallback = [](PVOID context, ULONG count) {
            of(context)->note("written " + std::to_string(count));
            return (BOOLEAN)TRUE;
        };
        c.m_AvailableReceiveBufferSizeCallback = [](PVOID context, ULONG incoming, ULONG reserve,
                                                    PULONG available) {
            of(context)->note("space " + std::to_string(incoming) + " " + std::to_string(reserve));
            *available = of(context)->free_space;
            return (BOOLEAN)TRUE;
        };
    }
};

template <class T> T at(const ISerial* record, size_t offset) {
    T value;
    std::memcpy(&value, reinterpret_cast<const UCHAR*>(record) + offset, sizeof value);
    return value;
}

CPmBuffer* new_buffer(const char* text) {
    auto* buffer = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
    if (buffer && !buffer->m_Assign(text, (ULONG)std::strlen(text))) {
        buffer->m_Delete();
        buffer = nullptr;
    }
    return buffer;
}

TEST_F(HvISerialTest, ControlCodesAndRequestsHaveTheirWindowsValues) {
    EXPECT_EQ(0x8006E004u, (ULONG)IOCTL_CREATE_HVISERIAL);
    EXPECT_EQ(0x8006E008u, (ULONG)IOCTL_RELEASE_HVISERIAL);

    CreateHvISerialRequestStruct create;
    HvISerialInitCreateRequest(&create, 3);
    const UCHAR create_bytes[8] = {4, 0, 0, 0, 3, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(create_bytes, &create, 8));

    ReleaseHvISerialRequestStruct release;
    std::memset(&release, 0xEE, sizeof release);
    auto* record = reinterpret_cast<ISerial*>(0x1122334455667788ull);
    HvISerialInitReleaseRequest(&release, 2, record);
    const UCHAR release_bytes[16] = {2, 0, 0, 0, 0, 0, 0, 0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(0, std::memcmp(release_bytes, &release, 16));
}

TEST_F(HvISerialTest, CreateBuffersMustBeEightBytesEachWay) {
    UCHAR in[16] = {}, out[16] = {};
    EXPECT_EQ(STATUS_SUCCESS, HvISerialCheckCreateBuffers(in, 8, out, 8));
    for (ULONG input_length : {0u, 7u, 9u, 16u})
        EXPECT_EQ(STATUS_INVALID_PARAMETER, HvISerialCheckCreateBuffers(in, input_length, out, 8))
            << input_length;
    for (ULONG output_length : {0u, 4u, 7u, 9u, 16u})
        EXPECT_EQ(STATUS_INVALID_PARAMETER, HvISerialCheckCreateBuffers(in, 8, out, output_length))
            << output_length;
    // Lengths given without the buffers behind them.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, HvISerialCheckCreateBuffers(nullptr, 8, out, 8));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, HvISerialCheckCreateBuffers(in, 8, nullptr, 8));
}

TEST_F(HvISerialTest, ReleaseBuffersMustBeSixteenBytesIn) {
    UCHAR in[32] = {};
    EXPECT_EQ(STATUS_SUCCESS, HvISerialCheckReleaseBuffers(in, 16));
    for (ULONG input_length : {0u, 8u, 15u, 17u, 32u})
        EXPECT_EQ(STATUS_INVALID_PARAMETER, HvISerialCheckReleaseBuffers(in, input_length)) << input_length;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, HvISerialCheckReleaseBuffers(nullptr, 16));
}

TEST_F(HvISerialTest, AnswerOfACreateGivesTheRecordOnlyForEightBytesOfSuccess) {
    ISerial record;
    CreateHvISerialResponseStruct response = {&record};
    BOOLEAN null_record = TRUE;
    EXPECT_EQ(&record, HvISerialRecordOfAnswer(STATUS_SUCCESS, 8, &response, &null_record));
    EXPECT_FALSE(null_record);
    // A bus driver that returns 4 bytes, or fails, gives no record.
    EXPECT_EQ(nullptr, HvISerialRecordOfAnswer(STATUS_SUCCESS, 4, &response, &null_record));
    EXPECT_FALSE(null_record);
    EXPECT_EQ(nullptr, HvISerialRecordOfAnswer(STATUS_UNSUCCESSFUL, 8, &response));
    EXPECT_EQ(nullptr, HvISerialRecordOfAnswer(STATUS_SUCCESS, 8, nullptr));
    response.pISerial = nullptr;
    EXPECT_EQ(nullptr, HvISerialRecordOfAnswer(STATUS_SUCCESS, 8, &response, &null_record));
    EXPECT_TRUE(null_record);
}

TEST_F(HvISerialTest, DuplexPortsFollowThePortTypeBitOfTheirNumber) {
    EXPECT_TRUE(HvISerialIsDuplexPort(4, 3));
    EXPECT_FALSE(HvISerialIsDuplexPort(4, 1));
    EXPECT_FALSE(HvISerialIsDuplexPort(4, 2));
    EXPECT_TRUE(HvISerialIsDuplexPort(0x80000000u, 32));
    // Port numbers without a bit are never duplex ports.
    EXPECT_FALSE(HvISerialIsDuplexPort(0xFFFFFFFFu, 0));
    EXPECT_FALSE(HvISerialIsDuplexPort(0xFFFFFFFFu, 33));
}

TEST_F(HvISerialTest, BuiltRecordHasTheInterfaceBytesAtTheirOffsets) {
    RecordingProvider provider;
    ISerial* record = provider.build(TRUE);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(record, provider.m_GetISerial());

    EXPECT_NE(nullptr, at<void*>(record, 0x000)); // the class table
    EXPECT_EQ((void*)&provider, at<void*>(record, 0x008));
    EXPECT_EQ(nullptr, at<void*>(record, 0x010));
    EXPECT_EQ(1, at<UCHAR>(record, 0x018));
    EXPECT_EQ(0xFFFFFFFFu, at<ULONG>(record, 0x01C));
    for (size_t offset : {0x020, 0x021, 0x022})
        EXPECT_EQ(0, at<UCHAR>(record, offset)) << offset;
    for (size_t offset = 0x023; offset < 0x029; offset++)
        EXPECT_EQ(1, at<UCHAR>(record, offset)) << offset;
    for (size_t offset : {0x019, 0x01A, 0x01B, 0x029, 0x02F})
        EXPECT_EQ(0, at<UCHAR>(record, offset)) << offset;

    // Operations 0 to 22 from the provider's entries; 11, 12 and 17 are gated off.
    const auto* entries = reinterpret_cast<void* const*>(&provider.m_Entries);
    for (int i = 0; i < HVISERIAL_OPERATIONS; i++) {
        ASSERT_NE(nullptr, entries[i]) << "entry " << i;
        void* expected = (i == 11 || i == 12 || i == 17) ? nullptr : entries[i];
        EXPECT_EQ(expected, at<void*>(record, 0x030 + 8 * i)) << "operation " << i;
    }
    for (int i = 0; i < HVISERIAL_CALLBACKS; i++)
        EXPECT_EQ(nullptr, at<void*>(record, 0x0E8 + 8 * i)) << "callback " << i;
}

TEST_F(HvISerialTest, GatedOperationsFollowTheirBytes) {
    RecordingProvider rs232;
    ISerial* record = rs232.build(FALSE);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(0, record->m_bDuplexOperation);
    EXPECT_EQ(nullptr, record->m_Operations.m_DuplexModeSettingsCallback);

    RecordingProvider all;
    ISerial* full = all.m_BuildISerial(HVISERIAL_VERSION, 1, 0x20000, 1, 1, 1, nullptr);
    ASSERT_NE(nullptr, full);
    EXPECT_EQ(1, full->m_bDuplexOperation);
    EXPECT_EQ(1, full->m_bLsrMstInsertOperation);
    EXPECT_EQ(1, full->m_bReadEepromOperation);
    EXPECT_EQ(1, full->m_bWriteEepromOperation);
    EXPECT_NE(nullptr, full->m_Operations.m_DuplexModeSettingsCallback);
    EXPECT_NE(nullptr, full->m_Operations.m_ReadEepromCallback);
    EXPECT_NE(nullptr, full->m_Operations.m_WriteEepromCallback);
    EXPECT_NE(nullptr, full->m_Operations.m_LsrMstInsertCallback);
    EXPECT_EQ(0x20000u, full->m_ulSupportedBaudRates);
    for (BOOLEAN signal : full->m_abSignals)
        EXPECT_EQ(0, signal);
    EXPECT_FALSE(hvsim::debug_log::contains(kAssertion));

    // A gate byte that is neither 0 nor 1 is refused: byte and operation agree on "absent".
    RecordingProvider odd;
    ISerial* refused = odd.m_BuildISerial(HVISERIAL_VERSION, 2, 0, 0, 0, 0, nullptr);
    ASSERT_NE(nullptr, refused);
    EXPECT_EQ(0, refused->m_bDuplexOperation);
    EXPECT_EQ(nullptr, refused->m_Operations.m_DuplexModeSettingsCallback);
    EXPECT_EQ(1u, hvsim::debug_log::count(kAssertion));
}

TEST_F(HvISerialTest, ARecordIsBuiltOnceAndOnlyForVersionFour) {
    RecordingProvider provider;
    EXPECT_EQ(nullptr, provider.m_BuildISerial(3, 0, 0, 0, 0, 0, nullptr));
    EXPECT_EQ(nullptr, provider.m_BuildISerial(5, 0, 0, 0, 0, 0, nullptr));
    EXPECT_FALSE(hvsim::debug_log::contains(kAssertion));
    EXPECT_EQ(0u, tracked_allocations());

    ISerial* first = provider.build(FALSE);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(nullptr, provider.build(TRUE));
    EXPECT_EQ(1u, hvsim::debug_log::count(kAssertion));
    EXPECT_EQ(first, provider.m_GetISerial());
    EXPECT_EQ(1u, tracked_allocations());
}

TEST_F(HvISerialTest, RecordGoesWithItsProvider) {
    {
        RecordingProvider provider;
        ASSERT_NE(nullptr, provider.build(FALSE));
        EXPECT_EQ(1u, tracked_allocations());
    }
    EXPECT_EQ(0u, tracked_allocations());

    RecordingProvider provider;
    ASSERT_NE(nullptr, provider.build(FALSE));
    provider.m_DeleteISerial();
    EXPECT_EQ(nullptr, provider.m_GetISerial());
    EXPECT_EQ(0u, tracked_allocations());
    // After a delete the provider may build again.
    EXPECT_NE(nullptr, provider.build(FALSE));
}

TEST_F(HvISerialTest, OperationsReachTheProviderWithTheirArgumentsInOrder) {
    RecordingProvider provider;
    ISerial* record = provider.build(TRUE);
    ASSERT_NE(nullptr, record);
    using Ops = HvISerialOperations;

    EXPECT_TRUE(HvISerialCallOperation(record, &Ops::m_ConnectCallback));
    EXPECT_TRUE(HvISerialCallOperation(record, &Ops::m_BaudrateCallback, 921600u));
    EXPECT_TRUE(HvISerialCallOperation(record, &Ops::m_CommSettingsCallback, 3u, 2u, 1u));
    EXPECT_TRUE(
        HvISerialCallOperation(record, &Ops::m_TriggerLevelsCallback, (UCHAR)10, (UCHAR)75, (UCHAR)85));
    EXPECT_TRUE(HvISerialCallOperation(record, &Ops::m_HandshakingSettingsCallback, (BOOLEAN)1, (BOOLEAN)0,
                                       (BOOLEAN)0, (BOOLEAN)1, (BOOLEAN)1, (BOOLEAN)0, (BOOLEAN)0, (BOOLEAN)1,
                                       (BOOLEAN)1));
    EXPECT_TRUE(HvISerialCallOperation(record, &Ops::m_DuplexModeSettingsCallback, 4u, (BOOLEAN)1));
    EXPECT_TRUE(HvISerialCallOperation(record, &Ops::m_SetSpecialCharactersCallback, (UCHAR)0, (UCHAR)0x1A,
                                       (UCHAR)0x3F, (UCHAR)0x7E, (UCHAR)0x11, (UCHAR)0x13));
    EXPECT_TRUE(HvISerialCallOperation(record, &Ops::m_PurgeCallback, (BOOLEAN)1, (BOOLEAN)0));
    EXPECT_TRUE(HvISerialCallOperation(record, &Ops::m_IsBaudRateSupportedCallback, 300u));
    EXPECT_FALSE(HvISerialCallOperation(record, &Ops::m_IsBaudRateSupportedCallback, 150u));
    EXPECT_FALSE(HvISerialCallOperation(record, &Ops::m_InternalLoopbackCallback, (BOOLEAN)1));
    ULONG transmit = 0, receive = 0;
    EXPECT_TRUE(HvISerialCallOperation(record, &Ops::m_GetFifoSizesCallback, &transmit, &receive));
    EXPECT_EQ(128u, transmit);
    EXPECT_EQ(256u, receive);
    CPmBuffer* data = new_buffer("hello");
    ASSERT_NE(nullptr, data);
    EXPECT_TRUE(HvISerialCallOperation(record, &Ops::m_PortWriteCallback, data));
    EXPECT_TRUE(HvISerialCallOperation(record, &Ops::m_SendXonXoffCallback, (BOOLEAN)1));
    provider.answer = FALSE;
    EXPECT_FALSE(HvISerialCallOperation(record, &Ops::m_DisconnectCallback));

    const std::vector<std::string> expected = {"connect",
                                               "baud 921600",
                                               "comm 3 2 1",
                                               "trigger 10 75 85",
                                               "handshake 1 0 0 1 1 0 0 1 1",
                                               "duplex 4 1",
                                               "chars 0 26 63 126 17 19",
                                               "purge 1 0",
                                               "supported 300",
                                               "supported 150",
                                               "loopback 1",
                                               "fifo",
                                               "write 5",
                                               "xonxoff 1",
                                               "disconnect"};
    EXPECT_EQ(expected, provider.calls);
}

TEST_F(HvISerialTest, MissingOperationOrProviderCountsAsAFailedCall) {
    RecordingProvider provider;
    ISerial* record = provider.build(FALSE);
    ASSERT_NE(nullptr, record);
    using Ops = HvISerialOperations;

    // Gated off in this record.
    EXPECT_FALSE(HvISerialCallOperation(record, &Ops::m_DuplexModeSettingsCallback, 1u, (BOOLEAN)0));
    EXPECT_FALSE(HvISerialCallOperation(record, &Ops::m_LsrMstInsertCallback, (UCHAR)0xFF));
    UCHAR eeprom[4];
    EXPECT_FALSE(HvISerialCallOperation(record, &Ops::m_ReadEepromCallback, 0u, 4u, eeprom));
    EXPECT_FALSE(HvISerialCallOperation((const ISerial*)nullptr, &Ops::m_ConnectCallback));
    record->m_pProvider = nullptr;
    EXPECT_FALSE(HvISerialCallOperation(record, &Ops::m_ConnectCallback));
    EXPECT_TRUE(provider.calls.empty());
}

TEST_F(HvISerialTest, CallbacksReachThePortDriverOnlyOnceBound) {
    RecordingProvider provider;
    ISerial* record = provider.build(FALSE);
    ASSERT_NE(nullptr, record);
    using Cbs = HvISerialCallbacks;

    // Before the port driver has written its slots nothing is called, and a buffer stays with the caller.
    BOOLEAN called = TRUE;
    EXPECT_FALSE(provider.m_CallBack(&Cbs::m_DataWrittenCallback, &called, 4096u));
    EXPECT_FALSE(called);

    Sink sink;
    Sink::bind(record, &sink);
    EXPECT_TRUE(provider.m_CallBack(&Cbs::m_DataWrittenCallback, &called, 4096u));
    EXPECT_TRUE(called);
    CPmBuffer* data = new_buffer("abc");
    ASSERT_NE(nullptr, data);
    EXPECT_TRUE(provider.m_CallBack(&Cbs::m_Read, &called, data));
    EXPECT_TRUE(provider.m_CallBack(&Cbs::m_LineStatusCallback, nullptr, (BOOLEAN)1, (BOOLEAN)0, (BOOLEAN)1,
                                    (BOOLEAN)0, (BOOLEAN)1, (BOOLEAN)1, (BOOLEAN)0, (BOOLEAN)0));
    EXPECT_TRUE(provider.m_CallBack(&Cbs::m_ModemStatusCallback, nullptr, (BOOLEAN)1, (BOOLEAN)1, (BOOLEAN)0,
                                    (BOOLEAN)1, (BOOLEAN)0));
    ULONG available = 0;
    EXPECT_TRUE(
        provider.m_CallBack(&Cbs::m_AvailableReceiveBufferSizeCallback, nullptr, 62u, 318u, &available));
    EXPECT_EQ(1000u, available);
    // Slots the sink left empty are skipped.
    EXPECT_FALSE(provider.m_CallBack(&Cbs::m_XoffSentCallback, &called, (BOOLEAN)1));
    EXPECT_FALSE(called);

    const std::vector<std::string> expected = {"written 4096", "read abc", "line 10101100", "modem 11010",
                                               "space 62 318"};
    EXPECT_EQ(expected, sink.calls);

    // A null context silences every callback.
    record->m_pvCallbackContext = nullptr;
    EXPECT_FALSE(provider.m_CallBack(&Cbs::m_DataWrittenCallback, &called, 1u));
    EXPECT_FALSE(called);
    EXPECT_EQ(5u, sink.calls.size());
    EXPECT_FALSE(hvsim::debug_log::contains(kAssertion));

    // Without a record the bus side's use is an assertion.
    provider.m_DeleteISerial();
    EXPECT_FALSE(provider.m_CallBack(&Cbs::m_DataWrittenCallback, &called, 1u));
    EXPECT_FALSE(called);
    EXPECT_EQ(1u, hvsim::debug_log::count(kAssertion));
}

} // namespace
