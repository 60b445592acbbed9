// The WMI service: providers registered with IoWMIRegistrationControl, the requests it sends
// them (the WNODE buffers of IRP_MJ_SYSTEM_CONTROL), and the events they write.
#include "pnp_internal.h"

#include <hvsim/debug_log.h>
#include <hvsim/io.h>
#include <hvsim/kernel.h>
#include <hvsim/object.h>
#include <hvsim/wmi.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>

namespace hvsim::wmi {
namespace {

// The first buffer offered to a provider; answers that need more say so and are asked again.
constexpr ULONG kFirstBufferSize = 1024;
constexpr ULONG kMaxBufferSize = 1024 * 1024;
constexpr ULONG kMaxEventSize = 64 * 1024;

struct Entry {
    Provider info;
    bool registration_known = false;
    bool blocked = false;
};

struct ServiceState {
    std::mutex mutex;
    std::map<ULONG, Entry> providers; // by provider id
    std::map<PDEVICE_OBJECT, ULONG> ids;
    ULONG next_id = 1;
    std::vector<Event> events;
    bool deliverer_installed = false;
};

ServiceState& service() {
    static ServiceState* s = new ServiceState;
    return *s;
}

// The caller holds the service's lock.
ULONG id_locked(PDEVICE_OBJECT device) {
    auto& s = service();
    auto it = s.ids.find(device);
    if (it != s.ids.end()) return it->second;
    ULONG id = s.next_id++;
    s.ids[device] = id;
    return id;
}

ULONG id_of(PDEVICE_OBJECT device) {
    std::lock_guard lock(service().mutex);
    return id_locked(device);
}

ULONG align8(ULONG value) { return (value + 7) & ~7u; }

bool device_alive(PDEVICE_OBJECT device) { return ob::is_object(device) && !io::is_device_deleted(device); }

// One IRP_MJ_SYSTEM_CONTROL request to the top of the device's stack.
Reply send_irp(PDEVICE_OBJECT device, UCHAR minor, PVOID data_path, std::vector<UCHAR> buffer) {
    Reply reply;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    io::IoResult result = io::send_and_wait(
        top,
        [&](PIRP, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
            stack->MinorFunction = minor;
            stack->Parameters.WMI.ProviderId = (ULONG_PTR)device;
            stack->Parameters.WMI.DataPath = data_path;
            stack->Parameters.WMI.BufferSize = (ULONG)buffer.size();
            stack->Parameters.WMI.Buffer = buffer.empty() ? nullptr : buffer.data();
        },
        STATUS_NOT_SUPPORTED);
    ObDereferenceObject(top);
    reply.status = result.status;
    reply.information = result.information;
    if (NT_SUCCESS(reply.status) && buffer.size() >= sizeof(WNODE_TOO_SMALL)) {
        auto* header = (WNODE_HEADER*)buffer.data();
        if (header->Flags & WNODE_FLAG_TOO_SMALL) reply.size_needed = ((WNODE_TOO_SMALL*)buffer.data())->SizeNeeded;
    }
    reply.wnode = std::move(buffer);
    return reply;
}

std::u16string counted_string(const std::vector<UCHAR>& buffer, ULONG limit, ULONG offset) {
    if (!offset || offset + sizeof(USHORT) > limit) return {};
    USHORT bytes;
    std::memcpy(&bytes, buffer.data() + offset, sizeof bytes);
    if (offset + sizeof(USHORT) + bytes > limit) return {};
    std::u16string text(bytes / sizeof(WCHAR), u'\0');
    std::memcpy(text.data(), buffer.data() + offset + sizeof(USHORT), text.size() * sizeof(WCHAR));
    return text;
}

// Learns what a provider registered: REGINFO_EX first, REGINFO when that is refused. Runs
// without the service's lock: the provider's dispatch may register or write events meanwhile.
bool learn_registration(Provider& info) {
    PDEVICE_OBJECT device = info.device;
    for (UCHAR minor : {(UCHAR)IRP_MN_REGINFO_EX, (UCHAR)IRP_MN_REGINFO}) {
        ULONG size = kFirstBufferSize;
        for (int attempt = 0; attempt < 4; ++attempt) {
            Reply reply = send_irp(device, minor, (PVOID)(ULONG_PTR)WMIREGISTER, std::vector<UCHAR>(size, 0));
            if (!NT_SUCCESS(reply.status)) break;
            ULONG needed = 0;
            if (reply.wnode.size() >= sizeof(ULONG)) std::memcpy(&needed, reply.wnode.data(), sizeof needed);
            if (reply.information == sizeof(ULONG) && needed > size && needed <= kMaxBufferSize) {
                size = needed;
                continue;
            }
            ULONG limit = (ULONG)std::min<ULONG_PTR>(reply.information, reply.wnode.size());
            if (limit < offsetof(WMIREGINFO, WmiRegGuid)) {
                DbgPrint("WMI: provider %u gave a registration too short to read\n", info.provider_id);
                return false;
            }
            auto* reginfo = (const WMIREGINFO*)reply.wnode.data();
            if (offsetof(WMIREGINFO, WmiRegGuid) + (size_t)reginfo->GuidCount * sizeof(WMIREGGUID) > limit) {
                DbgPrint("WMI: provider %u gave a malformed registration\n", info.provider_id);
                return false;
            }
            info.guids.clear();
            info.registry_path = counted_string(reply.wnode, limit, reginfo->RegistryPath);
            info.mof_resource = counted_string(reply.wnode, limit, reginfo->MofResourceName);
            for (ULONG i = 0; i < reginfo->GuidCount; ++i) {
                const WMIREGGUID& guid = reginfo->WmiRegGuid[i];
                info.guids.push_back({guid.Guid, guid.Flags, guid.InstanceCount});
                if (guid.Flags & WMIREG_FLAG_INSTANCE_PDO) {
                    auto* pdo = (PDEVICE_OBJECT)guid.Pdo;
                    if (pdo && !info.pdo) {
                        info.pdo = pdo;
                        if (auto node = pnp::node_info(pnp::node_of_pdo(pdo)))
                            info.instance_base_name = node->instance_id;
                    }
                    // REGINFO_EX hands over a reference on the PDO for each GUID.
                    if (pdo && minor == IRP_MN_REGINFO_EX) ObDereferenceObject(pdo);
                } else if (guid.Flags & WMIREG_FLAG_INSTANCE_BASENAME) {
                    info.instance_base_name = counted_string(reply.wnode, limit, guid.BaseNameOffset);
                }
            }
            return true;
        }
    }
    DbgPrint("WMI: provider %u answered no registration request\n", info.provider_id);
    return false;
}

// A provider's device, referenced, with its registration learned; nullptr when it is gone.
// Requests go out without the service's lock, so that a provider may call back into WMI.
PDEVICE_OBJECT provider_device(ULONG provider_id, Provider* info = nullptr) {
    auto& s = service();
    Provider snapshot;
    bool known;
    {
        std::lock_guard lock(s.mutex);
        auto it = s.providers.find(provider_id);
        if (it == s.providers.end() || it->second.blocked) return nullptr;
        if (!device_alive(it->second.info.device)) {
            DbgPrint("WMI: provider %u was deleted while registered\n", provider_id);
            s.providers.erase(it);
            return nullptr;
        }
        ObReferenceObject(it->second.info.device);
        snapshot = it->second.info;
        known = it->second.registration_known;
    }
    if (!known && learn_registration(snapshot)) {
        std::lock_guard lock(s.mutex);
        auto it = s.providers.find(provider_id);
        if (it != s.providers.end() && it->second.info.device == snapshot.device) {
            it->second.info = snapshot;
            it->second.registration_known = true;
        }
    }
    if (info) *info = snapshot;
    return snapshot.device;
}

WNODE_HEADER header_for(ULONG provider_id, const GUID& guid, ULONG size, ULONG flags) {
    WNODE_HEADER header{};
    header.BufferSize = size;
    header.ProviderId = provider_id;
    header.Guid = guid;
    header.Flags = flags;
    KeQuerySystemTime(&header.TimeStamp);
    return header;
}

// A request that grows its buffer when the provider says it needs more.
template <class Build>
Reply request_growing(ULONG provider_id, UCHAR minor, const GUID& guid, ULONG buffer_size, Build build) {
    PDEVICE_OBJECT device = provider_device(provider_id);
    if (!device) return {STATUS_WMI_GUID_NOT_FOUND, 0, {}, 0};
    GUID path = guid;
    ULONG size = buffer_size ? buffer_size : kFirstBufferSize;
    for (int attempt = 0;; ++attempt) {
        Reply reply = send_irp(device, minor, &path, build(size));
        if (buffer_size || !reply.size_needed || reply.size_needed <= size || reply.size_needed > kMaxBufferSize ||
            attempt == 3) {
            ObDereferenceObject(device);
            return reply;
        }
        size = reply.size_needed;
    }
}

// Trace consumers enable a device's control GUIDs through its IRP_MJ_SYSTEM_CONTROL dispatch.
void deliver_trace_control(void* device_object, UCHAR minor, const std::vector<uint8_t>& buffer) {
    auto* device = (PDEVICE_OBJECT)device_object;
    if (!device_alive(device) || buffer.size() < sizeof(WNODE_HEADER)) return;
    GUID guid = ((const WNODE_HEADER*)buffer.data())->Guid;
    std::vector<UCHAR> copy(buffer.begin(), buffer.end());
    ((WNODE_HEADER*)copy.data())->ProviderId = id_of(device);
    send_irp(device, minor, &guid, std::move(copy));
}

// Trace consumers reach device-object registrations through WMI once WMI has providers.
void install_trace_deliverer() {
    auto& s = service();
    {
        std::lock_guard lock(s.mutex);
        if (s.deliverer_installed) return;
        s.deliverer_installed = true;
    }
    trace_log::set_system_control_deliverer(deliver_trace_control);
}

// How many bytes of a successful answer may be read, when it holds at least `fixed` of them;
// otherwise *status says why not.
std::optional<ULONG> readable(const Reply& reply, size_t fixed, NTSTATUS* status) {
    *status = reply.status;
    if (!NT_SUCCESS(reply.status)) return std::nullopt;
    *status = STATUS_BUFFER_TOO_SMALL;
    if (reply.size_needed) return std::nullopt;
    ULONG limit = (ULONG)std::min<ULONG_PTR>(reply.information, reply.wnode.size());
    *status = STATUS_UNSUCCESSFUL;
    if (limit < fixed) return std::nullopt;
    *status = STATUS_SUCCESS;
    return limit;
}

} // namespace

std::vector<Provider> providers() {
    auto& s = service();
    std::vector<ULONG> ids;
    {
        std::lock_guard lock(s.mutex);
        for (auto& [id, entry] : s.providers) ids.push_back(id);
    }
    std::vector<Provider> out;
    for (ULONG id : ids) {
        Provider info;
        if (PDEVICE_OBJECT device = provider_device(id, &info)) {
            ObDereferenceObject(device);
            out.push_back(info);
        }
    }
    return out;
}

std::vector<Provider> providers_of(const GUID& guid) {
    std::vector<Provider> out;
    for (auto& provider : providers())
        for (auto& registration : provider.guids)
            if (registration.guid == guid) {
                out.push_back(provider);
                break;
            }
    return out;
}

Reply send_request(ULONG provider_id, UCHAR minor, const GUID& guid, std::vector<UCHAR> wnode) {
    PDEVICE_OBJECT device = provider_device(provider_id);
    if (!device) return {STATUS_WMI_GUID_NOT_FOUND, 0, std::move(wnode), 0};
    GUID path = guid;
    Reply reply = send_irp(device, minor, &path, std::move(wnode));
    ObDereferenceObject(device);
    return reply;
}

QueryResult query_all_data(ULONG provider_id, const GUID& guid, ULONG buffer_size) {
    Reply reply = request_growing(provider_id, IRP_MN_QUERY_ALL_DATA, guid, buffer_size, [&](ULONG size) {
        std::vector<UCHAR> buffer(std::max<ULONG>(size, sizeof(WNODE_HEADER)), 0);
        WNODE_HEADER header = header_for(provider_id, guid, size, WNODE_FLAG_ALL_DATA);
        std::memcpy(buffer.data(), &header, sizeof header);
        buffer.resize(size);
        return buffer;
    });
    QueryResult result{reply.status, {}};
    auto readable_bytes = readable(reply, offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength), &result.status);
    if (!readable_bytes) return result;
    ULONG limit = *readable_bytes;
    auto* wnode = (const WNODE_ALL_DATA*)reply.wnode.data();
    for (ULONG i = 0; i < wnode->InstanceCount; ++i) {
        ULONG offset, length;
        if (wnode->WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE) {
            length = wnode->FixedInstanceSize;
            offset = wnode->DataBlockOffset + i * align8(length);
        } else {
            size_t pair =
                offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + i * sizeof(OFFSETINSTANCEDATAANDLENGTH);
            if (pair + sizeof(OFFSETINSTANCEDATAANDLENGTH) > limit) return {STATUS_UNSUCCESSFUL, {}};
            offset = wnode->OffsetInstanceDataAndLength[i].OffsetInstanceData;
            length = wnode->OffsetInstanceDataAndLength[i].LengthInstanceData;
        }
        if ((size_t)offset + length > limit) return {STATUS_UNSUCCESSFUL, {}};
        result.instances.push_back(
            {i, std::vector<UCHAR>(reply.wnode.begin() + offset, reply.wnode.begin() + offset + length)});
    }
    return result;
}

