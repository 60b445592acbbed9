// The port object's test bench: the test port driver, the scripted filter and provider, the machine.
#include "vcptestmachine.h"

#include <hvsim/debug_log.h>
#include <hvsim/kernel.h>
#include <hvsim/pool.h>
#include <hvsim/registry.h>
#include <hvsim/sched.h>

#include <pmdebugmanager.h>
#include <pmdriver.h>
#include <pmfunctionaldevice.h>
#include <pmphysicaldevice.h>
#include <pmreadqueuecsq.h>
#include <pmwritequeuecsq.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace vcptest {

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

namespace {

const std::u16string kEnum = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
const std::u16string kClass = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\";
// The bench's own device class, whose lower filter is the scripted provider.
const char16_t kScriptClass[] = u"{7D4C2B91-58E3-4A06-9F1D-2C8B60E4A713}";

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    char text[256];
    va_list arguments;
    va_start(arguments, pattern);
    vsnprintf(text, sizeof(text), pattern, arguments);
    va_end(arguments);
    return text;
}

// ---- The test port driver --------------------------------------------------------------------

class CVcpTestDriver : public CPmDriverClass {
public:
    CPmFunctionalDevice* m_pDevice = NULL;
    CVCP* m_pVcp = NULL;
    CHvUVcpUserModeInterface* m_pSettings = NULL;
};

std::mutex g_ports_mutex;
std::map<PDEVICE_OBJECT, CVcpTestDriver*> g_ports; // by PDO

CVcpTestDriver* Driver(CPmDriverClass* pObject) { return static_cast<CVcpTestDriver*>(pObject); }

BOOLEAN OnStart(CPmDriverClass* pObject) {
    CVcpTestDriver* pDriver = Driver(pObject);
    CPmFunctionalDevice* pDevice = pDriver->m_pDevice;
    ULONG ulPort = 1;
    if (!CPmPhysicalDevice::sm_GetContextId(pDevice, &ulPort))
        ulPort = 1;
    pDriver->m_pSettings = new (NonPagedPool) CHvUVcpUserModeInterface();
    pDriver->m_pVcp = new (NonPagedPool) CVCP();
    if (!pDriver->m_pSettings || !pDriver->m_pVcp) {
        delete pDriver->m_pVcp;
        delete pDriver->m_pSettings;
        pDriver->m_pVcp = NULL;
        pDriver->m_pSettings = NULL;
        return FALSE;
    }
    pDriver->m_pVcp->m_SetSettings(pDriver->m_pSettings);
    if (!pDriver->m_pVcp->m_Init(pDevice, ulPort)) {
        delete pDriver->m_pVcp;
        delete pDriver->m_pSettings;
        pDriver->m_pVcp = NULL;
        pDriver->m_pSettings = NULL;
        return FALSE;
    }
    pDriver->m_pVcp->m_CheckSupportedBaudRates();
    pDriver->m_pVcp->m_CheckSupportedSignals();
    pDriver->m_pVcp->m_AcceptSettings();
    pDevice->m_pReadQueue->m_SetAmountChangedNotification(CVCP::sm_DataAmountChanged, pDriver->m_pVcp);
    std::lock_guard lock(g_ports_mutex);
    g_ports[pDevice->m_pPhysicalDeviceObject] = pDriver;
    return TRUE;
}

VOID OnRemove(CPmDriverClass* pObject) {
    CVcpTestDriver* pDriver = Driver(pObject);
    {
        std::lock_guard lock(g_ports_mutex);
        g_ports.erase(pDriver->m_pDevice->m_pPhysicalDeviceObject);
    }
    if (pDriver->m_pVcp)
        pDriver->m_pDevice->m_pReadQueue->m_SetAmountChangedNotification(NULL, NULL);
    delete pDriver->m_pVcp;
    delete pDriver->m_pSettings;
    pDriver->m_pVcp = NULL;
    pDriver->m_pSettings = NULL;
}

BOOLEAN OnCreate(CPmDriverClass* pObject) { return Driver(pObject)->m_pVcp && Driver(pObject)->m_pVcp->m_Connect(); }

