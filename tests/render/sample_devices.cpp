#include "sample_devices.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/system.h"

namespace karvo::testing {

GpuProcess process(std::uint32_t pid, std::string name, std::uint32_t mem_used_mb, ProcessKind kind) {
    GpuProcess p;
    p.pid = pid;
    p.name = std::move(name);
    p.mem_used_mb = mem_used_mb;
    p.proc_type = kind;
    return p;
}

GpuDevice full_device() {
    GpuDevice d;
    d.index = 0;
    d.market_name = "AMD Radeon RX 7900 XTX";
    d.vendor_id = 0x1002;
    d.vendor_name = "Advanced Micro Devices, Inc. [AMD/ATI]";
    d.device_id = 0x744c;
    d.subsystem_id = 0x0e3b1002;
    d.rev_id = 0xc8;
    d.asic_serial = "0x1A2B3C4D5E6F";
    d.num_cu = 96;
    d.gfx_version = "gfx1100";
    d.vram_type = "GDDR6";
    d.vram_total_mb = 24560;
    d.vram_used_mb = 3071;
    d.vram_pinned_mb = 512;
    d.vram_vendor = "Samsung";
    d.bdf = "0000:03:00.0";
    d.pcie_width = 16;
    d.pcie_speed_gt = 16;
    d.driver_version = "31.0.24027.1012";
    d.vbios_version = "113-D7020100-102";
    d.temp_edge_c = 45.0f;
    d.temp_hotspot_c = 71.5f;
    d.temp_vram_c = 80.25f;
    d.gfx_clock_mhz = 2482;
    d.mem_clock_mhz = 1250;
    d.gfx_util_percent = 37;
    d.power_w = 212.25f;
    d.power_cap_w = 355.0f;
    d.backend = "hip+wmi+adl";
    d.processes = {process(4242, "blender.exe", 2048, ProcessKind::graphics), process(977, "python.exe", 640, ProcessKind::compute)};
    return d;
}

GpuDevice bare_device() {
    GpuDevice d;
    d.index = 1;
    d.market_name = "AMD Radeon(TM) Graphics";
    d.vendor_id = 0x1002;
    d.vendor_name = "Advanced Micro Devices, Inc.";
    d.device_id = 0x164e;
    d.gfx_version = "gfx1036";
    d.vram_type = "DDR5";
    d.vram_total_mb = 512;
    d.bdf = "PCI\\VEN_1002&DEV_164E&SUBSYS_88771043&REV_C1\\4&2A3B1C&0&0041";
    d.driver_version = "31.0.21912.14";
    d.backend = "wmi";
    return d;
}

DeviceList mixed_list() { return {full_device(), bare_device()}; }

DeviceList crowded_list() {
    GpuDevice first = full_device();
    // 32 bytes; the cut after 23 bytes falls inside the 3-byte "™" at byte 21.
    first.market_name = "Radeon Pro W7800 Duo \xE2\x84\xA2 Edition";
    first.backend = "adl-pmlog";
    first.processes.clear();
    GpuDevice second = bare_device();
    second.market_name = "Radeon \xE2\x80\x9CKrak\xC3\xA4n\xE2\x80\x9D";  // curly quotes and a-umlaut, fits
    second.vram_used_mb = 511;
    for (std::uint32_t i = 0; i < 15; ++i) {
        // Sizes repeat so the stable order across GPUs shows.
        first.processes.push_back(process(1000 + i, "worker-" + std::to_string(i) + ".exe", 100 * (i % 5), ProcessKind::compute));
    }
    for (std::uint32_t i = 0; i < 10; ++i) {
        // 61 bytes; the cut after 39 bytes falls inside the "\xC3\xBC" at byte 38.
        std::string name = i == 0 ? "Ein sehr langer Prozessname Gr\xC3\xB6\xC3\x9F" "enpr\xC3\xBC" "fung f\xC3\xBCr Modelle.exe"
                                  : "render-" + std::to_string(i) + ".exe";
        second.processes.push_back(process(2000 + i, std::move(name), 100 * (i % 4), i % 2 ? ProcessKind::graphics : ProcessKind::compute));
    }
    return {first, second};
}

DeviceList telemetry_list() {
    GpuDevice card = full_device();
    card.backend = "sysfs";
    card.gtt_total_mb = 32048;
    card.gtt_used_mb = 118;
    card.fan_rpm = 1180;
    card.fan_percent = 33;
    card.voltage_gfx_mv = 862;
    card.voltage_mem_mv = 1250;
    card.mem_util_percent = 12;
    card.energy_j = 1234567.890625;
    card.throttle = std::vector<std::string>{"power", "thermal"};
    card.pcie_max_width = 16;
    card.pcie_max_speed_gt = 32;
    card.ecc_correctable = 3;
    card.ecc_uncorrectable = 0;
    GpuProcess trainer = process(4242, "python3", 20480, ProcessKind::compute);
    trainer.gtt_used_mb = 96;
    trainer.busy_ns = EngineTimes{};
    trainer.busy_ns->add(Engine::compute, 1500000000);
    trainer.busy_ns->add(Engine::dma, 2500);
    trainer.container_id = "4f1c2a9b8e7d";
    trainer.container = "trainer";
    trainer.pod = "llm-train-0";
    trainer.pod_namespace = "ml";
    GpuProcess docker = process(977, "ollama", 0, ProcessKind::compute);
    docker.gtt_used_mb = 300;
    docker.busy_ns = EngineTimes{};
    docker.container_id = "0123456789ab";
    card.processes = {trainer, docker};

    GpuDevice apu = bare_device();
    apu.backend = "sysfs";
    apu.bdf = "0000:c4:00.0";
    apu.gtt_total_mb = 15360;
    apu.gtt_used_mb = 0;
    apu.voltage_soc_mv = 1004;
    apu.media_util_percent = 0;
    apu.throttle = std::vector<std::string>{};
    GpuProcess llama = process(5150, "llama-server", 5, ProcessKind::compute);
    llama.gtt_used_mb = 24576;
    llama.busy_ns = EngineTimes{};
    llama.busy_ns->add(Engine::gfx, 987654321);
    llama.busy_ns->add(Engine::dec, 1);
    apu.processes = {llama};
    return {card, apu};
}

namespace {

std::string golden_path(const std::string& name) { return std::string(KARVO_TESTS_DIR) + "/render/golden/" + name; }

bool read_binary(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    out = buffer.str();
    return true;
}

}  // namespace

std::string golden(const std::string& name, const std::string& actual) {
    const std::string path = golden_path(name);
    if (platform::get_env("KARVO_UPDATE_GOLDEN") == std::optional<std::string>("1")) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(actual.data(), static_cast<std::streamsize>(actual.size()));
        EXPECT_TRUE(out.good()) << "cannot write " << path;
        return actual;
    }
    std::string expected;
    // Under Wine a POSIX path resolves against the current drive; the source
    // tree is always reachable through Z:, Wine's mapping of "/".
    if (!read_binary(path, expected) && !(path.starts_with("/") && read_binary("Z:" + path, expected))) {
        ADD_FAILURE() << "cannot read golden file " << path;
    }
    return expected;
}

}  // namespace karvo::testing
