#pragma once
// From a process to its container: the cgroup path in /proc/<pid>/cgroup
// names the container runtime's scope and, under Kubernetes, the pod; the
// kubelet's log folders (/var/log/pods, /var/log/containers) give the names.
// Files only: no runtime or API server is asked.

#include <string>
#include <string_view>

#include "discovery/device.h"
#include "discovery/linux/linux_pass.h"

namespace karvo::discovery::linux {

// What a process's cgroup path tells of it.
struct CgroupPlace {
    std::string container_id;  // all 64 hex digits; empty outside a container
    std::string pod_uid;       // as the kubelet writes it ("-" between groups, or 32 hex digits); empty outside a pod

    bool operator==(const CgroupPlace&) const = default;
};

// Reads the text of /proc/<pid>/cgroup ("ID:controllers:path" lines). The
// paths tried, in order: the cgroup v2 line ("0::"), the v1 "name=systemd"
// line, then the first other v1 line below the root; the first that shows a
// container or a pod counts. Any text: malformed lines are passed over.
CgroupPlace parse_cgroup(std::string_view text);

// Fills container_id (first 12 hex digits), container, pod and pod_namespace
// of every process listed on the devices; reads each process's cgroup file
// once, and the kubelet's two log folders once when some process is in a pod.
// Whatever cannot be read or understood leaves the fields empty.
void attribute_containers(const Root& root, DeviceList& devices);

}  // namespace karvo::discovery::linux
