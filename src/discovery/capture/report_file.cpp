#include "discovery/capture/report_file.h"

#include <map>

#include "common/json_reader.h"
#include "common/json_string.h"
#include "common/numfmt.h"
#include "discovery/capture/replay.h"

namespace karvo::discovery::capture {
namespace {

constexpr std::string_view kInfoEntry = "report.json";
constexpr std::string_view kDocumentEntry = "document.txt";
constexpr std::string_view kStderrEntry = "stderr.txt";
constexpr std::string_view kAnswersEntry = "answers.txt";

std::string info_json(const Capture& capture) {
    const ReportInfo& info = capture.info;
    std::string out = "{\n  \"format\": ";
    json::append_json_string(out, kFormatName);
    out += ",\n  \"version\": " + numfmt::unsigned_text(kFormatVersion);
    out += ",\n  \"karvo\": ";
    json::append_json_string(out, info.karvo_version);
    out += ",\n  \"system\": ";
    json::append_json_string(out, system_name(info.system));
    out += ",\n  \"os\": ";
    json::append_json_string(out, info.os);
    out += ",\n  \"command_line\": [";
    for (std::size_t i = 0; i < info.command_line.size(); ++i) {
        if (i != 0) out += ", ";
        json::append_json_string(out, info.command_line[i]);
    }
    out += "],\n  \"time\": ";
    json::append_json_string(out, info.time);
    out += ",\n  \"redacted\": ";
    out += info.redacted ? "true" : "false";
    out += ",\n  \"answers\": " + numfmt::unsigned_text(capture.records.size());
    out += "\n}\n";
    return out;
}

std::string string_member(const json::Value& object, std::string_view name) {
    const json::Value* value = object.find(name);
    return value != nullptr && value->as_string() != nullptr ? *value->as_string() : std::string();
}

Result<ReportInfo> read_info(std::string_view text) {
    auto parsed = json::parse(text);
    if (!parsed.ok()) return Error("not a karvo report: report.json is not JSON", parsed.error());
    const json::Value& object = parsed.value();
    if (!object.is_object() || string_member(object, "format") != kFormatName) {
        return Error("not a karvo report: report.json does not name the format");
    }
    const json::Value* version = object.find("version");
    if (version == nullptr || !version->as_u64() || *version->as_u64() == 0) {
        return Error("report.json: the format version is missing or not a positive whole number");
    }
    if (*version->as_u64() > kFormatVersion) {
        return Error("the report's format version " + numfmt::unsigned_text(*version->as_u64()) +
                     " is newer than this karvo reads (" + numfmt::unsigned_text(kFormatVersion) +
                     "); replay it with a newer karvo");
    }
    ReportInfo info;
    info.format_version = static_cast<std::uint32_t>(*version->as_u64());
    const auto system = system_named(string_member(object, "system"));
    if (!system) return Error("report.json: unknown system '" + string_member(object, "system") + "'");
    info.system = *system;
    info.karvo_version = string_member(object, "karvo");
    info.os = string_member(object, "os");
    info.time = string_member(object, "time");
    if (const json::Value* line = object.find("command_line"); line != nullptr && line->as_array() != nullptr) {
        for (const json::Value& arg : *line->as_array())
            if (arg.as_string() != nullptr) info.command_line.push_back(*arg.as_string());
    }
    if (const json::Value* redacted = object.find("redacted"); redacted != nullptr && redacted->as_bool()) {
        info.redacted = *redacted->as_bool();
    }
    return info;
}

}  // namespace

Result<std::string> write_report(const Capture& capture, const zip::DosTime& time) {
    return zip::write({{std::string(kInfoEntry), info_json(capture)},
                       {std::string(kDocumentEntry), capture.document},
                       {std::string(kStderrEntry), capture.stderr_text},
                       {std::string(kAnswersEntry), write_answers(capture.records)}},
                      time);
}

Result<Capture> read_report(std::string_view bytes) {
    if (bytes.size() > kMaxReportBytes) return Error("not a karvo report: the file is too large");
    auto entries = zip::read(bytes);
    if (!entries.ok()) return Error("not a karvo report", entries.error());
    const auto entry = [&](std::string_view name) -> const std::string* {
        for (const zip::Entry& e : *entries)
            if (e.name == name) return &e.data;
        return nullptr;
    };
    const std::string* info_text = entry(kInfoEntry);
    if (info_text == nullptr) return Error("not a karvo report: it has no report.json");
    auto info = read_info(*info_text);
    if (!info.ok()) return info.error();
    const std::string* answers_text = entry(kAnswersEntry);
    if (answers_text == nullptr) return Error("the report has no answers.txt");
    auto records = read_answers(*answers_text);
    if (!records.ok()) return records.error();

    Capture capture;
    capture.info = std::move(info).value();
    capture.records = std::move(records).value();
    if (const std::string* document = entry(kDocumentEntry)) capture.document = *document;
    if (const std::string* err = entry(kStderrEntry)) capture.stderr_text = *err;
    for (std::size_t i = 0; i < capture.records.size(); ++i) {
        if (Status checked = check_record(capture.records[i]); !checked.ok()) {
            return Error("answers: record " + numfmt::unsigned_text(i + 1) + " (" +
                         std::string(kind_name(capture.records[i].kind)) + ")", checked.error());
        }
    }
    return capture;
}

}  // namespace karvo::discovery::capture

