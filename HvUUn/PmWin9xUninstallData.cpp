#include "PmWin9xUninstallData.h"

namespace {

void Fill(CStringList& list, std::initializer_list<const char*> names) {
    for (const char* name : names) list.AddTail(name);
}

} // namespace

CPmWin9xUninstallData::CPmWin9xUninstallData()
    : m_strVendor("VEN_5D7E"), m_strProvider("PELLMARK"), m_strBrand("HALVORN"),
      m_strClassRoot("System\\CurrentControlSet\\Services\\Class") {
    m_KeyList.AddTail("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pellmark");
    Fill(m_ClassKeys, {"System\\CurrentControlSet\\Services\\Class\\MultiFunction",
                       "System\\CurrentControlSet\\Services\\Class\\MultiPortSerial",
                       "System\\CurrentControlSet\\Services\\Class\\Ports"});
    Fill(m_EnumRoots, {"Enum\\MF", "Enum\\PCI", "Enum\\PCMCIA", "Enum\\Root\\MultiFunction"});
    // The older brand's Windows 9x virtual device drivers, its NT 4 drivers and card library.
    Fill(m_DriverNames, {"PMSERIAL.VXD", "PMPORT.VXD", "PMMF.VXD", "PMPCI.VXD", "PMCARD.VXD", "PMENUM.VXD",
                         "PMVCOMM.VXD", "PmSerial.sys", "PmPort.sys", "PmMf.sys", "PmPci.sys", "PmCard.sys",
                         "PmEnum.sys", "PmCard.dll"});
    Fill(m_LibraryNames, {"PmPorts.dll", "PmPropPg.dll", "PmCoInst.dll", "PmMfProp.dll", "PmSetup.dll",
                          "PmUninst.dll", "PmConfig.dll", "PmDiag.dll", "PmCardUI.dll"});
    // Its INF files, some with the brand's or the maker's name run in front, and its two driver
    // databases.
    Fill(m_InfNames, {"PMSERIAL.INF",        "PMPORT.INF",         "PMMF.INF",          "PMPCI.INF",
                      "PMPCMCIA.INF",        "PMCARD.INF",         "PMENUM.INF",        "PMMULTI.INF",
                      "PMISA.INF",           "PMMODEM.INF",        "PMPAR.INF",         "PMGPIO.INF",
                      "PMUSB.INF",           "PELLMARKSERIAL.INF", "PELLMARKPORT.INF",  "PELLMARKMF.INF",
                      "PELLMARKPCI.INF",     "PELLMARKPCMCIA.INF", "PELLMARKCARD.INF",  "PELLMARK.INF",
                      "HALVORNPMSERIAL.INF", "HALVORNPMMF.INF",    "HALVORNPMCARD.INF", "PMDRV.BIN",
                      "PMDRV2.BIN"});
    Fill(m_HelpNames, {"PMSERIAL.HLP", "PMCARD.HLP"});
}
