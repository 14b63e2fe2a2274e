#pragma once
// The browser page at /ui with its script, style and chart library. They are
// built into the executable gzip-compressed and hold no data: the page asks /
// for the figures itself, with the token, so they are served without the
// token and without a discovery pass. A client that does not take gzip gets
// the bytes inflated on the way out.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace karvo::server {

// The page's own address. Its other files live in one folder below it whose
// name carries the program version and a hash of their bytes, so a browser
// may keep them for good: another build asks for other names.
inline constexpr std::string_view kPagePath = "/ui";

// One embedded file (the table is generated at build time from src/server/ui
// and the chart library).
struct PageAsset {
    std::string_view path;          // "/ui" or "/ui/{version}-{hash}/{name}"
    std::string_view content_type;  // with its charset
    std::string_view etag;          // quoted, as sent
    const unsigned char* gzip;      // the file as `gzip -9n` wrote it
    std::size_t gzip_size;
    std::size_t size;               // inflated
};
std::span<const PageAsset> page_assets();

// True for "/ui" and every path below "/ui/": the paths the page answers,
// with a file, a redirect or a 404.
bool is_page_path(std::string_view path);

// True when an Accept-Encoding value lets the response be gzip-compressed:
// "gzip" or "x-gzip" (any case), or "*" when gzip is not named, with a weight
// other than q=0.
bool accepts_gzip(std::string_view accept_encoding);

// True when an If-None-Match value names `etag` (weak comparison: "W/" is
// ignored on both sides) or is "*".
bool etag_matches(std::string_view if_none_match, std::string_view etag);

// Inflates a gzip member into exactly `size` bytes; nothing when the bytes
// are not one complete gzip member of that size.
bool gunzip(std::string_view compressed, std::size_t size, std::string& out);

// The whole response to a GET of a page path: 200 with the file (gzip when
// accepted), 304 when the browser's copy is current, 308 from "/ui/" to the
// page, or the usual 404. Accept-Encoding and If-None-Match are read from the
// request's header lines.
std::string page_response(std::string_view path, std::string_view request_bytes);

}  // namespace karvo::server
