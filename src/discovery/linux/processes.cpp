// The processes holding memory on the scanned cards: DRM clients found
// through /proc/<pid>/fd and their fdinfo (VRAM, GTT and engine time), and
// compute processes found through KFD (VRAM only).
//
// The walk touches thousands of files on a busy machine, every pass: paths
// are built in buffers kept for the whole walk, file contents land in reused
// buffers, and only fds pointing at /dev/dri/ have their fdinfo read.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/text.h"
#include "discovery/adapter_stats/process_memory.h"
#include "discovery/linux/fdinfo.h"
#include "discovery/linux/linux_pass.h"
#include "discovery/sources/source_ledger.h"
#include "platform/files.h"

namespace karvo::discovery::linux {
namespace {

// fdinfo of a client with every engine and memory region stays far below this.
constexpr std::size_t kFdinfoLimit = 16384;
constexpr std::size_t kSmallFileLimit = 256;  // comm, vram_<gpu_id>
constexpr std::string_view kDrmDevices = "/dev/dri/";
constexpr std::uint64_t kOlderFormKey = std::uint64_t{1} << 63;

std::optional<std::uint32_t> pid_of(std::string_view name) {
    if (name.empty() || name.size() > 10 || name.front() == '+') return std::nullopt;
    const auto pid = text::parse_unsigned(name, std::numeric_limits<std::uint32_t>::max());
    if (!pid || *pid == 0) return std::nullopt;
    return static_cast<std::uint32_t>(*pid);
}

void append_number(std::string& out, std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

// The numeric entries of a folder, ascending; nothing when it cannot be listed.
std::optional<std::vector<std::uint32_t>> pids_in(const std::string& folder) {
    std::vector<std::uint32_t> pids;
    const bool listed = platform::for_each_entry(folder, [&](std::string_view name) {
        if (const auto pid = pid_of(name)) pids.push_back(*pid);
    });
    if (!listed) return std::nullopt;
    std::sort(pids.begin(), pids.end());
    return pids;
}

// What one process holds on one card.
struct CardUse {
    std::uint64_t bytes = 0;      // VRAM
    std::uint64_t gtt_bytes = 0;
    EngineTimes busy;             // summed over the counted clients of the drm-* form
    bool timed = false;           // at least one such client
    bool held = false;            // a counted client or a KFD figure
    bool compute = false;         // a counted client there runs compute work only
};

// Whole MB of a figure the card could hold: 0 when it is beyond the card's
// total (when known) or beyond what a record holds.
std::uint32_t plausible_mb(std::uint64_t bytes, std::uint32_t total_mb) {
    const std::uint64_t mb = bytes / 1048576u;
    if (mb > std::numeric_limits<std::uint32_t>::max() || (total_mb != 0 && mb > total_mb)) return 0;
    return static_cast<std::uint32_t>(mb);
}

class ProcessWalk {
public:
    ProcessWalk(const Root& root, const std::vector<CardRef>& cards, DeviceList& devices)
        : root_(root), cards_(cards), devices_(devices), seen_(cards.size()), uses_(cards.size()) {
        for (std::size_t i = 0; i < cards_.size(); ++i) usable_ = usable_ || cards_[i].position < devices_.size();
        path_.reserve(256);
        link_path_.reserve(256);
        target_.reserve(256);
        contents_.reserve(4096);
    }

    void run() {
        if (!usable_) return;
        const SourceTimer timed("fdinfo");
        const auto proc = pids_in(root_.path("/proc"));
        note_source("fdinfo", proc ? std::nullopt : std::optional(SourceReason::missing));
        const std::vector<std::uint32_t> proc_pids = proc.value_or(std::vector<std::uint32_t>{});
        {
            const SourceTimer kfd_timed("kfd");
            auto kfd = pids_in(root_.path("/sys/class/kfd/kfd/proc"));
            note_source("kfd", kfd ? std::nullopt : std::optional(SourceReason::missing));
            kfd_pids_ = std::move(kfd).value_or(std::vector<std::uint32_t>{});
        }
        // Every process of /proc, and those KFD lists that /proc does not show.
        std::vector<std::uint32_t> pids;
        pids.reserve(proc_pids.size() + kfd_pids_.size());
        std::set_union(proc_pids.begin(), proc_pids.end(), kfd_pids_.begin(), kfd_pids_.end(),
                       std::back_inserter(pids));
        for (const std::uint32_t pid : pids) visit(pid);
    }

private:
    void visit(std::uint32_t pid) {
        std::fill(uses_.begin(), uses_.end(), CardUse{});
        const bool kfd = std::binary_search(kfd_pids_.begin(), kfd_pids_.end(), pid);
        walk_fds(pid);
        if (kfd) {
            const SourceTimer timed("kfd");
            read_kfd(pid);
        }

        bool named = false;
        std::string name;
        for (std::size_t i = 0; i < cards_.size(); ++i) {
            const CardUse& use = uses_[i];
            if (!use.held) continue;
            if (cards_[i].position >= devices_.size()) continue;
            GpuDevice& device = devices_[cards_[i].position];
            // Listed for at least 1 MB of either memory.
            const std::uint32_t vram_mb = plausible_mb(use.bytes, device.vram_total_mb);
            const std::uint32_t gtt_mb = plausible_mb(use.gtt_bytes, device.gtt_total_mb);
            if (vram_mb == 0 && gtt_mb == 0) continue;
            if (!named) {
                name = process_name(pid);
                named = true;
            }
            const bool compute = kfd || use.compute;
            GpuProcess& entry = device.processes.emplace_back(
                GpuProcess{pid, name, vram_mb, compute ? ProcessKind::compute : adapter_stats::classify_process(name)});
            entry.gtt_used_mb = gtt_mb;
            if (use.timed) entry.busy_ns = use.busy;
        }
    }

    // "<root>/proc/<pid>" into path_.
    void proc_path(std::uint32_t pid) {
        path_.assign(root_.prefix);
        path_ += "/proc/";
        append_number(path_, pid);
    }

    void walk_fds(std::uint32_t pid) {
        proc_path(pid);
        const std::size_t base = path_.size();
        path_ += "/fd";
        const std::size_t fd_folder = path_.size();
        platform::for_each_entry(path_, [&](std::string_view fd) {
            link_path_.assign(path_, 0, fd_folder);
            link_path_ += '/';
            link_path_ += fd;
            if (!platform::read_link_into(link_path_, target_)) return;
            if (target_.compare(0, kDrmDevices.size(), kDrmDevices) != 0) return;
            link_path_.assign(path_, 0, base);
            link_path_ += "/fdinfo/";
            link_path_ += fd;
            if (platform::read_file_prefix_into(link_path_, kFdinfoLimit, contents_)) count_client(contents_);
        });
    }

    void count_client(std::string_view fdinfo) {
        const DrmClient client = parse_fdinfo(fdinfo);
        if (client.driver != "amdgpu" || !client.client_id) return;
        for (std::size_t i = 0; i < cards_.size(); ++i) {
            if (cards_[i].bdf != client.pdev) continue;
            // One client seen through several fds or processes counts once:
            // for the lowest pid, as the walk goes up. The older form names
            // clients by PASID, kept apart from client ids by the top bit.
            const std::uint64_t key = client.older_form ? *client.client_id | kOlderFormKey : *client.client_id;
            if (!seen_[i].insert(key).second) return;
            CardUse& use = uses_[i];
            use.bytes = saturating_add(use.bytes, client.vram_bytes);
            use.gtt_bytes = saturating_add(use.gtt_bytes, client.gtt_bytes);
            use.held = true;
            use.compute = use.compute || client.compute_only();
            if (!client.older_form) {
                use.timed = true;
                for (std::size_t e = 0; e < kEngineCount; ++e)
                    if (const auto& ns = client.engines.ns[e]) use.busy.add(static_cast<Engine>(e), *ns);
            }
            return;
        }
    }

    // KFD's VRAM figure per GPU; a card with both takes the larger one.
    void read_kfd(std::uint32_t pid) {
        path_.assign(root_.prefix);
        path_ += "/sys/class/kfd/kfd/proc/";
        append_number(path_, pid);
        path_ += "/vram_";
        const std::size_t base = path_.size();
        for (std::size_t i = 0; i < cards_.size(); ++i) {
            if (!cards_[i].kfd_gpu_id) continue;
            path_.resize(base);
            append_number(path_, *cards_[i].kfd_gpu_id);
            if (!platform::read_file_prefix_into(path_, kSmallFileLimit, contents_)) continue;
            const auto bytes = text::parse_unsigned(text::trim(contents_), std::numeric_limits<std::uint64_t>::max());
            if (!bytes) continue;
            CardUse& use = uses_[i];
            use.bytes = std::max(use.bytes, *bytes);
            use.held = true;
        }
    }

    std::string process_name(std::uint32_t pid) {
        proc_path(pid);
        path_ += "/comm";
        if (!platform::read_file_prefix_into(path_, kSmallFileLimit, contents_)) return "Unknown";
        const std::string_view name = text::trim(contents_);
        return name.empty() ? std::string("Unknown") : text::utf8_lossy(name);
    }

    const Root& root_;
    const std::vector<CardRef>& cards_;
    DeviceList& devices_;
    bool usable_ = false;
    std::vector<std::unordered_set<std::uint64_t>> seen_;  // client ids counted, per card
    std::vector<CardUse> uses_;                              // the current process, per card
    std::vector<std::uint32_t> kfd_pids_;
    std::string path_, link_path_, target_, contents_;
};

}  // namespace

void attach_processes(const Root& root, const std::vector<CardRef>& cards, DeviceList& devices) {
    ProcessWalk(root, cards, devices).run();
    adapter_stats::sort_processes(devices);
}

}  // namespace karvo::discovery::linux
