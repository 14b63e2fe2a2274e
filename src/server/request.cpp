#include "server/request.h"

#include <charconv>
#include <vector>

#include "common/numfmt.h"
#include "common/text.h"
#include "platform/net.h"
#include "render/json.h"
#include "render/metrics.h"
#include "server/page.h"

namespace karvo::server {
namespace {

// Length of the white-space character starting at `pos` of valid UTF-8 text,
// or 0 when the character there is not white space (Unicode White_Space).
std::size_t white_space_at(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    const unsigned b0 = byte(pos);
    if (b0 == 0x20 || (b0 >= 0x09 && b0 <= 0x0D)) return 1;
    if (b0 == 0xC2) {
        const unsigned b1 = byte(pos + 1);
        return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
    }
    if (b0 == 0xE1) return (byte(pos + 1) == 0x9A && byte(pos + 2) == 0x80) ? 3 : 0;  // U+1680
    if (b0 == 0xE2) {
        const unsigned b1 = byte(pos + 1);
        const unsigned b2 = byte(pos + 2);
        if (b1 == 0x80 && ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF)) return 3;
        if (b1 == 0x81 && b2 == 0x9F) return 3;  // U+205F
        return 0;
    }
    if (b0 == 0xE3) return (byte(pos + 1) == 0x80 && byte(pos + 2) == 0x80) ? 3 : 0;  // U+3000
    return 0;
}

// The first `count` white-space-separated words of a line.
std::vector<std::string_view> first_words(std::string_view line, std::size_t count) {
    std::vector<std::string_view> words;
    std::size_t pos = 0;
    while (pos < line.size() && words.size() < count) {
        if (const std::size_t blank = white_space_at(line, pos)) {
            pos += blank;
            continue;
        }
        const std::size_t start = pos;
        while (pos < line.size() && white_space_at(line, pos) == 0) ++pos;
        words.push_back(line.substr(start, pos - start));
    }
    return words;
}

// Walks the lines after the request line; each has its trailing "\r"s removed.
class HeaderLines {
public:
    explicit HeaderLines(std::string_view rest) : rest_(rest), done_(false) {}

    bool next(std::string_view& line) {
        if (done_) return false;
        const std::size_t newline = rest_.find('\n');
        if (newline == std::string_view::npos) {
            line = rest_;
            done_ = true;
        } else {
            line = rest_.substr(0, newline);
            rest_.remove_prefix(newline + 1);
        }
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return true;
    }

private:
    std::string_view rest_;
    bool done_;
};

bool host_check_passes(std::string_view headers) {
    HeaderLines lines(headers);
    std::string_view line;
    while (lines.next(line)) {
        const std::string_view name = line.substr(0, 5);
        if (name == "Host:" || name == "host:" || name == "HOST:") return is_local_host_value(line.substr(5));
    }
    return true;  // no Host header at all
}

// The bearer token of the first Authorization line that carries one.
std::optional<std::string_view> presented_token(std::string_view headers) {
    constexpr std::string_view kName = "authorization";
    HeaderLines lines(headers);
    std::string_view line;
    while (lines.next(line)) {
        if (line.size() < kName.size() + 1 || line.find(':') != kName.size()) continue;
        if (!text::equals_ignore_ascii_case(line.substr(0, kName.size()), kName)) continue;
        const std::string_view value = text::trim(line.substr(kName.size() + 1));
        const std::size_t blank = value.find(' ');
        if (blank == std::string_view::npos) continue;
        if (!text::equals_ignore_ascii_case(value.substr(0, blank), "bearer")) continue;
        return text::trim(value.substr(blank + 1));
    }
    return std::nullopt;
}

void append_decimal(std::string& out, std::size_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

}  // namespace

bool is_local_host_value(std::string_view value) {
    const std::string host = text::ascii_lower(text::trim(value));
    if (host == "::1") return true;
    for (const std::string_view name : {std::string_view("127.0.0.1"), std::string_view("localhost"),
                                        std::string_view("[::1]")}) {
        if (host.compare(0, name.size(), name) != 0) continue;
        const std::string_view rest = std::string_view(host).substr(name.size());
        if (rest.empty()) return true;
        if (rest.front() == ':' && platform::parse_port(rest.substr(1))) return true;
    }
    return false;
}

bool constant_time_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    // The volatile accumulator keeps the compiler from turning the loop into
    // a comparison that stops at the first difference.
    volatile unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference = static_cast<unsigned char>(difference |
                                                (static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i])));
    }
    return difference == 0;
}

