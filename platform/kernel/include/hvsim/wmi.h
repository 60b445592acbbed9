// C++ API of the stand-in WMI service: the providers that registered, and requests to them,
// for user mode (the WMI consumer side) and tests.
//
// A provider registers with IoWMIRegistrationControl; its GUIDs are learned by the first call
// below after that (IRP_MN_REGINFO_EX, then IRP_MN_REGINFO when that is refused), as the WMI
// service learns them from its worker.
#pragma once

#include <wdm.h>

#include <optional>
#include <string>
#include <vector>

namespace hvsim::wmi {

struct GuidRegistration {
    GUID guid;
    ULONG flags = 0; // WMIREG_FLAG_*
    ULONG instance_count = 0;
};

struct Provider {
    ULONG provider_id = 0;
    PDEVICE_OBJECT device = nullptr; // the registered device object
    PDEVICE_OBJECT pdo = nullptr;    // from the registration (WMIREG_FLAG_INSTANCE_PDO)
    std::u16string registry_path;
    std::u16string mof_resource;
    std::u16string instance_base_name; // the PDO's instance ID, or the given base name
    std::vector<GuidRegistration> guids;
};

std::vector<Provider> providers();
// The providers that registered the GUID (several devices may serve one GUID).
std::vector<Provider> providers_of(const GUID& guid);

// The raw result of one request: the IRP's status and Information, the WNODE as it came back.
struct Reply {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG_PTR information = 0;
    std::vector<UCHAR> wnode;
    // For a WNODE_TOO_SMALL answer: the size the provider asked for; 0 otherwise.
    ULONG size_needed = 0;
};

// Data of one instance out of a query.
struct Instance {
    ULONG index = 0;
    std::vector<UCHAR> data;
};

struct QueryResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<Instance> instances;
};

// Requests to one provider. buffer_size is the WNODE buffer the request carries (header
// included); 0 picks a size and grows it when the provider answers WNODE_TOO_SMALL, as the WMI
// service does.
QueryResult query_all_data(ULONG provider_id, const GUID& guid, ULONG buffer_size = 0);
QueryResult query_single_instance(ULONG provider_id, const GUID& guid, ULONG instance_index, ULONG buffer_size = 0);
NTSTATUS change_single_instance(ULONG provider_id, const GUID& guid, ULONG instance_index,
                                const std::vector<UCHAR>& data);
NTSTATUS change_single_item(ULONG provider_id, const GUID& guid, ULONG instance_index, ULONG item_id,
                            const std::vector<UCHAR>& data);
struct MethodResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<UCHAR> output;
};
MethodResult execute_method(ULONG provider_id, const GUID& guid, ULONG instance_index, ULONG method_id,
                            const std::vector<UCHAR>& input, ULONG output_size);
// ENABLE/DISABLE_EVENTS or ENABLE/DISABLE_COLLECTION. For a trace control GUID,
// historical_context is the logger handle that the provider then writes its messages to.
NTSTATUS enable_events(ULONG provider_id, const GUID& guid, bool enable, ULONG64 historical_context = 0);
NTSTATUS enable_collection(ULONG provider_id, const GUID& guid, bool enable);

// Any request, exactly as given: minor code, GUID and a WNODE buffer of the given size whose
// header the caller prepared (or that is zero but for BufferSize, ProviderId, Guid and Flags).
Reply send_request(ULONG provider_id, UCHAR minor, const GUID& guid, std::vector<UCHAR> wnode);

// Events written with IoWMIWriteEvent / WmiFireEvent since the last take.
struct Event {
    GUID guid;
    ULONG provider_id = 0;
    ULONG instance_index = 0;
    std::vector<UCHAR> data;  // the event's data block
    std::vector<UCHAR> wnode; // the whole event WNODE
};
std::vector<Event> take_events();

} // namespace hvsim::wmi
