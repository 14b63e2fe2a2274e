#pragma once
// Processes in a test tree: /proc/<pid>/comm, fd links with their fdinfo (in
// the drm-* form or the older one), and KFD's per-process VRAM files.

#include <cstdint>
#include <string>
#include <string_view>

#include "discovery/linux/sys_tree.h"

namespace karvo::testing {

class ProcessBuilder {
public:
    explicit ProcessBuilder(SysTree& tree) : tree_(tree) {}

    ProcessBuilder& comm(std::uint32_t pid, std::string_view bytes) {
        tree_.file(proc(pid) + "/comm", bytes);
        return *this;
    }
    // An fd pointing at `target`; its fdinfo is written unless `fdinfo` is empty.
    ProcessBuilder& fd(std::uint32_t pid, int fd, std::string_view target, std::string_view fdinfo = {}) {
        tree_.link(proc(pid) + "/fd/" + std::to_string(fd), target);
        if (!fdinfo.empty()) tree_.file(proc(pid) + "/fdinfo/" + std::to_string(fd), fdinfo);
        return *this;
    }
    ProcessBuilder& kfd(std::uint32_t pid, std::uint32_t gpu_id, std::string_view bytes) {
        tree_.file("sys/class/kfd/kfd/proc/" + std::to_string(pid) + "/vram_" + std::to_string(gpu_id), bytes);
        return *this;
    }

    // An amdgpu client's fdinfo as the kernel prints it; `usage` holds the
    // memory and engine lines.
    static std::string client(std::string_view pdev, std::uint64_t id, std::string_view usage) {
        return "pos:\t0\nflags:\t02100002\nmnt_id:\t26\nino:\t1124\ndrm-driver:\tamdgpu\ndrm-client-id:\t" +
               std::to_string(id) + "\ndrm-pdev:\t" + std::string(pdev) + "\n" + std::string(usage);
    }

    // The same client as kernels 5.14 to 5.18 printed it: PASID for the
    // client id, kB figures, per-ring percentages.
    static std::string older_client(std::string_view pdev, std::uint64_t pasid, std::uint64_t vram_kb,
                                    std::uint64_t gtt_kb) {
        return "pos:\t0\nflags:\t02100002\nmnt_id:\t26\npdev:\t" + std::string(pdev) + "\npasid:\t" +
               std::to_string(pasid) + "\nvram mem:\t" + std::to_string(vram_kb) + " kB\ngtt mem:\t" +
               std::to_string(gtt_kb) + " kB\ncpu mem:\t0 kB\ngfx0:\t70.59%\ncomp_1.0.0:\t0.00%\n";
    }

private:
    static std::string proc(std::uint32_t pid) { return "proc/" + std::to_string(pid); }
    SysTree& tree_;
};

}  // namespace karvo::testing
