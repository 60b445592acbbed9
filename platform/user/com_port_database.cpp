// The COM port database (msports): a bitmap of 1-based COM numbers, bit n-1 for COMn, in the
// REG_BINARY value "ComDB" of HKLM\SYSTEM\CurrentControlSet\Control\COM Name Arbiter.
//
//   ComDBOpen, ComDBClose, ComDBGetCurrentPortUsage, ComDBClaimNextFreePort, ComDBClaimPort,
//   ComDBReleasePort, ComDBResizeDatabase
//
// Every call reads and writes the value under one machine-wide lock, so each opener sees the
// others' claims at once.
#include "internal/registry_store.h"

#include <msports.h>

#include <hvsim/user_hooks.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <set>

namespace {

using namespace hvsim;

constexpr std::u16string_view kArbiterKey =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
constexpr std::u16string_view kValue = u"ComDB";
constexpr size_t kMinBytes = COMDB_MIN_PORTS_ARBITRATED / 8;

struct State {
    std::mutex mutex;
    std::set<uintptr_t> open;
    uintptr_t next = 0x10;
    std::vector<user::ComDbCall> calls;
    std::optional<LONG> fail_open, fail_report;
};
State& state() {
    static State* s = new State;
    return *s;
}

LONG record(State& s, const char* routine, DWORD port, LONG result) {
    s.calls.push_back({routine, port, result});
    return result;
}

registry::CreateOptions parents() {
    registry::CreateOptions options;
    options.create_parents = true;
    return options;
}

// The bitmap, or nullopt when the value is not a bitmap (it is then left alone).
std::optional<std::vector<uint8_t>> load() {
    registry::Key key;
    if (!NT_SUCCESS(registry::create(nullptr, kArbiterKey, &key, nullptr, parents()))) return std::nullopt;
    registry::Value value;
    std::vector<uint8_t> bits;
    if (NT_SUCCESS(registry::query_value(key, kValue, &value))) {
        if (value.type != REG_BINARY) return std::nullopt;
        bits = std::move(value.data);
    }
    // Short or odd-sized maps keep their bits and grow to whole blocks of 256 ports.
    size_t size = std::max(kMinBytes, (bits.size() + kMinBytes - 1) / kMinBytes * kMinBytes);
    bits.resize(size, 0);
    return bits;
}

bool store(const std::vector<uint8_t>& bits) {
    registry::Key key;
    if (!NT_SUCCESS(registry::create(nullptr, kArbiterKey, &key, nullptr, parents()))) return false;
    return NT_SUCCESS(registry::set_value(key, kValue, REG_BINARY, bits.data(), bits.size()));
}

bool valid(State& s, HCOMDB handle) { return s.open.count(reinterpret_cast<uintptr_t>(handle)) != 0; }

bool claimed(const std::vector<uint8_t>& bits, DWORD port) { return bits[(port - 1) / 8] & (1u << ((port - 1) % 8)); }
void set_bit(std::vector<uint8_t>& bits, DWORD port, bool on) {
    uint8_t mask = uint8_t(1u << ((port - 1) % 8));
    if (on)
        bits[(port - 1) / 8] |= mask;
    else
        bits[(port - 1) / 8] &= uint8_t(~mask);
}

} // namespace

namespace hvsim::user {

std::vector<ComDbCall> comdb_calls() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.calls;
}
void comdb_fail_next_open(LONG error) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.fail_open = error;
}
void comdb_fail_next_report(LONG error) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.fail_report = error;
}
void reset_comdb_hooks() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.calls.clear();
    s.fail_open.reset();
    s.fail_report.reset();
}

} // namespace hvsim::user

HV_EXTERN_C_BEGIN

LONG WINAPI ComDBOpen(PHCOMDB PHComDB) {
    if (!PHComDB) return ERROR_INVALID_PARAMETER;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    *PHComDB = HCOMDB_INVALID_HANDLE_VALUE;
    if (s.fail_open) {
        LONG error = *s.fail_open;
        s.fail_open.reset();
        return record(s, "ComDBOpen", 0, error);
    }
    if (!load()) return record(s, "ComDBOpen", 0, ERROR_INVALID_DATA);
    uintptr_t handle = s.next;
    s.next += 4;
    s.open.insert(handle);
    *PHComDB = reinterpret_cast<HCOMDB>(handle);
    return record(s, "ComDBOpen", 0, ERROR_SUCCESS);
}

LONG WINAPI ComDBClose(HCOMDB HComDB) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    LONG result = s.open.erase(reinterpret_cast<uintptr_t>(HComDB)) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    return record(s, "ComDBClose", 0, result);
}

LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB HComDB, PBYTE Buffer, DWORD BufferSize, ULONG ReportType,
                                     LPDWORD MaxPortsReported) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto done = [&](LONG result) { return record(s, "ComDBGetCurrentPortUsage", 0, result); };
    if (!valid(s, HComDB)) return done(ERROR_INVALID_PARAMETER);
    if (s.fail_report) {
        LONG error = *s.fail_report;
        s.fail_report.reset();
        return done(error);
    }
    auto bits = load();
    if (!bits) return done(ERROR_INVALID_DATA);
    DWORD ports = DWORD(bits->size() * 8);
    if (!Buffer) {
        if (!MaxPortsReported) return done(ERROR_INVALID_PARAMETER);
        *MaxPortsReported = ports;
        return done(ERROR_SUCCESS);
    }
    if (ReportType == CDB_REPORT_BITS) {
        DWORD bytes = std::min<DWORD>(BufferSize, DWORD(bits->size()));
        std::memcpy(Buffer, bits->data(), bytes);
        if (MaxPortsReported) *MaxPortsReported = bytes * 8;
    } else if (ReportType == CDB_REPORT_BYTES) {
        DWORD count = std::min(BufferSize, ports);
        for (DWORD i = 0; i < count; ++i) Buffer[i] = claimed(*bits, i + 1) ? 1 : 0;
        if (MaxPortsReported) *MaxPortsReported = count;
    } else {
        return done(ERROR_INVALID_PARAMETER);
    }
    return done(ERROR_SUCCESS);
}

LONG WINAPI ComDBClaimNextFreePort(HCOMDB HComDB, LPDWORD ComNumber) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!valid(s, HComDB) || !ComNumber) return record(s, "ComDBClaimNextFreePort", 0, ERROR_INVALID_PARAMETER);
    auto bits = load();
    if (!bits) return record(s, "ComDBClaimNextFreePort", 0, ERROR_INVALID_DATA);
    for (DWORD port = 1; port <= bits->size() * 8; ++port) {
        if (claimed(*bits, port)) continue;
        set_bit(*bits, port, true);
        if (!store(*bits)) return record(s, "ComDBClaimNextFreePort", port, ERROR_CANTWRITE);
        *ComNumber = port;
        return record(s, "ComDBClaimNextFreePort", port, ERROR_SUCCESS);
    }
    return record(s, "ComDBClaimNextFreePort", 0, ERROR_NO_LOG_SPACE);
}

LONG WINAPI ComDBClaimPort(HCOMDB HComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto done = [&](LONG result) { return record(s, "ComDBClaimPort", ComNumber, result); };
    if (!valid(s, HComDB)) return done(ERROR_INVALID_PARAMETER);
    auto bits = load();
    if (!bits) return done(ERROR_INVALID_DATA);
    if (ComNumber == 0 || ComNumber > bits->size() * 8) return done(ERROR_INVALID_PARAMETER);
    bool was_claimed = claimed(*bits, ComNumber);
    if (was_claimed && !ForceClaim) return done(ERROR_SHARING_VIOLATION);
    if (Forced) *Forced = was_claimed ? TRUE : FALSE;
    if (!was_claimed) {
        set_bit(*bits, ComNumber, true);
        if (!store(*bits)) return done(ERROR_CANTWRITE);
    }
    return done(ERROR_SUCCESS);
}

LONG WINAPI ComDBReleasePort(HCOMDB HComDB, DWORD ComNumber) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto done = [&](LONG result) { return record(s, "ComDBReleasePort", ComNumber, result); };
    if (!valid(s, HComDB)) return done(ERROR_INVALID_PARAMETER);
    auto bits = load();
    if (!bits) return done(ERROR_INVALID_DATA);
    if (ComNumber == 0 || ComNumber > bits->size() * 8) return done(ERROR_INVALID_PARAMETER);
    if (claimed(*bits, ComNumber)) {
        set_bit(*bits, ComNumber, false);
        if (!store(*bits)) return done(ERROR_CANTWRITE);
    }
    return done(ERROR_SUCCESS);
}

LONG WINAPI ComDBResizeDatabase(HCOMDB HComDB, DWORD NewSize) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto done = [&](LONG result) { return record(s, "ComDBResizeDatabase", NewSize, result); };
    if (!valid(s, HComDB)) return done(ERROR_INVALID_PARAMETER);
    auto bits = load();
    if (!bits) return done(ERROR_INVALID_DATA);
    if (NewSize <= bits->size() * 8 || NewSize > COMDB_MAX_PORTS_ARBITRATED || NewSize % 1024 != 0)
        return done(ERROR_BAD_LENGTH);
    bits->resize(NewSize / 8, 0);
    return done(store(*bits) ? ERROR_SUCCESS : ERROR_CANTWRITE);
}

HV_EXTERN_C_END