BOOLEAN OnClose(CPmDriverClass* pObject) {
    if (Driver(pObject)->m_pVcp)
        Driver(pObject)->m_pVcp->m_Disconnect();
    return TRUE;
}

BOOLEAN OnCleanup(CPmDriverClass* pObject) {
    CVcpTestDriver* pDriver = Driver(pObject);
    if (pDriver->m_pVcp)
        pDriver->m_pVcp->m_WaitMask.m_CancelAll();
    pDriver->m_pDevice->m_pReadQueue->m_CancelAll();
    pDriver->m_pDevice->m_pWriteQueue->m_CancelAll();
    pDriver->m_pDevice->m_pReadQueue->m_Purge();
    return TRUE;
}

BOOLEAN OnWrite(CPmDriverClass* pObject, CPmBuffer* pBuffer) {
    if (!Driver(pObject)->m_pVcp) {
        pBuffer->m_Delete();
        return FALSE;
    }
    return Driver(pObject)->m_pVcp->m_Write(pBuffer);
}

// Only the wait-on-mask request: the tests call every other operation of the port object directly.
NTSTATUS OnDeviceControl(CPmDriverClass* pObject, ULONG ulCode, PVOID pvInput, ULONG ulInputLength, PVOID pvOutput,
                         ULONG ulOutputLength, PULONG_PTR pulInformation, CPmControlQueue** ppControlQueue) {
    if (ulCode != IOCTL_SERIAL_WAIT_ON_MASK || !Driver(pObject)->m_pVcp)
        return STATUS_NOT_SUPPORTED;
    if (ulOutputLength < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    return Driver(pObject)->m_pVcp->m_WaitOnMask(pvOutput, ulOutputLength, pulInformation, ppControlQueue);
}

BOOLEAN AddDeviceFunction(CPmDriverClass* pObject, CPmDriver*, CPmFunctionalDevice* pDevice) {
    Driver(pObject)->m_pDevice = pDevice;
    PmDriverCallbacks& callbacks = pDevice->m_Callbacks;
    callbacks.m_PnpStartDeviceCallback = OnStart;
    callbacks.m_PnpRemoveDeviceCallback = OnRemove;
    callbacks.m_CreateCallback = OnCreate;
    callbacks.m_CloseCallback = OnClose;
    callbacks.m_CleanupCallback = OnCleanup;
    callbacks.m_WriteCallback = OnWrite;
    callbacks.m_DeviceControlCallback = OnDeviceControl;
    return TRUE;
}

BOOLEAN CreateDriverClass(PPM_ADD_DEVICE_FUNCTION* ppfnAddDeviceFunction, PPM_DEVICE_CREATION*,
                          CPmDriverClass** ppObject) {
    *ppObject = new (NonPagedPool) CVcpTestDriver();
    if (!*ppObject)
        return FALSE;
    *ppfnAddDeviceFunction = AddDeviceFunction;
    return TRUE;
}

void DestroyDriverClass(CPmDriverClass* pObject) { delete Driver(pObject); }
void RemoveHook() {}

NTSTATUS PortDriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath) {
    PmDriverDescription description;
    RtlZeroMemory(&description, sizeof(description));
    description.m_pszDriverName = kPortService;
    description.m_pszFileName = u"hvuvcptest.sys";
    description.m_pfnCreateDriverClass = CreateDriverClass;
    description.m_pfnDestroyDriverClass = DestroyDriverClass;
    description.m_pfnUnloadCleanup = PmDriverUnloadCleanup;
    description.m_pfnRemoveHook = RemoveHook;
    return PmDriverEntry(pDriverObject, pRegistryPath, &description);
}

// ---- The scripted filter: answers the record's two requests, passes everything else down ------

struct FilterExtension {
    PDEVICE_OBJECT m_pLower;
    ScriptedPort* m_pPort;
};

std::mutex g_script_mutex;
ScriptOptions g_script_options;
std::vector<std::string> g_script_requests;
std::map<PDEVICE_OBJECT, ScriptedPort*> g_scripted_ports; // by the filter's PDO

