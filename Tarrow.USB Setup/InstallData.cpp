#include "InstallData.h"

namespace {

// The bus driver's product IDs: those of single-interface chips stand alone, every other one
// comes with its two interfaces of a composite device.
const char* const kSingleInterfaceProducts[] = {"1001", "1003", "1011", "1015", "1013"};
const char* const kBusProducts[] = {"1001", "1002", "1003", "1004", "1011", "1015", "1013", "7001", "5001",
                                    "6001", "2011", "2012", "3011", "3012", "8001", "8002", "8003", "8004",
                                    "2021", "2022", "2023", "2024", "2031", "2032", "2033", "2034", "2035",
                                    "2036", "2037", "2038", "2001", "2002", "2003"};
const char* const kPortIds[] = {"PORTS\\HVUSER23221", "PORTS\\HVUSER42248521"};

bool IsSingleInterface(const char* product) {
    for (const char* single : kSingleInterfaceProducts)
        if (lstrcmpA(single, product) == 0) return true;
    return false;
}

} // namespace

CTarrowUSBInstallData::CTarrowUSBInstallData()
    : m_BusInfList(10), m_PortInfList(10), m_Installed(FALSE), m_DeviceSet(INVALID_HANDLE_VALUE), m_FailureCode(0),
      m_RunningWorkers(0) {
    char directory[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, directory);
    // The root of a drive ("D:\\") already ends with its separator.
    CString folder = directory;
    if (folder.GetLength() > 0 && folder[folder.GetLength() - 1] == '\\') folder.Delete(folder.GetLength() - 1);
    m_UninstallerName = "HVUUN21.EXE";

    CDeviceInf* port = new CDeviceInf;
    port->m_InfPath = folder + "\\HVUSER.INF";
    for (const char* id : kPortIds) port->m_HardwareIds.AddTail(id);
    m_PortInfList.AddTail(port);

    CDeviceInf* bus = new CDeviceInf;
    bus->m_InfPath = folder + "\\HVUBUS.INF";
    for (const char* product : kBusProducts) {
        CString id = CString("USB\\VID_7A5C&PID_") + product;
        bus->m_HardwareIds.AddTail(id);
        if (IsSingleInterface(product)) continue;
        bus->m_HardwareIds.AddTail(id + "&MI_00");
        bus->m_HardwareIds.AddTail(id + "&MI_01");
    }
    m_BusInfList.AddTail(bus);
}

CTarrowUSBInstallData::~CTarrowUSBInstallData() {
    for (POSITION at = m_BusInfList.GetHeadPosition(); at;) delete m_BusInfList.GetNext(at);
    for (POSITION at = m_PortInfList.GetHeadPosition(); at;) delete m_PortInfList.GetNext(at);
}

void CTarrowUSBInstallData::WaitForWorkers() const {
    while (m_RunningWorkers.load() > 0) Sleep(1);
}