QueryResult query_single_instance(ULONG provider_id, const GUID& guid, ULONG instance_index, ULONG buffer_size) {
    const ULONG data_offset = align8(offsetof(WNODE_SINGLE_INSTANCE, VariableData));
    Reply reply = request_growing(provider_id, IRP_MN_QUERY_SINGLE_INSTANCE, guid, buffer_size, [&](ULONG size) {
        std::vector<UCHAR> buffer(std::max<ULONG>(size, data_offset), 0);
        WNODE_SINGLE_INSTANCE wnode{};
        wnode.WnodeHeader =
            header_for(provider_id, guid, size, WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES);
        wnode.InstanceIndex = instance_index;
        wnode.DataBlockOffset = data_offset;
        std::memcpy(buffer.data(), &wnode, offsetof(WNODE_SINGLE_INSTANCE, VariableData));
        buffer.resize(size);
        return buffer;
    });
    QueryResult result{reply.status, {}};
    auto readable_bytes = readable(reply, offsetof(WNODE_SINGLE_INSTANCE, VariableData), &result.status);
    if (!readable_bytes) return result;
    ULONG limit = *readable_bytes;
    auto* wnode = (const WNODE_SINGLE_INSTANCE*)reply.wnode.data();
    if ((size_t)wnode->DataBlockOffset + wnode->SizeDataBlock > limit) return {STATUS_UNSUCCESSFUL, {}};
    auto begin = reply.wnode.begin() + wnode->DataBlockOffset;
    result.instances.push_back({instance_index, std::vector<UCHAR>(begin, begin + wnode->SizeDataBlock)});
    return result;
}