NTSTATUS Complete(PIRP pIrp, NTSTATUS ntStatus, ULONG_PTR ulInformation) {
    pIrp->IoStatus.Status = ntStatus;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return ntStatus;
}

NTSTATUS FilterInternalControl(PDEVICE_OBJECT pDevice, PIRP pIrp) {
    FilterExtension* pExtension = static_cast<FilterExtension*>(pDevice->DeviceExtension);
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulCode = pStack->Parameters.DeviceIoControl.IoControlCode;
    PVOID pvBuffer = pIrp->AssociatedIrp.SystemBuffer;
    ULONG ulIn = pStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    std::lock_guard lock(g_script_mutex);
    if (ulCode == IOCTL_CREATE_HVISERIAL) {
        if (!NT_SUCCESS(HvISerialCheckCreateBuffers(pvBuffer, ulIn, pvBuffer, ulOut)))
            return Complete(pIrp, STATUS_INVALID_PARAMETER, 0);
        const CreateHvISerialRequestStruct request = *static_cast<CreateHvISerialRequestStruct*>(pvBuffer);
        g_script_requests.push_back(format("Create %u %u", request.ulVersion, request.ulPortNumber));
        if (g_script_options.refuse_create || pExtension->m_pPort)
            return Complete(pIrp, STATUS_NOT_SUPPORTED, 0);
        ScriptedPort* pPort = new (NonPagedPool) ScriptedPort();
        static const BOOLEAN s_abSignals[HVISERIAL_SIGNALS] = {1, 1, 1, 1, 1, 1};
        ISerial* pISerial = pPort ? pPort->m_BuildISerial(request.ulVersion, g_script_options.duplex,
                                                          g_script_options.supported_baud_rates, FALSE, FALSE, FALSE,
                                                          s_abSignals)
                                  : NULL;
        if (!pISerial) {
            delete pPort;
            return Complete(pIrp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        pExtension->m_pPort = pPort;
        g_scripted_ports[pExtension->m_pLower] = pPort;
        static_cast<CreateHvISerialResponseStruct*>(pvBuffer)->pISerial = pISerial;
        return Complete(pIrp, STATUS_SUCCESS, g_script_options.short_answer ? 4 : 8);
    }
    if (ulCode == IOCTL_RELEASE_HVISERIAL) {
        if (!NT_SUCCESS(HvISerialCheckReleaseBuffers(pvBuffer, ulIn)))
            return Complete(pIrp, STATUS_INVALID_PARAMETER, 0);
        const ReleaseHvISerialRequestStruct request = *static_cast<ReleaseHvISerialRequestStruct*>(pvBuffer);
        ScriptedPort* pPort = pExtension->m_pPort;
        bool same = pPort && request.pISerial == pPort->m_GetISerial();
        g_script_requests.push_back(format("Release %u %u %s", request.ulPortNumber, request.ulPadding,
                                           same ? "same record" : "other record"));
        if (pPort) {
            g_scripted_ports.erase(pExtension->m_pLower);
            pExtension->m_pPort = NULL;
            delete pPort;
        }
        return Complete(pIrp, STATUS_SUCCESS, 0);
    }
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pExtension->m_pLower, pIrp);
}

NTSTATUS FilterDispatch(PDEVICE_OBJECT pDevice, PIRP pIrp) {
    FilterExtension* pExtension = static_cast<FilterExtension*>(pDevice->DeviceExtension);
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    switch (pStack->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return FilterInternalControl(pDevice, pIrp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(pIrp);
        IoSkipCurrentIrpStackLocation(pIrp);
        return PoCallDriver(pExtension->m_pLower, pIrp);
    case IRP_MJ_PNP:
        if (pStack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            PDEVICE_OBJECT pLower = pExtension->m_pLower;
            {
                std::lock_guard lock(g_script_mutex);
                if (pExtension->m_pPort) {
                    g_scripted_ports.erase(pLower);
                    delete pExtension->m_pPort;
                    pExtension->m_pPort = NULL;
                }
            }
            IoSkipCurrentIrpStackLocation(pIrp);
            NTSTATUS ntStatus = IoCallDriver(pLower, pIrp);
            IoDetachDevice(pLower);
            IoDeleteDevice(pDevice);
            return ntStatus;
        }
        [[fallthrough]];
    default:
        IoSkipCurrentIrpStackLocation(pIrp);
        return IoCallDriver(pExtension->m_pLower, pIrp);
    }
}

NTSTATUS FilterAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDevice) {
    PDEVICE_OBJECT pDevice = NULL;
    NTSTATUS ntStatus =
        IoCreateDevice(pDriverObject, sizeof(FilterExtension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &pDevice);
    if (!NT_SUCCESS(ntStatus))
        return ntStatus;
    FilterExtension* pExtension = static_cast<FilterExtension*>(pDevice->DeviceExtension);
    pExtension->m_pPort = NULL;
    pExtension->m_pLower = IoAttachDeviceToDeviceStack(pDevice, pPhysicalDevice);
    if (!pExtension->m_pLower) {
        IoDeleteDevice(pDevice);
        return STATUS_NO_SUCH_DEVICE;
    }
    pDevice->Flags |= pExtension->m_pLower->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE);
    pDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID FilterUnload(PDRIVER_OBJECT) {}

NTSTATUS FilterDriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING) {
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        pDriverObject->MajorFunction[i] = FilterDispatch;
    pDriverObject->DriverExtension->AddDevice = FilterAddDevice;
    pDriverObject->DriverUnload = FilterUnload;
    return STATUS_SUCCESS;
}

} // namespace

