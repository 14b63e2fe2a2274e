#pragma once
// What one discovery pass saw of the system: each question it asked at the
// boundary (a file, a folder, a library entry point, a PowerShell script, a
// statistics query...) with the answer it got, in the order asked, plus what
// the pass wrote to standard error and the errors its sources dropped.
//
// The answers travel as one text stream ("answers.txt" in a report file): per
// record a header line "<kind> <answer> <length> <key>" and then exactly
// <length> bytes of payload and a newline. <answer> is "=" (a value: the
// payload), "-" (nothing there; no payload) or "!" (an error: its message and
// causes, one per line). Keys escape "%", control bytes and DEL as "%XX".

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.h"

namespace karvo::discovery::capture {

// The system whose pass a capture holds, which decides the pass a replay runs.
enum class System { linux, windows };
std::string_view system_name(System system);
std::optional<System> system_named(std::string_view name);

// The kinds of question. Names are the record kinds of the stream; the
// grouping into sources is what the replay's warnings and the summary use.
enum class Kind {
    env,             // an environment variable the pass read
    folder,          // a folder's entry names
    link,            // a symbolic link's target
    file,            // a file's bytes (as many as the pass asked for)
    exists,          // whether a path exists
    amdgpu,          // the amdgpu driver's answer for a render node
    library,         // opening a run-time library by name
    symbol,          // looking up an entry point: "<library>!<symbol>"
    call,            // one call of a vendor entry point: "<symbol>(<arguments>)"
    process,         // one PowerShell run: the script
    gpu_session,     // opening a statistics, process-memory or device-tree session
    adapter,         // DXGI adapter by ordinal
    segment_count,   // D3DKMT adapter query: "<luid>"
    segment,         // D3DKMT segment query: "<luid>/<segment>"
    process_names,   // the process snapshot
    counters,        // the PDH per-process counter arrays
    devnode,         // configuration manager: device instance ID to node
    devnode_parent,  // a node's parent
    devnode_id,      // a node's device instance ID
    link_property,   // a node's PCI link figure: "<node>/<figure>"
    source_error,    // an error a source returned and the pass dropped: key the source
};
std::string_view kind_name(Kind kind);
std::optional<Kind> kind_named(std::string_view name);

enum class Answer { value, absent, error };

struct Record {
    Kind kind = Kind::file;
    std::string key;
    Answer answer = Answer::value;
    std::string payload;  // the value, or the error's message and causes one per line

    bool operator==(const Record&) const = default;
};

// One text for a question (its kind and key), for looking records up.
inline std::string question_key(Kind kind, std::string_view key) {
    std::string text(1, static_cast<char>(kind));
    text += key;
    return text;
}

// An error as a record holds it, and back.
std::string error_payload(const Error& error);
Error error_from_payload(std::string_view payload);

// Everything a report file carries besides the answers.
struct ReportInfo {
    std::uint32_t format_version = 0;
    std::string karvo_version;
    System system = System::linux;
    std::string os;                          // the system and its version
    std::vector<std::string> command_line;   // as karvo was started
    std::string time;                        // ISO 8601 UTC, when the pass ran
    bool redacted = false;
};

struct Capture {
    ReportInfo info;
    std::vector<Record> records;
    std::string document;  // what karvo printed on standard output
    std::string stderr_text;  // what the pass wrote on standard error
};

// The answers stream of `records`, and back. Reading checks everything (kind
// names, answer marks, lengths, escapes) and fails with the record's number.
std::string write_answers(const std::vector<Record>& records);
Result<std::vector<Record>> read_answers(std::string_view text);

// "%XX" escapes of "%", bytes below 0x20 and 0x7F; the rest as it is.
std::string escape_key(std::string_view key);
std::optional<std::string> unescape_key(std::string_view escaped);

}  // namespace karvo::discovery::capture
