// RenumberCardPorts: hands a card's COM numbers out again in the order in which the device tree
// lists its ports, once per card.
#include <cfgmgr32.h>

#include <algorithm>
#include <vector>

#include "CoInstallPort.h"
#include "PortUtil.h"

namespace {

// Cards made of several USB serial devices behind a hub: their ports sit two levels further down.
const WCHAR* const kListedCards[] = {
    u"USB\\VID_7A5C&PID_1002", u"USB\\VID_7A5C&PID_1004", u"USB\\VID_7A5C&PID_7001", u"USB\\VID_7A5C&PID_5001",
    u"USB\\VID_7A5C&PID_6001", u"USB\\VID_7A5C&PID_2011", u"USB\\VID_7A5C&PID_2012", u"USB\\VID_7A5C&PID_3011",
    u"USB\\VID_7A5C&PID_3012", u"USB\\VID_7A5C&PID_2021", u"USB\\VID_7A5C&PID_2022", u"USB\\VID_7A5C&PID_2023",
    u"USB\\VID_7A5C&PID_2024", u"USB\\VID_7A5C&PID_8001", u"USB\\VID_7A5C&PID_8002", u"USB\\VID_7A5C&PID_8003",
    u"USB\\VID_7A5C&PID_8004", u"USB\\VID_7A5C&PID_9001", u"USB\\VID_7A5C&PID_9002", u"USB\\VID_7A5C&PID_9003",
    u"USB\\VID_7A5C&PID_9004", u"USB\\VID_7A5C&PID_9005", u"USB\\VID_7A5C&PID_9006", u"USB\\VID_7A5C&PID_9007",
    u"USB\\VID_7A5C&PID_9008", u"USB\\VID_7A5C&PID_2001", u"USB\\VID_7A5C&PID_2002", u"USB\\VID_7A5C&PID_2003",
};

const WCHAR* const kSortedMarker = u"ChildPortNameSorted";

enum class Walk { Go, Stop };

struct Collection {
    HDEVINFO list;
    std::vector<DWORD> numbers;
    std::vector<SP_DEVINFO_DATA> ports;
    SP_DEVINFO_DATA marker{};
};

bool IsStarted(DEVINST node) {
    ULONG status = 0, problem = 0;
    return CM_Get_DevNode_Status(&status, &problem, node, 0) == CR_SUCCESS && (status & DN_STARTED);
}

bool Open(HDEVINFO list, const std::u16string& id, SP_DEVINFO_DATA& data) {
    data = {};
    data.cbSize = sizeof data;
    return SetupDiOpenDeviceInfoW(list, id.c_str(), nullptr, 0, &data);
}

// Reads the class as upper-case text; false when it cannot be read.
bool ClassOf(HDEVINFO list, const SP_DEVINFO_DATA& data, std::u16string& out) {
    if (!CHVDeviceRegInfo(list, data).m_GetClassName(out)) return false;
    for (auto& c : out) c = towupper(c);
    return true;
}

// A port whose name is no COM name a port can be given counts as one whose name cannot be read:
// handing its number out would rename the others to names no port can take.
Walk Record(Collection& c, SP_DEVINFO_DATA& data) {
    std::u16string name;
    if (!GetDeviceStringValue(c.list, &data, u"PortName", name) || !IsValidComName(name)) return Walk::Stop;
    c.numbers.push_back(ComNumberOf(name));
    c.ports.push_back(data);
    return Walk::Go;
}

// Children of `node` at `level` (1 to 3), each rule as the levels differ.
Walk Collect(Collection& c, DEVINST node, int level) {
    DEVINST child = 0;
    for (CONFIGRET cr = CM_Get_Child(&child, node, 0); cr == CR_SUCCESS; cr = CM_Get_Sibling(&child, child, 0)) {
        std::u16string id;
        if (!DeviceInstanceIdOf(child, id)) continue;
        if (!IsStarted(child)) return Walk::Stop;
        SP_DEVINFO_DATA data;
        if (!Open(c.list, id, data)) {
            if (level == 3) continue;
            return Walk::Stop;
        }
        if (level == 3) {
            if (Record(c, data) == Walk::Stop) return Walk::Stop;
            continue;
        }
        std::u16string klass;
        bool known = ClassOf(c.list, data, klass);
        if (level == 1) {
            DWORD sorted = 0;
            if (GetDeviceDwordValue(c.list, &data, kSortedMarker, sorted) && sorted == 1) return Walk::Stop;
            c.marker = data;
            if (!known || klass == u"PORTS") {
                if (Record(c, data) == Walk::Stop) return Walk::Stop;
                continue;
            }
        } else {
            if (!known) continue;
            if (klass == u"PORTS") {
                if (Record(c, data) == Walk::Stop) return Walk::Stop;
                continue;
            }
        }
        if (Collect(c, child, level + 1) == Walk::Stop) return Walk::Stop;
    }
    return Walk::Go;
}

DWORD LowestFreeFrom3() {
    CPortUtil database;
    DWORD number = 0;
    if (database.m_Open()) {
        for (DWORD n = 3; n <= 255 && !number; ++n)
            if (database.m_IsPortNumberFree(n)) number = n;
        database.m_Close();
    }
    return number;
}

BOOL Rename(HDEVINFO list, const SP_DEVINFO_DATA& data, const std::u16string& name) {
    return CCOMPortUtil(list, data).m_ChangePortName(name, nullptr, FALSE, FALSE);
}

// Puts the collected ports in order; false when a port's name could not be read.
bool PutInOrder(Collection& c) {
    std::vector<DWORD> sorted = c.numbers;
    std::sort(sorted.begin(), sorted.end());
    for (size_t j = 0; j < c.ports.size(); ++j) {
        const std::u16string target = ComNameOf(sorted[j]);
        std::u16string former;
        if (!GetDeviceStringValue(c.list, &c.ports[j], u"PortName", former) || !IsValidComName(former)) return false;
        if (ComNumberOf(former) == sorted[j]) continue;
        size_t holder = c.ports.size();
        for (size_t i = 0; i < c.ports.size() && holder == c.ports.size(); ++i) {
            std::u16string name;
            if (GetDeviceStringValue(c.list, &c.ports[i], u"PortName", name) && name == target) holder = i;
        }
        if (holder == c.ports.size()) {
            Rename(c.list, c.ports[j], target);
            continue;
        }
        DWORD temporary = LowestFreeFrom3();
        if (!temporary) continue; // no number to swap through: this position stays as it is
        // A swap that cannot go through is undone and ends the operation: finishing it would
        // give the holder the name that this port still has.
        if (!Rename(c.list, c.ports[holder], ComNameOf(temporary))) return false;
        if (!Rename(c.list, c.ports[j], target)) {
            Rename(c.list, c.ports[holder], target);
            return false;
        }
        Rename(c.list, c.ports[holder], former);
    }
    return true;
}

} // namespace

