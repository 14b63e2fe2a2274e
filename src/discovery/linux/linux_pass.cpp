// The Linux discovery pass: the cards amdgpu drives, with their processes;
// the HIP runtime only when sysfs shows no card.

#include "discovery/hip/hip_backend.h"
#include "discovery/linux/containers.h"
#include "discovery/linux/linux_pass.h"
#include "platform/boundary.h"
#include "platform/system.h"

namespace karvo::discovery::linux {

Root root_from_environment() {
    Root root;
    if (auto prefix = platform::get_env("KARVO_SYSROOT")) {
        while (prefix->ends_with('/')) prefix->pop_back();
        root.prefix = std::move(*prefix);
    }
    return root;
}

DeviceList linux_pass(const Root& root) {
    const naming::MemoryCodeQuery query_code = [&root] { return smbios_memory_code(root); };
    CardScan scan = scan_cards(root, query_code);
    if (scan.devices.empty()) {
        auto hip = hip::query_hip_devices_from(hip::kRuntimeCandidates, query_code);
        if (!hip.ok()) {
            platform::note_source_error("hip", hip.error());
            return {};
        }
        return std::move(hip).value();
    }
    attach_processes(root, scan.cards, scan.devices);
    attribute_containers(root, scan.devices);
    return std::move(scan.devices);
}

}  // namespace karvo::discovery::linux
