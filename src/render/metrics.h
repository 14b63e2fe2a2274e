#pragma once
// Prometheus text exposition of a device list: each family as a "# HELP" and a
// "# TYPE" line followed by its samples for every GPU, one line each, no time
// stamps; unmeasured readings write no sample and a family without samples
// writes nothing at all.

#include <optional>
#include <string>
#include <string_view>

#include "discovery/device.h"

namespace karvo::render {

// The text for GET /metrics; empty for an empty list, otherwise every line
// ends in "\n". `discovery_seconds`, when given, is the
// duration of the pass that produced the list (amd_gpu_discovery_seconds).
std::string render_metrics(const DeviceList& devices, std::optional<double> discovery_seconds = std::nullopt);

// Appends a label value (without its quotes): '"' and '\' get a backslash, a
// line feed or carriage return becomes one blank so a sample never spans two
// lines, bytes that are not valid UTF-8 become U+FFFD.
void append_label_value(std::string& out, std::string_view text);

}  // namespace karvo::render