BOOL IsListedCardId(const std::u16string& instanceId) {
    std::u16string id = instanceId;
    for (auto& ch : id) ch = towupper(ch);
    if (id.find(u"USB") == std::u16string::npos) return FALSE;
    for (const WCHAR* card : kListedCards)
        if (id.find(card) != std::u16string::npos) return TRUE;
    return FALSE;
}

BOOL RenumberCardPorts(HDEVINFO set, PSP_DEVINFO_DATA data) {
    (void)set;
    DEVINST root = 0;
    std::u16string rootId;
    if (CM_Get_Parent(&root, data->DevInst, 0) != CR_SUCCESS || !DeviceInstanceIdOf(root, rootId)) return FALSE;
    if (IsListedCardId(rootId)) {
        if (CM_Get_Parent(&root, root, 0) != CR_SUCCESS || CM_Get_Parent(&root, root, 0) != CR_SUCCESS ||
            !DeviceInstanceIdOf(root, rootId))
            return FALSE;
    }
    Collection c;
    c.list = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (c.list == INVALID_HANDLE_VALUE) return FALSE;
    if (Open(c.list, rootId, c.marker) && Collect(c, root, 1) == Walk::Go) {
        bool inOrder = std::is_sorted(c.numbers.begin(), c.numbers.end());
        if (c.ports.size() < 2 || inOrder) {
            SetDeviceDwordValue(c.list, &c.marker, kSortedMarker, 1);
        } else if (PutInOrder(c)) {
            SetDeviceDwordValue(c.list, &c.marker, kSortedMarker, 1);
            CDeviceUtil device;
            device.m_DisableDevice(c.list, c.marker);
            device.m_EnableDevice(c.list, c.marker);
        }
    }
    SetupDiDestroyDeviceInfoList(c.list);
    return TRUE;
}
