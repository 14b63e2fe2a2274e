// Containers and Kubernetes pods of the processes holding GPU memory.
//
// A container runtime gives each container a cgroup whose last part is its
// ID: "cri-containerd-<id>.scope", "crio-<id>.scope", "docker-<id>.scope",
// "libpod-<id>.scope" under systemd, "/docker/<id>" or a bare "<id>" below a
// pod with plain cgroupfs. The kubelet puts every pod's containers below a
// pod cgroup: "kubepods[-<class>]-pod<uid>.slice" (systemd writes "_" for "-"
// in the UID) or "/kubepods[/<class>]/pod<uid>". How deep these sit varies
// (kubelet cgroup roots, "/.." when the reader's cgroup namespace is
// elsewhere), so every segment of the path is looked at.

#include "discovery/linux/containers.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <unordered_map>
#include <vector>

#include "discovery/sources/source_ledger.h"
#include "platform/files.h"

namespace karvo::discovery::linux {
namespace {

// A cgroup file holds one line per v1 hierarchy (about a dozen) or one line;
// a file that fills this is cut and its last line dropped.
constexpr std::size_t kCgroupLimit = 16384;
constexpr std::size_t kIdLength = 64;
constexpr std::size_t kShortIdLength = 12;
// Kubernetes object names: pod names are DNS subdomains (253), namespaces and
// container names DNS labels (63).
constexpr std::size_t kNameLimit = 253;

bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool all_lower_hex(std::string_view text) { return std::all_of(text.begin(), text.end(), is_lower_hex); }

bool is_container_id(std::string_view text) { return text.size() == kIdLength && all_lower_hex(text); }

// A UUID with `separator` between its groups (8-4-4-4-12), or the 32 hex
// digits of a static pod's UID.
bool is_pod_uid(std::string_view text, char separator) {
    if (text.size() == 32) return all_lower_hex(text);
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != separator : !is_lower_hex(text[i])) return false;
    }
    return true;
}

// Lowercase letters, digits, "-" and ".": what Kubernetes allows in the
// names it writes into the log folders' names (so never "_").
bool is_object_name(std::string_view text) {
    if (text.empty() || text.size() > kNameLimit) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    });
}

// "<prefix><id>" or "<prefix><id>.scope"; the ID, or nothing.
std::string_view prefixed_id(std::string_view segment, std::string_view prefix) {
    if (!segment.starts_with(prefix)) return {};
    segment.remove_prefix(prefix.size());
    if (segment.ends_with(".scope")) segment.remove_suffix(6);
    return is_container_id(segment) ? segment : std::string_view{};
}

// The pod UID (with "-") of a systemd pod slice:
// "[<root>-]kubepods[-burstable|-besteffort]-pod<uid>.slice".
std::string pod_of_slice(std::string_view segment) {
    if (!segment.ends_with(".slice")) return {};
    segment.remove_suffix(6);
    const std::size_t at = segment.rfind("-pod");
    if (at == std::string_view::npos) return {};
    const std::string_view owner = segment.substr(0, at), uid = segment.substr(at + 4);
    bool kubepods = false;
    for (const std::string_view parent : {"kubepods", "kubepods-burstable", "kubepods-besteffort"}) {
        kubepods = kubepods || owner == parent ||
                   (owner.ends_with(parent) && owner[owner.size() - parent.size() - 1] == '-');
    }
    if (!kubepods || !is_pod_uid(uid, '_')) return {};
    std::string out(uid);
    std::replace(out.begin(), out.end(), '_', '-');
    return out;
}

// The pod UID of a cgroupfs pod folder: "pod<uid>" right below "kubepods"
// or below its "burstable"/"besteffort" folder.
std::string pod_of_folder(std::string_view segment, std::string_view parent, std::string_view grandparent) {
    const bool below_kubepods =
        parent == "kubepods" || ((parent == "burstable" || parent == "besteffort") && grandparent == "kubepods");
    if (!below_kubepods || !segment.starts_with("pod") || !is_pod_uid(segment.substr(3), '-')) return {};
    return std::string(segment.substr(3));
}

