#include "PmWin2kUninstallData.h"

#include <initializer_list>

namespace {

const int kAllVersions[] = {10, 11, 12, 13, 14, 20, 21, 23, 99};

void AddAll(CStringList& list, std::initializer_list<const char*> names) {
    for (const char* name : names) list.AddTail(name);
}

// "<prefix><nn><suffix>" for each version, in order.
void AddVersions(CStringList& list, const char* prefix, std::initializer_list<int> versions,
                 const char* suffix = "") {
    for (int version : versions) {
        CString name;
        name.Format("%s%02d%s", prefix, version, suffix);
        list.AddTail(name);
    }
}

void AddUsbId(CStringList& list, int pid, bool withInterfaces) {
    CString id;
    id.Format("USB\\VID_7A5C&PID_%04d", pid);
    list.AddTail(id);
    if (!withInterfaces) return;
    list.AddTail(id + "&MI_00");
    list.AddTail(id + "&MI_01");
}

} // namespace

void AddUnique(CStringList& list, LPCSTR text) {
    if (!list.Find(text)) list.AddTail(text);
}

CPmWin2kUninstallData::CPmWin2kUninstallData() {
    AddAll(m_OemInfList, {"HVUBUS.inf", "HVUVCP.inf", "HVUSER.inf"});

    AddAll(m_SetupClasses, {"HVUBUS", "MULTIPORTSERIAL", "PORTS", "USB"});
    AddAll(m_ManufacturerTexts,
           {"HALVORN SERIAL PORT", "HALVORN PARALLEL PORT", "HALVORN LIMITED", "HALVORN LTD."});

    for (int version : kAllVersions) {
        AddVersions(m_SystemFileNames, "HvUUI", {version}, ".dll");
        AddVersions(m_SystemFileNames, "HvCoIn", {version}, ".dll");
        AddVersions(m_SystemFileNames, "HvUUn", {version}, ".exe");
    }
    AddAll(m_SystemFileNames, {"HvUUI15.dll", "HvCoIn15.dll"});
    // The older brand's Windows 9x virtual device drivers and libraries.
    AddAll(m_SystemFileNames, {"PmVSer.vxd", "PmVBus.vxd", "PmVPar.vxd", "PmVEnum.vxd", "PmVCard.vxd",
                               "PmVMf.vxd", "PmVCtl.vxd", "PmUI.dll", "PmCoIn.dll", "PmCard.dll",
                               "PmPorts.dll", "PmMf.dll", "PmSetup.dll", "PmCfg.dll", "PmUninst.exe"});

    AddVersions(m_DriverFileNames, "HvUBUS", {10, 11, 12, 13, 14, 15, 20, 21, 22, 99}, ".sys");
    AddVersions(m_DriverFileNames, "HvUVCP", {10, 11, 12, 13, 99}, ".SYS");
    AddVersions(m_DriverFileNames, "HvUSer", {14, 15, 20, 21, 23, 99}, ".SYS");
    AddVersions(m_DriverFileNames, "HvEnum", {10, 11, 12, 13, 14, 15, 20, 21, 23, 99}, ".sys");
    // The current package's drivers carry no version in their names.
    AddAll(m_DriverFileNames, {"HvUBus.sys", "HvUVCP.sys"});

    AddAll(m_ServiceNames, {"HVUVCP", "HVUSER", "HVUBUS", "HVVCP", "HVVBUS", "HVENUM"});
    AddVersions(m_ServiceNames, "HVUBUS", {11, 12, 13, 14, 15, 20, 21, 22, 23, 99});
    AddVersions(m_ServiceNames, "HVUVCP", {11, 12, 13, 99});
    AddVersions(m_ServiceNames, "HVUSER", {14, 15, 20, 21, 22, 23});
    AddVersions(m_ServiceNames, "HVENUM", {11, 12, 13, 14, 15, 20, 21, 22, 23, 99});
    // The current package's bus driver service.
    m_ServiceNames.AddTail("HVUSBSAM");

    AddAll(m_InfNames, {"HVUBUS.inf", "HVUVCP.inf", "HVUSER.inf"});
    // The older brand's INF files, plain and with the brand's name run in front, and its driver
    // databases.
    static const char* const olderInfs[] = {
        "MPSER.inf",    "MPPAR.inf",  "MPBUS.inf",  "MPMF.inf",    "MPCARD.inf", "MPPCI.inf",
        "MPPCMCIA.inf", "MPENUM.inf", "MPVCP.inf",  "MPPORTS.inf", "MPUSB.inf",  "MPISA.inf",
        "MP422.inf",    "MP485.inf",  "MPGPIO.inf", "MPMODEM.inf", "MPMULTI.inf"};
    for (const char* name : olderInfs) m_InfNames.AddTail(name);
    for (const char* name : olderInfs) m_InfNames.AddTail(CString("Pellmark") + name);
    AddAll(m_InfNames, {"MPDRV.bin", "MPDRV9X.bin"});

    m_HelpFileNames.AddTail("HvUUI.chm");
    AddVersions(m_HelpFileNames, "HvUUI", {10, 11, 12, 13, 14, 15, 20, 21, 23, 99}, ".chm");
    m_HelpFileNames.AddTail("Pellmark.hlp");

    const char* services = "SYSTEM\\CurrentControlSet\\Services\\";
    for (const char* name : {"HvUBUS", "HvUVCP", "HvENUM"}) m_CandidateKeys.AddTail(CString(services) + name);
    AddVersions(m_CandidateKeys, (CString(services) + "HvUBUS").GetString(),
                {11, 12, 13, 14, 15, 20, 21, 22, 99});
    AddVersions(m_CandidateKeys, (CString(services) + "HvUVCP").GetString(), {11, 12, 13, 99});
    AddVersions(m_CandidateKeys, (CString(services) + "HvUSER").GetString(), {14, 15, 20, 21, 23, 99});
    AddVersions(m_CandidateKeys, (CString(services) + "HvENUM").GetString(),
                {11, 12, 13, 14, 15, 20, 21, 22, 99});
    m_CandidateKeys.AddTail(CString(services) + "HvUsbSam");
    const char* eventLog = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\";
    for (const char* name : {"HvUBus", "HvUVCP", "HvUSER"}) m_CandidateKeys.AddTail(CString(eventLog) + name);
    AddVersions(m_CandidateKeys, (CString(eventLog) + "HvUBus").GetString(),
                {11, 12, 13, 14, 15, 20, 21, 23, 99});
    AddVersions(m_CandidateKeys, (CString(eventLog) + "HvUVCP").GetString(), {11, 12, 13, 99});
    AddVersions(m_CandidateKeys, (CString(eventLog) + "HvUSER").GetString(), {14, 15, 20, 21, 23});
    // The event-log source of the current bus driver.
    m_CandidateKeys.AddTail(CString(eventLog) + "HvUsbSam");

    AddAll(m_ClassKeys,
           {"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E978-E325-11CE-BFC1-08002BE10318}",
            "SYSTEM\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}"});
    AddAll(m_EnumRoots, {"SYSTEM\\CurrentControlSet\\Enum\\USB", "SYSTEM\\CurrentControlSet\\Enum\\Ports"});

    AddAll(m_HardwareIds,
           {"Ports\\HVVCP", "Ports\\HVUVCP", "Ports\\HVUSER", "Ports\\HVUVCP232", "Ports\\HVUVCP422485"});
    for (int version : {11, 12, 13}) {
        AddVersions(m_HardwareIds, "Ports\\HVUVCP232", {version});
        AddVersions(m_HardwareIds, "Ports\\HVUVCP422485", {version});
    }
    for (int version : {14, 15, 20, 21, 22}) {
        AddVersions(m_HardwareIds, "Ports\\HVUSER232", {version});
        AddVersions(m_HardwareIds, "Ports\\HVUSER422485", {version});
    }
    for (int pid : {1001, 1002, 1003, 1004, 1011, 1015, 1013, 7001, 5001, 6001, 2011,
                    2012, 3011, 3012, 8001, 8002, 8003, 8004, 2021, 2022, 2023, 2024,
                    2031, 2032, 2033, 2034, 2035, 2036, 2037, 2038, 2001, 2002, 2003})
        AddUsbId(m_HardwareIds, pid, pid != 1001 && pid != 1003 && pid != 1011 && pid != 1013 && pid != 1015);
}

CPmWin2kUninstallData::~CPmWin2kUninstallData() {
    m_DeviceList.m_Free(TRUE);
    if (m_hDeviceInfoSet != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_hDeviceInfoSet);
}
