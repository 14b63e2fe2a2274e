#pragma once
// A Kubernetes pod in a SysTree as the kubelet leaves it on the node:
// var/log/pods/<namespace>_<pod>_<uid>/<container>/ and the
// var/log/containers/<pod>_<namespace>_<container>-<id>.log links, plus the
// cgroup files of processes running in its containers (systemd driver,
// cgroup v2).

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "discovery/linux/sys_tree.h"
#include "platform/host.h"

namespace karvo::testing {

class PodBuilder {
public:
    PodBuilder(SysTree& tree, std::string_view pod_namespace, std::string_view name, std::string_view uid)
        : tree_(tree),
          uid_(uid),
          name_(name),
          namespace_(pod_namespace),
          folder_("var/log/pods/" + namespace_ + "_" + name_ + "_" + uid_) {
        tree_.folder(folder_);
    }

    // A container's log folder; its var/log/containers link unless `linked` is false.
    PodBuilder& container(std::string_view name, std::string_view id, bool linked = true) {
        const std::string log = folder_ + "/" + std::string(name) + "/0.log";
        tree_.file(log, "");
        if (!linked) return *this;
        const std::string entry =
            "var/log/containers/" + name_ + "_" + namespace_ + "_" + std::string(name) + "-" + std::string(id) + ".log";
        // Only the names are read: a plain file stands in where the host has no links.
        if (platform::kWindowsHost)
            tree_.file(entry, "");
        else
            tree_.link(entry, "/" + log);
        return *this;
    }

    // Process `pid` runs in the container `id` of this pod.
    PodBuilder& process(std::uint32_t pid, std::string_view id) {
        tree_.file("proc/" + std::to_string(pid) + "/cgroup", cgroup(uid_, id));
        return *this;
    }

    // A cgroup v2 file under the systemd driver: burstable pod, containerd.
    static std::string cgroup(std::string_view uid, std::string_view id) {
        std::string slice(uid);
        std::replace(slice.begin(), slice.end(), '-', '_');
        return "0::/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod" + slice +
               ".slice/cri-containerd-" + std::string(id) + ".scope\n";
    }

private:
    SysTree& tree_;
    std::string uid_, name_, namespace_, folder_;
};

}  // namespace karvo::testing
