// Callback objects in the "\Callback\" namespace, shared by every image of the machine.
//
//   ExCreateCallback ExRegisterCallback ExUnregisterCallback ExNotifyCallback ExCallbackObjectType
//
// A permanent object is held by the namespace; any other leaves the namespace with its last
// reference. Each registration holds a reference to its object. A notification calls the
// registrations in registration order, one after the other, in the notifier's thread; a
// registration made or removed meanwhile is seen by the calls not yet made. Unregistering waits,
// on a kernel event, until no other thread is inside that registration's routine.
#include <hvsim/debug_log.h>
#include <hvsim/format.h>
#include <hvsim/kernel.h>
#include <hvsim/object.h>
#include <hvsim/pool.h>
#include <wdm.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_set>

namespace {

struct CallbackObject;

struct Registration {
    Registration(CallbackObject* o, PCALLBACK_FUNCTION f, PVOID c, uint64_t n)
        : object(o), function(f), context(c), order(n) {
        KeInitializeEvent(&changed, NotificationEvent, FALSE);
    }
    CallbackObject* object;
    PCALLBACK_FUNCTION function; // cleared when unregistered from inside its own routine
    PVOID context;
    uint64_t order;
    bool removed = false;
    std::multiset<std::thread::id> running; // the threads inside the routine
    KEVENT changed;                         // set whenever a thread leaves the routine
};

struct CallbackObject {
    std::u16string name; // empty for an unnamed object
    bool permanent;
    bool allow_multiple;
    std::vector<Registration*> registrations; // in registration order
};

struct State {
    std::mutex mutex;
    std::map<std::u16string, CallbackObject*> names; // by upper-case name
    std::unordered_set<Registration*> registrations;
    uint64_t next_order = 1;
};

State& state() {
    static State* s = new State;
    return *s;
}

void destroy_callback_object(void* body);
_OBJECT_TYPE callback_type = {"Callback", destroy_callback_object};
POBJECT_TYPE callback_type_pointer = &callback_type;

const std::u16string_view prefix = u"\\CALLBACK\\";

std::u16string upper(std::u16string_view text) {
    std::u16string out(text);
    for (auto& c : out) c = RtlUpcaseUnicodeChar(c);
    return out;
}

void destroy_callback_object(void* body) {
    auto* object = static_cast<CallbackObject*>(body);
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        auto it = s.names.find(upper(object->name));
        if (it != s.names.end() && it->second == object) s.names.erase(it);
    }
    delete object;
}

// The upper-case name under \Callback\, or an error status.
NTSTATUS name_of(POBJECT_ATTRIBUTES attributes, std::u16string* name) {
    name->clear();
    PUNICODE_STRING object_name = attributes->ObjectName;
    if (!object_name || !object_name->Length) return STATUS_SUCCESS;
    if (!object_name->Buffer || (object_name->Length & 1)) return STATUS_OBJECT_NAME_INVALID;
    std::u16string full = upper(std::u16string_view(object_name->Buffer, object_name->Length / sizeof(WCHAR)));
    if (full[0] != u'\\' || attributes->RootDirectory) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (full.compare(0, prefix.size(), prefix) != 0) return STATUS_OBJECT_PATH_NOT_FOUND;
    std::u16string_view rest = std::u16string_view(full).substr(prefix.size());
    if (rest.empty() || rest.find(u'\\') != std::u16string_view::npos) return STATUS_OBJECT_NAME_INVALID;
    *name = full;
    return STATUS_SUCCESS;
}

// Called with the lock held: the next live registration after `after` in registration order.
Registration* next_registration(CallbackObject* object, uint64_t after) {
    for (Registration* r : object->registrations)
        if (r->order > after && !r->removed) return r;
    return nullptr;
}

bool others_running(const Registration* r) {
    auto self = std::this_thread::get_id();
    return r->running.size() > r->running.count(self);
}

void shutdown() {
    auto& s = state();
    std::vector<Registration*> left;
    std::vector<CallbackObject*> permanent;
    {
        std::lock_guard lock(s.mutex);
        left.assign(s.registrations.begin(), s.registrations.end());
        s.registrations.clear();
        for (auto& [name, object] : s.names)
            if (object->permanent) permanent.push_back(object);
    }
    for (Registration* r : left) {
        std::string name = hvsim::text::to_utf8(r->object->name);
        hvsim::debugger_log_write("Kernel shutdown: a callback registration on " + name + " (routine in " +
                                  hvsim::pool::image_of_address((const void*)r->function) + ") is still present\n");
        auto& list = r->object->registrations;
        list.erase(std::find(list.begin(), list.end(), r));
        hvsim::ob::dereference(r->object);
        delete r;
    }
    for (CallbackObject* object : permanent) {
        object->permanent = false;
        hvsim::ob::dereference(object);
    }
}

