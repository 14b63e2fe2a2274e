#pragma once
// A report file: one zip archive holding a capture, readable with any zip
// tool (Windows Explorer opens it as a folder).
//
//   report.json   what made it: format and version, karvo's version, the
//                 system and its version, the command line, the time
//   document.txt  what karvo printed on standard output
//   stderr.txt    what the pass wrote on standard error
//   answers.txt   the answers, one record each (capture.h)
//
// A newer karvo reads every older version; a newer version is refused.

#include <string>
#include <string_view>

#include "common/error.h"
#include "common/zip.h"
#include "discovery/capture/capture.h"

namespace karvo::discovery::capture {

// The version this karvo writes, and the newest it reads.
inline constexpr std::uint32_t kFormatVersion = 1;
inline constexpr std::string_view kFormatName = "karvo report";

// Largest report file read: far beyond any real machine's.
inline constexpr std::size_t kMaxReportBytes = 64 * 1024 * 1024;

Result<std::string> write_report(const Capture& capture, const zip::DosTime& time);

// Every part checked: the archive, the entries, report.json, each record.
// Errors say what is wrong, beginning "not a karvo report" or naming the part.
Result<Capture> read_report(std::string_view bytes);

// What a report holds, for the line karvo writes on standard error after
// writing one: the number of answers by source and the kinds of names in it.
std::string describe(const Capture& capture);

}  // namespace karvo::discovery::capture
