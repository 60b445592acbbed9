// The common road of CreateProcessW, CreateProcessA and CreateProcessAsUser.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "security_internal.h"
#include "user_internal.h"

namespace hvsim::user {

struct CreateProcessRequest {
    std::optional<std::u16string> application_name;
    std::optional<std::u16string> command_line;
    bool inherit_handles = false;
    DWORD flags = 0;
    std::optional<std::vector<std::pair<std::u16string, std::u16string>>> environment;
    std::optional<std::u16string> current_directory;
    const STARTUPINFOW* startup = nullptr;
    // CreateProcessAsUser's token; null: a copy of the caller's.
    std::shared_ptr<Token> token;
};

// Finds the image, records the call and starts the process; FALSE with the last error set.
BOOL create_process(const CreateProcessRequest& request, LPPROCESS_INFORMATION information);

} // namespace hvsim::user
