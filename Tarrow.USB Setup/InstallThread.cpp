// The install run: the previous installation removed with its devices and COM numbers, the
// package's INF files copied into the system, the drivers bound to every listed hardware ID,
// absent devices marked for reinstallation and the device tree scanned again.
#include "InstallSheet.h"

#include <cfgmgr32.h>
#include <msports.h>
#include <newdev.h>

#include <cstdlib>

#include "HVDeviceRegInfo.h"
#include "PreviousInstallation.h"
#include "Resource.h"
#include "UninstallUtil.h"

namespace {

const char kNotInstalled[] = "Product was not installed.";
const char kInfNotFound[] = "Error: Setup cannot find necessory inf file to install. Please make sure, you run this "
                            "application from the installation CD or DiskImage folder of the driver package.";

typedef CList<CDriver*, CDriver*> CDriverList;
typedef CList<DWORD, DWORD> CNumberList;

// The wizard's sheet, or none in a silent run.
struct Run {
    CTarrowUSBInstallPage* page;
    CTarrowUSBInstallData* data;
    BOOL silent;
    CWnd* sheet;
};

void PressNext(const Run& run) {
    if (run.silent) return;
    run.sheet->PostMessage(PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
    run.sheet->SendMessage(PSM_PRESSBUTTON, PSBTN_NEXT, 0);
}

void Fail(const Run& run, const CString& message, DWORD code) {
    run.data->m_Installed = FALSE;
    run.data->m_ResultTitle = kNotInstalled;
    run.data->m_ResultMessage = message;
    run.data->m_FailureCode = code ? code : ERROR_GEN_FAILURE;
}

CString ErrorText(DWORD error) {
    if (error == ERROR_FILE_NOT_FOUND) return kInfNotFound;
    CString text;
    text.Format("Error was detected. Error Code: 0x%X", error);
    return text;
}

// "COM12" gives 12: the first three characters go, the leading digits of the rest count.
DWORD ComNumberOf(const std::string& port_name) {
    DWORD number = 0;
    for (size_t i = 3; i < port_name.size() && port_name[i] >= '0' && port_name[i] <= '9'; ++i)
        number = number * 10 + DWORD(port_name[i] - '0');
    return number;
}

void ReadComNumber(HDEVINFO set, const SP_DEVINFO_DATA& device, CNumberList& numbers) {
    CHVDeviceRegInfoA info(set, device);
    std::string name;
    if (info.m_GetDeviceValue("PortName", name)) numbers.AddTail(ComNumberOf(name));
}

// Appends each device of the set that one of the list's IDs names, once.
void ScanDevices(HDEVINFO set, CList<CDeviceInf*, CDeviceInf*>& infs, BOOL ports, CDriverList& found,
                 CNumberList& numbers, CDriver*& buffer) {
    CUninstallUtil util;
    for (POSITION inf = infs.GetHeadPosition(); inf;) {
        CDeviceInf* entry = infs.GetNext(inf);
        for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &buffer->m_DevInfoData); ++index) {
            for (POSITION at = entry->m_HardwareIds.GetHeadPosition(); at;) {
                CString id = UpperCaseId(entry->m_HardwareIds.GetNext(at));
                if (!util.m_DevicePropertyContains(set, id, &buffer->m_DevInfoData, SPDRP_HARDWAREID))
                    continue;
                if (ports) ReadComNumber(set, buffer->m_DevInfoData, numbers);
                found.AddTail(buffer);
                buffer = new CDriver;
                break;
            }
        }
    }
}

void AddChildren(HDEVINFO set, CDriverList& found, CDriverList& children, CNumberList& numbers, CDriver*& buffer) {
    CUninstallUtil util;
    for (POSITION at = found.GetHeadPosition(); at;) {
        CDriver* parent = found.GetNext(at);
        DEVINST child = 0;
        for (CONFIGRET cr = CM_Get_Child(&child, parent->m_DevInfoData.DevInst, 0); cr == CR_SUCCESS;
             cr = CM_Get_Sibling(&child, child, 0)) {
            ULONG size = 0;
            if (CM_Get_Device_ID_Size(&size, child, 0) != CR_SUCCESS) continue;
            CString id;
            char* text = id.GetBufferSetLength(int(size) + 1);
            if (CM_Get_Device_IDA(child, text, size + 1, 0) != CR_SUCCESS) continue;
            id.ReleaseBuffer();
            if (!util.m_OpenDeviceInfo(set, id, &buffer->m_DevInfoData)) continue;
            children.AddTail(buffer);
            ReadComNumber(set, buffer->m_DevInfoData, numbers);
            buffer = new CDriver;
        }
    }
}

void RemoveAll(HDEVINFO set, CDriverList& devices) {
    CUninstallUtil util;
    while (!devices.IsEmpty()) {
        CDriver* record = devices.RemoveHead();
        SP_DEVINFO_DATA copy = record->m_DevInfoData;
        util.m_RemoveDevice(set, &copy);
        delete record;
    }
}

void ReleaseComNumbers(CNumberList& numbers) {
    HCOMDB db = nullptr;
    if (ComDBOpen(&db) != ERROR_SUCCESS) return;
    for (POSITION at = numbers.GetHeadPosition(); at;) {
        DWORD number = numbers.GetNext(at);
        if (number) ComDBReleasePort(db, number);
    }
    ComDBClose(db);
}

