#pragma once
// Prometheus text exposition of a device list: samples only (no HELP/TYPE
// lines, no time stamps), one line each; unmeasured readings are left out.

#include <string>
#include <string_view>

#include "discovery/device.h"

namespace karvo::render {

// The text for GET /metrics; empty for an empty list, otherwise every sample
// line ends in "\n".
std::string render_metrics(const DeviceList& devices);

// Appends a label value (without its quotes): '"' and '\' get a backslash, a
// line feed or carriage return becomes one blank so a sample never spans two
// lines, bytes that are not valid UTF-8 become U+FFFD.
void append_label_value(std::string& out, std::string_view text);

}  // namespace karvo::render
