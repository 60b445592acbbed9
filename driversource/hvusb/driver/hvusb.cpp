// Configuration of the USB device from its descriptors and the registry, the pipe table, vendor
// interface requests and bulk sends.
#include <hvusb.h>

#include <pmregistry.h>

namespace {

const LONGLONG kOneSecond = -10000000LL;

PCSTR BoolText(BOOLEAN b) { return b ? "TRUE" : "FALSE"; }

void DelayOneSecond() {
    LARGE_INTEGER liDelay;
    liDelay.QuadPart = kOneSecond;
    KeDelayExecutionThread(KernelMode, FALSE, &liDelay);
}

void DeleteInterface(UsbInterfaceRecord* pInterface) {
    for (PVOID pv = pInterface->m_Pipes.m_RemoveHead(); pv; pv = pInterface->m_Pipes.m_RemoveHead())
        PmFreeMemory(pv);
    PmDeleteObject(pInterface);
}

} // namespace

CUsbRegistrySet::CUsbRegistrySet(HANDLE hKey)
    : CPmInformationSet(hKey), m_ulDeviceClass(0), m_ulDeviceSubClass(0), m_ulDeviceProtocol(0),
      m_ulSelectedConfiguration(0) {
    if (!(m_GetValid() && m_AddItem(1, u"DeviceClass", &m_ulDeviceClass, PM_ITEM_DWORD, NULL, NULL) &&
          m_AddItem(1, u"DeviceSubClass", &m_ulDeviceSubClass, PM_ITEM_DWORD, NULL, NULL) &&
          m_AddItem(1, u"DeviceProtocol", &m_ulDeviceProtocol, PM_ITEM_DWORD, NULL, NULL) &&
          m_AddItem(1, u"SelectedConfiguration", &m_ulSelectedConfiguration, PM_ITEM_DWORD, NULL, NULL)))
        m_SetValid(FALSE);
}

CUsbEndPointSet::CUsbEndPointSet(HANDLE hKey)
    : CPmInformationSet(hKey), m_ulEndPointHandle(0), m_ulInterfaceNumber(0), m_ulAlternateSetting(0),
      m_ulEndPointAddress(0), m_ulEndPointType(0), m_ulCallbackNeeded(0), m_ulMaximumTransferSize(0) {
    if (!(m_GetValid() && m_AddItem(1, u"EndPointHandle", &m_ulEndPointHandle, PM_ITEM_DWORD, NULL, NULL) &&
          m_AddItem(1, u"InterfaceNumber", &m_ulInterfaceNumber, PM_ITEM_DWORD, NULL, NULL) &&
          m_AddItem(1, u"AlternateSetting", &m_ulAlternateSetting, PM_ITEM_DWORD, NULL, NULL) &&
          m_AddItem(1, u"EndPointAddress", &m_ulEndPointAddress, PM_ITEM_DWORD, NULL, NULL) &&
          m_AddDword(u"EndPointType", &m_ulEndPointType, 0) && m_AddDword(u"CallbackNeeded", &m_ulCallbackNeeded, 0) &&
          m_AddDword(u"MaximumTransferSize", &m_ulMaximumTransferSize, 0xFFFFFFFF)))
        m_SetValid(FALSE);
}

// ---- CUsb ------------------------------------------------------------------------------------

CUsb::CUsb() : m_pLowerDeviceObject(NULL) {}

BOOLEAN CUsb::m_SendData(CPmBuffer* pBuffer, USBD_PIPE_HANDLE hPipe, PULONG pulTransferred) {
    *pulTransferred = 0;
    if (hPipe == NULL || pBuffer == NULL) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsb::m_SendData - no pipe or no buffer");
        return FALSE;
    }
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildInterruptOrBulkTransferRequest(&urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), hPipe,
                                           pBuffer->m_GetData(), NULL, pBuffer->m_GetLength(),
                                           USBD_TRANSFER_DIRECTION_OUT, NULL);
    if (!m_SubmitSendUrb(&urb)) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsb::m_SendData - m_SubmitUrb failed");
        return FALSE;
    }
    *pulTransferred = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsb::m_SendData - ulBytesTransferred=%d", *pulTransferred);
    return TRUE;
}

// ---- CUsbDevice ------------------------------------------------------------------------------

