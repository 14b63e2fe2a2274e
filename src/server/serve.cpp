#include "server/serve.h"

namespace karvo::server {

Error serve(const std::string&, std::uint16_t, const std::optional<std::string>&) {
    return Error("the HTTP API is not available in this build");
}

}  // namespace karvo::server
