// The configuration manager (cfgmgr32) over the PnP manager's device tree.
//
//   CM_Get_Parent, CM_Get_Child, CM_Get_Sibling      present nodes only
//   CM_Get_Device_ID_Size, CM_Get_Device_IDW/A
//   CM_Locate_DevNodeW/A                              an empty ID is the root
//   CM_Reenumerate_DevNode                            bus relations again; retries installations
//   CM_Get_DevNode_Status
#include <windows.h>
#include <cfgmgr32.h>

#include <hvsim/user_hooks.h>

#include <map>
#include <mutex>

#include "internal/setupapi_platform.h"
#include "internal/setupapi_sets.h"
#include "internal/user_internal.h"

namespace {

using namespace hvsim::user;

struct Hooks {
    std::mutex mutex;
    std::vector<ReenumerateCall> calls;
    std::map<CmRoutine, DWORD> fail_next;
};
Hooks& hooks() {
    static Hooks* h = new Hooks;
    return *h;
}

bool injected(CmRoutine routine, CONFIGRET* result) {
    auto& h = hooks();
    std::lock_guard lock(h.mutex);
    auto it = h.fail_next.find(routine);
    if (it == h.fail_next.end()) return false;
    *result = it->second;
    h.fail_next.erase(it);
    return true;
}

CONFIGRET walk(PDEVINST out, DEVINST from, ULONG flags, DWORD (*step)(DWORD)) {
    if (!out) return CR_INVALID_POINTER;
    if (flags) return CR_INVALID_FLAG;
    ULONG status, problem;
    if (!devices::node_status(from, &status, &problem)) return CR_INVALID_DEVNODE;
    DWORD next = step(from);
    if (!next) return CR_NO_SUCH_DEVNODE;
    *out = next;
    return CR_SUCCESS;
}

std::optional<std::u16string> id_of(DEVINST node) {
    if (node == devices::kRootDevInst) return std::u16string(u"HTREE\\ROOT\\0");
    auto device = devices::device_of(node);
    if (!device) return std::nullopt;
    return device->instance_id;
}

template <typename Char> CONFIGRET copy_id(DEVINST node, Char* buffer, ULONG length, ULONG flags) {
    if (!buffer) return CR_INVALID_POINTER;
    if (flags) return CR_INVALID_FLAG;
    auto id = id_of(node);
    if (!id) return CR_NO_SUCH_DEVNODE;
    std::basic_string<Char> text;
    if constexpr (sizeof(Char) == 1)
        text = narrow_ansi(*id);
    else
        text = *id;
    ULONG copied = std::min<ULONG>(length, ULONG(text.size()));
    std::copy_n(text.data(), copied, buffer);
    if (length <= text.size()) return CR_BUFFER_SMALL;
    buffer[text.size()] = 0;
    return CR_SUCCESS;
}

CONFIGRET locate(PDEVINST out, const std::u16string& id, ULONG flags) {
    if (!out) return CR_INVALID_POINTER;
    if (flags & ~ULONG(CM_LOCATE_DEVNODE_BITS)) return CR_INVALID_FLAG;
    CONFIGRET failure;
    if (injected(CmRoutine::LocateDevNode, &failure)) return failure;
    if (id.empty()) {
        *out = devices::kRootDevInst;
        return CR_SUCCESS;
    }
    if (id.size() > MAX_DEVICE_ID_LEN) return CR_INVALID_DEVICE_ID;
    auto device = devices::find_device(id);
    if (!device) return CR_NO_SUCH_DEVNODE;
    if (!device->present && !(flags & CM_LOCATE_DEVNODE_PHANTOM)) return CR_NO_SUCH_DEVNODE;
    *out = device->devinst;
    return CR_SUCCESS;
}

} // namespace

namespace hvsim::user {

std::vector<ReenumerateCall> reenumerate_calls() {
    auto& h = hooks();
    std::lock_guard lock(h.mutex);
    return h.calls;
}

void cm_fail_next(CmRoutine routine, DWORD result) {
    auto& h = hooks();
    std::lock_guard lock(h.mutex);
    h.fail_next[routine] = result;
}

void reset_cm_hooks() {
    auto& h = hooks();
    std::lock_guard lock(h.mutex);
    h.calls.clear();
    h.fail_next.clear();
}

} // namespace hvsim::user

HV_EXTERN_C_BEGIN

CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    return walk(pdnDevInst, dnDevInst, ulFlags, devices::parent_of);
}

CONFIGRET WINAPI CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    return walk(pdnDevInst, dnDevInst, ulFlags, devices::first_child);
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    return walk(pdnDevInst, dnDevInst, ulFlags, devices::next_sibling);
}

CONFIGRET WINAPI CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags) {
    if (!pulLen) return CR_INVALID_POINTER;
    if (ulFlags) return CR_INVALID_FLAG;
    auto id = id_of(dnDevInst);
    if (!id) return CR_NO_SUCH_DEVNODE;
    *pulLen = ULONG(id->size());
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_IDW(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
    return copy_id(dnDevInst, Buffer, BufferLen, ulFlags);
}

CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
    return copy_id(dnDevInst, Buffer, BufferLen, ulFlags);
}

CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags) {
    return locate(pdnDevInst, pDeviceID ? std::u16string(pDeviceID) : std::u16string(), ulFlags);
}

CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags) {
    return locate(pdnDevInst, pDeviceID ? widen_ansi(pDeviceID) : std::u16string(), ulFlags);
}

CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST dnDevInst, ULONG ulFlags) {
    {
        auto& h = hooks();
        std::lock_guard lock(h.mutex);
        h.calls.push_back({dnDevInst, ulFlags});
    }
    if (ulFlags & ~ULONG(CM_REENUMERATE_BITS)) return CR_INVALID_FLAG;
    CONFIGRET failure;
    if (injected(CmRoutine::ReenumerateDevNode, &failure)) return failure;
    ULONG status, problem;
    if (!devices::node_status(dnDevInst, &status, &problem)) return CR_INVALID_DEVNODE;
    devices::reenumerate(dnDevInst);
    if (ulFlags & CM_REENUMERATE_RETRY_INSTALLATION) {
        for (DWORD node : devices::nodes_needing_install(dnDevInst)) hvsim::user::setup::install_arrived_device(node);
    }
    if (!(ulFlags & CM_REENUMERATE_ASYNCHRONOUS)) devices::wait_quiet();
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst, ULONG ulFlags) {
    if (!pulStatus || !pulProblemNumber) return CR_INVALID_POINTER;
    if (ulFlags) return CR_INVALID_FLAG;
    CONFIGRET failure;
    if (injected(CmRoutine::GetDevNodeStatus, &failure)) return failure;
    ULONG status = 0, problem = 0;
    if (!devices::node_status(dnDevInst, &status, &problem)) {
        // A device the registry knows but that is not plugged in.
        return devices::device_of(dnDevInst) ? CR_NO_SUCH_DEVINST : CR_INVALID_DEVNODE;
    }
    *pulStatus = status;
    *pulProblemNumber = problem;
    return CR_SUCCESS;
}

HV_EXTERN_C_END
