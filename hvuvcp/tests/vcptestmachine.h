// The port object's test bench: a machine on the virtual clock with a small port driver built into
// this program ("HvUVcpTest": the device framework and the port object, opened, closed and written
// through the framework's queues), bound either to a scripted record provider that sits below it
// as a lower filter ("HvUVcpScript"), or to the real bus driver's port children.
#pragma once

#include <hvsim/io.h>
#include <hvsim/machine.h>
#include <hvsim/pnp.h>
#include <wdm.h>

#include <ntddser.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/machine_test.h"
#include "vcp.h"

namespace vcptest {

using Bytes = std::vector<UCHAR>;
Bytes bytes_of(const std::string& text);

// ---- The scripted provider ----------------------------------------------------------------------

// A port of a pretend bus driver: it answers every operation as the test says, writes down each
// call, keeps what was written, and calls the port driver back when the test asks.
class ScriptedPort : public CISerialProvider {
public:
    ScriptedPort();

    // What the port driver did, one line a call ("Baud 9600", "Rts 0", "Write 3"...).
    std::vector<std::string> calls();
    bool called(const std::string& line);
    void forget_calls();
    Bytes take_written();
    // Calls made at a raised IRQL that must run at PASSIVE_LEVEL.
    int raised_calls() const { return raised_.load(); }

    // Callbacks into the port driver, as the bus driver makes them (at PASSIVE_LEVEL).
    BOOLEAN receive(const Bytes& data);
    BOOLEAN line_status(bool overrun, bool parity, bool framing, bool brk, bool thre = true, bool temt = true);
    BOOLEAN modem_status(bool cts, bool dsr, bool ri, bool ri_trailing, bool dcd);
    BOOLEAN data_written(ULONG count);
    BOOLEAN immediate_sent();
    ULONG free_space(ULONG incoming, ULONG reserve = 318);

    // Answers.
    std::atomic<bool> fail_baud{false};
    std::atomic<bool> fail_comm{false};
    std::atomic<bool> ack_writes{false};
    std::atomic<ULONG> lowest_rate{183};
    // RTS changes take this long (machine time), and say in the filter's log when they return.
    std::atomic<ULONG> rts_delay_ms{0};
    ULONG modem_bits = 0; // reported by m_UpdateModemStatus: 0x10 CTS, 0x20 DSR, 0x40 RI, 0x80 DCD

    BOOLEAN m_ConnectCallback() override;
    BOOLEAN m_DisconnectCallback() override;
    BOOLEAN m_PortWriteCallback(CPmBuffer* pBuffer) override;
    BOOLEAN m_RtsCallback(BOOLEAN bRts) override;
    BOOLEAN m_DtrCallback(BOOLEAN bDtr) override;
    BOOLEAN m_CommSettingsCallback(ULONG ulDataBits, ULONG ulParity, ULONG ulStopBits) override;
    BOOLEAN m_BaudrateCallback(ULONG ulBaudRate) override;
    BOOLEAN m_TriggerLevelsCallback(UCHAR ucTransmit, UCHAR ucReceive, UCHAR ucFlowControl) override;
    BOOLEAN m_HandshakingSettingsCallback(BOOLEAN bCtsOutput, BOOLEAN bRtsInput, BOOLEAN bDsrOutput,
                                          BOOLEAN bDtrInput, BOOLEAN bDsrSensitivity, BOOLEAN bRtsToggle,
                                          BOOLEAN bXonXoffOutput, BOOLEAN bXonXoffInput,
                                          BOOLEAN bXoffContinue) override;
    BOOLEAN m_InternalLoopbackCallback(BOOLEAN bLoopback) override;
    BOOLEAN m_DuplexModeSettingsCallback(ULONG ulDuplexMode, BOOLEAN bCtsTrue) override;
    BOOLEAN m_ReadEepromCallback(ULONG ulOffset, ULONG ulLength, PUCHAR pucBuffer) override;
    BOOLEAN m_WriteEepromCallback(ULONG ulOffset, ULONG ulLength, const UCHAR* pucBytes) override;
    BOOLEAN m_SetBreakCallback(BOOLEAN bBreakOn) override;
    BOOLEAN m_PurgeCallback(BOOLEAN bTransmit, BOOLEAN bReceive) override;
    BOOLEAN m_IsBaudRateSupportedCallback(ULONG ulBaudRate) override;
    BOOLEAN m_SetSpecialCharactersCallback(UCHAR ucBreak, UCHAR ucEof, UCHAR ucError, UCHAR ucEvent, UCHAR ucXon,
                                           UCHAR ucXoff) override;
    BOOLEAN m_LsrMstInsertCallback(UCHAR ucEscapeCharacter) override;
    BOOLEAN m_PretendXoffReceivedCallback(BOOLEAN bXoffReceived) override;
    BOOLEAN m_SendImmediateCharacterCallback(UCHAR ucCharacter) override;
    BOOLEAN m_GetFifoSizesCallback(PULONG pulTransmitFifoSize, PULONG pulReceiveFifoSize) override;
    BOOLEAN m_UpdateModemStatus() override;
    BOOLEAN m_SendXonXoffCallback(BOOLEAN bXoff) override;

private:
    void note(const std::string& line, bool passive_only = false);
    std::mutex mutex_;
    std::vector<std::string> calls_;
    Bytes written_;
    std::atomic<int> raised_{0};
};

// How the scripted filter answers the create request.
struct ScriptOptions {
    bool refuse_create = false;
    bool short_answer = false; // 4 bytes instead of 8
    bool duplex = false;
    ULONG supported_baud_rates = HVISERIAL_ASK_EACH_BAUD_RATE;
};

// ---- The machine ------------------------------------------------------------------------------

// One port of the bench: its node, the port object and, for a scripted one, its provider.
struct Port {
    hvsim::pnp::DevInst node = hvsim::pnp::no_node;
    CVCP* vcp = nullptr;
    ScriptedPort* script = nullptr; // null on the real bus driver
};

struct Pending;

class VcpMachine : public hvtest::MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A root device with the scripted provider below the port driver; started once this returns.
    Port add_scripted_port(const ScriptOptions& options = {});
    // The port the test driver runs on `node`, or an empty one.
    static Port port_of(hvsim::pnp::DevInst node);
    void remove(hvsim::pnp::DevInst node);

