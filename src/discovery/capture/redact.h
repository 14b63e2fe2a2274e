#pragma once
// Redaction of a capture before it leaves the machine: the names that say
// what runs there are replaced by placeholders, the same name by the same
// placeholder everywhere, so the redacted capture still replays into the same
// document with the names swapped. What tells cards and processes apart (PCI
// addresses, device IDs, process IDs, the shape of each answer) stays.
//
// Replaced: process and command names (a Windows process keeps its compute or
// graphics classification: "compute-3.exe", "process-4.exe"), container IDs
// (same length, still hexadecimal), pod, namespace and container names,
// serial numbers, the targets of files processes hold open other than GPU
// devices, cgroup paths outside containers; and the same names in the
// command line and in what the pass wrote on standard error.

#include "discovery/capture/capture.h"

namespace karvo::discovery::capture {

Capture redact(Capture capture);

}  // namespace karvo::discovery::capture
