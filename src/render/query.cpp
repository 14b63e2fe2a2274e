#include "render/query.h"

#include "common/numfmt.h"
#include "common/text.h"
#include "render/display_text.h"
#include "render/json.h"

namespace karvo::render {
namespace {

using Kind = FigureValue::Kind;

constexpr std::string_view kNotReported = "[N/A]";
constexpr std::string_view kSeparator = ", ";

// Outside text as a cell: cleaned for the terminal first (line breaks and
// escape sequences included), then quoted when it holds a separator or a quote.
void append_csv_text(std::string& out, std::string_view raw) {
    const std::string text = display_text(raw);
    if (text.find_first_of(",\"") == std::string::npos) {
        out += text;
        return;
    }
    out += '"';
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

void append_zero_padded(std::string& out, int value, unsigned digits) {
    std::string number = numfmt::unsigned_text(static_cast<std::uint64_t>(value < 0 ? 0 : value));
    if (number.size() < digits) out.append(digits - number.size(), '0');
    out += number;
}

// "YYYY<d>MM<d>DD<t>HH:MM:SS", then ".mmm" when `milliseconds`.
std::string date_time_text(const platform::WallTime& t, char date_separator, char time_separator,
                           bool milliseconds) {
    std::string out;
    append_zero_padded(out, t.year, 4);
    out += date_separator;
    append_zero_padded(out, t.month, 2);
    out += date_separator;
    append_zero_padded(out, t.day, 2);
    out += time_separator;
    append_zero_padded(out, t.hour, 2);
    out += ':';
    append_zero_padded(out, t.minute, 2);
    out += ':';
    append_zero_padded(out, t.second, 2);
    if (milliseconds) {
        out += '.';
        append_zero_padded(out, t.millisecond, 3);
    }
    return out;
}

std::string_view unit_of(const QueryField& field) {
    if (field.whole) return {};
    return field.process != nullptr ? field.process->csv_unit : field.device->csv_unit;
}

struct Sample {
    const Query& query;
    const DeviceList& devices;
    const std::string time;
};

// One cell: the value, then its unit unless the query has none.
void append_cell(std::string& out, const Sample& sample, const QueryField& field, const GpuDevice& d,
                 const GpuProcess* p) {
    FigureValue v;
    bool zero_unreported = false;
    if (field.process != nullptr) {
        v = field.process->read(*p);
    } else if (field.device->sample == SampleFigure::timestamp) {
        out += sample.time;
        return;
    } else if (field.device->sample == SampleFigure::count) {
        v.kind = Kind::count;
        v.count = sample.devices.size();
    } else {
        v = field.device->read(d);
        zero_unreported = field.device->zero_unreported;
    }
    const std::size_t start = out.size();
    switch (v.kind) {
        case Kind::null: break;
        case Kind::count:
            if (!(zero_unreported && v.count == 0)) numfmt::append_unsigned(out, v.count);
            break;
        case Kind::real: numfmt::append_float_fixed(out, v.real, field.whole ? 0 : 2); break;
        case Kind::real64: numfmt::append_double_fixed(out, v.real64, 2); break;
        case Kind::text: append_csv_text(out, v.text); break;
        case Kind::reasons:
            for (const std::string& reason : *v.reasons) {
                if (out.size() != start) out += '|';
                out += reason;
            }
            if (out.size() == start) out += "none";
            break;
        case Kind::engines:
            for (std::size_t e = 0; e < kEngineCount; ++e) {
                if (!v.engines->ns[e]) continue;
                if (out.size() != start) out += '|';
                out += kEngineNames[e];
                out += '=';
                numfmt::append_unsigned(out, *v.engines->ns[e]);
            }
            if (out.size() == start) out += "none";
            break;
        case Kind::processes: numfmt::append_unsigned(out, d.processes.size()); break;
    }
    // A whole reading just below zero is 0, not "-0".
    if (field.whole && std::string_view(out).substr(start) == "-0") out.erase(start, 1);
    // Non-finite readings come out as letters: not a figure either.
    const std::string_view cell(out.data() + start, out.size() - start);
    const bool numeric = v.kind == Kind::real || v.kind == Kind::real64;
    if (cell.empty() || (numeric && (cell == "NaN" || cell.ends_with("inf")))) {
        out.resize(start);
        out += kNotReported;
        return;
    }
    const std::string_view unit = unit_of(field);
    if (sample.query.units && !unit.empty()) {
        out += ' ';
        out += unit;
    }
}

void append_row(std::string& out, const Sample& sample, const GpuDevice& d, const GpuProcess* p) {
    bool first = true;
    for (const QueryField& field : sample.query.fields) {
        if (!first) out += kSeparator;
        first = false;
        append_cell(out, sample, field, d, p);
    }
    out += '\n';
}

void append_help_line(std::string& out, std::string_view name, std::string_view key, std::string_view unit,
                      std::string_view about) {
    std::string line = "  ";
    line += name;
    line = text::pad_right(line, 28);
    line += key.empty() ? "-" : key;
    line = text::pad_right(line, 48);
    line += unit.empty() ? "-" : unit;
    line = text::pad_right(line, 54);
    line += about;
    out += line;
    out += '\n';
}

}  // namespace

Result<Query> parse_query(QueryKind kind, std::string_view list) {
    Query query;
    query.kind = kind;
    const char* option = kind == QueryKind::gpus ? "--query-gpu" : kind == QueryKind::apps ? "--query-apps"
                                                                                            : "--query-compute-apps";
    for (const std::string_view name : text::split_list(list)) {
        if (name.empty()) {
            if (list.find_first_not_of(' ') == std::string_view::npos)
                return Error(std::string("the field list of ") + option + " is empty");
            return Error(std::string("an empty field in the list of ") + option);
        }
        QueryField field;
        field.name = std::string(name);
        if (kind == QueryKind::gpus) {
            field.device = find_query_figure(name);
            field.whole = field.device != nullptr && field.device->familiar_whole && name != field.device->key;
        } else {
            field.process = find_app_figure(name);
            if (field.process == nullptr) field.device = find_app_gpu_figure(name);
        }
        if (field.device == nullptr && field.process == nullptr)
            return Error("unknown field '" + text::utf8_lossy(name) + "' in " + option);
        query.fields.push_back(std::move(field));
    }
    return query;
}

Status apply_format(Query& query, std::string_view format) {
    const std::vector<std::string_view> words = text::split_list(format);
    if (words.front() != "csv") return Error("--format must begin with 'csv'");
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] == "noheader") query.header = false;
        else if (words[i] == "nounits") query.units = false;
        else return Error("unknown word '" + text::utf8_lossy(words[i]) + "' in --format (csv, noheader, nounits)");
    }
    return Ok{};
}

