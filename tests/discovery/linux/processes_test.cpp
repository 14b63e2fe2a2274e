#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/linux/fdinfo.h"
#include "fixtures/process_builder.h"
#include "discovery/linux/linux_pass.h"
#include "platform/host.h"

namespace karvo::discovery::linux {
namespace {

using testing::ProcessBuilder;

constexpr const char* kCardA = "0000:03:00.0";  // 16384 MB, KFD gpu_id 1111
constexpr const char* kCardB = "0000:0c:00.0";  // total not reported, KFD gpu_id 2222

// Two scanned cards and a tree to put processes in.
struct Scene {
    testing::SysTree tree;
    ProcessBuilder procs{tree};
    std::vector<CardRef> cards{{kCardA, 1111u, 0}, {kCardB, 2222u, 1}};

    DeviceList run() const {
        DeviceList devices(2);
        devices[0].vram_total_mb = 16384;
        devices[0].gtt_total_mb = 8192;
        attach_processes(Root{tree.root()}, cards, devices);
        return devices;
    }
};

GpuProcess entry(std::uint32_t pid, std::string name, std::uint32_t mb, ProcessKind kind) {
    return GpuProcess{pid, std::move(name), mb, kind};
}

// The same with engine times: what a process of drm-* clients gets (an empty
// set when none of its clients printed an engine line).
GpuProcess timed(GpuProcess process, std::initializer_list<std::pair<Engine, std::uint64_t>> engines = {}) {
    process.busy_ns.emplace();
    for (const auto& [engine, ns] : engines) (*process.busy_ns)[engine] = ns;
    return process;
}

// The fd walk needs symbolic links; Windows builds read none (see read_link).
#define SKIP_WITHOUT_LINKS() \
    if (platform::kWindowsHost) GTEST_SKIP() << "fd links are not read on Windows"

TEST(AttachProcesses, MemoryValuesKeysAndClientChecks) {
    SKIP_WITHOUT_LINKS();
    const std::string a = ProcessBuilder::client(kCardA, 7, "");
    struct Row {
        std::string fdinfo;
        std::uint32_t mb;  // on card A; 0: no entry
    } rows[] = {
        {a + "drm-memory-vram:\t512 MiB\n", 512},
        {a + "drm-memory-vram:\t1048576 KiB\n", 1024},
        {a + "drm-memory-vram:\t3221225472\n", 3072},
        {a + "drm-memory-vram:\t512 MiB", 512},  // no final newline
        {a + "drm-resident-vram:\t100 MiB\ndrm-memory-vram:\t200 MiB\n", 100},
        {a + "drm-memory-vram:\t200 MiB\ndrm-resident-vram:\t100 MiB\n", 100},
        {a + "drm-total-vram:\t900 MiB\ndrm-memory-vram:\t200 MiB\n", 200},
        {a + "drm-memory-vram:\t1048575\n", 0},  // below 1 MB
        {a + "drm-memory-vram:\t16384 MiB\n", 16384},
        {a + "drm-memory-vram:\t16385 MiB\n", 0},  // above the card's total
        {a + "drm-memory-vram:\t99999999999999999999999999 MiB\n", 0},
        {a + "drm-memory-vram:\t18446744073709551615 KiB\n", 0},
        {a + "drm-memory-vram:\t12 GiB\n", 0},
        {a + "drm-memory-vram:\t-5 MiB\n", 0},
        {"drm-driver:\ti915\ndrm-client-id:\t7\ndrm-pdev:\t0000:03:00.0\ndrm-memory-vram:\t512 MiB\n", 0},
        {ProcessBuilder::client("0000:99:00.0", 7, "drm-memory-vram:\t512 MiB\n"), 0},
        {"drm-driver:\tamdgpu\ndrm-pdev:\t0000:03:00.0\ndrm-memory-vram:\t512 MiB\n", 0},  // no client id
        {"drm-driver:\tamdgpu\ndrm-client-id:\tx1\ndrm-pdev:\t0000:03:00.0\ndrm-memory-vram:\t512 MiB\n", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fdinfo);
        Scene scene;
        scene.procs.comm(10, "Xorg\n").fd(10, 12, "/dev/dri/card0", row.fdinfo);
        const DeviceList devices = scene.run();
        const std::vector<GpuProcess> want =
            row.mb == 0 ? std::vector<GpuProcess>{} : std::vector{timed(entry(10, "Xorg", row.mb, ProcessKind::graphics))};
        EXPECT_EQ(devices[0].processes, want);
        EXPECT_TRUE(devices[1].processes.empty());
    }
}

TEST(AttachProcesses, SharedClientsSumsKfdNamesTypesAndOrder) {
    SKIP_WITHOUT_LINKS();
    Scene scene;
    auto client = [](const char* pdev, std::uint64_t id, const char* usage) {
        return ProcessBuilder::client(pdev, id, usage);
    };
    const std::string gfx = "drm-engine-gfx:\t90000 ns\n";
    scene.procs
        // Two clients (one seen through two fds) summed; its fork holds only the shared one.
        .comm(100, "  Xorg \n")
        .fd(100, 5, "/dev/dri/card0", client(kCardA, 1, "drm-memory-vram:\t300 MiB\ndrm-engine-gfx:\t5 ns\n"))
        .fd(100, 6, "/dev/dri/renderD128", client(kCardA, 2, "drm-memory-vram:\t200 MiB\n"))
        .fd(100, 7, "/dev/dri/card0", client(kCardA, 1, "drm-memory-vram:\t300 MiB\n"))
        .comm(200, "Xorg\n")
        .fd(200, 5, "/dev/dri/card0", client(kCardA, 1, "drm-memory-vram:\t300 MiB\n"))
        // A non-DRM fd is never asked about its fdinfo, whatever that would say.
        .comm(42, "firefox\n")
        .fd(42, 3, "/dev/null", client(kCardA, 9, "drm-memory-vram:\t800 MiB\n"))
        .fd(42, 4, "/dev/dri/renderD129",
            client(kCardB, 3, "drm-memory-vram:\t700 MiB\ndrm-engine-compute:\t5 ns\n"))
        .fd(42, 8, "socket:[5521]")
        // The same client id on another card is another client.
        .comm(43, "game\n")
        .fd(43, 4, "/dev/dri/renderD128",
            client(kCardB, 1, ("drm-memory-vram:\t500 MiB\ndrm-engine-compute:\t5 ns\n" + gfx).c_str()))
        // fdinfo and KFD on the same card: the larger figure, never the sum.
        .comm(500, "blender\n")
        .fd(500, 9, "/dev/dri/renderD128", client(kCardA, 5, "drm-resident-vram:\t600 MiB\n"))
        .kfd(500, 1111, "419430400\n")
        .fd(501, 9, "/dev/dri/renderD128", client(kCardA, 6, "drm-resident-vram:\t100 MiB\n"))
        .kfd(501, 1111, "943718400")
        // Neither pid 0 nor /proc/self is walked; no name gives "Unknown".
        .fd(0, 3, "/dev/dri/card0", client(kCardA, 77, "drm-memory-vram:\t999 MiB\n"))
        .comm(502, " \n")
        .fd(502, 3, "/dev/dri/card0", client(kCardA, 8, "drm-memory-vram:\t200 MiB\n"));
    scene.tree.link("proc/self", "502");
    scene.tree.file("proc/12x/comm", "x\n");

    const DeviceList devices = scene.run();
    EXPECT_EQ(devices[0].processes,
              (std::vector{timed(entry(501, "Unknown", 900, ProcessKind::compute)), timed(entry(500, "blender", 600, ProcessKind::compute)),
                           timed(entry(100, "Xorg", 500, ProcessKind::graphics), {{Engine::gfx, 5}}),
                           timed(entry(502, "Unknown", 200, ProcessKind::graphics))}));
    EXPECT_EQ(devices[1].processes,
              (std::vector{timed(entry(42, "firefox", 700, ProcessKind::compute), {{Engine::compute, 5}}),
                           timed(entry(43, "game", 500, ProcessKind::graphics), {{Engine::gfx, 90000}, {Engine::compute, 5}})}));
}

TEST(ParseFdinfo, SharedMemoryEnginesAndTheOlderForm) {
    const std::string a = ProcessBuilder::client(kCardA, 7, "");
    struct Row {
        std::string fdinfo;
        std::uint64_t gtt;
        std::vector<std::pair<Engine, std::uint64_t>> engines;
    } rows[] = {
        {a + "drm-memory-gtt: \t2048 KiB\n", 2u << 20, {}},  // the kernel's blank before the tab
        {a + "drm-memory-gtt: \t5 MiB\ndrm-resident-gtt:\t1 MiB\n", 1u << 20, {}},
        {a + "drm-memory-gtt:\tlots\n", 0, {}},
        {a + "drm-engine-gfx:\t10 ns\ndrm-engine-compute:\t20 ns\ndrm-engine-dma:\t30 ns\ndrm-engine-dec:\t1 ns\n"
             "drm-engine-jpeg:\t2 ns\ndrm-engine-enc:\t4 ns\ndrm-engine-enc_1:\t5 ns\ndrm-engine-vpe:\t6 ns\n",
         0,
         {{Engine::gfx, 10}, {Engine::compute, 20}, {Engine::dma, 30}, {Engine::dec, 3}, {Engine::enc, 9},
          {Engine::other, 6}}},
        {a + "drm-engine-gfx:\t0 ns\ndrm-engine-capacity-gfx:\t2\ndrm-engine-dma:\t5 us\ndrm-engine-:\t3 ns\n"
             "drm-engine-compute:\t18446744073709551615 ns\ndrm-engine-vpe:\t99999999999999999999999 ns\n"
             "drm-engine-jpeg:\t18446744073709551615 ns\ndrm-engine-dec:\t7 ns\n",
         0, {{Engine::gfx, 0}, {Engine::compute, ~0ull}, {Engine::dec, ~0ull}}},  // vpe overflows: not counted
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fdinfo);
        const DrmClient client = parse_fdinfo(row.fdinfo);
        EXPECT_EQ(client.gtt_bytes, row.gtt);
        EngineTimes want;
        for (const auto& [engine, ns] : row.engines) want[engine] = ns;
        EXPECT_EQ(client.engines, want);
        EXPECT_FALSE(client.older_form);
    }

