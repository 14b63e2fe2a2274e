#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures/card_builder.h"
#include "common/json_reader.h"
#include "discovery/linux/containers.h"
#include "platform/host.h"
#include "fixtures/pod_builder.h"
#include "fixtures/process_builder.h"
#include "support/run_karvo.h"

namespace karvo::discovery::linux {
namespace {

using testing::PodBuilder;
using testing::SysTree;

// 64 hex digits starting with `first`; its short form is first + "0123456789a".
std::string id(char first) {
    std::string out(1, first);
    while (out.size() < 64) out += "0123456789abcdef"[out.size() % 16];
    return out;
}
std::string short_id(char first) { return id(first).substr(0, 12); }

const std::string kUid = "6f1c2b3a-4d5e-4f60-8a9b-0c1d2e3f4a5b";
const std::string kSlice = "6f1c2b3a_4d5e_4f60_8a9b_0c1d2e3f4a5b";  // as systemd writes it
const std::string kStatic = "2d9c4e0b7a61f3c5d8e9a0b1c2d3e4f5";     // a static pod's UID

TEST(ParseCgroup, EveryForm) {
    const std::string a = id('a'), b = id('b');
    const std::string burstable = "/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod" + kSlice + ".slice";
    struct Row {
        std::string text;
        CgroupPlace want;
    } rows[] = {
        // cgroup v2, systemd driver: every runtime and QoS class.
        {"0::" + burstable + "/cri-containerd-" + a + ".scope\n", {a, kUid}},
        {"0::/kubepods.slice/kubepods-besteffort.slice/kubepods-besteffort-pod" + kSlice + ".slice/crio-" + a +
             ".scope\n", {a, kUid}},
        {"0::/kubepods.slice/kubepods-pod" + kSlice + ".slice/cri-containerd-" + a + ".scope\n", {a, kUid}},
        {"0::" + burstable + "/crio-conmon-" + a + ".scope\n", {"", kUid}},
        {"0::" + burstable + "\n", {"", kUid}},
        {"0::/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod" + kStatic + ".slice/cri-containerd-" +
             a + ".scope\n", {a, kStatic}},
        // Nested below another kubelet root, and seen from another cgroup namespace.
        {"0::/kubelet.slice/kubelet-kubepods.slice/kubelet-kubepods-besteffort.slice/"
         "kubelet-kubepods-besteffort-pod" + kSlice + ".slice/cri-containerd-" + a + ".scope/init.scope\n",
         {a, kUid}},
        {"0::/../../kubepods-besteffort-pod" + kSlice + ".slice/cri-containerd-" + a + ".scope\n", {a, kUid}},
        // cgroupfs driver: bare IDs below the pod folder.
        {"0::/kubepods/burstable/pod" + kUid + "/" + a + "\n", {a, kUid}},
        {"0::/kubepods/besteffort/pod" + kStatic + "/" + a + "\n", {a, kStatic}},
        {"0::/kubepods/pod" + kUid + "/" + a + "\n", {a, kUid}},
        {"0::/../kubepods/pod" + kUid + "/crio-" + a + "\n", {a, kUid}},
        // Docker and Podman: no pod.
        {"0::/system.slice/docker-" + a + ".scope\n", {a, ""}},
        {"0::/docker/" + a + "\n", {a, ""}},
        {"0::/user.slice/user-1000.slice/user@1000.service/user.slice/libpod-" + a + ".scope/container\n", {a, ""}},
        {"0::/machine.slice/libpod-conmon-" + a + ".scope\n", {}},
        {"0::/docker/" + a + "/docker/" + b + "\n", {a, ""}},  // the outer container is the node's
        // cgroup v1: the name=systemd line, whatever the others say; hybrid: the 0:: line below the root.
        {"12:memory:/docker/" + b + "\n11:cpu,cpuacct:/\n1:name=systemd:/docker/" + a + "\n", {a, ""}},
        {"3:cpuset:/kubepods/burstable/pod" + kUid + "/" + a + "\n1:name=systemd:/kubepods/burstable/pod" + kUid +
             "/" + a + "\n", {a, kUid}},
        {"12:memory:/user.slice\n1:name=systemd:/system.slice/docker-" + a + ".scope\n0::/system.slice/docker-" + a +
             ".scope\n", {a, ""}},
        {"1:name=systemd:/system.slice/docker-" + a + ".scope\n0::/\n", {a, ""}},
        {"5:memory:/docker/" + a + "\n", {a, ""}},  // v1 without systemd
        // Outside any container.
        {"0::/user.slice/user-1000.slice/session-3.scope\n", {}},
        {"0::/\n", {}},
        {"0::/system.slice/" + a + "\n", {}},  // a bare ID outside a pod or Docker
        {"", {}},
        // Malformed: never a wrong container.
        {"garbage\n0:/docker/" + a + "\nx::/docker/" + a + "\n0::docker/" + a + "\n", {}},
        {"0::/docker/" + a.substr(1) + "\n", {}},
        {"0::/docker/" + a.substr(1) + "A\n", {}},
        {"0::/docker/" + a.substr(1) + "g\n", {}},
        {"0::/system.slice/docker-" + a + "0.scope\n", {}},
        {"0::/kubepods.slice/kubepods-pod" + kUid + ".slice/cri-containerd-" + a + ".scope\n", {a, ""}},
        {"0::/kubepods.slice/notkubepods-pod" + kSlice + ".slice\n", {}},
        {"0::/kubepods/pod" + kSlice + "/" + a + "\n", {}},
        {"0::/kubepods.slice/kubepods-pod" + kSlice.substr(1) + "_.slice\n", {}},
        {"0::/docker/" + a + " (deleted)\n", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(parse_cgroup(row.text), row.want);
    }
}

// Fields of a process entry: container_id, container, pod, namespace.
std::vector<std::string> fields(const GpuProcess& p) { return {p.container_id, p.container, p.pod, p.pod_namespace}; }

TEST(AttributeContainers, NamesFromTheKubeletLogs) {
    SysTree tree;
    const std::string other = "0d4e8f3c-1a2b-4c5d-9e8f-7a6b5c4d3e2f";
    PodBuilder(tree, "ml", "trainer-0", kUid)
        .container("train", id('a'))
        .container("metrics", id('b'), false)  // not linked: two folders, so no name
        .process(10, id('a'))
        .process(11, id('b'));
    PodBuilder(tree, "kube-system", "etcd-node1", kStatic).container("etcd", id('c'), false).process(12, id('c'));
    tree.file("proc/13/cgroup", PodBuilder::cgroup(other, id('d')));  // a pod without a folder
    tree.file("proc/14/cgroup", "0::/system.slice/docker-" + id('e') + ".scope\n");
    tree.file("proc/16/cgroup", "0::/" + std::string(20000, 'x') + "/docker-" + id('f') + ".scope\n");
    // Entries that are not the kubelet's are passed over.
    tree.file("var/log/containers/a_b_c_d-" + id('d') + ".log", "")
        .file("var/log/containers/x_y-" + id('d') + ".log", "")
        .file("var/log/containers/p_ns_c-" + id('d').substr(1) + ".log", "")
        .folder("var/log/pods/ns_pod")
        .folder("var/log/pods/ns_pod_" + other.substr(1));

    DeviceList devices(2);
    for (std::uint32_t pid : {10, 11, 12, 13, 14, 15, 16}) devices[0].processes.push_back(GpuProcess{pid});
    devices[1].processes.push_back(GpuProcess{10});
    attribute_containers(Root{tree.root()}, devices);

    using F = std::vector<std::string>;
    const std::vector<F> want = {
        {short_id('a'), "train", "trainer-0", "ml"},
        {short_id('b'), "", "trainer-0", "ml"},
        {short_id('c'), "etcd", "etcd-node1", "kube-system"},
        {short_id('d'), "", other, ""},
        {short_id('e'), "", "", ""},
        {"", "", "", ""},  // no cgroup file
        {"", "", "", ""},  // cut by the read limit
    };
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(fields(devices[0].processes[i]), want[i]) << i;
    EXPECT_EQ(fields(devices[1].processes[0]), want[0]);
}

// The real binary: a pod's two containers share one GPU, a Docker container uses the other.
TEST(ContainersBinary, PodAndDockerOnTwoGpus) {
    if (platform::kWindowsHost) GTEST_SKIP() << "the Linux sources run on Linux only";
    SysTree tree;
    testing::CardBuilder(tree, "card0", "0000:03:00.0").sensors();
    testing::CardBuilder(tree, "card1", "0000:0c:00.0").sensors();
    testing::ProcessBuilder procs(tree);
    const auto client = [&](std::uint32_t pid, const char* bdf, std::uint64_t client_id) {
        procs.comm(pid, "python3\n")
            .fd(pid, 5, "/dev/dri/renderD128",
                testing::ProcessBuilder::client(bdf, client_id, "drm-memory-vram:\t" + std::to_string(pid) + " MiB\n"));
    };
    client(1500, "0000:03:00.0", 1);
    client(1400, "0000:03:00.0", 2);
    client(1300, "0000:0c:00.0", 3);
    PodBuilder(tree, "research", "llm-serve-7d9f", kUid)
        .container("server", id('a'))
        .container("tokenizer", id('b'))
        .process(1500, id('a'))
        .process(1400, id('b'));
    tree.file("proc/1300/cgroup", "0::/system.slice/docker-" + id('c') + ".scope\n");

    const auto output = testing::run_karvo({"--compact"}, {{"KARVO_SYSROOT", tree.root()}, {"LD_LIBRARY_PATH", ""}});
    ASSERT_EQ(output.exit_code, 0) << output.err;
    const auto document = json::parse(output.out);
    ASSERT_TRUE(document.ok()) << output.out;

    using F = std::vector<std::string>;
    const std::vector<std::vector<F>> want = {
        {{"1500", short_id('a'), "server", "llm-serve-7d9f", "research"},
         {"1400", short_id('b'), "tokenizer", "llm-serve-7d9f", "research"}},
        {{"1300", short_id('c'), "", "", ""}},
    };
    const auto* gpus = document->as_array();
    ASSERT_TRUE(gpus != nullptr && gpus->size() == 2) << output.out;
    for (std::size_t g = 0; g < 2; ++g) {
        const json::Value* list = (*gpus)[g].find("processes");
        ASSERT_TRUE(list != nullptr && list->as_array() != nullptr) << output.out;
        std::vector<F> got;
        for (const json::Value& process : *list->as_array()) {
            F row{std::to_string(process.find("pid") ? process.find("pid")->as_u64().value_or(0) : 0)};
            for (const char* key : {"container_id", "container", "pod", "namespace"}) {
                const json::Value* value = process.find(key);
                if (value == nullptr || !value->is_string()) {
                    ADD_FAILURE() << "process entry without a string \"" << key
                                  << "\" (the JSON renderer writes the container keys once they land): " << output.out;
                    return;
                }
                row.push_back(*value->as_string());
            }
            got.push_back(row);
        }
        EXPECT_EQ(got, want[g]) << output.out;
    }
}

}  // namespace
}  // namespace karvo::discovery::linux
