// The published descriptions follow the figure tables: every JSON key is a row
// of docs/json.md with the figure's unit and a property of
// docs/karvo.schema.json in key order, and
// every metric family has its section in docs/metrics.md with its help text.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_reader.h"
#include "render/figures.h"

namespace karvo::render {
namespace {

std::string read_doc(const std::string& name) {
    const std::string path = std::string(KARVO_TESTS_DIR) + "/../docs/" + name;
    // Under Wine a POSIX path resolves against the current drive; "/" is Z:.
    for (const std::string& candidate : {path, "Z:" + path}) {
        std::ifstream in(candidate, std::ios::binary);
        if (!in) continue;
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    ADD_FAILURE() << "cannot read " << path;
    return {};
}

// The member names of $defs.<kind>.properties, in document order.
std::vector<std::string> schema_keys(const json::Value& schema, std::string_view kind) {
    std::vector<std::string> keys;
    const json::Value* defs = schema.find("$defs");
    const json::Value* def = defs != nullptr ? defs->find(kind) : nullptr;
    const json::Value* properties = def != nullptr ? def->find("properties") : nullptr;
    if (properties == nullptr || !properties->is_object()) return keys;
    for (const json::Member& m : *properties->as_object()) keys.push_back(m.name);
    return keys;
}

TEST(Docs, EveryJsonKeyIsDocumentedAndInTheSchemaInOrder) {
    const std::string table = read_doc("json.md");
    const Result<json::Value> schema = json::parse(read_doc("karvo.schema.json"));
    ASSERT_TRUE(schema.ok());

    std::vector<std::string> device_keys, process_keys;
    for (const DeviceFigure& f : device_figures()) device_keys.emplace_back(f.key);
    for (const ProcessFigure& f : process_figures()) process_keys.emplace_back(f.key);
    EXPECT_EQ(schema_keys(schema.value(), "device"), device_keys);
    EXPECT_EQ(schema_keys(schema.value(), "process"), process_keys);

    // A row reads "| `key` | type | unit | ..."; no unit is written "–".
    const auto expect_row = [&](std::string_view key, std::string_view unit) {
        const std::size_t row = table.find("\n| `" + std::string(key) + "` |");
        if (row == std::string::npos) {
            ADD_FAILURE() << key << " has no row in docs/json.md";
            return;
        }
        const std::size_t type_end = table.find(" | ", table.find(" | ", row) + 3);
        const std::size_t unit_end = table.find(" |", type_end + 3);
        EXPECT_EQ(table.substr(type_end + 3, unit_end - type_end - 3), unit.empty() ? "–" : unit) << key;
    };
    for (const DeviceFigure& f : device_figures()) expect_row(f.key, f.unit);
    for (const ProcessFigure& f : process_figures()) expect_row(f.key, f.unit);
}

TEST(Docs, EveryMetricFamilyHasItsSectionWithItsHelpLine) {
    const std::string doc = read_doc("metrics.md");
    std::vector<std::pair<std::string_view, std::string_view>> families = {
        {kInfoMetric, kInfoHelp},
        {kDiscoveryMetric, kDiscoveryHelp},
        {kProcessesDroppedMetric, kProcessesDroppedHelp},
        {kSourceUpMetric, kSourceUpHelp},
        {kSourceSecondsMetric, kSourceSecondsHelp}};
    for (const DeviceFigure& f : device_figures())
        if (!f.metric.name.empty()) families.emplace_back(f.metric.name, f.metric.help);
    for (const ProcessFigure& f : process_figures())
        if (!f.metric.name.empty()) families.emplace_back(f.metric.name, f.metric.help);

    for (const auto& [name, help] : families) {
        const std::size_t start = doc.find("\n### `" + std::string(name) + "`\n");
        if (start == std::string::npos) {
            ADD_FAILURE() << name << " has no section in docs/metrics.md";
            continue;
        }
        // The section runs to the next heading.
        const std::size_t end = doc.find("\n##", start + 1);
        const std::string section = doc.substr(start, end == std::string::npos ? end : end - start);
        EXPECT_NE(section.find("# HELP " + std::string(name) + " " + std::string(help) + "\n"), std::string::npos)
            << "the section of " << name << " lacks its help line";
    }
}

// docs/query.md has a row "| `field` | `key` | unit | meaning |" for every
// field the queries know, as --help-query lists them.
TEST(Docs, EveryQueryFieldHasItsRowInDocsQuery) {
    const std::string doc = read_doc("query.md");
    const auto expect_row = [&](std::string_view field, std::string_view key, std::string_view unit,
                                std::string_view about) {
        std::string row = "\n| `" + std::string(field) + "` | " + (key.empty() ? "–" : "`" + std::string(key) + "`") +
                          " | " + std::string(unit.empty() ? "–" : unit) + " | ";
        for (const char c : about) row += c == '|' ? std::string("\\|") : std::string(1, c);
        EXPECT_NE(doc.find(row + " |\n"), std::string::npos) << row;
    };
    for (const auto table : {device_figures(), query_only_figures()}) {
        for (const DeviceFigure& f : table) {
            for (const std::string_view alias : f.aliases)
                if (!alias.empty()) expect_row(alias, f.key, familiar_unit(f), f.about);
            if (f.aliases[0].empty()) expect_row(f.key, f.key, f.csv_unit, f.about);
            if (!f.app_alias.empty()) expect_row(f.app_alias, f.key, f.csv_unit, f.about);
        }
    }
    for (const ProcessFigure& f : process_figures())
        expect_row(f.aliases[0].empty() ? f.key : f.aliases[0], f.key, f.csv_unit, f.about);
}

}  // namespace
}  // namespace karvo::render