namespace {

// A request that carries a data block after a fixed WNODE of type T, 8-byte aligned; `fill`
// sets the fields particular to T.
template <class T, class Fill>
std::vector<UCHAR> data_request(ULONG provider_id, const GUID& guid, ULONG flags, const std::vector<UCHAR>& data,
                                ULONG room, Fill fill) {
    const ULONG data_offset = align8(offsetof(T, VariableData));
    ULONG size = data_offset + std::max<ULONG>((ULONG)data.size(), room);
    std::vector<UCHAR> buffer(size, 0);
    T wnode{};
    wnode.WnodeHeader = header_for(provider_id, guid, size, flags | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    wnode.DataBlockOffset = data_offset;
    fill(wnode);
    std::memcpy(buffer.data(), &wnode, offsetof(T, VariableData));
    if (!data.empty()) std::memcpy(buffer.data() + data_offset, data.data(), data.size());
    return buffer;
}

} // namespace

NTSTATUS change_single_instance(ULONG provider_id, const GUID& guid, ULONG instance_index,
                                const std::vector<UCHAR>& data) {
    auto buffer = data_request<WNODE_SINGLE_INSTANCE>(provider_id, guid, WNODE_FLAG_SINGLE_INSTANCE, data, 0,
                                                      [&](WNODE_SINGLE_INSTANCE& w) {
                                                          w.InstanceIndex = instance_index;
                                                          w.SizeDataBlock = (ULONG)data.size();
                                                      });
    return send_request(provider_id, IRP_MN_CHANGE_SINGLE_INSTANCE, guid, std::move(buffer)).status;
}

NTSTATUS change_single_item(ULONG provider_id, const GUID& guid, ULONG instance_index, ULONG item_id,
                            const std::vector<UCHAR>& data) {
    auto buffer =
        data_request<WNODE_SINGLE_ITEM>(provider_id, guid, WNODE_FLAG_SINGLE_ITEM, data, 0, [&](WNODE_SINGLE_ITEM& w) {
            w.InstanceIndex = instance_index;
            w.ItemId = item_id;
            w.SizeDataItem = (ULONG)data.size();
        });
    return send_request(provider_id, IRP_MN_CHANGE_SINGLE_ITEM, guid, std::move(buffer)).status;
}

MethodResult execute_method(ULONG provider_id, const GUID& guid, ULONG instance_index, ULONG method_id,
                            const std::vector<UCHAR>& input, ULONG output_size) {
    auto buffer = data_request<WNODE_METHOD_ITEM>(provider_id, guid, WNODE_FLAG_METHOD_ITEM, input, output_size,
                                                  [&](WNODE_METHOD_ITEM& w) {
                                                      w.InstanceIndex = instance_index;
                                                      w.MethodId = method_id;
                                                      w.SizeDataBlock = (ULONG)input.size();
                                                  });
    Reply reply = send_request(provider_id, IRP_MN_EXECUTE_METHOD, guid, std::move(buffer));
    MethodResult result{reply.status, {}};
    if (!NT_SUCCESS(reply.status)) return result;
    if (reply.size_needed) return {STATUS_BUFFER_TOO_SMALL, {}};
    ULONG limit = (ULONG)std::min<ULONG_PTR>(reply.information, reply.wnode.size());
    auto* answer = (const WNODE_METHOD_ITEM*)reply.wnode.data();
    if (limit < offsetof(WNODE_METHOD_ITEM, VariableData) ||
        (size_t)answer->DataBlockOffset + answer->SizeDataBlock > limit)
        return result; // a method without output
    auto begin = reply.wnode.begin() + answer->DataBlockOffset;
    result.output.assign(begin, begin + answer->SizeDataBlock);
    return result;
}

NTSTATUS enable_events(ULONG provider_id, const GUID& guid, bool enable, ULONG64 historical_context) {
    WNODE_HEADER header =
        header_for(provider_id, guid, sizeof(WNODE_HEADER), historical_context ? WNODE_FLAG_TRACED_GUID : 0);
    header.HistoricalContext = historical_context;
    std::vector<UCHAR> buffer(sizeof header);
    std::memcpy(buffer.data(), &header, sizeof header);
    return send_request(provider_id, enable ? IRP_MN_ENABLE_EVENTS : IRP_MN_DISABLE_EVENTS, guid, std::move(buffer))
        .status;
}

NTSTATUS enable_collection(ULONG provider_id, const GUID& guid, bool enable) {
    WNODE_HEADER header = header_for(provider_id, guid, sizeof(WNODE_HEADER), 0);
    std::vector<UCHAR> buffer(sizeof header);
    std::memcpy(buffer.data(), &header, sizeof header);
    return send_request(provider_id, enable ? IRP_MN_ENABLE_COLLECTION : IRP_MN_DISABLE_COLLECTION, guid,
                        std::move(buffer))
        .status;
}

std::vector<Event> take_events() {
    auto& s = service();
    std::lock_guard lock(s.mutex);
    std::vector<Event> out;
    out.swap(s.events);
    return out;
}

} // namespace hvsim::wmi

