// The bus driver's view of one USB device: the registry's wanted configuration, the descriptors,
// the pipe table that maps the registry's endpoint handles to pipes, vendor interface requests and
// bulk sends.
#pragma once

#include <usbdlib.h>
#include <wdm.h>

#include <pmbuffer.h>
#include <pmdebugmanager.h>
#include <pminformationset.h>
#include <pmmemorypool.h>

// Trace level of the transport library's lines.
#define HV_USB_TRACE_LEVEL 20

// Vendor requests that fail with one of the two transient statuses are tried this often in all.
#define HV_USB_VENDOR_ATTEMPTS 10

// The "USB" subkey of the device's hardware key.
class CUsbRegistrySet : public CPmInformationSet {
public:
    ULONG m_ulDeviceClass;
    ULONG m_ulDeviceSubClass;
    ULONG m_ulDeviceProtocol;
    ULONG m_ulSelectedConfiguration;

    explicit CUsbRegistrySet(HANDLE hKey);
};

// One "EndPoint<n>" subkey.
class CUsbEndPointSet : public CPmInformationSet {
public:
    ULONG m_ulEndPointHandle;
    ULONG m_ulInterfaceNumber;
    ULONG m_ulAlternateSetting;
    ULONG m_ulEndPointAddress;
    ULONG m_ulEndPointType;
    ULONG m_ulCallbackNeeded;
    ULONG m_ulMaximumTransferSize;

    explicit CUsbEndPointSet(HANDLE hKey);
};

// An endpoint as the registry asks for it.
struct UsbRegistryEndPoint {
    UCHAR m_ucEndPointHandle;
    UCHAR m_ucInterfaceNumber;
    UCHAR m_ucAlternateSetting;
    UCHAR m_ucEndPointAddress;
    ULONG m_ulMaximumTransferSize;
    ULONG m_ulEndPointType;
    // Read and logged only.
    ULONG m_ulCallbackNeeded;
};

// An endpoint as the transport keeps it.
struct UsbTransportEndPoint {
    UCHAR m_ucInterfaceNumber;
    UCHAR m_ucAlternateSetting;
    UCHAR m_ucEndPointAddress;
    UCHAR m_ucEndPointType;
    ULONG m_ulMaximumTransferSize;
    ULONGLONG m_aullReserved[2];
    UCHAR m_ucEndPointHandle;
};

static_assert(sizeof(UsbTransportEndPoint) == 32, "transport endpoint record");

// A selected pipe and the registry's handle for it.
struct UsbPipeRecord {
    USBD_PIPE_INFORMATION m_Pipe;
    UCHAR m_ucEndPointHandle;
};

// A selected interface with its pipes (UsbPipeRecord*).
struct UsbInterfaceRecord {
    UCHAR m_ucInterfaceNumber;
    UCHAR m_ucAlternateSetting;
    UCHAR m_ucClass;
    UCHAR m_ucSubClass;
    UCHAR m_ucProtocol;
    UCHAR m_ucReserved;
    USBD_INTERFACE_HANDLE m_hInterface;
    ULONG m_ulNumberOfPipes;
    CPmPointerList m_Pipes;
};

// The device below and the bulk send. Submission is the transport's.
class CUsb : public CPmObject {
public:
    PDEVICE_OBJECT m_pLowerDeviceObject;

    CUsb();
    ~CUsb() override {}

    // Submits the URB; bForcePassiveLevel waits at most a second (then cancels), else without
    // limit.
    virtual BOOLEAN m_SubmitUrb(PURB pUrb, BOOLEAN bForcePassiveLevel) = 0;
    // The bulk OUT transfer of m_SendData; the transport sends it on its prepared request.
    virtual BOOLEAN m_SubmitSendUrb(PURB pUrb) { return m_SubmitUrb(pUrb, FALSE); }

    // Writes the buffer's bytes to the pipe; *pulTransferred is what the device took. The buffer
    // stays with the caller, who re-queues what was not written.
    BOOLEAN m_SendData(CPmBuffer* pBuffer, USBD_PIPE_HANDLE hPipe, PULONG pulTransferred);
};

// The configuration of the device and its vendor requests.
class CUsbDevice : public CUsb {
public:
    USB_DEVICE_DESCRIPTOR m_DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR m_pConfigurationDescriptor;
    USBD_CONFIGURATION_HANDLE m_hConfiguration;
    ULONG m_ulDeviceClass;
    ULONG m_ulDeviceSubClass;
    ULONG m_ulDeviceProtocol;
    ULONG m_ulSelectedConfiguration;
    CPmPointerList m_RegistryEndPoints;  // UsbRegistryEndPoint*
    CPmPointerList m_TransportEndPoints; // UsbTransportEndPoint*
    CPmPointerList m_Interfaces;         // UsbInterfaceRecord*

    CUsbDevice();
    ~CUsbDevice() override;

    BOOLEAN m_ReadDeviceDescriptor();
    // The "USB" and "EndPoint<n>" subkeys of the physical device's hardware key.
    BOOLEAN m_ReadRegistry(PDEVICE_OBJECT pPhysicalDeviceObject);
    void m_LogConfiguration();
    BOOLEAN m_BuildTransportEndPoints();
    BOOLEAN m_MatchesRegistry();
    // Selects the configuration with every interface the endpoints name and fills the pipe table.
    BOOLEAN m_Configure();
    // The pipe whose registry handle is ucEndPointHandle; FALSE when none.
    BOOLEAN m_FindPipe(UCHAR ucEndPointHandle, USBD_PIPE_HANDLE* phPipe);

    // Vendor requests to an interface, at PASSIVE_LEVEL, retried after a port reset on the two
    // transient statuses. IN reads the buffer's length into it.
    BOOLEAN m_VendorInterfaceRequestIN(UCHAR ucRequest, USHORT unInterfaceIndex, CPmBuffer* pBuffer);
    BOOLEAN m_VendorInterfaceRequestOUT(UCHAR ucRequest, USHORT unValue, USHORT unInterfaceIndex);

    // The port reset.
    virtual BOOLEAN m_SubmitUsbRequest() = 0;

private:
    BOOLEAN m_ReadConfigurationDescriptor();
    BOOLEAN m_SelectConfiguration(PUSBD_INTERFACE_LIST_ENTRY pList, ULONG ulCount);
    BOOLEAN m_CopyInterface(PUSBD_INTERFACE_INFORMATION pInterface);
    BOOLEAN m_VendorRequest(BOOLEAN bIn, UCHAR ucRequest, USHORT unValue, USHORT unInterfaceIndex, CPmBuffer* pBuffer);
    void m_FreeConfiguration();
};
