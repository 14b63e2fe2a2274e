// Queries for scripts: the CSV forms byte for byte (golden files), the field
// and format errors, GPU selection and the JSON Lines samples.
#include "render/query.h"

#include <gtest/gtest.h>

#include "common/json_reader.h"
#include "render/selection.h"
#include "fixtures/sample_devices.h"
#include "render/golden.h"

namespace karvo::render {
namespace {

constexpr platform::WallTime kTime{2026, 1, 31, 23, 59, 58, 7};

Query query(QueryKind kind, std::string_view fields, std::string_view format = "csv") {
    Result<Query> q = parse_query(kind, fields);
    EXPECT_TRUE(q.ok()) << q.error().long_form();
    if (!q.ok()) return {};
    EXPECT_TRUE(apply_format(*q, format).ok());
    return std::move(q).value();
}

std::string csv(const Query& q, const DeviceList& devices) {
    return (q.header ? query_header(q) : std::string()) + query_rows(q, devices, kTime);
}

// mixed_list with a process whose name needs quoting.
DeviceList quoting_list() {
    DeviceList devices = testing::mixed_list();
    devices[0].processes[0].name = "render \"final\", v2.exe";
    return devices;
}

TEST(Query, GoldenCsv) {
    const std::string gpu_fields =
        "timestamp,index,name,pci.bus_id,serial,temperature.gpu,temp_edge_c,temperature.memory,memory.total,memory.used,"
        "memory.free,utilization.gpu,power.draw,fan.speed,clocks.gr,pcie.link.gen.current,pcie.link.width.max,"
        "throttle,count";
    const std::string app_fields = "pid,process_name,type,used_memory,used_gtt,busy_ns,gpu_index,gpu_bus_id,gpu_name";
    std::string all;
    for (const auto& [kind, fields, format, devices] :
         {std::tuple{QueryKind::gpus, gpu_fields, "csv", testing::mixed_list()},
          std::tuple{QueryKind::gpus, gpu_fields, "csv,noheader,nounits", testing::telemetry_list()},
          std::tuple{QueryKind::apps, app_fields, "csv", quoting_list()},
          std::tuple{QueryKind::compute_apps, app_fields, "csv,nounits", testing::telemetry_list()}}) {
        all += csv(query(kind, fields, format), devices);
        all += "--\n";
    }
    EXPECT_EQ(all, testing::golden("query.csv", all));
}

// Texts reach the terminal of whoever runs the query: a process name cannot
// clear the screen, set the window title or break the CSV line.
TEST(Query, TextCellsCarryNoControlBytes) {
    const std::string_view kReplacement = "\xEF\xBF\xBD";
    const struct {
        std::string_view name, cell;
    } cases[] = {
        {"evil\x1b[2J\x1b]0;owned\x07", "evil@[2J@]0;owned@"},
        {"two\r\nlines, one cell", "\"two@@lines, one cell\""},
        {"csi\xC2\x9B" "31m\x7F", "csi@31m@"},
        {"bad\xFF\xC0utf8", "bad@@utf8"},
        {"caf\xC3\xA9 \xE8\xA8\xBC", "caf\xC3\xA9 \xE8\xA8\xBC"},
    };
    for (const auto& c : cases) {
        DeviceList devices = testing::mixed_list();
        devices[0].processes.resize(1);
        devices[0].processes[0].name = std::string(c.name);
        devices[0].processes[0].pod = std::string(c.name);
        devices[1].processes.clear();
        std::string expected;
        for (const char ch : c.cell) expected += ch == '@' ? std::string(kReplacement) : std::string(1, ch);
        EXPECT_EQ(csv(query(QueryKind::apps, "process_name,pod", "csv,noheader"), devices),
                  expected + ", " + expected + "\n")
            << c.name;
    }
}

// The familiar temperature names print whole degrees without a unit, as
// scripts compare them ([ "$t" -gt 80 ]); the JSON keys keep karvo's form.
TEST(Query, FamiliarTemperaturesAreWholeDegrees) {
    DeviceList devices = testing::mixed_list();
    devices.resize(1);
    for (const auto& [reading, whole, keyed] : {std::tuple{64.5f, "64", "64.50 C"}, std::tuple{65.5f, "66", "65.50 C"},
                                               std::tuple{-0.25f, "0", "-0.25 C"}}) {
        devices[0].temp_edge_c = reading;
        devices[0].temp_hotspot_c = reading;
        devices[0].temp_vram_c = reading;
        EXPECT_EQ(csv(query(QueryKind::gpus, "temperature.gpu,temperature.hotspot,temperature.memory,temp_edge_c", "csv"),
                      devices),
                  "temperature.gpu, temperature.hotspot, temperature.memory, temp_edge_c [C]\n" + std::string(whole) +
                      ", " + whole + ", " + whole + ", " + keyed + "\n");
    }
}

TEST(Query, BadFieldsAndFormats) {
    const struct {
        QueryKind kind;
        std::string_view fields, format, error;
    } cases[] = {
        {QueryKind::gpus, "index,memory.usd", "csv", "unknown field 'memory.usd' in --query-gpu"},
        {QueryKind::gpus, "", "csv", "the field list of --query-gpu is empty"},
        {QueryKind::gpus, "index,,name", "csv", "an empty field in the list of --query-gpu"},
        {QueryKind::apps, "pid,memory.used", "csv", "unknown field 'memory.used' in --query-apps"},
        {QueryKind::gpus, "index", "json", "--format must begin with 'csv'"},
        {QueryKind::gpus, "index", "csv,noheader,bold", "unknown word 'bold' in --format (csv, noheader, nounits)"},
    };
    for (const auto& c : cases) {
        Result<Query> q = parse_query(c.kind, c.fields);
        const std::string error = q.ok() ? apply_format(*q, c.format).error().long_form() : q.error().long_form();
        EXPECT_EQ(error, c.error) << c.fields << " " << c.format;
    }
}

TEST(Query, SelectionByEveryKindOfName) {
    const DeviceList devices = testing::mixed_list();  // 0: 0000:03:00.0, serial 0x1A2B3C4D5E6F; 1: a PCI\ path
    const struct {
        std::vector<std::string> ids;
        std::vector<std::uint32_t> indexes;  // empty: the error
    } cases[] = {
        {{"1"}, {1}},
        {{"0000:03:00.0"}, {0}},
        {{"03:00.0"}, {0}},
        {{"0x1a2b3c4d5e6f"}, {0}},
        {{"pci\\ven_1002&dev_164e&subsys_88771043&rev_c1\\4&2a3b1c&0&0041"}, {1}},
        {{"1", "0"}, {0, 1}},
        {{"0", "7"}, {}},
    };
    for (const auto& c : cases) {
        Result<DeviceList> selected = select_devices(devices, c.ids);
        std::vector<std::uint32_t> indexes;
        if (selected.ok())
            for (const GpuDevice& d : *selected) indexes.push_back(d.index);
        EXPECT_EQ(indexes, c.indexes) << c.ids.front();
    }
    EXPECT_EQ(select_devices(devices, {"0", "7"}).error().long_form(), "no GPU matches --id '7'");
    EXPECT_EQ(devices_named(devices, {"7", "1"}).size(), 1u);
    EXPECT_EQ(split_ids(" 0, ,03:00.0 "), (std::vector<std::string>{"0", "03:00.0"}));
    EXPECT_EQ(split_ids("\t1,\xC2\xA0" "2\n"), (std::vector<std::string>{"1", "2"}));
}

TEST(Query, JsonLineIsOneParsableRecord) {
    const std::string line = json_line(testing::telemetry_list(), kTime);
    ASSERT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_TRUE(line.starts_with("{\"timestamp\":\"2026-01-31T23:59:58.007Z\",\"gpus\":[{\"index\":0,")) << line;
    const Result<json::Value> parsed = json::parse(line);
    ASSERT_TRUE(parsed.ok()) << parsed.error().long_form();
    EXPECT_EQ(parsed->find("gpus")->as_array()->size(), 2u);
}

}  // namespace
}  // namespace karvo::render
