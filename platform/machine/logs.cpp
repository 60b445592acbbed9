// The machine's logs as files: the debugger log and the trace log of the current boot.
#include <hvsim/debug_log.h>
#include <hvsim/format.h>
#include <hvsim/pnp.h>

#include <cstdio>
#include <fstream>

#include "machine_internal.h"

namespace hvsim {

void write_logs(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    {
        std::ofstream out(folder / "debugger.log", std::ios::trunc);
        out << debug_log::text();
    }
    std::ofstream out(folder / "trace.log", std::ios::trunc);
    for (const auto& record : trace_log::records()) {
        char head[64];
        std::snprintf(head, sizeof head, "%llu %u ", static_cast<unsigned long long>(record.sequence),
                      static_cast<unsigned>(record.number));
        out << head << record.image << " " << text::to_utf8(pnp::guid_to_string(record.control_guid)) << " "
            << record.text() << "\n";
    }
}

} // namespace hvsim