CUsbDevice::CUsbDevice()
    : m_pConfigurationDescriptor(NULL), m_hConfiguration(NULL), m_ulDeviceClass(0), m_ulDeviceSubClass(0),
      m_ulDeviceProtocol(0), m_ulSelectedConfiguration(0) {
    RtlZeroMemory(&m_DeviceDescriptor, sizeof(m_DeviceDescriptor));
}

CUsbDevice::~CUsbDevice() {
    m_FreeConfiguration();
    for (PVOID pv = m_RegistryEndPoints.m_RemoveHead(); pv; pv = m_RegistryEndPoints.m_RemoveHead())
        PmFreeMemory(pv);
    for (PVOID pv = m_TransportEndPoints.m_RemoveHead(); pv; pv = m_TransportEndPoints.m_RemoveHead())
        PmFreeMemory(pv);
}

void CUsbDevice::m_FreeConfiguration() {
    for (PVOID pv = m_Interfaces.m_RemoveHead(); pv; pv = m_Interfaces.m_RemoveHead())
        DeleteInterface(static_cast<UsbInterfaceRecord*>(pv));
    if (m_pConfigurationDescriptor) {
        PmFreeMemory(m_pConfigurationDescriptor);
        m_pConfigurationDescriptor = NULL;
    }
    m_hConfiguration = NULL;
}

BOOLEAN CUsbDevice::m_ReadDeviceDescriptor() {
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &m_DeviceDescriptor, NULL,
                                 sizeof(USB_DEVICE_DESCRIPTOR), NULL);
    if (!m_SubmitUrb(&urb, TRUE) ||
        urb.UrbControlDescriptorRequest.TransferBufferLength < sizeof(USB_DEVICE_DESCRIPTOR)) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbDevice::m_ReadDeviceDescriptor - OUT - the descriptor could not be read");
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CUsbDevice::m_ReadRegistry(PDEVICE_OBJECT pPhysicalDeviceObject) {
    HANDLE hDeviceKey = NULL;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pPhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, GENERIC_ALL, &hDeviceKey))) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbDevice::m_ReadRegistry - OUT - the device key does not open");
        return FALSE;
    }
    BOOLEAN bDone = FALSE;
    HANDLE hUsbKey = NULL;
    if (CPmRegistry::m_OpenKey(hDeviceKey, u"USB", &hUsbKey, KEY_READ, FALSE)) {
        CUsbRegistrySet* pSet = new (PagedPool) CUsbRegistrySet(hUsbKey);
        if (pSet && pSet->m_GetValid() && pSet->m_LoadFromKey(PM_SECTION_CURRENT)) {
            m_ulDeviceClass = pSet->m_ulDeviceClass;
            m_ulDeviceSubClass = pSet->m_ulDeviceSubClass;
            m_ulDeviceProtocol = pSet->m_ulDeviceProtocol;
            m_ulSelectedConfiguration = pSet->m_ulSelectedConfiguration;
            bDone = TRUE;
        } else {
            PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbDevice::m_ReadRegistry - OUT - the USB key does not load");
        }
        delete pSet;
        ZwClose(hUsbKey);
    } else {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbDevice::m_ReadRegistry - OUT - no USB key");
    }
    // EndPoint1, EndPoint2, ... up to the first number that is missing.
    for (ULONG ulNumber = 1; bDone; ++ulNumber) {
        CPmString name(PagedPool, u"EndPoint");
        if (!NT_SUCCESS(name.m_AppendInteger(ulNumber))) {
            bDone = FALSE;
            break;
        }
        HANDLE hEndPointKey = NULL;
        if (!CPmRegistry::m_OpenKey(hDeviceKey, name.m_GetText(), &hEndPointKey, KEY_READ, FALSE))
            break;
        CUsbEndPointSet* pSet = new (PagedPool) CUsbEndPointSet(hEndPointKey);
        UsbRegistryEndPoint* pEndPoint = NULL;
        if (pSet && pSet->m_GetValid() && pSet->m_LoadFromKey(PM_SECTION_CURRENT)) {
            pEndPoint = static_cast<UsbRegistryEndPoint*>(PmAllocateZeroedMemory(sizeof(UsbRegistryEndPoint), NonPagedPool));
            if (pEndPoint) {
                pEndPoint->m_ucEndPointHandle = (UCHAR)pSet->m_ulEndPointHandle;
                pEndPoint->m_ucInterfaceNumber = (UCHAR)pSet->m_ulInterfaceNumber;
                pEndPoint->m_ucAlternateSetting = (UCHAR)pSet->m_ulAlternateSetting;
                pEndPoint->m_ucEndPointAddress = (UCHAR)pSet->m_ulEndPointAddress;
                pEndPoint->m_ulMaximumTransferSize = pSet->m_ulMaximumTransferSize;
                pEndPoint->m_ulEndPointType = pSet->m_ulEndPointType;
                pEndPoint->m_ulCallbackNeeded = pSet->m_ulCallbackNeeded;
                if (!m_RegistryEndPoints.m_Append(pEndPoint)) {
                    PmFreeMemory(pEndPoint);
                    pEndPoint = NULL;
                }
            }
        }
        if (!pEndPoint) {
            PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbDevice::m_ReadRegistry - OUT - %s does not load", name.m_GetAnsiText());
            bDone = FALSE;
        }
        delete pSet;
        ZwClose(hEndPointKey);
    }
    ZwClose(hDeviceKey);
    return bDone;
}