void clear_script_requests() {
    std::lock_guard lock(g_script_mutex);
    g_script_requests.clear();
}

void register_test_drivers() {
    hvsim::ldr::register_builtin_driver(kPortService, PortDriverEntry);
    hvsim::ldr::register_builtin_driver(kScriptService, FilterDriverEntry);
}

void set_script_options(const ScriptOptions& options) {
    std::lock_guard lock(g_script_mutex);
    g_script_options = options;
}

std::vector<std::string> script_requests() {
    std::lock_guard lock(g_script_mutex);
    return g_script_requests;
}

// ---- The scripted provider ---------------------------------------------------------------------

ScriptedPort::ScriptedPort() {}

void ScriptedPort::note(const std::string& line, bool passive_only) {
    if (passive_only && KeGetCurrentIrql() != PASSIVE_LEVEL)
        ++raised_;
    std::lock_guard lock(mutex_);
    calls_.push_back(line);
}

std::vector<std::string> ScriptedPort::calls() {
    std::lock_guard lock(mutex_);
    return calls_;
}

bool ScriptedPort::called(const std::string& line) {
    auto all = calls();
    return std::find(all.begin(), all.end(), line) != all.end();
}

void ScriptedPort::forget_calls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

Bytes ScriptedPort::take_written() {
    std::lock_guard lock(mutex_);
    Bytes out;
    out.swap(written_);
    return out;
}

BOOLEAN ScriptedPort::receive(const Bytes& data) {
    CPmBuffer* pBuffer = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
    if (!pBuffer)
        return FALSE;
    pBuffer->m_pPool = g_pPmMemoryPool;
    if (!data.empty() && !pBuffer->m_Assign(data.data(), (ULONG)data.size())) {
        pBuffer->m_Delete();
        return FALSE;
    }
    BOOLEAN bCalled = FALSE;
    BOOLEAN bResult = m_CallBack(&HvISerialCallbacks::m_Read, &bCalled, pBuffer);
    if (!bCalled)
        pBuffer->m_Delete();
    return bResult;
}

BOOLEAN ScriptedPort::line_status(bool overrun, bool parity, bool framing, bool brk, bool thre, bool temt) {
    return m_CallBack(&HvISerialCallbacks::m_LineStatusCallback, NULL, (BOOLEAN)overrun, (BOOLEAN)parity,
                      (BOOLEAN)framing, (BOOLEAN)brk, (BOOLEAN)FALSE, (BOOLEAN)thre, (BOOLEAN)temt, (BOOLEAN)FALSE);
}

