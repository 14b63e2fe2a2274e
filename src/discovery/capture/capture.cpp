#include "discovery/capture/capture.h"

#include <array>

#include "common/numfmt.h"
#include "common/text.h"

namespace karvo::discovery::capture {
namespace {

constexpr std::array<std::pair<Kind, std::string_view>, 21> kKinds = {{
    {Kind::env, "env"},
    {Kind::folder, "folder"},
    {Kind::link, "link"},
    {Kind::file, "file"},
    {Kind::exists, "exists"},
    {Kind::amdgpu, "amdgpu"},
    {Kind::library, "library"},
    {Kind::symbol, "symbol"},
    {Kind::call, "call"},
    {Kind::process, "process"},
    {Kind::gpu_session, "gpu-session"},
    {Kind::adapter, "adapter"},
    {Kind::segment_count, "segment-count"},
    {Kind::segment, "segment"},
    {Kind::process_names, "process-names"},
    {Kind::counters, "counters"},
    {Kind::devnode, "devnode"},
    {Kind::devnode_parent, "devnode-parent"},
    {Kind::devnode_id, "devnode-id"},
    {Kind::link_property, "link-property"},
    {Kind::source_error, "source-error"},
}};

constexpr std::string_view kHex = "0123456789ABCDEF";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

char answer_mark(Answer answer) {
    switch (answer) {
        case Answer::value: return '=';
        case Answer::absent: return '-';
        case Answer::error: return '!';
    }
    return '=';
}

}  // namespace

std::string_view system_name(System system) { return system == System::windows ? "windows" : "linux"; }

std::optional<System> system_named(std::string_view name) {
    if (name == "linux") return System::linux;
    if (name == "windows") return System::windows;
    return std::nullopt;
}

std::string_view kind_name(Kind kind) {
    for (const auto& [known, name] : kKinds)
        if (known == kind) return name;
    return "?";
}

std::optional<Kind> kind_named(std::string_view name) {
    for (const auto& [kind, known] : kKinds)
        if (known == name) return kind;
    return std::nullopt;
}

std::string error_payload(const Error& error) {
    std::string payload = error.message();
    for (const std::string& cause : error.causes()) {
        payload += '\n';
        payload += cause;
    }
    return payload;
}

Error error_from_payload(std::string_view payload) {
    std::size_t end = payload.find('\n');
    Error error{std::string(payload.substr(0, end))};
    while (end != std::string_view::npos) {
        payload.remove_prefix(end + 1);
        end = payload.find('\n');
        error.with_cause(std::string(payload.substr(0, end)));
    }
    return error;
}

std::string escape_key(std::string_view key) {
    std::string out;
    out.reserve(key.size());
    for (const char c : key) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '%') {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> unescape_key(std::string_view escaped) {
    std::string out;
    out.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        const char c = escaped[i];
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return std::nullopt;  // must have been escaped
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 2 >= escaped.size()) return std::nullopt;
        const int high = hex_value(escaped[i + 1]);
        const int low = hex_value(escaped[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

std::string write_answers(const std::vector<Record>& records) {
    std::string out;
    for (const Record& record : records) {
        out += kind_name(record.kind);
        out += ' ';
        out += answer_mark(record.answer);
        out += ' ';
        const std::size_t length = record.answer == Answer::absent ? 0 : record.payload.size();
        out += numfmt::unsigned_text(length);
        out += ' ';
        out += escape_key(record.key);
        out += '\n';
        if (record.answer != Answer::absent) out += record.payload;
        out += '\n';
    }
    return out;
}

Result<std::vector<Record>> read_answers(std::string_view text) {
    std::vector<Record> records;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::string where = "answers: record " + numfmt::unsigned_text(records.size() + 1);
        const std::size_t line_end = text.find('\n', at);
        if (line_end == std::string_view::npos) return Error(where + ": the header line has no end");
        std::string_view header = text.substr(at, line_end - at);
        at = line_end + 1;

        const std::size_t kind_end = header.find(' ');
        if (kind_end == std::string_view::npos) return Error(where + ": malformed header line");
        const auto kind = kind_named(header.substr(0, kind_end));
        if (!kind) return Error(where + ": unknown record kind '" + text::utf8_lossy(header.substr(0, kind_end)) + "'");
        header.remove_prefix(kind_end + 1);
        if (header.size() < 2 || header[1] != ' ') return Error(where + ": malformed header line");
        Answer answer;
        switch (header[0]) {
            case '=': answer = Answer::value; break;
            case '-': answer = Answer::absent; break;
            case '!': answer = Answer::error; break;
            default: return Error(where + ": unknown answer mark");
        }
        header.remove_prefix(2);
        const std::size_t length_end = header.find(' ');
        if (length_end == std::string_view::npos) return Error(where + ": malformed header line");
        const auto length = text::parse_unsigned(header.substr(0, length_end), UINT64_MAX);
        if (!length || header.substr(0, length_end).starts_with('+')) return Error(where + ": bad payload length");
        auto key = unescape_key(header.substr(length_end + 1));
        if (!key) return Error(where + ": bad escape in the key");
        if (answer == Answer::absent && *length != 0) return Error(where + ": an absent answer with a payload");
        if (*length >= text.size() - at || text[at + *length] != '\n') {
            return Error(where + ": the payload is cut short");
        }
        records.push_back({*kind, std::move(*key), answer, std::string(text.substr(at, *length))});
        at += *length + 1;
    }
    return records;
}

}  // namespace karvo::discovery::capture