void CUsbDevice::m_LogConfiguration() {
    const USB_DEVICE_DESCRIPTOR& d = m_DeviceDescriptor;
    PM_TRACE(HV_USB_TRACE_LEVEL, "USB Device Descriptor:");
    PM_TRACE(HV_USB_TRACE_LEVEL, "   bLength            = %d", d.bLength);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   bDescriptorType    = %d", d.bDescriptorType);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   bcdUSB             = 0x%04x", d.bcdUSB);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   bDeviceClass       = %d", d.bDeviceClass);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   bDeviceSubClass    = %d", d.bDeviceSubClass);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   bDeviceProtocol    = %d", d.bDeviceProtocol);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   bMaxPacketSize0    = %d", d.bMaxPacketSize0);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   idVendor           = 0x%04x", d.idVendor);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   idProduct          = 0x%04x", d.idProduct);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   bcdDevice          = 0x%04x", d.bcdDevice);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   iManufacturer      = %d", d.iManufacturer);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   iProduct           = %d", d.iProduct);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   iSerialNumber      = %d", d.iSerialNumber);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   bNumConfigurations = %d\r\n", d.bNumConfigurations);
    PM_TRACE(HV_USB_TRACE_LEVEL, "USB Device Registry Information:");
    PM_TRACE(HV_USB_TRACE_LEVEL, "   Device Class     = %d", m_ulDeviceClass);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   Device Sub Class = %d", m_ulDeviceSubClass);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   Device Protocol  = %d\r\n", m_ulDeviceProtocol);
    PM_TRACE(HV_USB_TRACE_LEVEL, "   End Points (%d):", m_RegistryEndPoints.m_GetCount());
    for (ULONG ulIndex = 1; ulIndex <= m_RegistryEndPoints.m_GetCount(); ++ulIndex) {
        UsbRegistryEndPoint* p = static_cast<UsbRegistryEndPoint*>(m_RegistryEndPoints.m_GetAt(ulIndex));
        PM_TRACE(HV_USB_TRACE_LEVEL, "      End Point Handle   = %d", p->m_ucEndPointHandle);
        PM_TRACE(HV_USB_TRACE_LEVEL, "      Interface Number   = %d", p->m_ucInterfaceNumber);
        PM_TRACE(HV_USB_TRACE_LEVEL, "      Alternate Setting  = %d", p->m_ucAlternateSetting);
        PM_TRACE(HV_USB_TRACE_LEVEL, "      End Point Address  = %d", p->m_ucEndPointAddress);
        PM_TRACE(HV_USB_TRACE_LEVEL, "      End Point Type     = %d", p->m_ulEndPointType);
        PM_TRACE(HV_USB_TRACE_LEVEL, "      Callback Needed    = %d\r\n", p->m_ulCallbackNeeded);
    }
}

