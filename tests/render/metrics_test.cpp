#include "render/metrics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>

#include "sample_devices.h"

namespace karvo::render {
namespace {

using testing::bare_device;
using testing::full_device;
using testing::process;

TEST(Metrics, EmptyListGivesEmptyText) { EXPECT_EQ(render_metrics({}), ""); }

TEST(Metrics, NoReadingsGiveExactlyTheThreeSizeLines) {
    GpuDevice d = bare_device();
    d.index = 4;
    d.vram_total_mb = 0;
    EXPECT_EQ(render_metrics({d}),
              "amd_gpu_vram_total_mb{id=\"4\",name=\"AMD Radeon(TM) Graphics\"} 0\n"
              "amd_gpu_vram_used_mb{id=\"4\"} 0\n"
              "amd_gpu_vram_pinned_mb{id=\"4\"} 0\n");
}

TEST(Metrics, AllReadingsInOrderWithoutVramTemperatureOrPowerCap) {
    GpuDevice d = full_device();
    d.temp_edge_c = 51.0f;
    d.power_w = 12.25f;
    d.processes = {process(4242, "blender.exe", 2048, "G")};
    EXPECT_EQ(render_metrics({d}),
              "amd_gpu_vram_total_mb{id=\"0\",name=\"AMD Radeon RX 7900 XTX\"} 24560\n"
              "amd_gpu_vram_used_mb{id=\"0\"} 3071\n"
              "amd_gpu_vram_pinned_mb{id=\"0\"} 512\n"
              "amd_gpu_temp_edge_c{id=\"0\"} 51\n"
              "amd_gpu_temp_hotspot_c{id=\"0\"} 71.5\n"
              "amd_gpu_gfx_clock_mhz{id=\"0\"} 2482\n"
              "amd_gpu_mem_clock_mhz{id=\"0\"} 1250\n"
              "amd_gpu_util_percent{id=\"0\"} 37\n"
              "amd_gpu_power_watts{id=\"0\"} 12.25\n"
              "amd_gpu_process_mem_mb{id=\"0\",pid=\"4242\",name=\"blender.exe\",type=\"G\"} 2048\n");
}

TEST(Metrics, NonFiniteReadingsUseTheExpositionWords) {
    GpuDevice d = bare_device();
    d.temp_edge_c = std::numeric_limits<float>::quiet_NaN();
    d.temp_hotspot_c = -std::numeric_limits<float>::infinity();
    d.power_w = std::numeric_limits<float>::infinity();
    d.gfx_util_percent = 0;
    const std::string text = render_metrics({d});
    EXPECT_NE(text.find("amd_gpu_temp_edge_c{id=\"1\"} NaN\n"), std::string::npos) << text;
    EXPECT_NE(text.find("amd_gpu_temp_hotspot_c{id=\"1\"} -inf\n"), std::string::npos) << text;
    EXPECT_NE(text.find("amd_gpu_power_watts{id=\"1\"} inf\n"), std::string::npos) << text;
    EXPECT_NE(text.find("amd_gpu_util_percent{id=\"1\"} 0\n"), std::string::npos) << text;
}

TEST(Metrics, LabelValuesAreEscapedAndStayOnOneLine) {
    GpuDevice d = bare_device();
    d.market_name = "Radeon \"Pro\" C:\\gpu\r\nx";
    d.processes = {process(9, "evil\"\\\nname\r.exe", 3, "C\"")};
    const std::string text = render_metrics({d});
    EXPECT_TRUE(text.starts_with("amd_gpu_vram_total_mb{id=\"1\",name=\"Radeon \\\"Pro\\\" C:\\\\gpu  x\"} 512\n"))
        << text;
    // The type is our own one-letter code and is written as it is.
    EXPECT_TRUE(text.ends_with(
        "amd_gpu_process_mem_mb{id=\"1\",pid=\"9\",name=\"evil\\\"\\\\ name .exe\",type=\"C\"\"} 3\n"))
        << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
}

TEST(Metrics, OtherCharactersAreCopiedAndInvalidUtf8Replaced) {
    std::string out;
    append_label_value(out, "Kr\xC3\xA4ken\ttab\xFF");
    EXPECT_EQ(out, "Kr\xC3\xA4ken\ttab\xEF\xBF\xBD");
}

TEST(Metrics, EachGpuIsCompleteBeforeTheNext) {
    GpuDevice first = full_device();
    GpuDevice second = full_device();
    second.index = 1;
    const std::string text = render_metrics({first, second});
    const auto last_of_first = text.rfind("{id=\"0\"");
    const auto first_of_second = text.find("{id=\"1\"");
    ASSERT_NE(first_of_second, std::string::npos);
    EXPECT_LT(last_of_first, first_of_second);
    EXPECT_NE(text.find("amd_gpu_process_mem_mb{id=\"0\",pid=\"977\",name=\"python.exe\",type=\"C\"} 640\n"
                        "amd_gpu_vram_total_mb{id=\"1\","),
              std::string::npos);
}

}  // namespace
}  // namespace karvo::render
