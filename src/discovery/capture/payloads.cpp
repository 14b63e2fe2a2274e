#include "discovery/capture/payloads.h"

#include <charconv>
#include <limits>

#include "common/numfmt.h"
#include "common/text.h"
#include "discovery/capture/capture.h"

namespace karvo::discovery::capture {
namespace {

// Splits off the text up to the next `separator` (all of it when there is none).
std::string_view take(std::string_view& text, char separator) {
    const std::size_t end = text.find(separator);
    const std::string_view part = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return part;
}

std::vector<std::string_view> lines_of(std::string_view payload) {
    std::vector<std::string_view> lines;
    while (!payload.empty()) lines.push_back(take(payload, '\n'));
    return lines;
}

std::string signed_text(std::int64_t value) {
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::string(buffer, end);
}

// Splits "a b c" into exactly `count` numbers.
template <class T>
bool numbers(std::string_view text, std::vector<T>& out, std::size_t count) {
    out.clear();
    while (out.size() < count) {
        const std::string_view part = take(text, ' ');
        T value{};
        const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || ec != std::errc() || end != part.data() + part.size()) return false;
        out.push_back(value);
        if (text.empty()) break;
    }
    return out.size() == count && text.empty();
}

}  // namespace

std::optional<std::int64_t> signed_from(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> unsigned_from(std::string_view text) {
    if (text.starts_with('+')) return std::nullopt;
    return text::parse_unsigned(text, std::numeric_limits<std::uint64_t>::max());
}

std::string number_payload(std::int64_t value) { return signed_text(value); }

std::string folder_payload(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) {
        out += escape_key(name);
        out += '\n';
    }
    return out;
}

std::optional<std::vector<std::string>> folder_from_payload(std::string_view payload) {
    std::vector<std::string> names;
    for (const std::string_view line : lines_of(payload)) {
        auto name = unescape_key(line);
        if (!name || name->empty()) return std::nullopt;
        names.push_back(std::move(*name));
    }
    return names;
}

std::string process_payload(const platform::ProcessOutput& output) {
    return signed_text(output.exit_code) + " " + numfmt::unsigned_text(output.out.size()) + "\n" + output.out +
           output.err;
}

std::optional<platform::ProcessOutput> process_from_payload(std::string_view payload) {
    const std::string_view head = take(payload, '\n');
    std::vector<std::int64_t> fields;
    if (!numbers(head, fields, 2) || fields[1] < 0 || static_cast<std::uint64_t>(fields[1]) > payload.size() ||
        fields[0] < std::numeric_limits<int>::min() || fields[0] > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }
    platform::ProcessOutput output;
    output.exit_code = static_cast<int>(fields[0]);
    output.out = std::string(payload.substr(0, static_cast<std::size_t>(fields[1])));
    output.err = std::string(payload.substr(static_cast<std::size_t>(fields[1])));
    return output;
}

std::string amdgpu_payload(const platform::AmdgpuInfo& info) {
    return numfmt::unsigned_text(info.device_info.size()) + "\n" + info.device_info + info.gfx_ip_info;
}

std::optional<platform::AmdgpuInfo> amdgpu_from_payload(std::string_view payload) {
    const auto length = unsigned_from(take(payload, '\n'));
    if (!length || *length > payload.size()) return std::nullopt;
    platform::AmdgpuInfo info;
    info.device_info = std::string(payload.substr(0, static_cast<std::size_t>(*length)));
    info.gfx_ip_info = std::string(payload.substr(static_cast<std::size_t>(*length)));
    if (info.device_info.size() > platform::kAmdgpuDeviceInfoBytes ||
        info.gfx_ip_info.size() > platform::kAmdgpuHwIpInfoBytes) {
        return std::nullopt;
    }
    return info;
}

std::string adapter_payload(const platform::EnumeratedAdapter& adapter) {
    using AdapterKind = platform::EnumeratedAdapter::Kind;
    if (adapter.kind == AdapterKind::end) return "end";
    if (adapter.kind == AdapterKind::no_description) return "no-description";
    const platform::AdapterDescription& d = adapter.description;
    return numfmt::unsigned_text(d.vendor_id) + " " + numfmt::unsigned_text(d.device_id) + " " +
           numfmt::unsigned_text(d.luid.low_part) + " " + signed_text(d.luid.high_part) + " " +
           numfmt::unsigned_text(d.shared_system_memory);
}

