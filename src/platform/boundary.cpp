// The public calls that a boundary may take over: each asks the boundary
// installed on this thread, if any, and otherwise the OS (os_calls.h).

#include "platform/boundary.h"

#include "platform/console.h"
#include "platform/files.h"
#include "platform/os_calls.h"
#include "platform/system.h"

namespace karvo::platform {
namespace {

thread_local Boundary* installed = nullptr;

}  // namespace

Boundary* active_boundary() { return installed; }

BoundaryScope::BoundaryScope(Boundary* boundary) : previous_(installed) { installed = boundary; }
BoundaryScope::~BoundaryScope() { installed = previous_; }

OsScope::OsScope() : previous_(installed) { installed = nullptr; }
OsScope::~OsScope() { installed = previous_; }

void note_source_error(std::string_view source, const Error& error) {
    if (Boundary* boundary = installed) {
        const OsScope os_answers;
        boundary->saw_source_error(source, error);
    }
}

bool visit_folder(const std::string& path, EntryVisitor visitor, void* context) {
    if (Boundary* boundary = installed) {
        std::optional<std::vector<std::string>> names;
        {
            const OsScope os_answers;
            names = boundary->list_folder(path);
        }
        if (!names) return false;
        for (const std::string& name : *names) visitor(context, name.data(), name.size());
        return true;
    }
    return os::visit_folder(path, visitor, context);
}

std::optional<std::vector<std::string>> list_folder(const std::string& path) {
    if (Boundary* boundary = installed) {
        const OsScope os_answers;
        return boundary->list_folder(path);
    }
    std::vector<std::string> names;
    if (!os::visit_folder(
            path,
            [](void* context, const char* name, std::size_t length) {
                static_cast<std::vector<std::string>*>(context)->emplace_back(name, length);
            },
            &names)) {
        return std::nullopt;
    }
    return names;
}

bool read_link_into(const std::string& path, std::string& out) {
    if (Boundary* boundary = installed) {
        const OsScope os_answers;
        auto target = boundary->read_link(path);
        out = target ? std::move(*target) : std::string();
        return target.has_value();
    }
    return os::read_link_into(path, out);
}

std::optional<std::string> read_link(const std::string& path) {
    std::string target;
    if (!read_link_into(path, target)) return std::nullopt;
    return target;
}

bool read_file_prefix_into(const std::string& path, std::size_t limit, std::string& out) {
    if (Boundary* boundary = installed) {
        const OsScope os_answers;
        auto data = boundary->read_file_prefix(path, limit);
        out = data ? std::move(*data) : std::string();
        return data.has_value();
    }
    return os::read_file_prefix_into(path, limit, out);
}

std::optional<std::string> read_file_prefix(const std::string& path, std::size_t limit) {
    std::string data;
    if (!read_file_prefix_into(path, limit, data)) return std::nullopt;
    return data;
}

bool path_exists(const std::string& path) {
    if (Boundary* boundary = installed) {
        const OsScope os_answers;
        return boundary->path_exists(path);
    }
    return os::path_exists(path);
}

Result<ProcessOutput> run_process(const ProcessSpec& spec) {
    if (Boundary* boundary = installed) {
        const OsScope os_answers;
        return boundary->run_process(spec);
    }
    return os::run_process(spec);
}

GpuOs& system_gpu_os() {
    // The sessions a boundary opens keep it out of their own OS calls.
    if (Boundary* boundary = installed) return boundary->gpu_os();
    return os::gpu_os();
}

std::optional<AmdgpuInfo> amdgpu_device_info(const std::string& render_node) {
    if (Boundary* boundary = installed) {
        const OsScope os_answers;
        return boundary->amdgpu_device_info(render_node);
    }
    return os::amdgpu_device_info(render_node);
}

std::optional<std::string> get_env(std::string_view name) {
    if (Boundary* boundary = installed) {
        const OsScope os_answers;
        return boundary->get_env(name);
    }
    return os::get_env(name);
}

void sleep_milliseconds(std::uint32_t milliseconds) {
    if (Boundary* boundary = installed) {
        const OsScope os_answers;
        boundary->sleep_milliseconds(milliseconds);
        return;
    }
    os::sleep_milliseconds(milliseconds);
}

Status write_stderr(std::string_view bytes) {
    if (Boundary* boundary = installed) {
        const OsScope os_answers;
        return boundary->write_stderr(bytes);
    }
    return os::write_stderr(bytes);
}

}  // namespace karvo::platform
