// Memory type and graphics target from the driver's answer (a fake in place of
// the render node), IP discovery folders and the tables, over small trees.
#include <gtest/gtest.h>

#include "fixtures/card_builder.h"
#include "discovery/linux/driver_info.h"
#include "platform/host.h"
#include "support/special_files.h"

namespace karvo::discovery::linux {
namespace {

using testing::CardBuilder;

// The driver's answer: drm_amdgpu_info_device and drm_amdgpu_info_hw_ip bytes.
platform::AmdgpuInfo answer(std::uint32_t device_id, std::uint32_t vram_type, bool fusion = false,
                            std::uint32_t gc_version = 0) {
    platform::AmdgpuInfo info{std::string(platform::kAmdgpuDeviceInfoBytes, '\0'),
                              std::string(platform::kAmdgpuHwIpInfoBytes, '\0')};
    const auto put = [](std::string& bytes, std::size_t at, std::uint64_t value, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
    };
    put(info.device_info, 0, device_id, 4);
    put(info.device_info, 136, fusion ? 1 : 0, 8);
    put(info.device_info, 176, vram_type, 4);
    put(info.gfx_ip_info, 28, gc_version, 4);
    return info;
}

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
            {"GDDR6", "0x744c", answer(0x744c, 9), "GDDR6"},
            {"the driver before the tables", "0x67df", answer(0x67df, 9), "GDDR6"},
            {"HBM of a Radeon VII", "0x66af", answer(0x66af, 6), "HBM2"},
            {"HBM of an MI210", "0x740f", answer(0x740f, 6), "HBM2e"},
            {"HBM of a card no table knows", "0x744c", answer(0x744c, 6), "HBM"},
            {"HBM3e", "0x75a0", answer(0x75a0, 13), "HBM3e"},
            {"type unknown: the tables", "0x66af", answer(0x66af, 0), "HBM2"},
            {"type not listed: the tables", "0x744c", answer(0x744c, 99), "GDDR6"},
            {"an APU: shared", "0x163f", answer(0x163f, 12, true), "LPDDR5 (Shared)"},
            {"an APU of unknown type: SMBIOS", "0x1234", answer(0x1234, 0, true), "DDR4 (Shared)", {}, 26},
            {"an APU of unknown type and family", "0x1234", answer(0x1234, 0, true), "DDR5 (Shared)"},
            {"MI300A", "0x74a0", answer(0x74a0, 6, true), "HBM3 (Shared)"},
            {"an answer about another device", "0x744c", answer(0x66af, 6), "GDDR6"},
            {"a node that cannot be opened", "0x66af", std::nullopt, "HBM2"},
            {"a Steam Deck from the table", "0x163f", std::nullopt, "LPDDR5 (Shared)"},
            {"an APU by gpu_metrics 2", "0x1234", std::nullopt, "LPDDR5 (Shared)", metrics(2), 35},
            {"an APU by gpu_metrics 3", "0x1234", std::nullopt, "DDR5 (Shared)", metrics(3)},
            {"gpu_metrics 1 is discrete", "0x1234", std::nullopt, "GDDR6", metrics(1)},
            {"asleep: never opened", "0x66af", answer(0x66af, 9), "HBM2", status("suspended\n"), {}, 0},
            {"runtime status unknown: never opened", "0x66af", answer(0x66af, 9), "HBM2",
             [](CardBuilder& c) { c.remove("power"); }, {}, 0},
            {"no render node", "0x66af", answer(0x66af, 9), "HBM2", [](CardBuilder& c) { c.remove("drm/renderD129"); },
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
            {"the driver's GC version", "0x15bf", answer(0x15bf, 10, true, 0x0B0001), "gfx1103"},
            {"IP discovery", "0x731f", std::nullopt, "gfx1010", discovery("10\n", "1\n", "10\n")},
            {"IP discovery of a sleeping card", "0x731f", std::nullopt, "gfx1010",
             [=](CardBuilder& c) { discovery("10", "1", "10")(c), status("suspended")(c); }, {}, 0},
            {"an unlisted version: IP discovery", "0x731f", answer(0x731f, 9, false, 0x0C0009), "gfx1010",
             discovery("10\n", "1\n", "10\n")},
            {"a version with stray bits is none", "0x1234", answer(0x1234, 10, true, 0x010B0001), "unknown"},
            {"a bad IP discovery file", "0x687f", std::nullopt, "gfx900", discovery("9\n", "x\n", "1\n")},
            {"RX 580", "0x67df", std::nullopt, "gfx803"},
            {"the Windows table last", "0x7550", answer(0x7550, 9, false, 0x0C0009), "gfx1201"},
            {"nothing knows it", "0x1234", std::nullopt, "unknown"},
            {"KFD first", "0x744c", answer(0x744c, 9, false, 0x0B0001), "gfx90a",
             [](CardBuilder& c) { c.kfd_node(1, "90010", 7); }},
        },
        &GpuDevice::gfx_version);
}

TEST_F(DriverInfo, ShortAnswersAndTheRealCall) {
    platform::AmdgpuInfo info = answer(0x744c, 9, true, 0x0B0000);
    info.gfx_ip_info.resize(31);
    auto facts = decode_driver_facts(info);
    ASSERT_TRUE(facts);
    EXPECT_TRUE(facts->apu);
    EXPECT_EQ(facts->vram_type, 9u);
    EXPECT_FALSE(facts->gc_version);
    info.device_info.resize(179);
    EXPECT_FALSE(decode_driver_facts(info));

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