BOOLEAN ScriptedPort::modem_status(bool cts, bool dsr, bool ri, bool ri_trailing, bool dcd) {
    return m_CallBack(&HvISerialCallbacks::m_ModemStatusCallback, NULL, (BOOLEAN)cts, (BOOLEAN)dsr, (BOOLEAN)ri,
                      (BOOLEAN)ri_trailing, (BOOLEAN)dcd);
}

BOOLEAN ScriptedPort::data_written(ULONG count) {
    return m_CallBack(&HvISerialCallbacks::m_DataWrittenCallback, NULL, count);
}

BOOLEAN ScriptedPort::immediate_sent() { return m_CallBack(&HvISerialCallbacks::m_ImmediateCharacterSentCallback, NULL); }

ULONG ScriptedPort::free_space(ULONG incoming, ULONG reserve) {
    ULONG ulAvailable = 0xDEADBEEF;
    m_CallBack(&HvISerialCallbacks::m_AvailableReceiveBufferSizeCallback, NULL, incoming, reserve, &ulAvailable);
    return ulAvailable;
}

BOOLEAN ScriptedPort::m_ConnectCallback() {
    note("Connect");
    // As the bus driver: the first transmit credit.
    m_CallBack(&HvISerialCallbacks::m_DataWrittenCallback, NULL, (ULONG)4096);
    return TRUE;
}
BOOLEAN ScriptedPort::m_DisconnectCallback() {
    note("Disconnect");
    return TRUE;
}
BOOLEAN ScriptedPort::m_PortWriteCallback(CPmBuffer* pBuffer) {
    ULONG ulLength = pBuffer->m_GetLength();
    {
        std::lock_guard lock(mutex_);
        written_.insert(written_.end(), pBuffer->m_GetData(), pBuffer->m_GetData() + ulLength);
    }
    pBuffer->m_Delete();
    note(format("Write %u", ulLength));
    if (ack_writes)
        m_CallBack(&HvISerialCallbacks::m_DataWrittenCallback, NULL, ulLength);
    return TRUE;
}
BOOLEAN ScriptedPort::m_RtsCallback(BOOLEAN bRts) {
    note(format("Rts %d", bRts), true);
    if (ULONG delay = rts_delay_ms) {
        LARGE_INTEGER interval;
        interval.QuadPart = -(LONGLONG)delay * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        std::lock_guard lock(g_script_mutex);
        g_script_requests.push_back(format("Rts %d returned", bRts));
    }
    return TRUE;
}
BOOLEAN ScriptedPort::m_DtrCallback(BOOLEAN bDtr) {
    note(format("Dtr %d", bDtr), true);
    return TRUE;
}
BOOLEAN ScriptedPort::m_CommSettingsCallback(ULONG ulDataBits, ULONG ulParity, ULONG ulStopBits) {
    note(format("Comm %u %u %u", ulDataBits, ulParity, ulStopBits), true);
    return !fail_comm;
}
BOOLEAN ScriptedPort::m_BaudrateCallback(ULONG ulBaudRate) {
    note(format("Baud %u", ulBaudRate), true);
    return !fail_baud;
}
BOOLEAN ScriptedPort::m_TriggerLevelsCallback(UCHAR ucTransmit, UCHAR ucReceive, UCHAR ucFlowControl) {
    note(format("Trigger %u %u %u", ucTransmit, ucReceive, ucFlowControl));
    return TRUE;
}
BOOLEAN ScriptedPort::m_HandshakingSettingsCallback(BOOLEAN bCtsOutput, BOOLEAN bRtsInput, BOOLEAN bDsrOutput,
                                                    BOOLEAN bDtrInput, BOOLEAN bDsrSensitivity, BOOLEAN bRtsToggle,
                                                    BOOLEAN bXonXoffOutput, BOOLEAN bXonXoffInput,
                                                    BOOLEAN bXoffContinue) {
    note(format("Handshake %d%d%d%d%d%d%d%d%d", bCtsOutput, bRtsInput, bDsrOutput, bDtrInput, bDsrSensitivity,
                bRtsToggle, bXonXoffOutput, bXonXoffInput, bXoffContinue),
         true);
    return TRUE;
}
BOOLEAN ScriptedPort::m_InternalLoopbackCallback(BOOLEAN bLoopback) {
    note(format("Loopback %d", bLoopback));
    return FALSE;
}
BOOLEAN ScriptedPort::m_DuplexModeSettingsCallback(ULONG ulDuplexMode, BOOLEAN bCtsTrue) {
    note(format("Duplex %u %d", ulDuplexMode, bCtsTrue));
    return TRUE;
}
BOOLEAN ScriptedPort::m_ReadEepromCallback(ULONG, ULONG, PUCHAR) { return FALSE; }
BOOLEAN ScriptedPort::m_WriteEepromCallback(ULONG, ULONG, const UCHAR*) { return FALSE; }
BOOLEAN ScriptedPort::m_SetBreakCallback(BOOLEAN bBreakOn) {
    note(format("Break %d", bBreakOn), true);
    return TRUE;
}
BOOLEAN ScriptedPort::m_PurgeCallback(BOOLEAN bTransmit, BOOLEAN bReceive) {
    note(format("Purge %d %d", bTransmit, bReceive), true);
    return TRUE;
}
BOOLEAN ScriptedPort::m_IsBaudRateSupportedCallback(ULONG ulBaudRate) { return ulBaudRate >= lowest_rate; }
BOOLEAN ScriptedPort::m_SetSpecialCharactersCallback(UCHAR ucBreak, UCHAR ucEof, UCHAR ucError, UCHAR ucEvent,
                                                     UCHAR ucXon, UCHAR ucXoff) {
    note(format("Chars %02X %02X %02X %02X %02X %02X", ucBreak, ucEof, ucError, ucEvent, ucXon, ucXoff));
    return TRUE;
}
BOOLEAN ScriptedPort::m_LsrMstInsertCallback(UCHAR) { return FALSE; }
BOOLEAN ScriptedPort::m_PretendXoffReceivedCallback(BOOLEAN bXoffReceived) {
    note(format("PretendXoff %d", bXoffReceived));
    return TRUE;
}
BOOLEAN ScriptedPort::m_SendImmediateCharacterCallback(UCHAR ucCharacter) {
    note(format("Immediate %02X", ucCharacter), true);
    return TRUE;
}
BOOLEAN ScriptedPort::m_GetFifoSizesCallback(PULONG pulTransmitFifoSize, PULONG pulReceiveFifoSize) {
    *pulTransmitFifoSize = 256;
    *pulReceiveFifoSize = 256;
    return TRUE;
}
BOOLEAN ScriptedPort::m_UpdateModemStatus() {
    note("UpdateModemStatus");
    return modem_status(modem_bits & 0x10, modem_bits & 0x20, modem_bits & 0x40, false, modem_bits & 0x80);
}
BOOLEAN ScriptedPort::m_SendXonXoffCallback(BOOLEAN bXoff) {
    note(bXoff ? "SendXoff" : "SendXon", true);
    return TRUE;
}