BOOLEAN CUsbDevice::m_BuildTransportEndPoints() {
    for (ULONG ulIndex = 1; ulIndex <= m_RegistryEndPoints.m_GetCount(); ++ulIndex) {
        UsbRegistryEndPoint* p = static_cast<UsbRegistryEndPoint*>(m_RegistryEndPoints.m_GetAt(ulIndex));
        // Zeroed as a whole, reserved words included.
        UsbTransportEndPoint* t =
            static_cast<UsbTransportEndPoint*>(PmAllocateZeroedMemory(sizeof(UsbTransportEndPoint), NonPagedPool));
        if (!t)
            return FALSE;
        t->m_ucInterfaceNumber = p->m_ucInterfaceNumber;
        t->m_ucAlternateSetting = p->m_ucAlternateSetting;
        t->m_ucEndPointAddress = p->m_ucEndPointAddress;
        t->m_ucEndPointType = (UCHAR)p->m_ulEndPointType;
        t->m_ulMaximumTransferSize = p->m_ulMaximumTransferSize;
        t->m_ucEndPointHandle = p->m_ucEndPointHandle;
        if (!m_TransportEndPoints.m_Append(t)) {
            PmFreeMemory(t);
            return FALSE;
        }
    }
    return TRUE;
}

BOOLEAN CUsbDevice::m_MatchesRegistry() {
    if (m_DeviceDescriptor.bDeviceClass != m_ulDeviceClass || m_DeviceDescriptor.bDeviceSubClass != m_ulDeviceSubClass ||
        m_DeviceDescriptor.bDeviceProtocol != m_ulDeviceProtocol) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbDevice::m_MatchesRegistry - OUT - the device is not the one the registry names");
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CUsbDevice::m_ReadConfigurationDescriptor() {
    USB_CONFIGURATION_DESCRIPTOR header;
    RtlZeroMemory(&header, sizeof(header));
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, (UCHAR)m_ulSelectedConfiguration, 0, &header, NULL,
                                 sizeof(header), NULL);
    if (!m_SubmitUrb(&urb, TRUE) || urb.UrbControlDescriptorRequest.TransferBufferLength < sizeof(header) ||
        header.wTotalLength < sizeof(header))
        return FALSE;
    ULONG ulTotal = header.wTotalLength;
    m_pConfigurationDescriptor =
        static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(PmAllocateZeroedMemory(ulTotal, NonPagedPool));
    if (!m_pConfigurationDescriptor)
        return FALSE;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, (UCHAR)m_ulSelectedConfiguration, 0,
                                 m_pConfigurationDescriptor, NULL, ulTotal, NULL);
    // The parser must never read past what the device sent.
    if (!m_SubmitUrb(&urb, TRUE) || urb.UrbControlDescriptorRequest.TransferBufferLength != ulTotal ||
        m_pConfigurationDescriptor->wTotalLength != ulTotal) {
        PmFreeMemory(m_pConfigurationDescriptor);
        m_pConfigurationDescriptor = NULL;
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CUsbDevice::m_Configure() {
    if (!m_ReadConfigurationDescriptor()) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbDevice::m_Configure - OUT - the configuration descriptor could not be read");
        return FALSE;
    }
    // The distinct interface numbers, in first-seen order.
    UCHAR aucNumbers[256];
    ULONG ulCount = 0;
    for (ULONG ulIndex = 1; ulIndex <= m_TransportEndPoints.m_GetCount(); ++ulIndex) {
        UCHAR ucNumber = static_cast<UsbTransportEndPoint*>(m_TransportEndPoints.m_GetAt(ulIndex))->m_ucInterfaceNumber;
        BOOLEAN bSeen = FALSE;
        for (ULONG ulSeen = 0; ulSeen < ulCount && !bSeen; ++ulSeen)
            bSeen = aucNumbers[ulSeen] == ucNumber;
        if (!bSeen)
            aucNumbers[ulCount++] = ucNumber;
    }
    PUSBD_INTERFACE_LIST_ENTRY pList = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        PmAllocateZeroedMemory((ulCount + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY), NonPagedPool));
    if (!pList)
        return FALSE;
    BOOLEAN bDone = TRUE;
    for (ULONG ulIndex = 0; ulIndex < ulCount && bDone; ++ulIndex) {
        pList[ulIndex].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
            m_pConfigurationDescriptor, m_pConfigurationDescriptor, aucNumbers[ulIndex], -1, -1, -1, -1);
        if (!pList[ulIndex].InterfaceDescriptor) {
            PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbDevice::m_Configure - OUT - interface %d is not in the configuration",
                     aucNumbers[ulIndex]);
            bDone = FALSE;
        }
    }
    if (bDone)
        bDone = m_SelectConfiguration(pList, ulCount);
    PmFreeMemory(pList);
    if (!bDone)
        return FALSE;
    // Every endpoint the registry names must be a selected pipe.
    for (ULONG ulIndex = 1; ulIndex <= m_TransportEndPoints.m_GetCount(); ++ulIndex) {
        UsbTransportEndPoint* t = static_cast<UsbTransportEndPoint*>(m_TransportEndPoints.m_GetAt(ulIndex));
        UsbPipeRecord* pFound = NULL;
        for (ULONG ulInterface = 1; ulInterface <= m_Interfaces.m_GetCount() && !pFound; ++ulInterface) {
            UsbInterfaceRecord* pInterface = static_cast<UsbInterfaceRecord*>(m_Interfaces.m_GetAt(ulInterface));
            if (pInterface->m_ucInterfaceNumber != t->m_ucInterfaceNumber ||
                pInterface->m_ucAlternateSetting != t->m_ucAlternateSetting)
                continue;
            for (ULONG ulPipe = 1; ulPipe <= pInterface->m_Pipes.m_GetCount() && !pFound; ++ulPipe) {
                UsbPipeRecord* pPipe = static_cast<UsbPipeRecord*>(pInterface->m_Pipes.m_GetAt(ulPipe));
                if (pPipe->m_Pipe.EndpointAddress == t->m_ucEndPointAddress)
                    pFound = pPipe;
            }
        }
        if (!pFound) {
            PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbDevice::m_Configure - OUT - no pipe for endpoint 0x%02x",
                     t->m_ucEndPointAddress);
            return FALSE;
        }
        pFound->m_ucEndPointHandle = t->m_ucEndPointHandle;
    }
    return TRUE;
}