// The first container (and the pod above it) a cgroup path shows. A
// container inside a container counts as the outer one: that is the one the
// node's runtime and kubelet know.
CgroupPlace place_of(std::string_view path) {
    CgroupPlace place;
    std::string_view parent, grandparent;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view segment = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        if (segment.empty()) continue;

        if (place.pod_uid.empty()) {
            place.pod_uid = pod_of_slice(segment);
            if (place.pod_uid.empty()) place.pod_uid = pod_of_folder(segment, parent, grandparent);
            if (!place.pod_uid.empty()) {
                grandparent = parent;
                parent = segment;
                continue;
            }
        }
        std::string_view id;
        for (const std::string_view prefix : {"cri-containerd-", "crio-", "docker-", "libpod-"}) {
            if (id.empty()) id = prefixed_id(segment, prefix);
        }
        // Bare IDs: Docker's cgroupfs folder, and containers of a cgroupfs pod.
        if (id.empty() && is_container_id(segment) && (parent == "docker" || !place.pod_uid.empty())) id = segment;
        if (!id.empty()) {
            place.container_id = std::string(id);
            return place;
        }
        grandparent = parent;
        parent = segment;
    }
    return place;
}

bool is_decimal(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// True when `name` is one entry of a comma-separated controller list.
bool lists_controller(std::string_view controllers, std::string_view name) {
    while (!controllers.empty()) {
        const std::size_t comma = controllers.find(',');
        if (controllers.substr(0, comma) == name) return true;
        if (comma == std::string_view::npos) break;
        controllers.remove_prefix(comma + 1);
    }
    return false;
}

// What the kubelet's log folders tell about one container.
struct Names {
    std::string pod, pod_namespace, container;
};

// /var/log/pods/<namespace>_<pod>_<uid>/<container>/ and
// /var/log/containers/<pod>_<namespace>_<container>-<id>.log, listed once;
// only the entries of the pods and containers asked for are kept.
class KubeletLogs {
public:
    KubeletLogs(const Root& root, const std::vector<CgroupPlace>& places) : root_(root) {
        std::vector<std::string_view> ids, uids;
        for (const CgroupPlace& place : places) {
            if (place.pod_uid.empty()) continue;
            uids.push_back(place.pod_uid);
            if (!place.container_id.empty()) ids.push_back(place.container_id);
        }
        std::sort(ids.begin(), ids.end());
        std::sort(uids.begin(), uids.end());

        platform::for_each_entry(root_.path("/var/log/containers"), [&](std::string_view name) {
            if (!name.ends_with(".log")) return;
            name.remove_suffix(4);
            const std::size_t dash = name.rfind('-');
            if (dash == std::string_view::npos) return;
            const std::string_view id = name.substr(dash + 1);
            if (!is_container_id(id) || !std::binary_search(ids.begin(), ids.end(), id)) return;
            const auto parts = split3(name.substr(0, dash));
            if (!parts || !is_object_name((*parts)[2])) return;
            by_container_.try_emplace(std::string(id), Names{std::string((*parts)[0]), std::string((*parts)[1]),
                                                             std::string((*parts)[2])});
        });
        platform::for_each_entry(root_.path("/var/log/pods"), [&](std::string_view name) {
            const std::size_t cut = name.rfind('_');
            if (cut == std::string_view::npos) return;
            const std::string_view uid = name.substr(cut + 1);
            if (!std::binary_search(uids.begin(), uids.end(), uid)) return;
            const auto parts = split3(name);
            if (!parts || parts->back() != uid) return;
            pods_.try_emplace(std::string(uid), Pod{std::string(name), std::string((*parts)[1]),
                                                    std::string((*parts)[0])});
        });
    }

    Names names(const CgroupPlace& place) {
        const auto linked = place.container_id.empty() ? by_container_.end() : by_container_.find(place.container_id);
        const auto pod = pods_.find(place.pod_uid);
        Names names;
        if (pod != pods_.end()) {
            names.pod = pod->second.name;
            names.pod_namespace = pod->second.pod_namespace;
        } else if (linked != by_container_.end()) {
            names.pod = linked->second.pod;
            names.pod_namespace = linked->second.pod_namespace;
        } else {
            names.pod = place.pod_uid;  // a pod the log folders do not show
        }
        if (linked != by_container_.end()) {
            names.container = linked->second.container;
        } else if (pod != pods_.end() && !place.container_id.empty()) {
            names.container = only_container(pod->second);
        }
        return names;
    }

private:
    struct Pod {
        std::string folder, name, pod_namespace;
        std::optional<std::string> only_container;  // listed on first use
    };

    // "a_b_c" with three valid names; nothing otherwise.
    static std::optional<std::array<std::string_view, 3>> split3(std::string_view text) {
        std::array<std::string_view, 3> parts;
        for (std::size_t i = 0; i < 3; ++i) {
            const std::size_t cut = i < 2 ? text.find('_') : text.size();
            if (cut == std::string_view::npos) return std::nullopt;
            parts[i] = text.substr(0, cut);
            text.remove_prefix(i < 2 ? cut + 1 : cut);
        }
        // The last part (a container name or a pod UID) is checked by the caller.
        if (!is_object_name(parts[0]) || !is_object_name(parts[1]) || parts[2].empty()) return std::nullopt;
        return parts;
    }

    // The name of the pod's container when it has exactly one log folder.
    const std::string& only_container(Pod& pod) {
        if (!pod.only_container) {
            std::string found;
            std::size_t count = 0;
            platform::for_each_entry(root_.path("/var/log/pods/") + pod.folder, [&](std::string_view name) {
                if (!is_object_name(name)) return;
                ++count;
                found = name;
            });
            pod.only_container = count == 1 ? found : std::string();
        }
        return *pod.only_container;
    }

    const Root& root_;
    std::unordered_map<std::string, Names> by_container_;
    std::unordered_map<std::string, Pod> pods_;  // by UID
};

}  // namespace

