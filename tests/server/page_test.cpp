// The browser page's routes without sockets: which paths it answers, the
// token rules for them, content coding, validators and the exact headers.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "server/page.h"
#include "server/request.h"

namespace karvo::server {
namespace {

const std::optional<std::string> kNoToken;
const std::optional<std::string> kToken = std::string("s3cret-token-0123456789");

constexpr std::string_view kSecurity =
    "X-Content-Type-Options: nosniff\r\n"
    "Content-Security-Policy: default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
    "frame-ancestors 'none'\r\n"
    "Referrer-Policy: no-referrer\r\n";

std::string get(std::string_view target, std::string_view headers = "") {
    return "GET " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n" + std::string(headers) + "\r\n";
}

const PageAsset& asset(std::string_view name) {
    for (const PageAsset& a : page_assets()) {
        if (a.path.ends_with("/" + std::string(name)) || (name == "page" && a.path == "/ui")) return a;
    }
    ADD_FAILURE() << "no embedded " << name;
    static const PageAsset none{};
    return none;
}

std::string_view gzip_bytes(const PageAsset& a) { return {reinterpret_cast<const char*>(a.gzip), a.gzip_size}; }

std::string inflated(const PageAsset& a) {
    std::string out;
    EXPECT_TRUE(gunzip(gzip_bytes(a), a.size, out)) << a.path;
    return out;
}

// Splits a response into its head (up to the empty line) and its body.
std::pair<std::string, std::string> split(const std::string& response) {
    const std::size_t end = response.find("\r\n\r\n");
    if (end == std::string::npos) return {response, {}};
    return {response.substr(0, end + 2), response.substr(end + 4)};
}

TEST(Page, PathsItAnswers) {
    for (const char* path : {"/ui", "/ui/", "/ui/x", "/ui/1.2.0-abc/karvo.js"}) EXPECT_TRUE(is_page_path(path)) << path;
    for (const char* path : {"/", "/uix", "/UI", "/u", "/metrics", "/ui.html", "//ui"}) {
        EXPECT_FALSE(is_page_path(path)) << path;
    }
}

TEST(Page, ServedWithoutTheTokenButBehindTheHostCheck) {
    struct Case {
        std::string request;
        const std::optional<std::string>& token;
        Verdict verdict;
        std::string_view path;
    };
    const Case cases[] = {
        {get("/ui"), kToken, Verdict::serve, "/ui"},
        {get("/ui?view=dark"), kToken, Verdict::serve, "/ui"},
        {get("/ui/1.2.0-abc/karvo.js"), kToken, Verdict::serve, "/ui/1.2.0-abc/karvo.js"},
        {get("/ui/nothing-here"), kToken, Verdict::serve, "/ui/nothing-here"},  // a 404, still without data
        {get("/uix"), kToken, Verdict::unauthorized, ""},
        {get("/"), kToken, Verdict::unauthorized, ""},  // the data itself still needs the token
        {"POST /ui HTTP/1.1\r\n\r\n", kToken, Verdict::method_not_allowed, ""},
        {"GET /ui HTTP/1.1\r\nHost: evil.example\r\n\r\n", kNoToken, Verdict::forbidden_host, ""},
        {"GET /ui/ HTTP/1.1\r\nHost: localhost.evil.example:80\r\n\r\n", kNoToken, Verdict::forbidden_host, ""},
        {get("/ui"), kNoToken, Verdict::serve, "/ui"},
    };
    for (const Case& c : cases) {
        const RequestDecision decision = decide(c.request, c.token);
        EXPECT_EQ(decision.verdict, c.verdict) << c.request;
        EXPECT_EQ(decision.path, c.path) << c.request;
    }
}

TEST(Page, HeaderValues) {
    const std::string request =
        "GET /ui HTTP/1.1\r\naccept-encoding:  br \r\nHost: x\r\nACCEPT-ENCODING: gzip\r\nAccept-Encodings: nope\r\n"
        "\r\nAccept-Encoding: after-the-headers\r\n";
    EXPECT_EQ(header_value(request, "Accept-Encoding"), "br, gzip");
    EXPECT_EQ(header_value(request, "If-None-Match"), "");
    EXPECT_EQ(header_value("GET /ui HTTP/1.1\nIf-None-Match: \"a\"", "If-None-Match"), "\"a\"");
    EXPECT_EQ(header_value("GET /ui", "Host"), "");
}

TEST(Page, AcceptEncoding) {
    const std::pair<const char*, bool> cases[] = {
        {"gzip", true},
        {"GZip", true},
        {"x-gzip", true},
        {"gzip, deflate, br, zstd", true},  // what browsers send
        {"deflate , gzip;q=0.5", true},
        {"gzip;q=1.0", true},
        {"gzip ; q=0.001", true},
        {"*", true},
        {"br, *;q=0.1", true},
        {"gzip;q=0", false},
        {"gzip; q=0.000", false},
        {"gzip;Q=0.", false},
        {"*;q=0", false},
        {"*, gzip;q=0", false},  // gzip named: its own weight decides
        {"gzip;q=0, *", false},
        {"", false},
        {"identity", false},
        {"br, deflate", false},
        {"gzipped", false},
        {"gzip;level=9", true},
    };
    for (const auto& [value, accepted] : cases) EXPECT_EQ(accepts_gzip(value), accepted) << value;
}

TEST(Page, EntityTags) {
    const std::string_view etag = "\"0123abcd\"";
    const std::pair<const char*, bool> cases[] = {
        {"\"0123abcd\"", true},       {"W/\"0123abcd\"", true},  {"\"x\", \"0123abcd\"", true},
        {"*", true},                  {"\"x\",W/\"0123abcd\"", true},
        {"", false},                  {"0123abcd", false},       {"\"0123abc\"", false},
        {"\"0123abcd", false},        {"\"0123abcd0\"", false},  {"\"x\" junk \"0123abcd\"", false},
    };
    for (const auto& [value, matches] : cases) EXPECT_EQ(etag_matches(value, etag), matches) << value;
}

TEST(Page, GunzipTakesOneWholeMemberOfTheStatedSize) {
    const PageAsset& page = asset("page");
    const std::string whole(gzip_bytes(page));
    std::string out;
    ASSERT_TRUE(gunzip(whole, page.size, out));
    EXPECT_EQ(out.size(), page.size);

    EXPECT_FALSE(gunzip(whole, page.size - 1, out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(gunzip(whole, page.size + 1, out));
    EXPECT_FALSE(gunzip(whole.substr(0, whole.size() - 4), page.size, out));  // no length in the trailer
    EXPECT_FALSE(gunzip(whole + whole, page.size, out));                      // a second member
    std::string damaged = whole;
    damaged[whole.size() / 2] = static_cast<char>(damaged[whole.size() / 2] ^ 0x55);
    EXPECT_FALSE(gunzip(damaged, page.size, out));
    EXPECT_FALSE(gunzip("", 0, out));
    EXPECT_FALSE(gunzip("not gzip at all", 15, out));
}

TEST(Page, PageResponseWithGzip) {
    const PageAsset& page = asset("page");
    const auto [head, body] = split(page_response("/ui", get("/ui", "Accept-Encoding: gzip, deflate, br\r\n")));
    EXPECT_EQ(head, "HTTP/1.1 200 OK\r\n"
                    "Content-Type: text/html; charset=utf-8\r\n"
                    "Content-Length: " + std::to_string(page.gzip_size) + "\r\n"
                    "Content-Encoding: gzip\r\n"
                    "Vary: Accept-Encoding\r\n"
                    "ETag: " + std::string(page.etag) + "\r\n"
                    "Cache-Control: no-cache\r\n" + std::string(kSecurity) +
                    "Connection: close\r\n");
    EXPECT_EQ(body, gzip_bytes(page));
    // The gzip -9n form: no file name, no time stamp.
    ASSERT_GE(body.size(), 10u);
    EXPECT_EQ(body.substr(0, 4), std::string("\x1f\x8b\x08\x00", 4));
    EXPECT_EQ(body.substr(4, 4), std::string(4, '\0'));
}

TEST(Page, WithoutGzipTheBytesAreInflated) {
    for (const PageAsset& a : page_assets()) {
        for (const std::string_view headers : {std::string_view(), std::string_view("Accept-Encoding: gzip;q=0\r\n"),
                                               std::string_view("Accept-Encoding: identity\r\n")}) {
            const auto [head, body] = split(page_response(a.path, get(a.path, headers)));
            EXPECT_TRUE(head.starts_with("HTTP/1.1 200 OK\r\nContent-Type: " + std::string(a.content_type) + "\r\n"))
                << head;
            EXPECT_EQ(head.find("Content-Encoding"), std::string::npos) << a.path;
            EXPECT_NE(head.find("\r\nContent-Length: " + std::to_string(a.size) + "\r\n"), std::string::npos);
            EXPECT_EQ(body, inflated(a)) << a.path;
        }
    }
}

TEST(Page, CachingAndValidators) {
    const PageAsset& script = asset("karvo.js");
    const std::string answer = page_response(script.path, get(script.path, "Accept-Encoding: gzip\r\n"));
    EXPECT_NE(answer.find("\r\nCache-Control: public, max-age=31536000, immutable\r\n"), std::string::npos);

    for (const PageAsset& a : page_assets()) {
        for (const std::string& tag : {std::string(a.etag), "W/" + std::string(a.etag), "\"other\", " + std::string(a.etag)}) {
            const std::string response = page_response(a.path, get(a.path, "If-None-Match: " + tag + "\r\n"));
            const std::string cache = a.path == "/ui" ? "no-cache" : "public, max-age=31536000, immutable";
            EXPECT_EQ(response, "HTTP/1.1 304 Not Modified\r\nVary: Accept-Encoding\r\nETag: " + std::string(a.etag) +
                                    "\r\nCache-Control: " + cache + "\r\n" + std::string(kSecurity) +
                                    "Connection: close\r\n\r\n");
        }
        EXPECT_TRUE(page_response(a.path, get(a.path, "If-None-Match: \"stale\"\r\n")).starts_with("HTTP/1.1 200 OK\r\n"));
    }
}

TEST(Page, RedirectAndNotFound) {
    EXPECT_EQ(page_response("/ui/", get("/ui/")),
              "HTTP/1.1 308 Permanent Redirect\r\nLocation: ../ui\r\nContent-Length: 0\r\n" + std::string(kSecurity) +
                  "Cache-Control: no-store\r\nConnection: close\r\n\r\n");
    const std::string not_found = format_response(routed_response(Route::not_found, {}));
    const PageAsset& script = asset("karvo.js");
    const std::string stale = "/ui/0.0.1-0000000000/karvo.js";  // another build's file
    for (const std::string& path : {stale, std::string("/ui/karvo.js"), std::string(script.path) + "/",
                                    std::string("/ui/") + "index.html"}) {
        EXPECT_EQ(page_response(path, get(path)), not_found) << path;
    }
}

// The page names its files by the folder they are served from, and nothing
// of another host: the browser loads exactly the embedded files.
TEST(Page, ThePageLoadsExactlyTheEmbeddedFiles) {
    const std::string html = inflated(asset("page"));
    std::vector<std::string> linked;
    const std::regex reference(R"re((src|href)="([^"]*)")re");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), reference); it != std::sregex_iterator(); ++it) {
        const std::string target = (*it)[2];
        if (target.starts_with("data:")) continue;  // the icon
        EXPECT_TRUE(target.starts_with("ui/")) << target;  // relative to /ui: /ui/{folder}/{file}
        linked.push_back("/" + target);
    }
    std::vector<std::string> embedded;
    for (const PageAsset& a : page_assets()) {
        if (a.path != "/ui") embedded.push_back(std::string(a.path));
    }
    std::sort(linked.begin(), linked.end());
    std::sort(embedded.begin(), embedded.end());
    EXPECT_EQ(linked, embedded);
    EXPECT_EQ(html.find("<script>"), std::string::npos);  // no inline script
    EXPECT_EQ(html.find("<style"), std::string::npos);
    EXPECT_EQ(html.find(" style="), std::string::npos);
    EXPECT_FALSE(std::regex_search(html, std::regex(R"(\son[a-z]+=)")));  // no inline handlers

    const std::string folder = std::string(embedded.front()).substr(0, embedded.front().rfind('/') + 1);
    EXPECT_TRUE(std::regex_match(folder, std::regex(R"(/ui/\d+\.\d+\.\d+-[0-9a-f]{10}/)"))) << folder;
}

TEST(Page, ChartLibraryCarriesItsLicenceNotice) {
    for (const char* name : {"uPlot.iife.min.js", "uPlot.min.css"}) {
        const std::string text = inflated(asset(name));
        EXPECT_TRUE(text.starts_with("/*! uPlot 1.")) << text.substr(0, 80);
        EXPECT_NE(text.find("Copyright (c) 2022 Leon Sorokin"), std::string::npos) << name;
        EXPECT_NE(text.find("Permission is hereby granted, free of charge"), std::string::npos) << name;
    }
}

}  // namespace
}  // namespace karvo::server
