#include "discovery/capture/redact.h"

#include <algorithm>
#include <map>
#include <vector>

#include "common/numfmt.h"
#include "common/text.h"
#include "discovery/adapter_stats/process_memory.h"
#include "discovery/capture/payloads.h"

namespace karvo::discovery::capture {
namespace {

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Same name, same placeholder: "<prefix><n>" numbered in order of appearance.
class Names {
public:
    explicit Names(std::string prefix) : prefix_(std::move(prefix)) {}
    const std::string& operator()(std::string_view name) {
        auto found = map_.find(name);
        if (found == map_.end()) {
            found = map_.emplace(std::string(name), prefix_ + numfmt::unsigned_text(map_.size() + 1)).first;
        }
        return found->second;
    }
    const std::map<std::string, std::string, std::less<>>& map() const { return map_; }

private:
    std::string prefix_;
    std::map<std::string, std::string, std::less<>> map_;
};

// A hexadecimal ID of the same length whose leading digits number it.
class HexIds {
public:
    const std::string& operator()(std::string_view id) {
        auto found = map_.find(id);
        if (found == map_.end()) {
            std::string number = numfmt::unsigned_text(map_.size() + 1);
            std::string placeholder(id.size(), '0');
            const std::size_t lead = std::min<std::size_t>(12, id.size());
            if (number.size() <= lead) placeholder.replace(lead - number.size(), number.size(), number);
            found = map_.emplace(std::string(id), std::move(placeholder)).first;
        }
        return found->second;
    }
    const std::map<std::string, std::string, std::less<>>& map() const { return map_; }

private:
    std::map<std::string, std::string, std::less<>> map_;
};

void replace_all(std::string& text, std::string_view from, std::string_view to) {
    if (from.empty()) return;
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// Replaces every run of at least 32 hex digits (container IDs).
std::string replace_hex_runs(std::string_view text, HexIds& ids) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t run = i;
        while (run < text.size() && is_hex(text[run])) ++run;
        if (run - i >= 32) {
            out += ids(text.substr(i, run - i));
        } else {
            out.append(text.substr(i, run - i));
        }
        if (run < text.size()) out += text[run];
        i = run + 1;
    }
    return out;
}

// A cgroup file keeps the lines that name a container; the paths of the
// others (which name services and applications) become the root.
std::string redact_cgroup(std::string_view text, HexIds& ids) {
    std::string out;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        std::string redacted = replace_hex_runs(line, ids);
        if (redacted == line) {
            const std::size_t path = line.find(':', line.find(':') + 1);
            redacted = path == std::string_view::npos ? std::string(line) : std::string(line.substr(0, path + 1)) + "/";
        }
        out += redacted;
        if (end != std::string_view::npos) out += '\n';
    }
    return out;
}

bool is_kubelet_log(std::string_view key) {
    return key.find("/var/log/pods") != std::string_view::npos ||
           key.find("/var/log/containers") != std::string_view::npos;
}

}  // namespace

