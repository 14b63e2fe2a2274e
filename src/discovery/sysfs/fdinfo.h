#pragma once
// DRM client usage as the kernel prints it in /proc/<pid>/fdinfo/<fd>: lines
// "key:\tvalue". Only what the process walk needs is kept.

#include <cstdint>
#include <optional>
#include <string_view>

namespace karvo::sysfs {

struct DrmClient {
    std::string_view driver;                 // drm-driver
    std::string_view pdev;                   // drm-pdev, the PCI address of the card
    std::optional<std::uint64_t> client_id;  // drm-client-id
    std::uint64_t vram_bytes = 0;            // drm-resident-vram, else drm-memory-vram; 0 when neither
    std::uint64_t compute_ns = 0;            // drm-engine-compute
    std::uint64_t gfx_ns = 0;                // drm-engine-gfx

    // A client that runs compute work and no graphics work.
    bool compute_only() const { return compute_ns > 0 && gfx_ns == 0; }
};

// Reads any text: unknown keys, broken lines and values that are no number
// are passed over. The views point into `text`.
DrmClient parse_fdinfo(std::string_view text);

// A memory value: "N" (bytes), "N KiB" or "N MiB"; saturates at the largest
// 64-bit value. Nothing for any other text.
std::optional<std::uint64_t> parse_drm_size(std::string_view value);

}  // namespace karvo::sysfs
