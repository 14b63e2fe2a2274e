#pragma once
// DRM client usage as the kernel prints it in /proc/<pid>/fdinfo/<fd>: lines
// "key:\tvalue". Only what the process walk needs is kept. Two forms exist:
// the drm-* keys (kernel 5.19 and later), and amdgpu's own older one (5.14 to
// 5.18: "pdev:", "pasid:", "vram mem: N kB", "gtt mem: N kB", and per-ring
// percentages that are no engine time and are passed over).

#include <cstdint>
#include <optional>
#include <string_view>

#include "discovery/device.h"

namespace karvo::discovery::linux {

struct DrmClient {
    std::string_view driver;                 // drm-driver ("amdgpu" for the older form)
    std::string_view pdev;                   // drm-pdev, the PCI address of the card
    std::optional<std::uint64_t> client_id;  // drm-client-id; the older form's pasid
    bool older_form = false;                 // no drm-* keys: memory only, no engine times
    std::uint64_t vram_bytes = 0;            // drm-resident-vram, else drm-memory-vram; 0 when neither
    std::uint64_t gtt_bytes = 0;             // drm-resident-gtt, else drm-memory-gtt
    EngineTimes engines;                     // drm-engine-<name>, grouped; unprinted engines absent

    // A client that runs compute work and no graphics work.
    bool compute_only() const {
        return engines[Engine::compute].value_or(0) > 0 && engines[Engine::gfx].value_or(0) == 0;
    }
};

// Reads any text: unknown keys, broken lines and values that are no number
// are passed over. The views point into `text`.
DrmClient parse_fdinfo(std::string_view text);

// A memory value: "N" (bytes), "N KiB" or "N MiB"; saturates at the largest
// 64-bit value. Nothing for any other text.
std::optional<std::uint64_t> parse_drm_size(std::string_view value);

// The engine group of an amdgpu engine name (the part after "drm-engine-"):
// jpeg counts as decoding, enc_1 and the like as encoding, names it does not
// know (vpe, ...) as other.
Engine engine_group(std::string_view name);

}  // namespace karvo::discovery::linux
