#pragma once
// One HTTP request, judged without any socket: the bytes of the single read
// and the configured token go in; out comes either a refusal to send at once
// or the path to route after a discovery pass. Then the response bytes.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "discovery/device.h"
#include "discovery/discover.h"
#include "render/metrics.h"

namespace karvo::server {

// The one read of a connection takes at most this many bytes.
inline constexpr std::size_t kRequestLimit = 8192;

enum class Verdict {
    forbidden_host,      // 403: the Host header names something other than this machine
    method_not_allowed,  // 405: not a GET, or no usable request line
    unauthorized,        // 401: token configured, no matching bearer credentials
    serve,               // run discovery, then route `path`
};

struct RequestDecision {
    Verdict verdict = Verdict::method_not_allowed;
    std::string path;  // only for Verdict::serve: the target without its query
};

// Runs the checks in order: Host (only without a token and when the peer has
// not proved who it is with a client certificate), method, bearer (only with
// a token, and neither for "/health" nor for the browser page's paths, which
// hold no data).
RequestDecision decide(std::string_view request_bytes, const std::optional<std::string>& token,
                       bool peer_authenticated = false);

// The value of a header of the request (name compared ignoring ASCII case,
// value trimmed); several lines of that name are joined with ", " as one
// list. Only the header block counts: the scan ends at the first empty line.
// Empty when the request has no such line.
std::string header_value(std::string_view request_bytes, std::string_view name);

// True when a Host header value names this machine: after trimming and
// lower-casing exactly "127.0.0.1", "localhost" or "[::1]", each optionally
// followed by ":" and a decimal port, or a bare "::1".
bool is_local_host_value(std::string_view value);

// Compares two byte strings of equal length without an early exit, so the
// time taken does not tell how many leading bytes matched.
bool constant_time_equal(std::string_view a, std::string_view b);

enum class Route { json, metrics, ready, health, not_found };
// Exact, case-sensitive routing on the path.
Route route_of(std::string_view path);

// The routes answered from a discovery pass. The others (the open health
// check, an unknown path) are answered at once: the process is alive if it
// answers, and neither an open route nor a 404 may start work.
constexpr bool needs_pass(Route route) {
    return route == Route::json || route == Route::metrics || route == Route::ready;
}

struct Response {
    std::string_view status_line;
    std::string_view content_type;
    std::string body;
    bool bearer_challenge = false;  // adds "WWW-Authenticate: Bearer"
};

// The response for a refusal (any verdict but serve).
Response refusal_response(Verdict verdict);
// The response for a routed request, from its discovery pass's devices and,
// for the metrics text, how long that pass took. /ready answers 200 with
// {"gpus":N} when the pass found N >= 1 GPUs, else 503 with {"gpus":0}.
Response routed_response(Route route, const DeviceList& devices, std::optional<double> pass_seconds = std::nullopt);
// The same with all a pass tells: how each source fared for the metrics
// text, which carries the process series `metrics` allows.
Response routed_response(Route route, const discovery::PassResult& pass, const render::MetricsOptions& metrics);

// Status line, the fixed header set, an empty line and the body, in one buffer.
std::string format_response(const Response& response);

}  // namespace karvo::server
