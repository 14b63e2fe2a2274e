#pragma once
// The system as one discovery pass meets it: files and folders, run-time
// libraries, child processes, the graphics statistics sessions, the amdgpu
// render-node query, environment variables, the pass's waits and what it
// writes to standard error.
//
// Normally these are the OS itself. A Boundary installed for the current
// thread takes their place while a pass runs: a recording that asks the OS and
// keeps every answer, or a replay that answers from such a recording. The
// functions of files.h, library.h, process.h, gpu_os.h, amdgpu.h and the
// environment and sleep of system.h ask the installed boundary first; the code
// of the pass itself does not know which one answers.
//
// While a boundary's own method runs, nothing is installed on its thread, so
// the OS calls it makes (and those made inside the OS layer) go to the OS.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/amdgpu.h"
#include "platform/gpu_os.h"
#include "platform/library.h"
#include "platform/process.h"

namespace karvo::platform {

class Boundary {
public:
    virtual ~Boundary() = default;

    // files.h
    virtual std::optional<std::vector<std::string>> list_folder(const std::string& path) = 0;
    virtual std::optional<std::string> read_link(const std::string& path) = 0;
    virtual std::optional<std::string> read_file_prefix(const std::string& path, std::size_t limit) = 0;
    virtual bool path_exists(const std::string& path) = 0;
    // library.h
    virtual Result<Library> open_library(std::string_view name) = 0;
    // process.h
    virtual Result<ProcessOutput> run_process(const ProcessSpec& spec) = 0;
    // gpu_os.h
    virtual GpuOs& gpu_os() = 0;
    // amdgpu.h
    virtual std::optional<AmdgpuInfo> amdgpu_device_info(const std::string& render_node) = 0;
    // system.h
    virtual std::optional<std::string> get_env(std::string_view name) = 0;
    virtual void sleep_milliseconds(std::uint32_t milliseconds) = 0;
    // console.h: what the pass writes to standard error.
    virtual Status write_stderr(std::string_view bytes) = 0;
    // An error a source returned and the pass dropped (see note_source_error).
    virtual void saw_source_error(std::string_view source, const Error& error) = 0;
};

// The boundary installed on this thread; null when the OS answers.
Boundary* active_boundary();

// Installs a boundary on this thread for the scope's lifetime (the previous
// one, usually none, comes back after).
class BoundaryScope {
public:
    explicit BoundaryScope(Boundary* boundary);
    ~BoundaryScope();
    BoundaryScope(const BoundaryScope&) = delete;
    BoundaryScope& operator=(const BoundaryScope&) = delete;

private:
    Boundary* previous_;
};

// Lets the OS answer on this thread for the scope's lifetime: what a boundary
// holds while it asks the OS or calls into a library it wraps.
class OsScope {
public:
    OsScope();
    ~OsScope();
    OsScope(const OsScope&) = delete;
    OsScope& operator=(const OsScope&) = delete;

private:
    Boundary* previous_;
};

// Tells the installed boundary (if any) of an error a discovery source
// returned and the pass dropped; `source` names it ("hip", "wmi", "adl"...).
void note_source_error(std::string_view source, const Error& error);

}  // namespace karvo::platform
