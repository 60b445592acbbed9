// The moves and deletions that wait for the next start of the machine
// (Session Manager's PendingFileRenameOperations).
#pragma once

#include <basetsd.h>

#include "machine_files.h"

namespace hvsim::user::files {

// Appends a move of `from` to `to`, or its deletion when `to` is null; administrators only
// (ERROR_ACCESS_DENIED otherwise).
DWORD schedule_at_restart(const MachinePath& from, const MachinePath* to, bool replace);

} // namespace hvsim::user::files