std::string query_header(const Query& query) {
    std::string out;
    bool first = true;
    for (const QueryField& field : query.fields) {
        if (!first) out += kSeparator;
        first = false;
        append_csv_text(out, field.name);
        const std::string_view unit = unit_of(field);
        if (!unit.empty()) {
            out += " [";
            out += unit;
            out += ']';
        }
    }
    out += '\n';
    return out;
}

std::string query_rows(const Query& query, const DeviceList& devices, const platform::WallTime& time) {
    const Sample sample{query, devices, query_time_text(time)};
    std::string out;
    for (const GpuDevice& d : devices) {
        if (query.kind == QueryKind::gpus) {
            append_row(out, sample, d, nullptr);
            continue;
        }
        for (const GpuProcess& p : d.processes)
            if (query.kind == QueryKind::apps || p.proc_type == ProcessKind::compute) append_row(out, sample, d, &p);
    }
    return out;
}

std::string query_time_text(const platform::WallTime& t) { return date_time_text(t, '/', ' ', true); }

std::string rfc3339_utc_text(const platform::WallTime& t) { return date_time_text(t, '-', 'T', true) + 'Z'; }

std::string title_time_text(const platform::WallTime& t) { return date_time_text(t, '-', ' ', false); }

std::string json_line(const DeviceList& devices, const platform::WallTime& utc) {
    std::string out = "{\"timestamp\":\"";
    out += rfc3339_utc_text(utc);
    out += "\",\"gpus\":";
    out += render_json_compact(devices);
    out += "}\n";
    return out;
}

std::string help_query_text() {
    std::string out =
        "--query-gpu=FIELDS: one CSV row per GPU. A field is a name of the first column or\n"
        "a JSON key of the second. Units are those of the CSV cells (MiB = 2^20 bytes);\n"
        "[N/A] marks a figure that is not reported. temperature.* are whole degrees\n"
        "without a unit; their JSON keys give two decimals and C.\n\n";
    append_help_line(out, "Field", "JSON key", "Unit", "Meaning");
    for (const auto table : {device_figures(), query_only_figures()}) {
        for (const DeviceFigure& f : table) {
            for (const std::string_view alias : f.aliases)
                if (!alias.empty()) append_help_line(out, alias, f.key, familiar_unit(f), f.about);
            if (f.aliases[0].empty()) append_help_line(out, f.key, f.key, f.csv_unit, f.about);
        }
    }
    out +=
        "\n--query-apps=FIELDS (every process) and --query-compute-apps=FIELDS (type C\n"
        "only): one CSV row per process, the fields named as above.\n\n";
    append_help_line(out, "Field", "JSON key", "Unit", "Meaning");
    for (const ProcessFigure& f : process_figures()) {
        append_help_line(out, f.aliases[0].empty() ? f.key : f.aliases[0], f.key, f.csv_unit, f.about);
    }
    for (const DeviceFigure& f : device_figures())
        if (!f.app_alias.empty()) append_help_line(out, f.app_alias, f.key, f.csv_unit, f.about);
    out += "\n--format=csv[,noheader][,nounits]   --loop=SECS / --loop-ms=MS   --id=LIST\n";
    return out;
}

}  // namespace karvo::render
