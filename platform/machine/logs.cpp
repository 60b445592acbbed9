// The machine's logs as files: the debugger log and the trace log of the current boot.
#include <hvsim/debug_log.h>
#include <hvsim/format.h>
#include <hvsim/host_file.h>
#include <hvsim/pnp.h>

#include <cstdio>
#include <sstream>

#include "machine_internal.h"

namespace hvsim {

void write_logs(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    std::ostringstream trace;
    for (const auto& record : trace_log::records()) {
        char head[64];
        std::snprintf(head, sizeof head, "%llu %u ", static_cast<unsigned long long>(record.sequence),
                      static_cast<unsigned>(record.number));
        trace << head << record.image << " " << text::to_utf8(pnp::guid_to_string(record.control_guid)) << " "
              << record.text() << "\n";
    }
    std::string why;
    if (!write_file_atomically(folder / "debugger.log", debug_log::text(), &why) ||
        !write_file_atomically(folder / "trace.log", trace.str(), &why))
        throw MachineError("the logs were not saved: " + why);
}

} // namespace hvsim