using namespace hvsim;
using namespace hvsim::wmi;

HV_EXTERN_C_BEGIN

NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
    if (Action & WMIREG_FLAG_CALLBACK) return STATUS_NOT_SUPPORTED;
    if (!DeviceObject) return STATUS_INVALID_PARAMETER;
    if (Action == WMIREG_ACTION_REGISTER) install_trace_deliverer();
    auto& s = service();
    std::lock_guard lock(s.mutex);
    ULONG id = id_locked(DeviceObject);
    auto it = s.providers.find(id);
    switch (Action) {
    case WMIREG_ACTION_REGISTER:
        if (it == s.providers.end()) {
            Entry entry;
            entry.info.provider_id = id;
            entry.info.device = DeviceObject;
            s.providers.emplace(id, std::move(entry));
        } else {
            it->second.registration_known = false; // learned again on next use
        }
        return STATUS_SUCCESS;
    case WMIREG_ACTION_DEREGISTER:
        if (it == s.providers.end()) return STATUS_INVALID_PARAMETER;
        s.providers.erase(it);
        s.ids.erase(DeviceObject); // the memory may serve another device later
        return STATUS_SUCCESS;
    case WMIREG_ACTION_REREGISTER:
    case WMIREG_ACTION_UPDATE_GUIDS:
        if (it == s.providers.end()) return STATUS_INVALID_PARAMETER;
        it->second.registration_known = false;
        return STATUS_SUCCESS;
    case WMIREG_ACTION_BLOCK_IRPS:
        if (it == s.providers.end()) return STATUS_INVALID_PARAMETER;
        it->second.blocked = true;
        return STATUS_SUCCESS;
    default: return STATUS_INVALID_PARAMETER;
    }
}