std::optional<platform::EnumeratedAdapter> adapter_from_payload(std::string_view payload) {
    using AdapterKind = platform::EnumeratedAdapter::Kind;
    platform::EnumeratedAdapter adapter;
    if (payload == "end") return adapter;
    if (payload == "no-description") {
        adapter.kind = AdapterKind::no_description;
        return adapter;
    }
    std::string_view rest = payload;
    std::int64_t small[4];
    for (auto& field : small) {
        const auto value = signed_from(take(rest, ' '));
        if (!value) return std::nullopt;
        field = *value;
    }
    const auto shared = unsigned_from(rest);  // the memory size may need all 64 bits
    if (!shared || small[0] < 0 || small[0] > UINT32_MAX || small[1] < 0 || small[1] > UINT32_MAX || small[2] < 0 ||
        small[2] > UINT32_MAX || small[3] < INT32_MIN || small[3] > INT32_MAX) {
        return std::nullopt;
    }
    adapter.kind = AdapterKind::described;
    adapter.description.vendor_id = static_cast<std::uint32_t>(small[0]);
    adapter.description.device_id = static_cast<std::uint32_t>(small[1]);
    adapter.description.luid.low_part = static_cast<std::uint32_t>(small[2]);
    adapter.description.luid.high_part = static_cast<std::int32_t>(small[3]);
    adapter.description.shared_system_memory = *shared;
    return adapter;
}

std::string segment_payload(const platform::SegmentStatistics& segment) {
    return numfmt::unsigned_text(segment.commit_limit) + " " + numfmt::unsigned_text(segment.bytes_committed) + " " +
           numfmt::unsigned_text(segment.bytes_resident) + " " + (segment.aperture ? "1" : "0");
}

std::optional<platform::SegmentStatistics> segment_from_payload(std::string_view payload) {
    std::vector<std::uint64_t> fields;
    if (!numbers(payload, fields, 4) || fields[3] > 1) return std::nullopt;
    return platform::SegmentStatistics{fields[0], fields[1], fields[2], fields[3] == 1};
}

std::string process_names_payload(const std::vector<platform::ProcessEntry>& entries) {
    std::string out;
    for (const auto& entry : entries) {
        out += numfmt::unsigned_text(entry.pid);
        out += ' ';
        out += escape_key(text::utf16_to_utf8(entry.exe_name));
        out += '\n';
    }
    return out;
}

std::optional<std::vector<platform::ProcessEntry>> process_names_from_payload(std::string_view payload) {
    std::vector<platform::ProcessEntry> entries;
    for (std::string_view line : lines_of(payload)) {
        const auto pid = unsigned_from(take(line, ' '));
        auto name = unescape_key(line);
        if (!pid || *pid > UINT32_MAX || !name) return std::nullopt;
        entries.push_back({static_cast<std::uint32_t>(*pid), text::utf8_to_utf16(*name)});
    }
    return entries;
}

std::string counters_payload(const platform::ProcessCounters& counters) {
    std::string out;
    const auto add = [&](std::string_view set, const std::vector<platform::CounterItem>& items) {
        for (const auto& item : items) {
            out += set;
            out += ' ';
            out += signed_text(item.value);
            if (item.name) {
                out += ' ';
                out += escape_key(text::utf16_to_utf8(*item.name));
            }
            out += '\n';
        }
    };
    add("dedicated", counters.dedicated);
    add("shared", counters.shared);
    add("running", counters.running_time);
    return out;
}

std::optional<platform::ProcessCounters> counters_from_payload(std::string_view payload) {
    platform::ProcessCounters counters;
    for (std::string_view line : lines_of(payload)) {
        const std::string_view set = take(line, ' ');
        const bool named = line.find(' ') != std::string_view::npos;
        const auto value = signed_from(take(line, ' '));
        if (!value) return std::nullopt;
        platform::CounterItem item;
        item.value = *value;
        if (named) {
            auto name = unescape_key(line);
            if (!name) return std::nullopt;
            item.name = text::utf8_to_utf16(*name);
        }
        if (set == "dedicated") counters.dedicated.push_back(std::move(item));
        else if (set == "shared") counters.shared.push_back(std::move(item));
        else if (set == "running") counters.running_time.push_back(std::move(item));
        else return std::nullopt;
    }
    return counters;
}

std::string call_payload(std::int32_t status, std::string_view outputs) {
    return signed_text(status) + "\n" + std::string(outputs);
}

std::optional<CallAnswer> call_from_payload(std::string_view payload) {
    const auto status = signed_from(take(payload, '\n'));
    if (!status || *status < INT32_MIN || *status > INT32_MAX) return std::nullopt;
    return CallAnswer{static_cast<std::int32_t>(*status), payload};
}

}  // namespace karvo::discovery::capture