// ---- The machine ---------------------------------------------------------------------------------

void VcpMachine::SetUp() {
    register_test_drivers();
    set_script_options({});
    clear_script_requests();
    machine_ = std::make_unique<hvsim::Machine>(on_virtual_clock<hvsim::MachineOptions>());
    // The port driver's service key: its debug manager and event-log source read it.
    const std::u16string service = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\" + std::u16string(kPortService);
    ASSERT_EQ(hvsim::registry::create_key(service), STATUS_SUCCESS);
    hvsim::registry::set_dword(service, u"Type", 1);
    hvsim::registry::set_dword(service, u"Start", 3);
    hvsim::registry::set_dword(service, u"ErrorControl", 1);
    // A medium system: a receive queue of 4096 bytes.
    hvsim::mm::set_system_size(MmMediumSystem);
    const std::u16string class_key = kClass + kScriptClass;
    ASSERT_EQ(hvsim::registry::create_key(class_key), STATUS_SUCCESS);
    hvsim::registry::Key key;
    ASSERT_EQ(hvsim::registry::open(nullptr, class_key, &key), STATUS_SUCCESS);
    std::u16string filters = std::u16string(kScriptService) + u'\0' + u'\0';
    ASSERT_EQ(hvsim::registry::set_value(key, u"LowerFilters", REG_MULTI_SZ, filters.data(),
                                         filters.size() * sizeof(char16_t)),
              STATUS_SUCCESS);
}