// The previous installation's devices, the port children below them, and their COM numbers.
void RemovePreviousInstallation(CTarrowUSBInstallData* data) {
    CUninstallUtil util;
    if (util.m_GetClassDevices(&data->m_DeviceSet, DIGCF_ALLCLASSES)) {
        CDriverList found(10), children(10);
        CNumberList numbers(10);
        CDriver* buffer = new CDriver;
        ScanDevices(data->m_DeviceSet, data->m_BusInfList, FALSE, found, numbers, buffer);
        ScanDevices(data->m_DeviceSet, data->m_PortInfList, TRUE, found, numbers, buffer);
        AddChildren(data->m_DeviceSet, found, children, numbers, buffer);
        delete buffer;
        // Children go before their parents.
        RemoveAll(data->m_DeviceSet, children);
        RemoveAll(data->m_DeviceSet, found);
        ReleaseComNumbers(numbers);
    }
    SetupDiDestroyDeviceInfoList(data->m_DeviceSet);
    data->m_DeviceSet = INVALID_HANDLE_VALUE;
}

// Both INF files must be there before anything of a previous installation goes.
BOOL FindInfFiles(const Run& run) {
    for (auto* list : {&run.data->m_BusInfList, &run.data->m_PortInfList})
        for (POSITION at = list->GetHeadPosition(); at;)
            if (GetFileAttributesA(list->GetNext(at)->m_InfPath) == INVALID_FILE_ATTRIBUTES) {
                Fail(run, kInfNotFound, ERROR_FILE_NOT_FOUND);
                return FALSE;
            }
    return TRUE;
}

// Copies the INF files into the system's INF store: a file that does not install as an INF is
// found here, while the previous installation is still complete.
BOOL CopyInfFiles(const Run& run) {
    for (POSITION at = run.data->m_BusInfList.GetHeadPosition(); at;) {
        CDeviceInf* inf = run.data->m_BusInfList.GetNext(at);
        if (!SetupCopyOEMInfA(inf->m_InfPath, nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) {
            DWORD error = GetLastError();
            Fail(run, ErrorText(error), error);
            return FALSE;
        }
    }
    for (POSITION at = run.data->m_PortInfList.GetHeadPosition(); at;) {
        CDeviceInf* inf = run.data->m_PortInfList.GetNext(at);
        if (!SetupCopyOEMInfA(inf->m_InfPath, nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) {
            DWORD error = GetLastError();
            if (!run.silent) MessageBoxA(nullptr, "Unable to install driver INF file", "Installer failure", MB_OK);
            CString message;
            message.Format("Unable to install driver INF file %s. Error Code: 0x%X", inf->m_InfPath.GetString(),
                           error);
            Fail(run, message, error);
            return FALSE;
        }
    }
    return TRUE;
}

// Binds the drivers: a listed ID without a device now gets its driver when one arrives.
void UpdateDrivers(CList<CDeviceInf*, CDeviceInf*>& infs) {
    for (POSITION inf = infs.GetHeadPosition(); inf;) {
        CDeviceInf* entry = infs.GetNext(inf);
        for (POSITION at = entry->m_HardwareIds.GetHeadPosition(); at;) {
            BOOL reboot = FALSE;
            UpdateDriverForPlugAndPlayDevicesA(nullptr, entry->m_HardwareIds.GetNext(at), entry->m_InfPath, 0,
                                               &reboot);
        }
    }
}

void Install(const Run& run) {
    CTarrowUSBInstallData* data = run.data;
    if (!run.silent) {
        run.page->m_Animate.Open(IDR_INSTALL_AVI);
        if (DetectPreviousInstallation(data)) {
            int answer = run.page->MessageBox(
                "Setup detected a previous installation.\r\nIf you continue, setup will uninstall the existing "
                "installation and re-install current version.\r\nIt will not keep the previous device settings."
                "\r\n\r\nDo you want to continue?",
                "Confirm?", MB_YESNO | MB_ICONQUESTION);
            if (answer != IDYES) {
                Fail(run, "A previous installation was detected.", ERROR_CANCELLED);
                return;
            }
        }
    }
    if (!FindInfFiles(run) || !CopyInfFiles(run)) return;
    RemovePreviousInstallation(data);
    UpdateDrivers(data->m_BusInfList);
    UpdateDrivers(data->m_PortInfList);
    MarkAbsentDevicesForReinstallation(data, run.silent);
    data->m_Installed = TRUE;
    data->m_FailureCode = 0;
    CUninstallUtil util;
    Sleep(2000);
    util.m_RescanDevices();
    Sleep(5000);
    util.m_RescanDevices();
}

} // namespace

UINT InstallThread(LPVOID param) {
    auto* page = static_cast<CTarrowUSBInstallPage*>(param);
    Run run{page, page->m_pInstallData, page->m_bSilent != 0, page->m_bSilent ? nullptr : page->GetParent()};
    Install(run);
    PressNext(run);
    --run.data->m_RunningWorkers;
    return 0;
}