BOOLEAN CUsbDevice::m_SelectConfiguration(PUSBD_INTERFACE_LIST_ENTRY pList, ULONG ulCount) {
    PURB pUrb = USBD_CreateConfigurationRequestEx(m_pConfigurationDescriptor, pList);
    if (!pUrb) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbDevice::m_SelectConfiguration - OUT - no request");
        return FALSE;
    }
    for (ULONG ulIndex = 0; ulIndex < ulCount; ++ulIndex) {
        PUSBD_INTERFACE_INFORMATION pInterface = pList[ulIndex].Interface;
        for (ULONG ulPipe = 0; ulPipe < pInterface->NumberOfPipes; ++ulPipe)
            pInterface->Pipes[ulPipe].MaximumTransferSize = 0xFFFFFFFF;
    }
    BOOLEAN bDone = m_SubmitUrb(pUrb, TRUE);
    if (bDone) {
        m_hConfiguration = pUrb->UrbSelectConfiguration.ConfigurationHandle;
        for (ULONG ulIndex = 0; ulIndex < ulCount && bDone; ++ulIndex)
            bDone = m_CopyInterface(pList[ulIndex].Interface);
    } else {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbDevice::m_SelectConfiguration - OUT - the device refused the configuration");
    }
    ExFreePool(pUrb);
    return bDone;
}

BOOLEAN CUsbDevice::m_CopyInterface(PUSBD_INTERFACE_INFORMATION pInterface) {
    UsbInterfaceRecord* pRecord = new (NonPagedPool) UsbInterfaceRecord();
    if (!pRecord)
        return FALSE;
    pRecord->m_ucInterfaceNumber = pInterface->InterfaceNumber;
    pRecord->m_ucAlternateSetting = pInterface->AlternateSetting;
    pRecord->m_ucClass = pInterface->Class;
    pRecord->m_ucSubClass = pInterface->SubClass;
    pRecord->m_ucProtocol = pInterface->Protocol;
    pRecord->m_ucReserved = 0;
    pRecord->m_hInterface = pInterface->InterfaceHandle;
    pRecord->m_ulNumberOfPipes = pInterface->NumberOfPipes;
    if (!m_Interfaces.m_Append(pRecord)) {
        DeleteInterface(pRecord);
        return FALSE;
    }
    for (ULONG ulPipe = 0; ulPipe < pInterface->NumberOfPipes; ++ulPipe) {
        UsbPipeRecord* pPipe = static_cast<UsbPipeRecord*>(PmAllocateZeroedMemory(sizeof(UsbPipeRecord), NonPagedPool));
        if (!pPipe)
            return FALSE;
        pPipe->m_Pipe = pInterface->Pipes[ulPipe];
        if (!pRecord->m_Pipes.m_Append(pPipe)) {
            PmFreeMemory(pPipe);
            return FALSE;
        }
    }
    return TRUE;
}