Capture redact(Capture capture) {
    Names commands("process-");
    Names namespaces("namespace-");
    Names pods("pod-");
    Names containers("container-");
    HexIds ids;
    HexIds serials;
    std::size_t windows_processes = 0;

    // The kubelet's folder names first: "<namespace>_<pod>_<uid>" below
    // /var/log/pods, their container folders, "<pod>_<namespace>_<container>-<id>.log".
    for (const Record& record : capture.records) {
        if (record.kind != Kind::folder || record.answer != Answer::value || !is_kubelet_log(record.key)) continue;
        const auto names = folder_from_payload(record.payload).value_or(std::vector<std::string>{});
        const bool pods_folder = record.key.ends_with("/var/log/pods");
        const bool containers_folder = record.key.ends_with("/var/log/containers");
        for (const std::string& name : names) {
            const std::size_t first = name.find('_');
            const std::size_t second = first == std::string::npos ? first : name.find('_', first + 1);
            if (pods_folder && second != std::string::npos) {
                namespaces(name.substr(0, first));
                pods(name.substr(first + 1, second - first - 1));
            } else if (containers_folder && second != std::string::npos) {
                pods(name.substr(0, first));
                namespaces(name.substr(first + 1, second - first - 1));
                const std::string rest = name.substr(second + 1);
                const std::size_t dash = rest.rfind('-');
                if (dash != std::string::npos) {
                    containers(rest.substr(0, dash));
                    std::string id = rest.substr(dash + 1);
                    if (id.ends_with(".log")) id.resize(id.size() - 4);
                    ids(id);
                }
            } else if (!pods_folder && !containers_folder) {
                containers(name);  // a pod's container folders
            }
        }
    }
    // Longest names first, so that a name inside another is not replaced within it.
    std::vector<std::pair<std::string, std::string>> kubelet;
    for (const auto* names : {&namespaces.map(), &pods.map(), &containers.map()})
        for (const auto& [name, placeholder] : *names) kubelet.emplace_back(name, placeholder);
    std::sort(kubelet.begin(), kubelet.end(),
              [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    const auto redact_kubelet = [&](std::string& text) {
        text = replace_hex_runs(text, ids);
        for (const auto& [name, placeholder] : kubelet) replace_all(text, name, placeholder);
    };

    for (Record& record : capture.records) {
        if (is_kubelet_log(record.key)) {
            redact_kubelet(record.key);
            if (record.kind == Kind::folder && record.answer == Answer::value) {
                auto names = folder_from_payload(record.payload).value_or(std::vector<std::string>{});
                for (std::string& name : names) redact_kubelet(name);
                record.payload = folder_payload(names);
            }
            continue;
        }
        if (record.answer != Answer::value) continue;
        const std::string_view key = record.key;
        if (record.kind == Kind::file && key.ends_with("/comm")) {
            const bool newline = record.payload.ends_with('\n');
            std::string name = record.payload.substr(0, record.payload.size() - (newline ? 1 : 0));
            record.payload = commands(name) + (newline ? "\n" : "");
        } else if (record.kind == Kind::file && key.ends_with("/cgroup")) {
            record.payload = redact_cgroup(record.payload, ids);
        } else if (record.kind == Kind::file && key.ends_with("/unique_id")) {
            const std::string_view trimmed = text::trim(record.payload);
            if (!trimmed.empty()) record.payload = serials(trimmed) + "\n";
        } else if (record.kind == Kind::link && key.find("/proc/") != std::string_view::npos &&
                   key.find("/fd/") != std::string_view::npos && !record.payload.starts_with("/dev/dri/")) {
            record.payload = "redacted";
        } else if (record.kind == Kind::process_names) {
            auto entries = process_names_from_payload(record.payload).value_or(std::vector<platform::ProcessEntry>{});
            std::map<std::u16string, std::u16string> renamed;
            for (auto& entry : entries) {
                auto found = renamed.find(entry.exe_name);
                if (found == renamed.end()) {
                    const std::string name = text::utf16_to_utf8(entry.exe_name);
                    const bool compute = adapter_stats::classify_process(name) == ProcessKind::compute;
                    const std::string placeholder = std::string(compute ? "compute-" : "process-") +
                                                    numfmt::unsigned_text(++windows_processes) + ".exe";
                    found = renamed.emplace(entry.exe_name, text::utf8_to_utf16(placeholder)).first;
                }
                entry.exe_name = found->second;
            }
            record.payload = process_names_payload(entries);
        }
    }

    // The same names where they show in the command line and the diagnostics.
    const auto redact_text = [&](std::string& text) {
        for (const auto* names : {&ids.map(), &serials.map()})
            for (const auto& [name, placeholder] : *names) replace_all(text, name, placeholder);
        for (const auto& [name, placeholder] : kubelet) replace_all(text, name, placeholder);
    };
    for (std::string& arg : capture.info.command_line) redact_text(arg);
    redact_text(capture.stderr_text);
    capture.info.redacted = true;
    return capture;
}

}  // namespace karvo::discovery::capture