ULONG IoWMIDeviceObjectToProviderId(PDEVICE_OBJECT DeviceObject) { return DeviceObject ? id_of(DeviceObject) : 0; }

NTSTATUS IoWMIWriteEvent(PVOID WnodeEventItem) {
    if (!WnodeEventItem) return STATUS_INVALID_PARAMETER;
    auto* header = (WNODE_HEADER*)WnodeEventItem;
    if (header->BufferSize < sizeof(WNODE_HEADER)) return STATUS_INVALID_PARAMETER;
    if (header->BufferSize > kMaxEventSize) return STATUS_BUFFER_OVERFLOW;
    Event event;
    event.guid = header->Guid;
    event.provider_id = header->ProviderId;
    event.wnode.assign((UCHAR*)WnodeEventItem, (UCHAR*)WnodeEventItem + header->BufferSize);
    if ((header->Flags & WNODE_FLAG_SINGLE_INSTANCE) &&
        header->BufferSize >= offsetof(WNODE_SINGLE_INSTANCE, VariableData)) {
        auto* wnode = (WNODE_SINGLE_INSTANCE*)WnodeEventItem;
        event.instance_index = wnode->InstanceIndex;
        if ((size_t)wnode->DataBlockOffset + wnode->SizeDataBlock <= header->BufferSize)
            event.data.assign(event.wnode.begin() + wnode->DataBlockOffset,
                              event.wnode.begin() + wnode->DataBlockOffset + wnode->SizeDataBlock);
    }
    {
        auto& s = service();
        std::lock_guard lock(s.mutex);
        s.events.push_back(std::move(event));
    }
    ExFreePool(WnodeEventItem);
    return STATUS_SUCCESS;
}

HV_EXTERN_C_END

namespace {

void wmi_boot(const hvsim::KernelOptions&) {
    auto& s = service();
    {
        std::lock_guard lock(s.mutex);
        s.providers.clear();
        s.ids.clear();
        s.events.clear();
        s.next_id = 1;
        s.deliverer_installed = false;
    }
}

void wmi_shutdown() {
    auto& s = service();
    bool installed;
    {
        std::lock_guard lock(s.mutex);
        installed = s.deliverer_installed;
        s.deliverer_installed = false;
    }
    if (installed) trace_log::set_system_control_deliverer(nullptr);
    std::lock_guard lock(s.mutex);
    for (auto& [id, entry] : s.providers) DbgPrint("WMI: provider %u still registered at shutdown\n", id);
    s.providers.clear();
    s.ids.clear();
}

const bool registered = [] {
    hvsim::register_kernel_subsystem({"wmi", 55, wmi_boot, wmi_shutdown});
    return true;
}();

} // namespace
