#pragma once
// Device lists shared by the renderer tests and the golden files.

#include <cstddef>
#include <string>

#include "discovery/device.h"

namespace karvo::testing {

// Every field set, two processes.
GpuDevice full_device();
// Only the plain fields a WMI-only record has; every optional reading absent,
// no processes.
GpuDevice bare_device();
// A process entry.
GpuProcess process(std::uint32_t pid, std::string name, std::uint32_t mem_used_mb, ProcessKind kind = ProcessKind::compute);

// full_device() and bare_device() (index 1).
DeviceList mixed_list();
// Two GPUs with long and non-ASCII names and 25 processes between them.
DeviceList crowded_list();

// A discrete card and an APU as the Linux sources fill them: shared memory,
// fans, rails, energy, throttling, link capability, ECC, and processes with
// shared memory, engine time and containers.
DeviceList telemetry_list();

// Reads a golden file from the source tree (byte for byte). Fails the test
// when it cannot be read. With KARVO_UPDATE_GOLDEN=1 in the environment the
// file is (re)written from `actual` instead.
std::string golden(const std::string& name, const std::string& actual);

}  // namespace karvo::testing
