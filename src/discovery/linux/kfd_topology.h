#pragma once
// The KFD topology (/sys/class/kfd/kfd/topology/nodes, Linux): the compute
// driver's GPU nodes, which tell a card's graphics target, its compute units
// and the GPU id its processes are filed under in /sys/class/kfd/kfd/proc.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "discovery/linux/linux_pass.h"
#include "discovery/linux/pcie_topology.h"

namespace karvo::discovery::linux {

// One GPU node of the KFD topology.
struct KfdNode {
    std::uint64_t domain = 0;
    std::uint64_t location_id = 0;
    std::uint64_t gfx_target_version = 0;
    std::uint32_t num_cu = 0;
    std::optional<std::uint32_t> gpu_id;
};

// The GPU nodes of the topology (CPU nodes are left out).
std::vector<KfdNode> read_kfd_nodes(const Root& root);

// The node of the card at `address`; nullptr when KFD has none.
const KfdNode* find_kfd_node(const std::vector<KfdNode>& nodes, const PciAddress& address);

// 110000 -> "gfx1100", 90010 -> "gfx90a", 110501 -> "gfx1151".
std::string gfx_name(std::uint64_t version);

}  // namespace karvo::discovery::linux