void VcpMachine::TearDown() {
    if (file_)
        hvsim::io::close_file(file_);
    file_ = nullptr;
    if (machine_ && machine_->running())
        machine_->shutdown();
    machine_.reset();
    MachineTest::TearDown();
}

Port VcpMachine::add_scripted_port(const ScriptOptions& options) {
    set_script_options(options);
    hvsim::pnp::RootDeviceSpec spec;
    spec.hardware_id = u"ROOT\\HVUVCPTEST";
    spec.class_guid = hvsim::pnp::guid_from_string(kScriptClass);
    std::u16string id;
    EXPECT_EQ(hvsim::pnp::create_root_device(spec, &id), STATUS_SUCCESS);
    const std::u16string device = kEnum + id;
    const std::u16string parameters = device + u"\\Device Parameters";
    hvsim::registry::create_key(parameters);
    hvsim::registry::set_dword(parameters, u"TypeOfDevice", FILE_DEVICE_SERIAL_PORT);
    hvsim::registry::set_dword(parameters, u"DeviceIndexingPolicyType", 1);
    hvsim::registry::set_dword(parameters, u"LowestStackLayer", 1);
    hvsim::registry::set_dword(parameters, u"IoType", 4);
    hvsim::registry::set_string(parameters, u"DeviceName", u"HvUVcpTest");
    std::u16string instance = std::u16string(kScriptClass) + u"\\00";
    instance += (char16_t)(u'0' + ordinal_ / 10);
    instance += (char16_t)(u'0' + ordinal_ % 10);
    ++ordinal_;
    hvsim::registry::set_string(device, u"Driver", instance);
    hvsim::registry::set_string(device, u"ClassGUID", kScriptClass);
    hvsim::registry::set_string(device, u"Service", kPortService);
    hvsim::pnp::DevInst node = hvsim::pnp::find_node(id);
    EXPECT_NE(node, hvsim::pnp::no_node);
    hvsim::pnp::restart_device(node);
    hvsim::pnp::wait_quiet();
    Port port = port_of(node);
    port.node = node;
    if (!port.vcp && getenv("HVUVCP_TEST_DEBUG")) {
        auto info = hvsim::pnp::node_info(node);
        fprintf(stderr, "node state %s problem %u\n", info ? hvsim::pnp::to_string(info->state) : "?",
                info ? info->problem : 0);
        for (auto& line : hvsim::debug_log::lines()) fprintf(stderr, "%s\n", line.c_str());
    }
    return port;
}

Port VcpMachine::port_of(hvsim::pnp::DevInst node) {
    Port port;
    port.node = node;
    auto info = hvsim::pnp::node_info(node);
    if (!info || !info->pdo)
        return port;
    std::lock_guard lock(g_ports_mutex);
    auto found = g_ports.find(info->pdo);
    if (found != g_ports.end())
        port.vcp = found->second->m_pVcp;
    std::lock_guard script_lock(g_script_mutex);
    auto scripted = g_scripted_ports.find(info->pdo);
    if (scripted != g_scripted_ports.end())
        port.script = scripted->second;
    return port;
}

void VcpMachine::remove(hvsim::pnp::DevInst node) {
    EXPECT_FALSE(hvsim::pnp::remove_device(node).vetoed());
    hvsim::pnp::wait_quiet();
}

hvsim::io::FileObject* VcpMachine::open(const Port& port) {
    auto stack = hvsim::pnp::device_stack(port.node);
    std::u16string name;
    for (auto device : stack) {
        std::u16string own = hvsim::io::device_name(device);
        if (!own.empty() && own.find(u"HvUVcpTest") != std::u16string::npos)
            name = own;
        ObDereferenceObject(device);
    }
    EXPECT_FALSE(name.empty());
    hvsim::io::OpenOptions options;
    options.path = name;
    hvsim::io::FileObject* file = nullptr;
    EXPECT_EQ(hvsim::io::open_file(options, &file), STATUS_SUCCESS);
    return file;
}

