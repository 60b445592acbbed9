// The port driver HvUVCP: its driver-specific object, one per port device, which turns the
// framework's functional device into a COM port: the COM name, the serial-device map entry and
// the COM-port interface at start, the port object that talks to the bus driver, the serial
// control codes, and the undoing of all of it at removal.
#pragma once

#include <wdm.h>
#include <ntddser.h>

#include <pmdriver.h>
#include <pmfunctionaldevice.h>
#include <pmreadqueuecsq.h>
#include <pmusagelock.h>
#include <pmstring.h>

class CVCP;

class CHvUVCPDriver : public CPmDriverClass {
public:
    CPmFunctionalDevice* m_pFunctionalDevice;
    // Set by a successful open, cleared by close and removal; read by requests of other threads.
    volatile BOOLEAN m_bOpened;
    CVCP* m_pVCP;
    // A port object taken down by removal. Its memory stays until this object goes: a wait-on-mask
    // request the framework was handing to its wait-mask queue as removal ran still finds the
    // queue, and cleanup ends it there.
    CVCP* m_pRetiredVCP;
    // Keeps the port object alive for each use; removal disables it and waits for the last user.
    CPmUsageLock m_VCPUsageLock;
    CPmString m_PortName;
    // The registered COM-port interface's link (empty when none is registered).
    CPmString m_InterfaceLinkName;
    HANDLE m_hParametersKey;
    // What start created, so that removal undoes exactly that and nothing of another device's:
    // the name whose "\??\" link this device made, and the SERIALCOMM value it wrote.
    CPmString m_CreatedLinkName;
    CPmString m_SerialCommValueName;

    CHvUVCPDriver();
    ~CHvUVCPDriver() override;

    static PM_ADD_DEVICE_FUNCTION m_AddDevice;
    static PM_OBJECT_CALLBACK m_PnpStartDevice;
    static PM_OBJECT_NOTIFICATION m_PnpRemoveDevice;
    static PM_OBJECT_CALLBACK m_Create;
    static PM_OBJECT_CALLBACK m_Close;
    static PM_OBJECT_CALLBACK m_CleanUp;
    static PM_OBJECT_NOTIFICATION m_PowerDownResetDevice;
    static PM_OBJECT_NOTIFICATION m_PowerUpInitDevice;
    static PM_USER_MODE_INTERFACE_CALLBACK m_UserModeInterface;
    static PM_WRITE_CALLBACK m_WriteCallback;
    static PM_QUEUED_CONTROL_CALLBACK m_DeviceControlCallback;
    static PM_CONTROL_CALLBACK m_InternalDeviceControlCallback;
    static PM_READ_AMOUNT_CHANGED m_DataAmountChangedInReadQueue;

    static PM_WMI_SIZE_CALLBACK m_WmiGetRequiredSizeCallback;
    static PM_WMI_QUERY_CALLBACK m_WmiQueryDataBlockCallback;
    static PM_WMI_SET_BLOCK_CALLBACK m_WmiSetDataBlockCallback;
    static PM_WMI_SET_ITEM_CALLBACK m_WmiSetDataItemCallback;
    static PM_WMI_EXECUTE_CALLBACK m_WmiExecuteMethodCallback;
    static PM_WMI_METHOD_SIZE_CALLBACK m_WmiGetRequiredSizeForMethodCallback;
    static PM_WMI_FUNCTION_CONTROL_CALLBACK m_WmiFunctionControlCallback;

    // The port object with one use taken, or NULL when there is none; m_ReleaseVCP gives the use
    // back.
    CVCP* m_AcquireVCP();
    void m_ReleaseVCP() { m_VCPUsageLock.m_Release(); }

private:
    BOOLEAN m_DoStartDevice();
    void m_DoRemoveDevice();
    BOOLEAN m_ReadPortName();
    BOOLEAN m_PublishPort();
    BOOLEAN m_CreatePortObject();
    // Ends every queued request; with bRefuse the read and write queues also refuse new ones
    // (the port is gone while a handle may still be open).
    void m_EndQueuedRequests(CVCP* pVCP, BOOLEAN bRefuse);
    NTSTATUS m_DispatchControl(ULONG ulCode, PVOID pvInput, ULONG ulInputLength, PVOID pvOutput,
                               ULONG ulOutputLength, PULONG_PTR pulInformation, CPmControlQueue** ppControlQueue);
};

inline CHvUVCPDriver* PmPortDriverOf(CPmDriverClass* pObject) { return static_cast<CHvUVCPDriver*>(pObject); }
