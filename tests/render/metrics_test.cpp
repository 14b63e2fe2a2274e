#include "render/metrics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "fixtures/sample_devices.h"

namespace karvo::render {
namespace {

using testing::bare_device;
using testing::full_device;
using testing::process;

TEST(Metrics, NothingToSayGivesEmptyText) { EXPECT_EQ(render_metrics({}, 0.25), ""); }

// The sample lines of a text, without the HELP and TYPE lines.
std::string samples_of(const std::string& text) {
    std::string samples;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at + 1);
        if (!line.starts_with("#")) samples += line;
        at = end + 1;
    }
    return samples;
}

TEST(Metrics, NoReadingsGiveTheInfoAndThreeSizeFamilies) {
    GpuDevice d = bare_device();
    d.index = 4;
    d.vram_total_mb = 0;
    EXPECT_EQ(render_metrics({d}),
              "# HELP amd_gpu_info Identity of each GPU as labels (name, PCI address, graphics target, serial, driver, "
              "VBIOS, memory type, sources); the value is always 1.\n"
              "# TYPE amd_gpu_info gauge\n"
              "amd_gpu_info{id=\"4\",name=\"AMD Radeon(TM) Graphics\",bdf=\"PCI\\\\VEN_1002&DEV_164E&SUBSYS_88771043&REV_C1"
              "\\\\4&2A3B1C&0&0041\",gfx=\"gfx1036\",serial=\"\",driver=\"31.0.21912.14\",vbios=\"\",vram_type=\"DDR5\","
              "backend=\"wmi\"} 1\n"
              "# HELP amd_gpu_vram_total_mb Dedicated video memory (VRAM) of the GPU in MB.\n"
              "# TYPE amd_gpu_vram_total_mb gauge\n"
              "amd_gpu_vram_total_mb{id=\"4\",name=\"AMD Radeon(TM) Graphics\"} 0\n"
              "# HELP amd_gpu_vram_used_mb VRAM in use in MB.\n"
              "# TYPE amd_gpu_vram_used_mb gauge\n"
              "amd_gpu_vram_used_mb{id=\"4\"} 0\n"
              "# HELP amd_gpu_vram_pinned_mb VRAM pinned by the runtime in MB (0 where no source reports it).\n"
              "# TYPE amd_gpu_vram_pinned_mb gauge\n"
              "amd_gpu_vram_pinned_mb{id=\"4\"} 0\n");
}

TEST(Metrics, SampleLinesKeepTheirBytes) {
    GpuDevice d = full_device();
    d.temp_edge_c = 51.0f;
    d.power_w = 12.25f;
    d.processes = {process(4242, "blender.exe", 2048, ProcessKind::graphics)};
    const std::string samples = samples_of(render_metrics({d}));
    for (const char* line : {
             "amd_gpu_vram_total_mb{id=\"0\",name=\"AMD Radeon RX 7900 XTX\"} 24560\n"
             "amd_gpu_vram_used_mb{id=\"0\"} 3071\n"
             "amd_gpu_vram_pinned_mb{id=\"0\"} 512\n",
             "amd_gpu_temp_edge_c{id=\"0\"} 51\n"
             "amd_gpu_temp_hotspot_c{id=\"0\"} 71.5\n"
             "amd_gpu_temp_vram_c{id=\"0\"} 80.25\n"
             "amd_gpu_gfx_clock_mhz{id=\"0\"} 2482\n"
             "amd_gpu_mem_clock_mhz{id=\"0\"} 1250\n"
             "amd_gpu_util_percent{id=\"0\"} 37\n"
             "amd_gpu_power_watts{id=\"0\"} 12.25\n"
             "amd_gpu_power_cap_watts{id=\"0\"} 355\n",
             "amd_gpu_process_mem_mb{id=\"0\",pid=\"4242\",name=\"blender.exe\",type=\"G\"} 2048\n"
             "amd_gpu_process_gtt_mb{id=\"0\",pid=\"4242\",name=\"blender.exe\",type=\"G\"} 0\n",
         }) {
        EXPECT_NE(samples.find(line), std::string::npos) << line << "\nin\n" << samples;
    }
    // Figures a source did not report write no sample (0 for plain numbers).
    GpuDevice quiet = bare_device();
    quiet.throttle.reset();
    for (const char* family : {"amd_gpu_gtt_", "amd_gpu_pcie_", "amd_gpu_throttled", "amd_gpu_fan", "amd_gpu_ecc",
                               "amd_gpu_energy", "amd_gpu_voltage", "amd_gpu_process", "amd_gpu_discovery"}) {
        EXPECT_EQ(render_metrics({quiet}).find(family), std::string::npos) << family;
    }
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
    d.processes = {process(9, "evil\"\\\nname\r.exe", 3, ProcessKind::compute)};
    d.processes[0].pod = "p\nod";
    const std::string samples = samples_of(render_metrics({d}));
    EXPECT_NE(samples.find("amd_gpu_vram_total_mb{id=\"1\",name=\"Radeon \\\"Pro\\\" C:\\\\gpu  x\"} 512\n"),
              std::string::npos)
        << samples;
    EXPECT_NE(samples.find("amd_gpu_process_mem_mb{id=\"1\",pid=\"9\",name=\"evil\\\"\\\\ name .exe\",type=\"C\","
                           "pod=\"p od\"} 3\n"),
              std::string::npos)
        << samples;
    // info, three sizes, two process families: one line each.
    EXPECT_EQ(std::count(samples.begin(), samples.end(), '\n'), 6);
}

