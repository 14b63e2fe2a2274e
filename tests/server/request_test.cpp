// The request checks and response bytes, without sockets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "render/json.h"
#include "render/metrics.h"
#include "server/request.h"

namespace karvo::server {
namespace {

const std::optional<std::string> kNoToken;
const std::optional<std::string> kToken = std::string("s3cret-token-0123456789");

std::string get(std::string_view target, std::string_view headers = "") {
    return "GET " + std::string(target) + " HTTP/1.1\r\n" + std::string(headers) + "\r\n";
}

TEST(Decide, RoutesPathWithoutQuery) {
    const RequestDecision plain = decide(get("/metrics"), kNoToken);
    EXPECT_EQ(plain.verdict, Verdict::serve);
    EXPECT_EQ(plain.path, "/metrics");
    EXPECT_EQ(decide(get("/metrics?x=1&y"), kNoToken).path, "/metrics");
    EXPECT_EQ(decide(get("/?"), kNoToken).path, "/");
    EXPECT_EQ(decide(get("/Metrics"), kNoToken).path, "/Metrics");
    EXPECT_EQ(route_of("/"), Route::json);
    EXPECT_EQ(route_of("/metrics"), Route::metrics);
    EXPECT_EQ(route_of("/health"), Route::health);
    EXPECT_EQ(route_of("/Metrics"), Route::not_found);
    EXPECT_EQ(route_of("/metrics/"), Route::not_found);
    EXPECT_EQ(route_of("/index.html"), Route::not_found);
}

TEST(Decide, RequestLineForms) {
    // Bare LF lines, extra blanks and other white space between the words.
    EXPECT_EQ(decide("GET /health HTTP/1.1\n\n", kNoToken).verdict, Verdict::serve);
    EXPECT_EQ(decide("  GET \t /health", kNoToken).path, "/health");
    EXPECT_EQ(decide("GET\xC2\xA0/health HTTP/1.1\r\n", kNoToken).path, "/health");  // U+00A0 separates too
    EXPECT_EQ(decide("GET /", kNoToken).verdict, Verdict::serve);

    for (const std::string_view broken :
         {std::string_view("GET"), std::string_view("GET\r\n\r\n"), std::string_view(""),
          std::string_view("GET health HTTP/1.1\r\n"), std::string_view("GET * HTTP/1.1\r\n"),
          std::string_view("\r\nGET / HTTP/1.1\r\n"), std::string_view("get / HTTP/1.1\r\n"),
          std::string_view("POST / HTTP/1.1\r\n"), std::string_view("HEAD /health HTTP/1.1\r\n")}) {
        EXPECT_EQ(decide(broken, kNoToken).verdict, Verdict::method_not_allowed) << broken;
    }
}

TEST(Decide, HostCheckWithoutToken) {
    EXPECT_EQ(decide(get("/", "Host: 127.0.0.1:8080\r\n"), kNoToken).verdict, Verdict::serve);
    EXPECT_EQ(decide(get("/", "Host: evil.example\r\n"), kNoToken).verdict, Verdict::forbidden_host);
    EXPECT_EQ(decide(get("/"), kNoToken).verdict, Verdict::serve);  // no Host line at all
    // Only three spellings name the header; others are not Host headers.
    EXPECT_EQ(decide(get("/", "host: evil.example\r\n"), kNoToken).verdict, Verdict::forbidden_host);
    EXPECT_EQ(decide(get("/", "HOST: evil.example\r\n"), kNoToken).verdict, Verdict::forbidden_host);
    EXPECT_EQ(decide(get("/", "HoSt: evil.example\r\n"), kNoToken).verdict, Verdict::serve);
    EXPECT_EQ(decide(get("/", "Host : evil.example\r\n"), kNoToken).verdict, Verdict::serve);
    // The first Host line decides.
    EXPECT_EQ(decide(get("/", "Host: localhost\r\nHost: evil.example\r\n"), kNoToken).verdict, Verdict::serve);
    EXPECT_EQ(decide(get("/", "Host: evil.example\r\nHost: localhost\r\n"), kNoToken).verdict,
              Verdict::forbidden_host);
    // The scan goes past the blank line that ends the headers.
    EXPECT_EQ(decide(get("/") + "Host: evil.example\r\n", kNoToken).verdict, Verdict::forbidden_host);
    // The host check comes before the method check.
    EXPECT_EQ(decide("POST / HTTP/1.1\r\nHost: evil.example\r\n\r\n", kNoToken).verdict, Verdict::forbidden_host);
    // A client that proved itself with a certificate may use any host name.
    EXPECT_EQ(decide(get("/", "Host: gpu-node.example:9100\r\n"), kNoToken, true).verdict, Verdict::serve);
    EXPECT_EQ(decide("POST / HTTP/1.1\r\nHost: localhost\r\n\r\n", kNoToken).verdict,
              Verdict::method_not_allowed);
}

TEST(Decide, HostValues) {
    for (const char* good : {"127.0.0.1", "127.0.0.1:8080", "localhost", "LOCALHOST:9000", " localhost \t",
                             "[::1]", "[::1]:80", "::1", "127.0.0.1:0", "localhost:65535"}) {
        EXPECT_TRUE(is_local_host_value(good)) << good;
    }
    // Names that merely begin like a local one belong to someone else.
    for (const char* bad : {"localhost.evil.example", "127.0.0.1.evil.example", "[::1].evil.example",
                            "localhost:8080.evil.example", "localhost:", "localhost:80:80", "localhost:+80",
                            "localhost:65536", "localhost:123456", "::1:8080", "::1.evil", "127.0.0.10",
                            "127.0.0.2", "0.0.0.0", "", "evil.example", "localhost evil", "\xEF\xBF\xBD"}) {
        EXPECT_FALSE(is_local_host_value(bad)) << bad;
    }
    EXPECT_EQ(decide(get("/", "Host: localhost.evil.example\r\n"), kNoToken).verdict, Verdict::forbidden_host);
    EXPECT_EQ(decide(get("/", "Host: 127.0.0.1.evil.example\r\n"), kNoToken).verdict, Verdict::forbidden_host);
    // Invalid UTF-8 is judged after replacement, never passed through.
    EXPECT_EQ(decide(get("/", "Host: localhost\xFF\r\n"), kNoToken).verdict, Verdict::forbidden_host);
}

TEST(Decide, BearerCheckWithToken) {
    const std::string good = "Authorization: Bearer " + *kToken + "\r\n";
    EXPECT_EQ(decide(get("/", good), kToken).verdict, Verdict::serve);
    EXPECT_EQ(decide(get("/metrics", "authorization: bearer " + *kToken + "\r\n"), kToken).verdict,
              Verdict::serve);
    EXPECT_EQ(decide(get("/", "AUTHORIZATION:   BEARER   " + *kToken + " \t\r\n"), kToken).verdict,
              Verdict::serve);
    // The Host header is not looked at when a token is set.
    EXPECT_EQ(decide(get("/", "Host: evil.example\r\n" + good), kToken).verdict, Verdict::serve);

    const std::string short_token = kToken->substr(0, kToken->size() - 1);
    std::string wrong_last = *kToken;
    wrong_last.back() = 'X';
    for (const std::string& headers : std::vector<std::string>{
             std::string(), "Authorization: Basic dXNlcjpwYXNz\r\n", "Authorization : Bearer " + *kToken + "\r\n",
          "Authorization: Bearer " + short_token + "\r\n", "Authorization: Bearer " + *kToken + "x\r\n",
          "Authorization: Bearer " + wrong_last + "\r\n", "Authorization: Bearer\t" + *kToken + "\r\n",
          "Authorization: Bearer\r\n", "Authorization: " + *kToken + "\r\n",
          "Authorization: Token " + *kToken + "\r\n", "Proxy-Authorization: Bearer " + *kToken + "\r\n",
          // The first line with a bearer credential decides, even if a later one is right.
          "Authorization: Bearer wrong\r\n" + good}) {
        EXPECT_EQ(decide(get("/", headers), kToken).verdict, Verdict::unauthorized) << headers;
    }
    // A line without a bearer credential is skipped; a later one still counts.
    EXPECT_EQ(decide(get("/", "Authorization: Basic abc\r\n" + good), kToken).verdict, Verdict::serve);
}

TEST(Decide, HealthIsOpenAndMethodComesFirst) {
    EXPECT_EQ(decide(get("/health"), kToken).verdict, Verdict::serve);
    EXPECT_EQ(decide(get("/health?probe=1"), kToken).verdict, Verdict::serve);
    EXPECT_EQ(decide(get("/health/"), kToken).verdict, Verdict::unauthorized);
    EXPECT_EQ(decide("POST /metrics HTTP/1.1\r\n\r\n", kToken).verdict, Verdict::method_not_allowed);
    EXPECT_EQ(decide("HEAD / HTTP/1.1\r\n\r\n", kToken).verdict, Verdict::method_not_allowed);
    EXPECT_EQ(decide("GET", kToken).verdict, Verdict::method_not_allowed);
}

TEST(Decide, PartialRequestIsJudgedOnWhatArrived) {
    // Headers cut before the Authorization line: no credentials.
    EXPECT_EQ(decide("GET /metrics HTTP/1.1\r\nHost: x\r\nAuthoriz", kToken).verdict, Verdict::unauthorized);
    // Cut inside the token: too short.
    const std::string cut = "GET / HTTP/1.1\r\nAuthorization: Bearer " + kToken->substr(0, 5);
    EXPECT_EQ(decide(cut, kToken).verdict, Verdict::unauthorized);
    // A last line without its line end still counts.
    EXPECT_EQ(decide("GET / HTTP/1.1\r\nAuthorization: Bearer " + *kToken, kToken).verdict, Verdict::serve);
    EXPECT_EQ(decide("GET / HTTP/1.1\r\nHost: evil.example", kNoToken).verdict, Verdict::forbidden_host);
}

TEST(ConstantTimeEqual, ComparesEveryByte) {
    EXPECT_TRUE(constant_time_equal("", ""));
    EXPECT_TRUE(constant_time_equal("abcdef", "abcdef"));
    EXPECT_FALSE(constant_time_equal("abcdef", "abcdeF"));
    EXPECT_FALSE(constant_time_equal("Xbcdef", "abcdef"));
    EXPECT_FALSE(constant_time_equal("abc", "abcd"));
    EXPECT_FALSE(constant_time_equal(std::string_view("a\0b", 3), std::string_view("a\0c", 3)));
}

TEST(Responses, ExactBytes) {
    EXPECT_EQ(format_response(routed_response(Route::health, {})),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 15\r\n"
              "X-Content-Type-Options: nosniff\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n"
              "{\"status\":\"ok\"}");
    EXPECT_EQ(format_response(refusal_response(Verdict::unauthorized)),
              "HTTP/1.1 401 Unauthorized\r\nContent-Type: application/json\r\nContent-Length: 24\r\n"
              "WWW-Authenticate: Bearer\r\n"
              "X-Content-Type-Options: nosniff\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n"
              "{\"error\":\"unauthorized\"}");
    EXPECT_EQ(format_response(routed_response(Route::metrics, {})),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\nContent-Length: 0\r\n"
              "X-Content-Type-Options: nosniff\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n");
}

TEST(Responses, StatusTypesAndBodies) {
    struct Case {
        Response response;
        std::string_view status, type, body;
    };
    const DeviceList none;
    const Case cases[] = {
        {routed_response(Route::json, none), "HTTP/1.1 200 OK", "application/json", "[]"},
        {routed_response(Route::health, none), "HTTP/1.1 200 OK", "application/json", R"({"status":"ok"})"},
        {routed_response(Route::not_found, none), "HTTP/1.1 404 Not Found", "application/json",
         R"({"error":"not found"})"},
        {refusal_response(Verdict::method_not_allowed), "HTTP/1.1 405 Method Not Allowed", "application/json",
         R"({"error":"method not allowed"})"},
        {refusal_response(Verdict::forbidden_host), "HTTP/1.1 403 Forbidden", "application/json",
         R"({"error":"forbidden host"})"},
        {refusal_response(Verdict::unauthorized), "HTTP/1.1 401 Unauthorized", "application/json",
         R"({"error":"unauthorized"})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.response.status_line, c.status);
        EXPECT_EQ(c.response.content_type, c.type);
        EXPECT_EQ(c.response.body, c.body);
        EXPECT_EQ(c.response.bearer_challenge, c.status == "HTTP/1.1 401 Unauthorized");
    }
    EXPECT_EQ(cases[1].body.size() + cases[2].body.size() + cases[3].body.size() + cases[4].body.size() +
                  cases[5].body.size(),
              15u + 21u + 30u + 26u + 24u);
}

TEST(Responses, DataRoutesCarryTheRenderedDocuments) {
    GpuDevice device;
    device.market_name = "Radeon \xC3\xA9 \"quoted\"";
    device.backend = "hip";
    const DeviceList devices{device};
    const Response json = routed_response(Route::json, devices);
    EXPECT_EQ(json.body, render::render_json_compact(devices));
    EXPECT_EQ(json.body.find('\n'), std::string::npos);
    EXPECT_EQ(routed_response(Route::metrics, devices).body, render::render_metrics(devices));
    const std::string bytes = format_response(json);
    EXPECT_NE(bytes.find("\r\nContent-Length: " + std::to_string(json.body.size()) + "\r\n"), std::string::npos);
    EXPECT_TRUE(bytes.ends_with("\r\n\r\n" + json.body));
}

}  // namespace
}  // namespace karvo::server
