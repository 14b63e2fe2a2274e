#pragma once
// The JSON document: a bare array with one object per GPU, keys in record
// order, absent readings (and non-finite floats) as null.

#include <string>

#include "discovery/device.h"
#include "render/json_writer.h"

namespace karvo::render {

std::string render_json(const DeviceList& devices, JsonLayout layout);

// One line, no whitespace: --compact and the body of GET /.
std::string render_json_compact(const DeviceList& devices);
// Two blanks per level, one key per line: --json.
std::string render_json_pretty(const DeviceList& devices);

}  // namespace karvo::render
