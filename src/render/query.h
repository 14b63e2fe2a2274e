#pragma once
// Queries for scripts: one CSV row per GPU (--query-gpu) or per process
// (--query-apps, --query-compute-apps) with the fields named, in their order,
// and the JSON Lines samples of a loop. Fields are the figures of
// render/figures by alias or JSON key.
//
// Cells are separated by ", "; the header repeats the names as given, with the
// unit in brackets where the field has one; values carry the unit after a
// blank unless `units` is off. A figure that is not reported is "[N/A]"; lists
// join with "|"; texts are cleaned for the terminal (render/display_text.h),
// then a text holding "," or '"' is quoted (RFC 4180).

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "discovery/device.h"
#include "platform/system.h"
#include "render/figures.h"

namespace karvo::render {

enum class QueryKind { gpus, apps, compute_apps };

struct QueryField {
    std::string name;  // as the user wrote it
    const DeviceFigure* device = nullptr;    // a figure of the GPU (of the process's GPU for apps)
    const ProcessFigure* process = nullptr;  // apps only
    // Named by a familiar name of a figure that prints as a whole number
    // without a unit there (temperature.gpu: 45).
    bool whole = false;
    bool operator==(const QueryField&) const = default;
};

struct Query {
    QueryKind kind = QueryKind::gpus;
    std::vector<QueryField> fields;
    bool header = true;
    bool units = true;
    bool operator==(const Query&) const = default;
};

// The fields of a comma-separated list; the error names the first unknown
// field (or says the list is empty).
Result<Query> parse_query(QueryKind kind, std::string_view fields);
// Applies --format "csv[,noheader][,nounits]"; the error names an unknown word.
Status apply_format(Query& query, std::string_view format);

// "memory.used [MiB], name\n"
std::string query_header(const Query& query);
// One line per GPU or process. `time` is the sample's (local) time.
std::string query_rows(const Query& query, const DeviceList& devices, const platform::WallTime& time);

// "YYYY/MM/DD HH:MM:SS.mmm", RFC 3339 "YYYY-MM-DDTHH:MM:SS.mmmZ", and the
// table title's "YYYY-MM-DD HH:MM:SS".
std::string query_time_text(const platform::WallTime& time);
std::string rfc3339_utc_text(const platform::WallTime& utc);
std::string title_time_text(const platform::WallTime& local);

// One JSON Lines sample: {"timestamp":"<utc>","gpus":[...]} and "\n".
std::string json_line(const DeviceList& devices, const platform::WallTime& utc);

// The text of --help-query: every field with its alias, unit and meaning.
std::string help_query_text();

}  // namespace karvo::render
