#include "render/json.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "fixtures/sample_devices.h"

namespace karvo::render {
namespace {

using testing::bare_device;
using testing::full_device;
using testing::mixed_list;
using testing::process;

std::string compact_string(std::string_view text) {
    std::string out;
    append_json_string(out, text);
    return out;
}

TEST(JsonDocument, EmptyListIsAnEmptyArrayInBothLayouts) {
    EXPECT_EQ(render_json_compact({}), "[]");
    EXPECT_EQ(render_json_pretty({}), "[]");
}

TEST(JsonDocument, SixtyFourBitDeviceIdIsWrittenInFull) {
    GpuDevice d = bare_device();
    d.device_id = 4294967296ull;
    EXPECT_NE(render_json_compact({d}).find(",\"device_id\":4294967296,\"subsystem_id\":0,"), std::string::npos);
}

TEST(JsonDocument, EmptyProcessListEndsTheObject) {
    const GpuDevice d = bare_device();
    const std::string compact = render_json_compact({d});
    EXPECT_TRUE(compact.ends_with(",\"processes\":[]}]")) << compact;
    const std::string pretty = render_json_pretty({d});
    EXPECT_TRUE(pretty.ends_with(",\n    \"processes\": []\n  }\n]")) << pretty;
}

TEST(JsonDocument, ReadingsPresentAbsentAndNonFinite) {
    GpuDevice d = bare_device();
    d.temp_edge_c = 45.0f;
    d.temp_hotspot_c = 45.5f;
    d.temp_vram_c = std::numeric_limits<float>::quiet_NaN();
    d.gfx_clock_mhz = 0;  // a measured zero is not absent
    d.power_w = std::numeric_limits<float>::infinity();
    d.power_cap_w = -std::numeric_limits<float>::infinity();
    const std::string text = render_json_compact({d});
    EXPECT_NE(text.find("\"temp_edge_c\":45.0,\"temp_hotspot_c\":45.5,\"temp_vram_c\":null,"
                        "\"gfx_clock_mhz\":0,\"mem_clock_mhz\":null,\"gfx_util_percent\":null,"
                        "\"power_w\":null,\"power_cap_w\":null,"),
              std::string::npos)
        << text;
}

TEST(JsonDocument, PrettyLayoutIndentsTwoBlanksPerLevel) {
    GpuDevice d = bare_device();
    d.processes = {process(1234, "x.exe", 512, ProcessKind::compute)};
    const std::string text = render_json_pretty({d});
    EXPECT_TRUE(text.starts_with("[\n  {\n    \"index\": 1,\n    \"market_name\": \"AMD Radeon(TM) Graphics\",\n"))
        << text;
    EXPECT_TRUE(text.ends_with("    \"backend\": \"wmi\",\n"
                               "    \"processes\": [\n"
                               "      {\n"
                               "        \"pid\": 1234,\n"
                               "        \"name\": \"x.exe\",\n"
                               "        \"mem_used_mb\": 512,\n"
                               "        \"proc_type\": \"C\",\n"
                               "        \"gtt_used_mb\": 0,\n"
                               "        \"busy_ns\": null,\n"
                               "        \"container_id\": \"\",\n"
                               "        \"container\": \"\",\n"
                               "        \"pod\": \"\",\n"
                               "        \"namespace\": \"\"\n"
                               "      }\n"
                               "    ]\n"
                               "  }\n"
                               "]"))
        << text;
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(JsonDocument, PrettyWithoutInsignificantWhitespaceIsCompact) {
    for (const DeviceList& list : {mixed_list(), testing::crowded_list()}) {
        const std::string pretty = render_json_pretty(list);
        std::string stripped;
        bool in_string = false;
        for (std::size_t i = 0; i < pretty.size(); ++i) {
            const char c = pretty[i];
            if (in_string) {
                stripped += c;
                if (c == '\\') {
                    stripped += pretty[++i];
                } else if (c == '"') {
                    in_string = false;
                }
            } else if (c != ' ' && c != '\n') {
                stripped += c;
                in_string = c == '"';
            }
        }
        EXPECT_EQ(stripped, render_json_compact(list));
    }
}

TEST(JsonString, EscapesQuotesBackslashesAndControlBytes) {
    EXPECT_EQ(compact_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(compact_string("tab\there"), "\"tab\\there\"");
    EXPECT_EQ(compact_string("\b\f\n\r"), "\"\\b\\f\\n\\r\"");
    EXPECT_EQ(compact_string("\x01"), "\"\\u0001\"");
    EXPECT_EQ(compact_string("\x1f\x0b"), "\"\\u001f\\u000b\"");
    EXPECT_EQ(compact_string(std::string("\0", 1)), "\"\\u0000\"");
    // DEL, '/' and non-ASCII characters are copied as they are.
    EXPECT_EQ(compact_string("\x7f/\xE2\x84\xA2\xE2\x80\xA8"), "\"\x7f/\xE2\x84\xA2\xE2\x80\xA8\"");
}

TEST(JsonString, InvalidUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(compact_string("ok\xFF" "x\xC3"), "\"ok\xEF\xBF\xBDx\xEF\xBF\xBD\"");
    GpuDevice d = bare_device();
    d.processes = {process(1, "\xE9t\xE9.exe", 1)};  // Latin-1 bytes from a misbehaving source
    EXPECT_NE(render_json_compact({d}).find("\"name\":\"\xEF\xBF\xBDt\xEF\xBF\xBD.exe\""), std::string::npos);
}

TEST(JsonWriter, NestedEmptyContainersAndTopLevelValues) {
    JsonWriter pretty(JsonLayout::pretty);
    pretty.begin_object();
    pretty.key("a");
    pretty.begin_object();
    pretty.end_object();
    pretty.key("b");
    pretty.begin_array();
    pretty.begin_array();
    pretty.end_array();
    pretty.number(2.5f);
    pretty.end_array();
    pretty.end_object();
    EXPECT_EQ(pretty.text(), "{\n  \"a\": {},\n  \"b\": [\n    [],\n    2.5\n  ]\n}");

    JsonWriter single(JsonLayout::pretty);
    single.string("x");
    EXPECT_EQ(single.text(), "\"x\"");
}

}  // namespace
}  // namespace karvo::render