TEST(Metrics, OtherCharactersAreCopiedAndInvalidUtf8Replaced) {
    std::string out;
    append_label_value(out, "Kr\xC3\xA4ken\ttab\xFF");
    EXPECT_EQ(out, "Kr\xC3\xA4ken\ttab\xEF\xBF\xBD");
}

// Each family once: its HELP and TYPE lines, then the samples of every GPU.
TEST(Metrics, FamiliesAreWrittenTogether) {
    for (const DeviceList& list : {testing::mixed_list(), testing::telemetry_list(), testing::crowded_list()}) {
        const std::string text = render_metrics(list, 0.5);
        std::vector<std::string> families;
        std::string current;
        std::size_t at = 0;
        while (at < text.size()) {
            const std::size_t end = text.find('\n', at);
            ASSERT_NE(end, std::string::npos);
            const std::string line = text.substr(at, end - at);
            at = end + 1;
            if (line.starts_with("# HELP ")) {
                current = line.substr(7, line.find(' ', 7) - 7);
                EXPECT_EQ(std::count(families.begin(), families.end(), current), 0) << current;
                families.push_back(current);
                continue;
            }
            if (line.starts_with("# TYPE ")) {
                EXPECT_TRUE(line == "# TYPE " + current + " gauge" || line == "# TYPE " + current + " counter") << line;
                continue;
            }
            const std::string name = line.substr(0, line.find_first_of("{ "));
            EXPECT_EQ(name, current) << line;
        }
        EXPECT_EQ(families.back(), "amd_gpu_discovery_seconds");
    }
}

}  // namespace
}  // namespace karvo::render

namespace karvo::render {
namespace {

// Which processes keep their series: the kind first, then the most VRAM,
// equal amounts in list order; the kept ones stay in list order.
TEST(Metrics, ProcessSeriesKept) {
    GpuDevice d = full_device();
    d.processes = {process(1, "a", 300), process(2, "b", 500, ProcessKind::graphics), process(3, "c", 300),
                   process(4, "d", 0), process(5, "e", 500)};
    constexpr auto kAll = std::numeric_limits<std::uint64_t>::max();
    const struct {
        MetricsOptions options;
        std::vector<std::size_t> kept;
    } cases[] = {
        {{}, {0, 1, 2, 3, 4}},
        {{ProcessSeries::all, kAll}, {0, 1, 2, 3, 4}},
        {{ProcessSeries::all, 5}, {0, 1, 2, 3, 4}},
        {{ProcessSeries::all, 2}, {1, 4}},
        {{ProcessSeries::all, 3}, {0, 1, 4}},  // of the two with 300 MB, the first listed
        {{ProcessSeries::all, 0}, {}},
        {{ProcessSeries::compute, std::nullopt}, {0, 2, 3, 4}},
        {{ProcessSeries::compute, 2}, {0, 4}},
        {{ProcessSeries::none, std::nullopt}, {}},
        {{ProcessSeries::none, kAll}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(process_series_kept(d, c.options), c.kept)
            << static_cast<int>(c.options.processes) << " " << c.options.max_processes.value_or(99);
    }
    d.processes.clear();
    EXPECT_EQ(process_series_kept(d, {ProcessSeries::all, 3}), std::vector<std::size_t>{});
}

// The sources are written even when no GPU was found (when they tell why),
// after everything else; a source that answered has no reason label.
TEST(Metrics, SourcesAfterEverythingElseAndWithoutGpus) {
    const std::vector<discovery::SourceStatus> sources = {
        {"hip", discovery::SourceReason::missing, 0.0000625},
        {"wmi", discovery::SourceReason::timeout, 10.5},
        {"adl", discovery::SourceReason::failed, 0.25},
        {"d3dkmt", std::nullopt, 0},
    };
    const std::string expected =
        "# HELP amd_gpu_source_up 1 when the source answered the discovery pass behind this scrape, 0 when it did not "
        "(reason: missing, failed or timeout).\n"
        "# TYPE amd_gpu_source_up gauge\n"
        "amd_gpu_source_up{source=\"hip\",reason=\"missing\"} 0\n"
        "amd_gpu_source_up{source=\"wmi\",reason=\"timeout\"} 0\n"
        "amd_gpu_source_up{source=\"adl\",reason=\"failed\"} 0\n"
        "amd_gpu_source_up{source=\"d3dkmt\"} 1\n"
        "# HELP amd_gpu_source_seconds Time the discovery pass behind this scrape spent asking the source, in "
        "seconds.\n"
        "# TYPE amd_gpu_source_seconds gauge\n"
        "amd_gpu_source_seconds{source=\"hip\"} 0.0000625\n"
        "amd_gpu_source_seconds{source=\"wmi\"} 10.5\n"
        "amd_gpu_source_seconds{source=\"adl\"} 0.25\n"
        "amd_gpu_source_seconds{source=\"d3dkmt\"} 0\n";
    EXPECT_EQ(render_metrics({}, 11.0, sources), expected);
    const std::string with_gpu = render_metrics({full_device()}, 0.5, sources);
    EXPECT_TRUE(with_gpu.ends_with("\namd_gpu_discovery_seconds 0.5\n" + expected)) << with_gpu;
}

}  // namespace
}  // namespace karvo::render