BOOLEAN CUsbDevice::m_FindPipe(UCHAR ucEndPointHandle, USBD_PIPE_HANDLE* phPipe) {
    for (ULONG ulInterface = 1; ulInterface <= m_Interfaces.m_GetCount(); ++ulInterface) {
        UsbInterfaceRecord* pInterface = static_cast<UsbInterfaceRecord*>(m_Interfaces.m_GetAt(ulInterface));
        for (ULONG ulPipe = 1; ulPipe <= pInterface->m_Pipes.m_GetCount(); ++ulPipe) {
            UsbPipeRecord* pPipe = static_cast<UsbPipeRecord*>(pInterface->m_Pipes.m_GetAt(ulPipe));
            if (pPipe->m_ucEndPointHandle == ucEndPointHandle) {
                *phPipe = pPipe->m_Pipe.PipeHandle;
                return TRUE;
            }
        }
    }
    return FALSE;
}

BOOLEAN CUsbDevice::m_VendorRequest(BOOLEAN bIn, UCHAR ucRequest, USHORT unValue, USHORT unInterfaceIndex,
                                    CPmBuffer* pBuffer) {
    // The retries wait: never above PASSIVE_LEVEL.
    if (KeGetCurrentIrql() > APC_LEVEL) {
        PM_ASSERTION_LINE(__FILE__);
        return FALSE;
    }
    for (ULONG ulAttempt = 1;; ++ulAttempt) {
        URB urb;
        RtlZeroMemory(&urb, sizeof(urb));
        UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_INTERFACE,
                              (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              bIn ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0, ucRequest,
                              bIn ? 0 : unValue, unInterfaceIndex, pBuffer ? pBuffer->m_GetData() : NULL, NULL,
                              pBuffer ? pBuffer->m_GetLength() : 0, NULL);
        if (m_SubmitUrb(&urb, TRUE)) {
            if (bIn && pBuffer && g_pPmDebugManager)
                g_pPmDebugManager->m_TraceHexDump(HV_USB_TRACE_LEVEL, pBuffer->m_GetData(),
                                                  urb.UrbControlVendorClassRequest.TransferBufferLength,
                                                  "CUsbDevice::m_VendorInterfaceRequestIN - read");
            return TRUE;
        }
        USBD_STATUS usbdStatus = urb.UrbHeader.Status;
        if (usbdStatus != USBD_STATUS_XACT_ERROR && usbdStatus != USBD_STATUS_CANCELED)
            return FALSE;
        DbgPrint("USBD_STATUS_XACT_ERROR => Retrying...%d\n", ulAttempt);
        if (ulAttempt >= HV_USB_VENDOR_ATTEMPTS)
            return FALSE;
        m_SubmitUsbRequest();
        DelayOneSecond();
    }
}

BOOLEAN CUsbDevice::m_VendorInterfaceRequestIN(UCHAR ucRequest, USHORT unInterfaceIndex, CPmBuffer* pBuffer) {
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbDevice::m_VendorInterfaceRequestIN - ucRequest=0x%02x unValue=0x%04x unInterfaceIndex=0x%04x",
             ucRequest, 0, unInterfaceIndex);
    BOOLEAN bStatus = pBuffer && pBuffer->m_GetLength() != 0 &&
                      m_VendorRequest(TRUE, ucRequest, 0, unInterfaceIndex, pBuffer);
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbDevice::m_VendorInterfaceRequestIN OUT - bStatus=%s", BoolText(bStatus));
    return bStatus;
}

BOOLEAN CUsbDevice::m_VendorInterfaceRequestOUT(UCHAR ucRequest, USHORT unValue, USHORT unInterfaceIndex) {
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbDevice::m_VendorInterfaceRequestOUT - ucRequest=0x%02x unValue=0x%04x unInterfaceIndex=0x%04x",
             ucRequest, unValue, unInterfaceIndex);
    BOOLEAN bStatus = m_VendorRequest(FALSE, ucRequest, unValue, unInterfaceIndex, NULL);
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbDevice::m_VendorInterfaceRequestOUT OUT - bStatus=%s", BoolText(bStatus));
    return bStatus;
}