    // Opens the port (its device, as the stack top names it).
    hvsim::io::FileObject* open(const Port& port);
    // Lets machine time pass (ms), with every other machine thread running meanwhile.
    static void pass_ms(ULONGLONG ms);
    // Runs until `done` holds or the machine time is up; false when it is up.
    static bool wait_for(const std::function<bool()>& done, ULONGLONG timeout_ms = 10000);

    // On the port under test, opened as file_ (closed by TearDown).
    SERIAL_STATUS status();
    NTSTATUS handflow(ULONG control, ULONG replace, LONG xon = 2048, LONG xoff = 512);
    // Reads what is held now (immediate timeouts).
    Bytes read_now(ULONG length);
    // Reads until `length` bytes came or the machine time is up.
    Bytes read_all(ULONG length, ULONGLONG timeout_ms = 2000);
    // A wait for the events of `mask`, set before the cause, and the events it ended with.
    std::unique_ptr<Pending> wait_for_events(ULONG mask);
    ULONG events_of(Pending& wait, ULONGLONG timeout_ms = 100);

    std::unique_ptr<hvsim::Machine> machine_;
    int ordinal_ = 0;
    Port port_;
    hvsim::io::FileObject* file_ = nullptr;
};

// An outstanding read, write or wait of the test, completed asynchronously.
struct Pending {
    std::atomic<bool> done{false};
    std::atomic<LONG> status{STATUS_PENDING};
    std::atomic<ULONG_PTR> information{0};
    Bytes buffer;
    ULONG mask = 0;
    hvsim::io::Issue issue{};
};
std::unique_ptr<Pending> read_async(hvsim::io::FileObject* file, ULONG length);
std::unique_ptr<Pending> write_async(hvsim::io::FileObject* file, const Bytes& data);
std::unique_ptr<Pending> wait_on_mask_async(hvsim::io::FileObject* file);

// The test driver's service and the filter's.
inline constexpr char16_t kPortService[] = u"HvUVcpTest";
inline constexpr char16_t kScriptService[] = u"HvUVcpScript";

// Registers both drivers with the loader (before the machine boots).
void register_test_drivers();
// What the filter answers next.
void set_script_options(const ScriptOptions& options);
// Requests the filter saw: "Create <version> <port>", "Release <port> <padding> <same record>".
std::vector<std::string> script_requests();
void clear_script_requests();

} // namespace vcptest