void VcpMachine::pass_ms(ULONGLONG ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)ms * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

bool VcpMachine::wait_for(const std::function<bool()>& done, ULONGLONG timeout_ms) {
    for (ULONGLONG waited = 0; waited <= timeout_ms; ++waited) {
        if (done())
            return true;
        pass_ms(1);
    }
    return done();
}

SERIAL_STATUS VcpMachine::status() {
    SERIAL_STATUS out{};
    EXPECT_EQ(port_.vcp->m_GetCommStatus(&out), STATUS_SUCCESS);
    return out;
}

NTSTATUS VcpMachine::handflow(ULONG control, ULONG replace, LONG xon, LONG xoff) {
    SERIAL_HANDFLOW flow{control, replace, xon, xoff};
    return port_.vcp->m_SetHandFlow(&flow);
}

Bytes VcpMachine::read_now(ULONG length) {
    SERIAL_TIMEOUTS immediate{MAXULONG, 0, 0, 0, 0};
    EXPECT_EQ(port_.vcp->m_SetTimeouts(&immediate), STATUS_SUCCESS);
    Bytes buffer(length);
    auto result = hvsim::io::read_file(file_, buffer.data(), length);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    buffer.resize(result.information);
    return buffer;
}

Bytes VcpMachine::read_all(ULONG length, ULONGLONG timeout_ms) {
    Bytes out;
    for (ULONGLONG waited = 0; out.size() < length && waited <= timeout_ms; waited += 5) {
        Bytes more = read_now(length - (ULONG)out.size());
        out.insert(out.end(), more.begin(), more.end());
        if (out.size() < length)
            pass_ms(5);
    }
    return out;
}

std::unique_ptr<Pending> VcpMachine::wait_for_events(ULONG mask) {
    EXPECT_EQ(port_.vcp->m_SetWaitMask(mask), STATUS_SUCCESS);
    auto wait = wait_on_mask_async(file_);
    pass_ms(1);
    EXPECT_FALSE(wait->done) << "mask 0x" << std::hex << mask << " satisfied before its cause";
    return wait;
}

ULONG VcpMachine::events_of(Pending& wait, ULONGLONG timeout_ms) {
    EXPECT_TRUE(wait_for([&] { return wait.done.load(); }, timeout_ms));
    EXPECT_EQ(wait.status, STATUS_SUCCESS);
    return wait.mask;
}

namespace {

std::unique_ptr<Pending> issue(hvsim::io::FileObject* file, int kind, ULONG length, const Bytes& data) {
    auto pending = std::make_unique<Pending>();
    Pending* p = pending.get();
    auto done = [p](LONG status, ULONG_PTR information) {
        p->information = information;
        p->status = status;
        p->done = true;
    };
    if (kind == 0) {
        p->buffer.assign(length, 0xEE);
        p->issue = hvsim::io::read_file_async(file, p->buffer.data(), length, done);
    } else if (kind == 1) {
        p->buffer = data;
        p->issue = hvsim::io::write_file_async(file, p->buffer.data(), (ULONG)p->buffer.size(), done);
    } else {
        p->issue = hvsim::io::device_control_async(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &p->mask,
                                                   sizeof(p->mask), done);
    }
    if (!p->issue.issued) {
        p->status = p->issue.status;
        p->done = true;
    }
    return pending;
}

} // namespace

std::unique_ptr<Pending> read_async(hvsim::io::FileObject* file, ULONG length) { return issue(file, 0, length, {}); }
std::unique_ptr<Pending> write_async(hvsim::io::FileObject* file, const Bytes& data) { return issue(file, 1, 0, data); }
std::unique_ptr<Pending> wait_on_mask_async(hvsim::io::FileObject* file) { return issue(file, 2, 0, {}); }

} // namespace vcptest