RequestDecision decide(std::string_view request_bytes, const std::optional<std::string>& token,
                       bool peer_authenticated) {
    const std::string text = text::utf8_lossy(request_bytes);
    const std::size_t newline = text.find('\n');
    std::string_view request_line = std::string_view(text).substr(0, newline);
    if (newline != std::string::npos && !request_line.empty() && request_line.back() == '\r') {
        request_line.remove_suffix(1);
    }
    const std::string_view headers =
        newline == std::string::npos ? std::string_view() : std::string_view(text).substr(newline + 1);

    const std::vector<std::string_view> words = first_words(request_line, 2);
    const bool well_formed = words.size() == 2 && words[1].front() == '/';
    const std::string_view method = words.empty() ? std::string_view() : words[0];
    const std::string_view path = well_formed ? words[1].substr(0, words[1].find('?')) : std::string_view();

    if (!token && !peer_authenticated && !host_check_passes(headers)) return {Verdict::forbidden_host, {}};
    if (!well_formed || method != "GET") return {Verdict::method_not_allowed, {}};
    if (token && path != "/health" && !is_page_path(path)) {
        const auto presented = presented_token(headers);
        if (!presented || !constant_time_equal(*presented, *token)) return {Verdict::unauthorized, {}};
    }
    return {Verdict::serve, std::string(path)};
}

std::string header_value(std::string_view request_bytes, std::string_view name) {
    const std::string text = text::utf8_lossy(request_bytes);
    const std::size_t newline = text.find('\n');
    if (newline == std::string::npos) return {};
    HeaderLines lines(std::string_view(text).substr(newline + 1));
    std::string value;
    std::string_view line;
    while (lines.next(line) && !line.empty()) {
        const std::size_t colon = line.find(':');
        if (colon != name.size() || !text::equals_ignore_ascii_case(line.substr(0, colon), name)) continue;
        if (!value.empty()) value += ", ";
        value += text::trim(line.substr(colon + 1));
    }
    return value;
}

Route route_of(std::string_view path) {
    if (path == "/") return Route::json;
    if (path == "/metrics") return Route::metrics;
    if (path == "/ready") return Route::ready;
    if (path == "/health") return Route::health;
    return Route::not_found;
}

namespace {

constexpr std::string_view kOk = "HTTP/1.1 200 OK";
constexpr std::string_view kJson = "application/json";
constexpr std::string_view kMetricsType = "text/plain; version=0.0.4";

}  // namespace

Response refusal_response(Verdict verdict) {
    switch (verdict) {
        case Verdict::forbidden_host:
            return {"HTTP/1.1 403 Forbidden", kJson, R"({"error":"forbidden host"})"};
        case Verdict::unauthorized:
            return {"HTTP/1.1 401 Unauthorized", kJson, R"({"error":"unauthorized"})", true};
        case Verdict::method_not_allowed:
        case Verdict::serve:
            break;
    }
    return {"HTTP/1.1 405 Method Not Allowed", kJson, R"({"error":"method not allowed"})"};
}

namespace {

Response data_response(Route route, const DeviceList& devices, std::optional<double> pass_seconds,
                       std::span<const discovery::SourceStatus> sources, const render::MetricsOptions& metrics) {
    switch (route) {
        case Route::json:
            return {kOk, kJson, render::render_json_compact(devices)};
        case Route::metrics:
            return {kOk, kMetricsType, render::render_metrics(devices, pass_seconds, sources, metrics)};
        case Route::ready: {
            std::string body = "{\"gpus\":" + numfmt::unsigned_text(devices.size()) + "}";
            if (devices.empty()) return {"HTTP/1.1 503 Service Unavailable", kJson, std::move(body)};
            return {kOk, kJson, std::move(body)};
        }
        case Route::health:
            return {kOk, kJson, R"({"status":"ok"})"};
        case Route::not_found:
            break;
    }
    return {"HTTP/1.1 404 Not Found", kJson, R"({"error":"not found"})"};
}

}  // namespace

Response routed_response(Route route, const DeviceList& devices, std::optional<double> pass_seconds) {
    return data_response(route, devices, pass_seconds, {}, {});
}

Response routed_response(Route route, const discovery::PassResult& pass, const render::MetricsOptions& metrics) {
    return data_response(route, pass.devices, pass.seconds, pass.sources, metrics);
}

std::string format_response(const Response& response) {
    std::string out;
    out.reserve(200 + response.body.size());
    out += response.status_line;
    out += "\r\nContent-Type: ";
    out += response.content_type;
    out += "\r\nContent-Length: ";
    append_decimal(out, response.body.size());
    out += "\r\n";
    if (response.bearer_challenge) out += "WWW-Authenticate: Bearer\r\n";
    out += "X-Content-Type-Options: nosniff\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    out += response.body;
    return out;
}

}  // namespace karvo::server