    const std::string older = ProcessBuilder::older_client(kCardA, 32771, 524288, 2048);
    DrmClient client = parse_fdinfo(older);
    EXPECT_EQ(client.driver, "amdgpu");
    EXPECT_EQ(client.pdev, kCardA);
    EXPECT_EQ(client.client_id, 32771u);
    EXPECT_TRUE(client.older_form);
    EXPECT_EQ(client.vram_bytes, 512u << 20);
    EXPECT_EQ(client.gtt_bytes, 2u << 20);
    EXPECT_EQ(client.engines, EngineTimes{});  // "gfx0: 70.59%" is no engine time
    // Without its PASID, or beside drm-* keys, it is not read as the older form.
    EXPECT_EQ(parse_fdinfo(std::string_view(older).substr(0, older.find("pasid"))).driver, "");
    client = parse_fdinfo(a + older);
    EXPECT_FALSE(client.older_form);
    EXPECT_EQ(client.client_id, 7u);
    EXPECT_EQ(client.vram_bytes, 0u);
}

TEST(AttachProcesses, SharedMemoryAndEngineTimePerProcess) {
    SKIP_WITHOUT_LINKS();
    Scene scene;
    const auto client = [](std::uint64_t id, const char* usage) { return ProcessBuilder::client(kCardA, id, usage); };
    scene.procs
        // GTT only, two clients summed; the fork sharing one of them is not listed.
        .comm(10, "game\n")
        .fd(10, 3, "/dev/dri/renderD128", client(1, "drm-memory-gtt: \t300 MiB\ndrm-engine-gfx:\t100 ns\n"))
        .fd(10, 4, "/dev/dri/renderD128", client(2, "drm-resident-gtt:\t200 MiB\ndrm-engine-jpeg:\t5 ns\n"))
        .fd(11, 3, "/dev/dri/renderD128", client(1, "drm-memory-gtt: \t300 MiB\ndrm-engine-gfx:\t100 ns\n"))
        // Below 1 MB of either: not listed.
        .fd(12, 3, "/dev/dri/renderD128", client(3, "drm-memory-gtt:\t1048575\ndrm-memory-vram:\t1048575\n"))
        // The older form: memory, no engine time; its PASID is no client id.
        .comm(13, "oldgame\n")
        .fd(13, 3, "/dev/dri/card0", ProcessBuilder::older_client(kCardA, 1, 524288, 4096))
        // KFD only: VRAM, no engine time.
        .comm(14, "worker\n")
        .kfd(14, 1111, "1073741824\n")
        // KFD beside fdinfo: KFD's VRAM, fdinfo's GTT and engines.
        .comm(15, "hip\n")
        .fd(15, 3, "/dev/dri/renderD128",
            client(4, "drm-memory-vram:\t100 MiB\ndrm-memory-gtt:\t50 MiB\ndrm-engine-compute:\t9 ns\n"))
        .kfd(15, 1111, "314572800\n")
        // More GTT than the card has is not believed; its VRAM still is.
        .comm(16, "odd\n")
        .fd(16, 3, "/dev/dri/renderD128", client(5, "drm-memory-vram:\t10 MiB\ndrm-memory-gtt:\t8193 MiB\n"));
    scene.tree.folder("proc/14/fd");
    const auto shared = [](GpuProcess p, std::uint32_t gtt_mb) {
        p.gtt_used_mb = gtt_mb;
        return p;
    };
    const DeviceList devices = scene.run();
    EXPECT_EQ(devices[0].processes,
              (std::vector{entry(14, "worker", 1024, ProcessKind::compute), shared(entry(13, "oldgame", 512, ProcessKind::graphics), 4),
                           timed(shared(entry(10, "game", 0, ProcessKind::graphics), 500), {{Engine::gfx, 100}, {Engine::dec, 5}}),
                           timed(shared(entry(15, "hip", 300, ProcessKind::compute), 50), {{Engine::compute, 9}}),
                           timed(entry(16, "odd", 10, ProcessKind::graphics))}));
}

TEST(AttachProcesses, KfdOnlyProcessesAreComputeProcesses) {
    Scene scene;
    scene.procs.comm(300, "worker\n")
        .kfd(300, 1111, "1073741824\n")
        .kfd(300, 2222, "0\n")
        .comm(301, "blender\n")
        .kfd(301, 2222, "2097152")
        .kfd(302, 1111, "3145728\n")  // listed by KFD only
        .kfd(303, 1111, "junk\n")
        .kfd(304, 1111, "99999999999999999999999\n")
        .kfd(305, 3333, "5242880\n");  // no scanned card has this GPU
    scene.tree.folder("proc/300/fd").folder("proc/301/fd");
    const DeviceList devices = scene.run();
    EXPECT_EQ(devices[0].processes, (std::vector{entry(300, "worker", 1024, ProcessKind::compute), entry(302, "Unknown", 3, ProcessKind::compute)}));
    EXPECT_EQ(devices[1].processes, (std::vector{entry(301, "blender", 2, ProcessKind::compute)}));

    // A card without a KFD node, or one whose record is not in the list, reads nothing.
    scene.cards = {{kCardA, std::nullopt, 0}, {kCardB, 2222u, 7}};
    const DeviceList none = scene.run();
    EXPECT_TRUE(none[0].processes.empty());
    EXPECT_TRUE(none[1].processes.empty());
}

TEST(AttachProcesses, MalformedFilesNeverStopThePass) {
    SKIP_WITHOUT_LINKS();
    Scene scene;
    const std::string binary("\0\xff\x01\n:\0drm-driver\0:amdgpu\xc3", 24);
    const std::string texts[] = {
        "",
        binary,
        std::string(20000, 'x'),
        "drm-driver:amdgpu",
        ":\n::\n\n\t\n",
        "drm-driver:\tamdgpu\ndrm-client-id:\t99999999999999999999999\ndrm-pdev:\t0000:03:00.0\n"
        "drm-memory-vram:\t5 MiB\n",
        ProcessBuilder::client(kCardA, 30, "drm-memory-vram:\t\ndrm-engine-compute:\tnone\n"),
        ProcessBuilder::client(kCardA, 31, "drm-memory-vram") + std::string(30000, ' '),
    };
    std::uint32_t pid = 1000;
    for (const std::string& text : texts) {
        scene.procs.comm(pid, "bad\n").fd(pid, 3, "/dev/dri/card0", text);
        ++pid;
    }
    scene.procs.fd(pid, 3, "/dev/dri/card0");  // no fdinfo at all
    scene.procs.comm(3000, "good\n").fd(3000, 3, "/dev/dri/card0",
                                        ProcessBuilder::client(kCardA, 1, "drm-memory-vram:\t64 MiB\n"));
    scene.tree.folder("proc/2000/fdinfo/3");  // fdinfo that is a folder
    scene.procs.fd(2000, 3, "/dev/dri/card0");
    const DeviceList devices = scene.run();
    EXPECT_EQ(devices[0].processes, (std::vector{timed(entry(3000, "good", 64, ProcessKind::graphics))}));
}

}  // namespace
}  // namespace karvo::discovery::linux