const bool registered = [] {
    hvsim::register_kernel_subsystem({"callback objects", -50, nullptr, shutdown});
    return true;
}();

} // namespace

HV_EXTERN_C_BEGIN

POBJECT_TYPE* ExCallbackObjectType = &callback_type_pointer;

NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Create,
                          BOOLEAN AllowMultipleCallbacks) {
    if (!CallbackObject || !ObjectAttributes) return STATUS_INVALID_PARAMETER;
    *CallbackObject = nullptr;
    std::u16string name;
    NTSTATUS status = name_of(ObjectAttributes, &name);
    if (!NT_SUCCESS(status)) return status;
    if (name.empty() && !Create) return STATUS_INVALID_PARAMETER;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!name.empty()) {
        auto it = s.names.find(name);
        if (it != s.names.end() && hvsim::ob::reference_if_live(it->second)) {
            *CallbackObject = (PCALLBACK_OBJECT)it->second;
            return STATUS_SUCCESS;
        }
        if (!Create) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto* object = new ::CallbackObject;
    object->name = std::u16string(ObjectAttributes->ObjectName && !name.empty()
                                      ? std::u16string_view(ObjectAttributes->ObjectName->Buffer,
                                                            ObjectAttributes->ObjectName->Length / sizeof(WCHAR))
                                      : std::u16string_view());
    object->permanent = !name.empty() && (ObjectAttributes->Attributes & OBJ_PERMANENT);
    object->allow_multiple = AllowMultipleCallbacks != FALSE;
    hvsim::ob::insert_object(object, &callback_type);
    if (object->permanent) hvsim::ob::reference(object);
    if (!name.empty()) s.names[name] = object;
    *CallbackObject = (PCALLBACK_OBJECT)object;
    return STATUS_SUCCESS;
}

PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction, PVOID CallbackContext) {
    if (!CallbackObject || !CallbackFunction || !hvsim::ob::is_object(CallbackObject, &callback_type)) return nullptr;
    auto* object = (::CallbackObject*)CallbackObject;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!object->allow_multiple && !object->registrations.empty()) return nullptr;
    auto* r = new Registration(object, CallbackFunction, CallbackContext, s.next_order++);
    object->registrations.push_back(r);
    s.registrations.insert(r);
    hvsim::ob::reference(object);
    return r;
}

VOID ExUnregisterCallback(PVOID CallbackRegistration) {
    auto* r = (Registration*)CallbackRegistration;
    auto& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (!s.registrations.count(r))
            hvsim::bug_check(hvsim::DRIVER_VERIFIER_DETECTED_VIOLATION,
                             "ExUnregisterCallback of a registration that does not exist");
        s.registrations.erase(r);
        r->removed = true;
        auto& list = r->object->registrations;
        list.erase(std::find(list.begin(), list.end(), r));
    }
    bool delete_now = false;
    for (;;) {
        std::unique_lock lock(s.mutex);
        if (!others_running(r)) {
            // When this thread is inside the routine (unregistering from within it), the
            // notification running it deletes the registration once the routine returns.
            if (r->running.empty())
                delete_now = true;
            else
                r->function = nullptr;
            break;
        }
        KeClearEvent(&r->changed);
        lock.unlock();
        KeWaitForSingleObject(&r->changed, Executive, KernelMode, FALSE, nullptr);
    }
    if (delete_now) {
        CallbackObject* object = r->object;
        delete r;
        hvsim::ob::dereference(object);
    }
}

VOID ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2) {
    if (!CallbackObject) return;
    if (!hvsim::ob::is_object(CallbackObject, &callback_type))
        hvsim::bug_check(hvsim::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "ExNotifyCallback on an object that is not a live callback object");
    hvsim::ob::reference(CallbackObject);
    auto* object = (::CallbackObject*)CallbackObject;
    auto& s = state();
    auto self = std::this_thread::get_id();
    uint64_t after = 0;
    for (;;) {
        Registration* r;
        {
            std::lock_guard lock(s.mutex);
            r = next_registration(object, after);
            if (!r) break;
            after = r->order;
            r->running.insert(self);
        }
        r->function(r->context, Argument1, Argument2);
        bool orphaned;
        {
            std::lock_guard lock(s.mutex);
            r->running.erase(r->running.find(self));
            orphaned = r->removed && !r->function && r->running.empty();
            if (!orphaned) KeSetEvent(&r->changed, IO_NO_INCREMENT, FALSE);
        }
        if (orphaned) {
            ::CallbackObject* owner = r->object;
            delete r;
            hvsim::ob::dereference(owner);
        }
    }
    hvsim::ob::dereference(CallbackObject);
}

HV_EXTERN_C_END