CgroupPlace parse_cgroup(std::string_view text) {
    std::optional<std::string_view> unified, systemd, other;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first), controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (!is_decimal(id) || !path.starts_with('/')) continue;
        if (id == "0" && controllers.empty()) {
            if (!unified) unified = path;
        } else if (lists_controller(controllers, "name=systemd")) {
            if (!systemd) systemd = path;
        } else if (!other && path != "/") {
            other = path;
        }
    }
    for (const auto& path : {unified, systemd, other}) {
        if (!path) continue;
        CgroupPlace place = place_of(*path);
        if (!place.container_id.empty() || !place.pod_uid.empty()) return place;
    }
    return {};
}

void attribute_containers(const Root& root, DeviceList& devices) {
    std::vector<std::uint32_t> pids;
    for (const GpuDevice& device : devices)
        for (const GpuProcess& process : device.processes) pids.push_back(process.pid);
    std::sort(pids.begin(), pids.end());
    pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
    if (pids.empty()) return;

    const SourceTimer timed("cgroup");
    std::vector<CgroupPlace> places(pids.size());
    bool in_pod = false;
    bool any_read = false;
    std::string path, contents;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        path.assign(root.prefix);
        path += "/proc/";
        char digits[16];
        path.append(digits, std::to_chars(digits, digits + sizeof digits, pids[i]).ptr);
        path += "/cgroup";
        if (!platform::read_file_prefix_into(path, kCgroupLimit, contents)) continue;
        any_read = true;
        std::string_view text = contents;
        if (text.size() == kCgroupLimit) text = text.substr(0, text.rfind('\n') + 1);  // cut: only whole lines
        places[i] = parse_cgroup(text);
        in_pod = in_pod || !places[i].pod_uid.empty();
    }

    // Not one process's cgroup file: a kernel without cgroups, or a /proc that hides them.
    note_source("cgroup", any_read ? std::nullopt : std::optional(SourceReason::missing));

    std::optional<KubeletLogs> logs;
    if (in_pod) logs.emplace(root, places);
    std::vector<Names> names(pids.size());
    for (std::size_t i = 0; i < pids.size(); ++i)
        if (!places[i].pod_uid.empty()) names[i] = logs->names(places[i]);

    for (GpuDevice& device : devices) {
        for (GpuProcess& process : device.processes) {
            const std::size_t i = static_cast<std::size_t>(
                std::lower_bound(pids.begin(), pids.end(), process.pid) - pids.begin());
            process.container_id = places[i].container_id.substr(0, kShortIdLength);
            process.container = names[i].container;
            process.pod = names[i].pod;
            process.pod_namespace = names[i].pod_namespace;
        }
    }
}

}  // namespace karvo::discovery::linux