namespace karvo::discovery::capture {
namespace {

bool has_hex_run(std::string_view text, std::size_t length) {
    std::size_t run = 0;
    for (const char c : text) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        run = hex ? run + 1 : 0;
        if (run >= length) return true;
    }
    return false;
}

}  // namespace

std::string describe(const Capture& capture) {
    std::map<std::string, std::size_t, std::less<>> by_source;
    bool commands = false, processes = false, containers = false, pods = false, serials = false, open_files = false;
    for (const Record& record : capture.records) {
        ++by_source[std::string(source_of(record.kind, record.key))];
        if (record.answer != Answer::value || record.payload.empty()) continue;
        const std::string_view key = record.key;
        switch (record.kind) {
            case Kind::file:
                if (key.ends_with("/comm")) commands = true;
                if (key.ends_with("/cgroup") && has_hex_run(record.payload, 32)) containers = true;
                if (key.ends_with("/unique_id")) serials = true;
                break;
            case Kind::folder:
                if (key.find("/var/log/pods") != std::string_view::npos ||
                    key.find("/var/log/containers") != std::string_view::npos) {
                    pods = true;
                }
                break;
            case Kind::link:
                if (key.find("/proc/") != std::string_view::npos && key.find("/fd/") != std::string_view::npos &&
                    !record.payload.starts_with("/dev/dri/")) {
                    open_files = true;
                }
                break;
            case Kind::process_names: processes = true; break;
            default: break;
        }
    }
    std::string text = numfmt::unsigned_text(capture.records.size()) + " answers";
    if (!by_source.empty()) {
        text += " (";
        bool first = true;
        for (const auto& [source, count] : by_source) {
            if (!first) text += ", ";
            first = false;
            text += source + " " + numfmt::unsigned_text(count);
        }
        text += ")";
    }
    std::vector<std::string> names;
    if (processes) names.emplace_back("process names");
    if (commands) names.emplace_back("command names");
    if (containers) names.emplace_back("container IDs");
    if (pods) names.emplace_back("pod names and namespaces");
    if (serials) names.emplace_back("serial numbers");
    if (open_files) names.emplace_back("paths of files processes hold open");
    if (capture.info.redacted) {
        text += "; names replaced by placeholders";
    } else if (!names.empty()) {
        text += "; it holds ";
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (i != 0) text += i + 1 == names.size() ? " and " : ", ";
            text += names[i];
        }
        text += " (--redact replaces them)";
    }
    return text;
}

}  // namespace karvo::discovery::capture
