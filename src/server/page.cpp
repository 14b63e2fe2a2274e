#include "server/page.h"

#include <charconv>
#include <initializer_list>
#include <optional>

#include "common/text.h"
#include "common/zip.h"
#include "server/request.h"

namespace karvo::server {
namespace {

// What the page may do: its own files and fetches to this server only, no
// inline script or style, never inside another site's frame. The data:
// images are the page's icon.
constexpr std::string_view kSecurityHeaders =
    "X-Content-Type-Options: nosniff\r\n"
    "Content-Security-Policy: default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
    "frame-ancestors 'none'\r\n"
    "Referrer-Policy: no-referrer\r\n";

// The page is checked again on every load (a 304 while it is unchanged); the
// files below it never change under their names.
constexpr std::string_view kPageCaching = "no-cache";
constexpr std::string_view kAssetCaching = "public, max-age=31536000, immutable";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim_blanks(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// A q= weight of zero ("0", "0.", "0.000"), which refuses a coding.
bool is_zero_weight(std::string_view parameters) {
    std::size_t pos = 0;
    while (pos < parameters.size()) {
        std::size_t end = parameters.find(';', pos);
        if (end == std::string_view::npos) end = parameters.size();
        const std::string_view parameter = trim_blanks(parameters.substr(pos, end - pos));
        pos = end + 1;
        if (parameter.size() < 2 || (parameter[0] != 'q' && parameter[0] != 'Q') || parameter[1] != '=') continue;
        std::string_view weight = trim_blanks(parameter.substr(2));
        if (weight.empty() || weight.front() != '0') return false;
        weight.remove_prefix(1);
        if (weight.empty()) return true;
        if (weight.front() != '.') return false;
        weight.remove_prefix(1);
        return weight.find_first_not_of('0') == std::string_view::npos;
    }
    return false;
}

// The pieces of a response, one after the other, in one buffer.
std::string joined(std::initializer_list<std::string_view> pieces) {
    std::size_t size = 0;
    for (const std::string_view piece : pieces) size += piece.size();
    std::string out;
    out.reserve(size);
    for (const std::string_view piece : pieces) out += piece;
    return out;
}

std::string_view opaque_tag(std::string_view etag) {
    if (etag.starts_with("W/")) etag.remove_prefix(2);
    return etag;
}

const PageAsset* asset_at(std::string_view path) {
    for (const PageAsset& asset : page_assets()) {
        if (asset.path == path) return &asset;
    }
    return nullptr;
}

// The response for a file: the status line, the lines that describe the body
// (none for a 304), the headers every page response carries, an empty line
// and the body.
std::string file_response(std::string_view status, std::string_view body_headers, const PageAsset& asset,
                          std::string_view body = {}) {
    return joined({status, "\r\n", body_headers, "Vary: Accept-Encoding\r\nETag: ", asset.etag, "\r\nCache-Control: ",
                   asset.path == kPagePath ? kPageCaching : kAssetCaching, "\r\n", kSecurityHeaders,
                   "Connection: close\r\n\r\n", body});
}

}  // namespace

bool is_page_path(std::string_view path) {
    return path == kPagePath || (path.starts_with(kPagePath) && path.size() > kPagePath.size() &&
                                 path[kPagePath.size()] == '/');
}

bool accepts_gzip(std::string_view accept_encoding) {
    std::optional<bool> named;  // gzip itself, which wins over "*"
    bool any = false;
    std::size_t pos = 0;
    while (pos <= accept_encoding.size()) {
        std::size_t end = accept_encoding.find(',', pos);
        if (end == std::string_view::npos) end = accept_encoding.size();
        const std::string_view element = accept_encoding.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t semicolon = element.find(';');
        const std::string_view coding = trim_blanks(element.substr(0, semicolon));
        const bool refused =
            semicolon != std::string_view::npos && is_zero_weight(element.substr(semicolon + 1));
        if (text::equals_ignore_ascii_case(coding, "gzip") || text::equals_ignore_ascii_case(coding, "x-gzip")) {
            named = named.value_or(false) || !refused;
        } else if (coding == "*") {
            any = any || !refused;
        }
    }
    return named.value_or(any);
}

bool etag_matches(std::string_view if_none_match, std::string_view etag) {
    const std::string_view wanted = opaque_tag(etag);
    std::string_view rest = if_none_match;
    for (;;) {
        while (!rest.empty() && (is_blank(rest.front()) || rest.front() == ',')) rest.remove_prefix(1);
        if (rest.empty()) return false;
        if (rest.front() == '*') return true;
        if (rest.starts_with("W/")) rest.remove_prefix(2);
        if (rest.empty() || rest.front() != '"') return false;  // not a list of tags: no match
        const std::size_t close = rest.find('"', 1);
        if (close == std::string_view::npos) return false;
        if (rest.substr(0, close + 1) == wanted) return true;
        rest.remove_prefix(close + 1);
    }
}

bool gunzip(std::string_view compressed, std::size_t size, std::string& out) {
    std::optional<std::string> inflated = zip::inflate_exactly(compressed, size, zip::Wrapping::gzip);
    out = inflated ? std::move(*inflated) : std::string();
    return inflated.has_value();
}

std::string page_response(std::string_view path, std::string_view request_bytes) {
    if (path.size() == kPagePath.size() + 1 && is_page_path(path)) {
        // "/ui/": the page's relative addresses only work from "/ui" itself.
        // The browser keeps the fragment (a token) across the redirect.
        return joined({"HTTP/1.1 308 Permanent Redirect\r\nLocation: ../ui\r\nContent-Length: 0\r\n", kSecurityHeaders,
                       "Cache-Control: no-store\r\nConnection: close\r\n\r\n"});
    }
    const PageAsset* asset = asset_at(path);
    if (!asset) return format_response(routed_response(Route::not_found, {}));

    if (etag_matches(header_value(request_bytes, "If-None-Match"), asset->etag)) {
        return file_response("HTTP/1.1 304 Not Modified", {}, *asset);
    }
    const std::string_view compressed(reinterpret_cast<const char*>(asset->gzip), asset->gzip_size);
    const bool gzip = accepts_gzip(header_value(request_bytes, "Accept-Encoding"));
    std::string inflated;
    if (!gzip && !gunzip(compressed, asset->size, inflated)) {
        // Only a broken build gets here.
        return "HTTP/1.1 500 Internal Server Error\r\nContent-Type: application/json\r\nContent-Length: 26\r\n"
               "X-Content-Type-Options: nosniff\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n"
               R"({"error":"internal error"})";
    }
    const std::string_view body = gzip ? compressed : std::string_view(inflated);
    char digits[24];
    const std::string_view length(digits, std::to_chars(digits, digits + sizeof digits, body.size()).ptr - digits);
    const std::string body_headers = joined({"Content-Type: ", asset->content_type, "\r\nContent-Length: ", length,
                                             "\r\n", gzip ? "Content-Encoding: gzip\r\n" : ""});
    return file_response("HTTP/1.1 200 OK", body_headers, *asset, body);
}

}  // namespace karvo::server
