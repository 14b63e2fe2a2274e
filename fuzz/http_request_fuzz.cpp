// Feeds arbitrary bytes to the request checks as one read of a connection.
// The first byte picks whether a token is configured. Beyond not crashing,
// every decision must be one the handler can act on safely.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "server/page.h"
#include "server/request.h"

namespace {

const std::string kToken = "fuzz-token-0123456789";

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > karvo::server::kRequestLimit + 1) return 0;
    const bool with_token = (data[0] & 1) != 0;
    const std::string_view request(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::optional<std::string> token = with_token ? std::optional<std::string>(kToken) : std::nullopt;

    using karvo::server::Verdict;
    const karvo::server::RequestDecision decision = karvo::server::decide(request, token);
    if (decision.verdict == Verdict::serve) {
        check(!decision.path.empty() && decision.path.front() == '/');
        check(decision.path.find('?') == std::string::npos);
        check(request.find("GET") != std::string_view::npos);
        // Anything but the open health check and the page got past the bearer
        // check only with the token in the request.
        if (with_token && decision.path != "/health" && !karvo::server::is_page_path(decision.path)) {
            check(request.find(kToken) != std::string_view::npos);
        }
    } else {
        check(decision.path.empty());
        check(decision.verdict != Verdict::forbidden_host || !with_token);
    }

    const karvo::server::Response response =
        decision.verdict == Verdict::serve
            ? karvo::server::routed_response(karvo::server::route_of(decision.path), {})
            : karvo::server::refusal_response(decision.verdict);
    const std::string bytes = karvo::server::format_response(response);
    check(bytes.starts_with("HTTP/1.1 "));
    check(bytes.ends_with("\r\n\r\n" + response.body));

    // The page's answers read Accept-Encoding and If-None-Match from the request.
    if (decision.verdict == Verdict::serve && karvo::server::is_page_path(decision.path)) {
        const std::string page = karvo::server::page_response(decision.path, request);
        check(page.starts_with("HTTP/1.1 "));
        check(page.find("\r\nConnection: close\r\n\r\n") != std::string::npos);
    }
    (void)karvo::server::accepts_gzip(request);
    (void)karvo::server::etag_matches(request, "\"0123456789abcdef\"");
    (void)karvo::server::is_local_host_value(request);
    return 0;
}
