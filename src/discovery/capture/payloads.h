#pragma once
// How the structured answers are written as record payloads, and read back.
// Numbers are decimal text and names are escaped like keys, so a report stays
// readable in any text editor; only vendor structures are raw bytes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/amdgpu.h"
#include "platform/gpu_os.h"
#include "platform/process.h"

namespace karvo::discovery::capture {

// Folder entry names: one escaped name per line.
std::string folder_payload(const std::vector<std::string>& names);
std::optional<std::vector<std::string>> folder_from_payload(std::string_view payload);

// A child's run: "<exit code> <length of standard output>\n", then standard
// output, then standard error.
std::string process_payload(const platform::ProcessOutput& output);
std::optional<platform::ProcessOutput> process_from_payload(std::string_view payload);

// The driver's answer: "<length of the device info>\n", then both answers.
std::string amdgpu_payload(const platform::AmdgpuInfo& info);
std::optional<platform::AmdgpuInfo> amdgpu_from_payload(std::string_view payload);

// "end", "no-description", or "<vendor> <device> <luid low> <luid high> <shared bytes>".
std::string adapter_payload(const platform::EnumeratedAdapter& adapter);
std::optional<platform::EnumeratedAdapter> adapter_from_payload(std::string_view payload);

// "<commit limit> <committed> <resident> <aperture 0|1>".
std::string segment_payload(const platform::SegmentStatistics& segment);
std::optional<platform::SegmentStatistics> segment_from_payload(std::string_view payload);

// One line per process: "<pid> <escaped UTF-8 name>".
std::string process_names_payload(const std::vector<platform::ProcessEntry>& entries);
std::optional<std::vector<platform::ProcessEntry>> process_names_from_payload(std::string_view payload);

// One line per counter item: "<counter> <value>" and, when the item has a
// name, " <escaped UTF-8 name>"; counters "dedicated", "shared", "running".
std::string counters_payload(const platform::ProcessCounters& counters);
std::optional<platform::ProcessCounters> counters_from_payload(std::string_view payload);

// A vendor entry point's result and what it wrote: "<status>\n" then the
// output buffers' bytes one after the other.
std::string call_payload(std::int32_t status, std::string_view outputs);
struct CallAnswer {
    std::int32_t status = 0;
    std::string_view outputs;
};
std::optional<CallAnswer> call_from_payload(std::string_view payload);

// Decimal numbers as the payloads write them.
std::string number_payload(std::int64_t value);
std::optional<std::int64_t> signed_from(std::string_view text);
std::optional<std::uint64_t> unsigned_from(std::string_view text);

}  // namespace karvo::discovery::capture
