#include "discovery/linux/kfd_topology.h"

#include "common/numfmt.h"
#include "discovery/linux/sysfs_files.h"
#include "discovery/sources/source_ledger.h"
#include "platform/files.h"

namespace karvo::discovery::linux {
namespace {

// A node's properties are about 1.5 KB.
constexpr std::size_t kPropertiesLimit = 64u << 10;

}  // namespace

using files::narrow32;
using files::parse_decimal;
using files::read_decimal;

std::vector<KfdNode> read_kfd_nodes(const Root& root) {
    const SourceTimer timed("kfd");
    std::vector<KfdNode> nodes;
    const std::string folder = root.path("/sys/class/kfd/kfd/topology/nodes");
    const bool listed = platform::for_each_entry(folder, [&](std::string_view name) {
        const std::string node_dir = folder + "/" + std::string(name);
        const auto properties = files::read_raw(node_dir + "/properties", kPropertiesLimit);
        if (!properties) return;
        std::optional<std::uint64_t> domain, location, target, simd_count, simd_per_cu;
        files::for_each_line(*properties, [&](std::string_view line) {
            const auto space = line.find(' ');
            if (space == std::string_view::npos) return;
            const std::string_view key = line.substr(0, space);
            const auto value = parse_decimal(line.substr(space + 1));
            if (key == "domain") domain = value;
            else if (key == "location_id") location = value;
            else if (key == "gfx_target_version") target = value;
            else if (key == "simd_count") simd_count = value;
            else if (key == "simd_per_cu") simd_per_cu = value;
        });
        if (!domain || !location) return;
        KfdNode node;
        node.domain = *domain;
        node.location_id = *location;
        node.gfx_target_version = target.value_or(0);
        if (simd_count && simd_per_cu && *simd_per_cu != 0)
            node.num_cu = narrow32(*simd_count / *simd_per_cu).value_or(0);
        node.gpu_id = narrow32(read_decimal(node_dir + "/gpu_id"));
        if (node.gpu_id == 0u) node.gpu_id.reset();  // CPU nodes
        // A CPU node (no graphics target, no GPU id) never stands for a card.
        if (node.gfx_target_version == 0 && !node.gpu_id && node.num_cu == 0) return;
        nodes.push_back(node);
    });
    // No KFD: the compute driver is not loaded (or not visible here).
    note_source("kfd", listed ? std::nullopt : std::optional(SourceReason::missing));
    return nodes;
}

const KfdNode* find_kfd_node(const std::vector<KfdNode>& nodes, const PciAddress& address) {
    for (const auto& node : nodes)
        if (node.domain == address.domain && node.location_id == address.location()) return &node;
    return nullptr;
}

std::string gfx_name(std::uint64_t version) {
    std::string name = "gfx" + numfmt::unsigned_text(version / 10000);
    // Minor and stepping are single hex digits on every GPU; a larger one is
    // written in full rather than folded into a wrong digit.
    numfmt::append_hex(name, (version / 100) % 100, 1);
    numfmt::append_hex(name, version % 100, 1);
    return name;
}

}  // namespace karvo::discovery::linux
