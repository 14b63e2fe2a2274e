// Memory type and graphics target from the driver's answer (a fake in place of
// the render node), IP discovery folders and the tables, over small trees.
// The fake answers are the kernel's own structures (its UAPI header, from
// libdrm-dev), so a decoder that reads a field at the wrong offset fails here.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "fixtures/card_builder.h"
#include "discovery/linux/driver_info.h"
#include "discovery/naming/amd_chips.h"
#include "platform/host.h"
#include "support/special_files.h"

#if KARVO_KERNEL_AMDGPU_HEADER
#include <amdgpu_drm.h>
#endif

namespace karvo::discovery::linux {
namespace {

using testing::CardBuilder;

#if KARVO_KERNEL_AMDGPU_HEADER
// The word of drm_amdgpu_info_hw_ip that holds the IP discovery version:
// ip_discovery_version in the kernel's header since 6.5, the padding before it.
template <class HwIp>
constexpr std::size_t ip_discovery_version_offset() {
    if constexpr (requires(HwIp hw) { hw.ip_discovery_version; }) {
        return offsetof(HwIp, ip_discovery_version);
    } else {
        return offsetof(HwIp, _pad);
    }
}
constexpr std::size_t kIpDiscoveryVersionOffset = ip_discovery_version_offset<drm_amdgpu_info_hw_ip>();

// Memory codes newer than some distributions' copies of the header.
constexpr std::uint32_t kVramLpddr5 = 12;
constexpr std::uint32_t kVramHbm3e = 13;

template <class Struct>
std::string bytes_of(const Struct& value, std::size_t size) {
    std::string bytes(size, '\0');
    std::memcpy(bytes.data(), &value, std::min(size, sizeof value));
    return bytes;
}

// The driver's answer as the kernel writes it.
platform::AmdgpuInfo answer(std::uint32_t device_id, std::uint32_t vram_type, bool fusion = false,
                            std::uint32_t gc_version = 0) {
    drm_amdgpu_info_device device{};
    device.device_id = device_id;
    device.ids_flags = fusion ? AMDGPU_IDS_FLAGS_FUSION : 0;
    device.vram_type = vram_type;
    drm_amdgpu_info_hw_ip gfx{};
    std::string gfx_bytes = bytes_of(gfx, platform::kAmdgpuHwIpInfoBytes);
    std::memcpy(gfx_bytes.data() + kIpDiscoveryVersionOffset, &gc_version, sizeof gc_version);
    return {bytes_of(device, platform::kAmdgpuDeviceInfoBytes), gfx_bytes};
}
#else
// The Windows build runs none of these tests (they need Linux trees).
constexpr std::uint32_t AMDGPU_VRAM_TYPE_UNKNOWN = 0, AMDGPU_VRAM_TYPE_HBM = 6, AMDGPU_VRAM_TYPE_GDDR6 = 9,
                        AMDGPU_VRAM_TYPE_DDR5 = 10, kVramLpddr5 = 12, kVramHbm3e = 13;
constexpr std::size_t kIpDiscoveryVersionOffset = 0;
platform::AmdgpuInfo answer(std::uint32_t, std::uint32_t, bool = false, std::uint32_t = 0) { return {}; }
#endif

struct Case {
    const char* what;
    const char* device;
    std::optional<platform::AmdgpuInfo> reply;
    std::string expected;
    std::function<void(CardBuilder&)> change = {};
    std::optional<std::uint32_t> smbios = std::nullopt;
    int asked = 1;
};

// One card, awake with a render node unless `change` says otherwise.
GpuDevice describe(const Case& c, int& asked, std::string& asked_path, std::string& root) {
    testing::SysTree tree;
    root = tree.root();
    CardBuilder card(tree, "card0", "0000:03:00.0");
    card.attr("device", c.device).attr("power/runtime_status", "active\n").attr("drm/renderD129/dev", "226:129\n");
    card.attr("drm/card0/dev", "226:1\n");
    if (c.change) c.change(card);
    const auto result = scan_cards(
        Root{tree.root()}, [&] { return c.smbios; },
        [&](const std::string& node) {
            ++asked;
            asked_path = node;
            return c.reply;
        });
    EXPECT_EQ(result.devices.size(), 1u);
    return result.devices.empty() ? GpuDevice{} : result.devices[0];
}

void run(const std::vector<Case>& cases, std::string GpuDevice::*field) {
    for (const auto& c : cases) {
        int asked = 0;
        std::string path, root;
        const GpuDevice d = describe(c, asked, path, root);
        EXPECT_EQ(d.*field, c.expected) << c.what;
        EXPECT_EQ(asked, c.asked) << c.what;
        if (asked != 0) {
            EXPECT_EQ(path, root + "/dev/dri/renderD129") << c.what;
        }
    }
}

class DriverInfo : public ::testing::Test {
protected:
    void SetUp() override {
        if (platform::kWindowsHost) GTEST_SKIP() << "Linux trees (symbolic links) only";
    }
};

const auto status = [](const char* value) { return [=](CardBuilder& c) { c.attr("power/runtime_status", value); }; };
const auto metrics = [](char format) {
    return [=](CardBuilder& c) {
        std::string blob(128, '\xff');
        blob.replace(0, 4, std::string{'\x80', '\0', format, '\x02'});
        c.attr("gpu_metrics", blob);
    };
};

TEST_F(DriverInfo, MemoryType) {
    run({
            {"GDDR6", "0x744c", answer(0x744c, AMDGPU_VRAM_TYPE_GDDR6), "GDDR6"},
            {"the driver before the tables", "0x67df", answer(0x67df, AMDGPU_VRAM_TYPE_GDDR6), "GDDR6"},
            {"HBM of a Radeon VII", "0x66af", answer(0x66af, AMDGPU_VRAM_TYPE_HBM), "HBM2"},
            {"HBM of an MI210", "0x740f", answer(0x740f, AMDGPU_VRAM_TYPE_HBM), "HBM2e"},
            {"HBM of a card no table knows", "0x744c", answer(0x744c, AMDGPU_VRAM_TYPE_HBM), "HBM"},
            {"HBM3e", "0x75a0", answer(0x75a0, kVramHbm3e), "HBM3e"},
            {"type unknown: the tables", "0x66af", answer(0x66af, AMDGPU_VRAM_TYPE_UNKNOWN), "HBM2"},
            {"type not listed: the tables", "0x744c", answer(0x744c, 99), "GDDR6"},
            {"an APU: shared", "0x163f", answer(0x163f, kVramLpddr5, true), "LPDDR5 (Shared)"},
            {"an APU of unknown type: SMBIOS", "0x1234", answer(0x1234, AMDGPU_VRAM_TYPE_UNKNOWN, true), "DDR4 (Shared)", {}, 26},
            {"an APU of unknown type and family", "0x1234", answer(0x1234, AMDGPU_VRAM_TYPE_UNKNOWN, true), "DDR5 (Shared)"},
            {"MI300A", "0x74a0", answer(0x74a0, AMDGPU_VRAM_TYPE_HBM, true), "HBM3 (Shared)"},
            {"an answer about another device", "0x744c", answer(0x66af, AMDGPU_VRAM_TYPE_HBM), "GDDR6"},
            {"a node that cannot be opened", "0x66af", std::nullopt, "HBM2"},
            {"a Steam Deck from the table", "0x163f", std::nullopt, "LPDDR5 (Shared)"},
            {"an APU by gpu_metrics 2", "0x1234", std::nullopt, "LPDDR5 (Shared)", metrics(2), 35},
            {"an APU by gpu_metrics 3", "0x1234", std::nullopt, "DDR5 (Shared)", metrics(3)},
            {"gpu_metrics 1 is discrete", "0x1234", std::nullopt, "GDDR6", metrics(1)},
            {"asleep: never opened", "0x66af", answer(0x66af, AMDGPU_VRAM_TYPE_GDDR6), "HBM2", status("suspended\n"), {}, 0},
            {"runtime status unknown: never opened", "0x66af", answer(0x66af, AMDGPU_VRAM_TYPE_GDDR6), "HBM2",
             [](CardBuilder& c) { c.remove("power"); }, {}, 0},
            {"no render node", "0x66af", answer(0x66af, AMDGPU_VRAM_TYPE_GDDR6), "HBM2", [](CardBuilder& c) { c.remove("drm/renderD129"); },
             {}, 0},
        },
        &GpuDevice::vram_type);
}

TEST_F(DriverInfo, GraphicsTargetWithoutKfd) {
    const auto discovery = [](const char* major, const char* minor, const char* revision) {
        return [=](CardBuilder& c) {
            c.attr("ip_discovery/die/0/GC/0/major", major).attr("ip_discovery/die/0/GC/0/minor", minor);
            c.attr("ip_discovery/die/0/GC/0/revision", revision);
        };
    };
    run({
            {"the driver's GC version", "0x15bf", answer(0x15bf, AMDGPU_VRAM_TYPE_DDR5, true, 0x0B0001), "gfx1103"},
            {"IP discovery", "0x731f", std::nullopt, "gfx1010", discovery("10\n", "1\n", "10\n")},
            {"IP discovery of a sleeping card", "0x731f", std::nullopt, "gfx1010",
             [=](CardBuilder& c) { discovery("10", "1", "10")(c), status("suspended")(c); }, {}, 0},
            {"an unlisted version: IP discovery", "0x731f", answer(0x731f, AMDGPU_VRAM_TYPE_GDDR6, false, 0x0C0009), "gfx1010",
             discovery("10\n", "1\n", "10\n")},
            {"a version with stray bits is none", "0x1234", answer(0x1234, AMDGPU_VRAM_TYPE_DDR5, true, 0x010B0001), "unknown"},
            {"a bad IP discovery file", "0x687f", std::nullopt, "gfx900", discovery("9\n", "x\n", "1\n")},
            {"RX 580", "0x67df", std::nullopt, "gfx803"},
            {"the Windows table last", "0x7550", answer(0x7550, AMDGPU_VRAM_TYPE_GDDR6, false, 0x0C0009), "gfx1201"},
            {"nothing knows it", "0x1234", std::nullopt, "unknown"},
            {"KFD first", "0x744c", answer(0x744c, AMDGPU_VRAM_TYPE_GDDR6, false, 0x0B0001), "gfx90a",
             [](CardBuilder& c) { c.kfd_node(1, "90010", 7); }},
        },
        &GpuDevice::gfx_version);
}

TEST_F(DriverInfo, ShortAnswersAndTheRealCall) {
    platform::AmdgpuInfo info = answer(0x744c, AMDGPU_VRAM_TYPE_GDDR6, true, 0x0B0000);
    // A hardware-IP answer that ends inside the version word has no version.
    info.gfx_ip_info.resize(kIpDiscoveryVersionOffset + 3);
    auto facts = decode_driver_facts(info);
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->device_id, 0x744cu);
    EXPECT_TRUE(facts->apu);
    EXPECT_EQ(facts->vram_type, std::uint32_t{AMDGPU_VRAM_TYPE_GDDR6});
    EXPECT_FALSE(facts->gc_version);
    // A device answer that ends inside the memory type is no answer.
#if KARVO_KERNEL_AMDGPU_HEADER
    info.device_info.resize(offsetof(drm_amdgpu_info_device, vram_type) + sizeof(std::uint32_t) - 1);
    EXPECT_FALSE(decode_driver_facts(info));
    // Every memory code the kernel's header names has the header's name.
    const std::pair<std::uint32_t, std::string_view> codes[] = {
        {AMDGPU_VRAM_TYPE_GDDR1, "GDDR1"}, {AMDGPU_VRAM_TYPE_DDR2, "DDR2"}, {AMDGPU_VRAM_TYPE_GDDR3, "GDDR3"},
        {AMDGPU_VRAM_TYPE_GDDR4, "GDDR4"}, {AMDGPU_VRAM_TYPE_GDDR5, "GDDR5"}, {AMDGPU_VRAM_TYPE_HBM, "HBM"},
        {AMDGPU_VRAM_TYPE_DDR3, "DDR3"},   {AMDGPU_VRAM_TYPE_DDR4, "DDR4"},   {AMDGPU_VRAM_TYPE_GDDR6, "GDDR6"},
        {AMDGPU_VRAM_TYPE_DDR5, "DDR5"},
    };
    for (const auto& [code, name] : codes) EXPECT_EQ(naming::driver_memory_name(code), name) << code;
    EXPECT_FALSE(naming::driver_memory_name(AMDGPU_VRAM_TYPE_UNKNOWN));
#endif

    // No answer from a file, a folder, a FIFO (without blocking), a device that is no render node or nothing.
    testing::SysTree tree;
    tree.file("file", "x").folder("folder");
    std::vector<std::string> paths{tree.root() + "/file", tree.root() + "/folder", tree.root() + "/missing",
                                   testing::device_path()};
    if (const auto fifo = testing::make_fifo(tree.top())) paths.push_back(*fifo);
    for (const auto& path : paths) EXPECT_FALSE(platform::amdgpu_device_info(path)) << path;
}

}  // namespace
}  // namespace karvo::discovery::linux
