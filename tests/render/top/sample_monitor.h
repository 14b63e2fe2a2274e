#pragma once
// A monitor that has seen a run of passes over two GPUs: figures that move
// from pass to pass (so the graphs have a history), processes of both kinds
// with engine time, containers, a long name and a wide-character name.

#include <cmath>
#include <string>

#include "fixtures/sample_devices.h"
#include "render/top/model.h"

namespace karvo::render::top {

inline DeviceList sample_pass(int k) {
    DeviceList devices = testing::telemetry_list();
    GpuDevice& card = devices[0];
    GpuDevice& apu = devices[1];
    const double wave = std::sin(k / 6.0);
    card.gfx_util_percent = static_cast<std::uint32_t>(55 + 40 * wave);
    card.vram_used_mb = 12000 + static_cast<std::uint32_t>(k * 40);
    card.temp_edge_c = static_cast<float>(60 + 10 * wave);
    card.temp_hotspot_c = static_cast<float>(75 + 12 * wave);
    card.power_w = static_cast<float>(200 + 90 * wave);
    card.gfx_clock_mhz = static_cast<std::uint32_t>(2000 + 400 * wave);
    apu.gfx_util_percent = static_cast<std::uint32_t>(k % 10 * 3);
    apu.vram_used_mb = 300;
    apu.temp_edge_c = 48.0f;
    apu.power_w = 15.5f;

    // The trainer keeps compute busy 60 % of each second, the renderer
    // graphics 25 % and the decoder 10 %; ollama and the APU's process use
    // no engine time.
    GpuProcess& trainer = card.processes[0];
    trainer.busy_ns->add(Engine::compute, 600000000ull * static_cast<unsigned>(k));
    GpuProcess render = testing::process(31337, "blender", 4096, ProcessKind::graphics);
    render.gtt_used_mb = 512;
    render.busy_ns = EngineTimes{};
    render.busy_ns->add(Engine::gfx, 250000000ull * static_cast<unsigned>(k));
    render.busy_ns->add(Engine::dec, 100000000ull * static_cast<unsigned>(k));
    render.busy_ns->add(Engine::enc, 0);
    card.processes.push_back(render);
    card.processes.push_back(testing::process(2718, "a-process-with-a-rather-long-name-that-will-not-fit.bin", 1024,
                                              ProcessKind::compute));
    card.processes.push_back(testing::process(1618, "\xE6\xB8\xB2\xE6\x9F\x93\xE5\x99\xA8", 256,
                                              ProcessKind::graphics));  // CJK, two columns each
    for (std::uint32_t i = 0; i < 6; ++i)
        apu.processes.push_back(testing::process(600 + i, "worker-" + std::to_string(i), 10 * (i + 1),
                                                 i % 2 ? ProcessKind::graphics : ProcessKind::compute));
    return devices;
}

inline std::string sample_clock(int k) {
    const int seconds = 3600 * 12 + k;
    auto two = [](int v) { return std::string(v < 10 ? "0" : "") + std::to_string(v); };
    return two(seconds / 3600) + ":" + two(seconds / 60 % 60) + ":" + two(seconds % 60);
}

// `passes` passes one second apart.
inline Monitor sample_monitor(int passes) {
    Monitor monitor;
    for (int k = 0; k < passes; ++k) {
        Sample sample;
        sample.devices = sample_pass(k);
        sample.time_ns = 1000000000ull * static_cast<unsigned>(k + 1);
        sample.clock = sample_clock(k);
        monitor.add(std::move(sample));
    }
    return monitor;
}

}  // namespace karvo::render::top
