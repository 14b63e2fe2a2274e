#pragma once
// The Linux sources: AMD cards from the amdgpu driver's sysfs files, their
// hwmon sensors and KFD topology, and the processes holding their VRAM from
// DRM fdinfo and KFD. Files only: no vendor runtime is loaded. Linux only;
// besides sysfs it reads procfs, cgroups, the kubelet's folders and SMBIOS.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/device.h"
#include "discovery/naming/naming.h"
#include "platform/amdgpu.h"

namespace karvo::discovery::linux {

// Where the files are read: the real root, or a tree captured from a machine
// (KARVO_SYSROOT). Link targets read inside the tree are taken as written.
struct Root {
    std::string prefix;  // "" for the real root; never ends in "/"

    // `absolute` starts with "/", e.g. "/sys/class/drm".
    std::string path(std::string_view absolute) const { return prefix + std::string(absolute); }
};

// The root named by KARVO_SYSROOT, or the real one when it is unset or empty.
Root root_from_environment();

// What the process walk needs to know of a card found by the card scan.
struct CardRef {
    std::string bdf;                          // PCI address, e.g. "0000:03:00.0": the drm-pdev of its clients
    std::optional<std::uint32_t> kfd_gpu_id;  // gpu_id of its KFD topology node, when it has one
    std::size_t position = 0;                 // index of its record in the device list
};

// The AMD cards driven by amdgpu, one "sysfs" record each in PCI address
// order, with their sensors (unless the card is runtime-suspended). Awake
// cards are asked through `ask_driver` what memory they carry.
struct CardScan {
    DeviceList devices;
    std::vector<CardRef> cards;
};
CardScan scan_cards(const Root& root, const naming::MemoryCodeQuery& query_code,
                    const platform::AmdgpuInfoQuery& ask_driver = platform::amdgpu_device_info);

// Adds the processes that hold VRAM or GTT on the scanned cards to their
// records (with their engine time where fdinfo tells it), then orders each
// record's list, largest VRAM plus GTT first.
void attach_processes(const Root& root, const std::vector<CardRef>& cards, DeviceList& devices);

// The SMBIOS memory-type code of the system RAM: the Memory Type byte of the
// first installed Memory Device structure; nothing when none can be read.
std::optional<std::uint32_t> smbios_memory_code(const Root& root);

// The whole Linux pass: the cards and their processes; only when no card is
// found, the HIP runtime. Never fails.
DeviceList linux_pass(const Root& root);

}  // namespace karvo::discovery::linux
