#pragma once
// The headless HTTP API: bind policy, listener and accept loop.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"

namespace karvo::server {

// Binds `{listen}:{port}` under the bind policy, prints the banner and serves
// requests one at a time while many connections wait for their bytes. Returns only with an error (refused or failed bind).
// Only the GPUs `ids` names (--id) are reported at / and /metrics; none: all.
Error serve(const std::string& listen, std::uint16_t port, const std::optional<std::string>& token,
            const std::vector<std::string>& ids = {});

}  // namespace karvo::server
