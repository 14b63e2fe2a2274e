#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

#include "discovery/wmi/wmi_fallback.h"

namespace karvo::discovery::wmi {
namespace {

struct CountingQuery {
    std::optional<std::uint32_t> code;
    int calls = 0;
    naming::MemoryCodeQuery function() {
        return [this] {
            ++calls;
            return code;
        };
    }
};

DeviceList adapters(std::string_view output, std::optional<std::uint32_t> code = std::nullopt) {
    CountingQuery query{code};
    auto result = parse_wmi_adapters(output, query.function());
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().long_form());
    return result.ok() ? std::move(result).value() : DeviceList{};
}

std::string failure(std::string_view output) {
    CountingQuery query;
    auto result = parse_wmi_adapters(output, query.function());
    if (result.ok()) {
        ADD_FAILURE() << "accepted: " << output;
        return {};
    }
    return result.error().long_form();
}

// One adapter, printed without brackets the way ConvertTo-Json does for a single object.
constexpr std::string_view kOneAdapter =
    R"({"Name":"AMD Radeon RX 7900 XTX","PNPDeviceID":"PCI\\VEN_1002\u0026DEV_744C\u0026SUBSYS_0E3B1002\u0026REV_C8\\6\u00261","DriverVersion":"32.0.12033.1030","AdapterRAM":536870912})";

TEST(WmiAdapters, SingleObjectWithoutBrackets) {
    const DeviceList devices = adapters(std::string("\r\n") + std::string(kOneAdapter) + "\r\n");
    ASSERT_EQ(devices.size(), 1u);
    const GpuDevice& d = devices[0];
    EXPECT_EQ(d.index, 0u);
    EXPECT_EQ(d.market_name, "AMD Radeon RX 7900 XTX");
    EXPECT_EQ(d.bdf, "PCI\\VEN_1002&DEV_744C&SUBSYS_0E3B1002&REV_C8\\6&1");
    EXPECT_EQ(d.device_id, 0x744Cu);
    EXPECT_EQ(d.subsystem_id, 0x0E3B1002u);
    EXPECT_EQ(d.rev_id, 0xC8u);
    EXPECT_EQ(d.vendor_id, 0x1002u);
    EXPECT_EQ(d.vendor_name, "Advanced Micro Devices, Inc. [AMD/ATI]");
    EXPECT_EQ(d.gfx_version, "gfx1100");
    EXPECT_EQ(d.vram_type, "GDDR6");
    EXPECT_EQ(d.vram_total_mb, 512u);
    EXPECT_EQ(d.driver_version, "32.0.12033.1030");
    EXPECT_EQ(d.backend, "wmi");
    EXPECT_EQ(d.num_cu, 0u);
    EXPECT_EQ(d.vram_used_mb, 0u);
    EXPECT_EQ(d.vram_pinned_mb, 0u);
    EXPECT_EQ(d.pcie_width, 0u);
    EXPECT_EQ(d.pcie_speed_gt, 0u);
    EXPECT_TRUE(d.asic_serial.empty());
    EXPECT_TRUE(d.vram_vendor.empty());
    EXPECT_TRUE(d.vbios_version.empty());
    EXPECT_FALSE(d.temp_edge_c || d.temp_hotspot_c || d.temp_vram_c || d.gfx_clock_mhz || d.mem_clock_mhz ||
                 d.gfx_util_percent || d.power_w || d.power_cap_w);
    EXPECT_TRUE(d.processes.empty());
}

TEST(WmiAdapters, ArrayKeepsOrderAndPositions) {
    const DeviceList devices = adapters(
        R"([{"Name":"A","PNPDeviceID":"PCI\\VEN_1002&DEV_7470"},{"Name":"B"},{"Name":"C","PNPDeviceID":"PCI\\VEN_1002&DEV_73A0"}])");
    ASSERT_EQ(devices.size(), 3u);
    for (std::uint32_t k = 0; k < 3; ++k) EXPECT_EQ(devices[k].index, k);
    EXPECT_EQ(devices[0].market_name, "A");
    EXPECT_EQ(devices[0].gfx_version, "gfx1101");
    EXPECT_EQ(devices[1].market_name, "B");
    EXPECT_EQ(devices[1].gfx_version, "unknown");
    EXPECT_EQ(devices[2].vram_type, "HBM2e");
}

TEST(WmiAdapters, SaturatedAdapterRamCountsAsNotReported) {
    const auto ram_mb = [](std::string_view value) {
        const DeviceList devices = adapters("{\"AdapterRAM\":" + std::string(value) + "}");
        return devices.empty() ? 0xDEADu : devices[0].vram_total_mb;
    };
    EXPECT_EQ(ram_mb("4293918720"), 0u);  // 0xFFF00000: what WMI says for a 24 GiB board
    EXPECT_EQ(ram_mb("4294967295"), 0u);
    EXPECT_EQ(ram_mb("8589934592"), 0u);
    EXPECT_EQ(ram_mb("18446744073709551615"), 0u);
    EXPECT_EQ(ram_mb("4293918719"), 4094u);
    EXPECT_EQ(ram_mb("2147483648"), 2048u);
    EXPECT_EQ(ram_mb("2097151"), 1u);
    EXPECT_EQ(ram_mb("1048575"), 0u);
    EXPECT_EQ(ram_mb("0"), 0u);
}

TEST(WmiAdapters, AdapterRamMustBeANonNegativeInteger) {
    for (const char* value : {"-1", "1.5", "1e9", "1073741824.0", "\"1073741824\"", "true", "null", "[]", "{}", "-0",
                              "18446744073709551616"}) {
        const DeviceList devices = adapters("{\"AdapterRAM\":" + std::string(value) + "}");
        ASSERT_EQ(devices.size(), 1u);
        EXPECT_EQ(devices[0].vram_total_mb, 0u) << value;
    }
}

TEST(WmiAdapters, MissingOrMistypedMembersTakeTheirDefaults) {
    const DeviceList devices = adapters(
        R"([{}, {"Name":null,"PNPDeviceID":5,"DriverVersion":["x"]}, {"name":"lower","pnpdeviceid":"PCI\\VEN_1002&DEV_744C"},
            {"Name":"","DriverVersion":""}])");
    ASSERT_EQ(devices.size(), 4u);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(devices[k].market_name, "AMD GPU") << k;
        EXPECT_EQ(devices[k].bdf, "") << k;
        EXPECT_EQ(devices[k].driver_version, "") << k;
        EXPECT_EQ(devices[k].device_id, 0u) << k;
        EXPECT_EQ(devices[k].vram_type, "GDDR6") << k;
        EXPECT_EQ(devices[k].gfx_version, "unknown") << k;
        EXPECT_EQ(devices[k].backend, "wmi") << k;
    }
    EXPECT_EQ(devices[3].market_name, "");
}

TEST(WmiAdapters, ElementsThatAreNotObjectsGiveDefaultRecords) {
    const DeviceList devices = adapters(R"([1, "AMD Radeon", null, [{"Name":"inner"}], true])");
    ASSERT_EQ(devices.size(), 5u);
    for (std::uint32_t k = 0; k < 5; ++k) {
        EXPECT_EQ(devices[k].index, k);
        EXPECT_EQ(devices[k].market_name, "AMD GPU");
    }
    // A bare scalar is wrapped like a bare object.
    EXPECT_EQ(adapters("42").size(), 1u);
}

TEST(WmiAdapters, PciIdFieldsOfTheInstanceId) {
    const auto ids = [](std::string_view pnp) {
        const DeviceList devices = adapters("{\"PNPDeviceID\":\"" + std::string(pnp) + "\"}");
        const GpuDevice& d = devices.at(0);
        return std::tuple<std::uint64_t, std::uint32_t, std::uint32_t>(d.device_id, d.subsystem_id, d.rev_id);
    };
    using T = std::tuple<std::uint64_t, std::uint32_t, std::uint32_t>;
    EXPECT_EQ(ids("PCI\\\\VEN_1002&DEV_744c&SUBSYS_0e3b1002&REV_c8"), T(0x744C, 0x0E3B1002, 0xC8));
}

TEST(WmiAdapters, SharedMemoryAdaptersAskOncePerAdapter) {
    CountingQuery query{35};
    auto result = parse_wmi_adapters(
        R"([{"PNPDeviceID":"PCI\\VEN_1002&DEV_15BF"},{"PNPDeviceID":"PCI\\VEN_1002&DEV_744C"},{"PNPDeviceID":"PCI\\VEN_1002&DEV_1681"}])",
        query.function());
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(query.calls, 2);
    EXPECT_EQ((*result)[0].vram_type, "LPDDR5 (Shared)");
    EXPECT_EQ((*result)[0].gfx_version, "gfx1103");
    EXPECT_EQ((*result)[1].vram_type, "GDDR6");
    EXPECT_EQ((*result)[2].vram_type, "LPDDR5 (Shared)");

    const DeviceList fallback = adapters(R"({"PNPDeviceID":"PCI\\VEN_1002&DEV_1681"})", std::nullopt);
    EXPECT_EQ(fallback.at(0).vram_type, "DDR4 (Shared)");
    const DeviceList unlisted = adapters(R"({"PNPDeviceID":"PCI\\VEN_1002&DEV_9874"})", 32);
    EXPECT_EQ(unlisted.at(0).vram_type, "DDR4/DDR5 (Shared)");
}

TEST(WmiAdapters, NothingPrinted) {
    for (std::string_view output : {"", "null", " \r\n", "null\r\n", "\r\n\t null  \r\n", "\xC2\xA0null\xE2\x80\x83"})
        EXPECT_EQ(failure(output), "no AMD GPU via WMI") << output;
}

TEST(WmiAdapters, NoEntries) {
    EXPECT_EQ(failure("[]"), "no AMD WMI entries");
    EXPECT_EQ(failure(" [ ]\r\n"), "no AMD WMI entries");
}

TEST(WmiAdapters, ParseErrorsFail) {
    for (std::string_view output : {"[", "[{}", "{} {}", "[{}] x", "{\"Name\":}", "NULL", "nul", "[1,]",
                                    "WARNING: something\r\n[{}]", "{}\r\nWARNING"})
        EXPECT_EQ(failure(output).rfind("invalid JSON at line ", 0), 0u) << output;
    EXPECT_NE(failure(std::string(1u << 20, '[')).find("nested more than 128 deep"), std::string::npos);
}

TEST(WmiAdapters, InvalidUtf8BecomesReplacementCharacters) {
    const DeviceList devices = adapters("{\"Name\":\"Radeon \xff\xfe Pro\",\"DriverVersion\":\"31.\xC3\"}");
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].market_name, "Radeon \xEF\xBF\xBD\xEF\xBF\xBD Pro");
    EXPECT_EQ(devices[0].driver_version, "31.\xEF\xBF\xBD");
    // Valid non-ASCII text passes unchanged.
    EXPECT_EQ(adapters("{\"Name\":\"Radeon\xE2\x84\xA2 \\u00e9\"}").at(0).market_name, "Radeon\xE2\x84\xA2 \xC3\xA9");
    // Bytes that are not UTF-8 outside strings are still not JSON.
    EXPECT_EQ(failure("\xff{}").rfind("invalid JSON", 0), 0u);
}

TEST(WmiAdapters, HugeOutput) {
    std::string many = "[";
    for (int i = 0; i < 20000; ++i) {
        if (i > 0) many += ',';
        many += R"({"Name":"AMD Radeon RX 7900 XTX","PNPDeviceID":"PCI\\VEN_1002&DEV_744C&SUBSYS_0E3B1002&REV_C8","DriverVersion":"32.0","AdapterRAM":1073741824})";
    }
    many += "]";
    const DeviceList devices = adapters(many);
    ASSERT_EQ(devices.size(), 20000u);
    EXPECT_EQ(devices.back().index, 19999u);
    EXPECT_EQ(devices.back().vram_total_mb, 1024u);

    const std::string long_name(8u << 20, 'R');
    const std::string padded = std::string(2u << 20, ' ') + "{\"Name\":\"" + long_name + "\"}" + std::string(2u << 20, '\n');
    EXPECT_EQ(adapters(padded).at(0).market_name.size(), long_name.size());
}

TEST(WmiScripts, ExactTexts) {
    EXPECT_EQ(kAdapterScript.size(), 178u);
    EXPECT_EQ(kMemoryScript.size(), 96u);
    EXPECT_NE(kAdapterScript.find("-like 'PCI\\VEN_1002*' }"), std::string_view::npos);
    EXPECT_EQ(kMemoryScript.front(), '(');
    EXPECT_EQ(kMemoryScript.back(), ')');
}

TEST(WmiMemoryCode, Parsing) {
    EXPECT_EQ(parse_memory_code(" 34\r\n"), 34u);
    EXPECT_EQ(parse_memory_code("+26"), 26u);
    EXPECT_EQ(parse_memory_code("30"), 30u);
    EXPECT_EQ(parse_memory_code("32"), 32u);
    EXPECT_EQ(parse_memory_code("00035"), 35u);
    EXPECT_EQ(parse_memory_code("0"), 0u);
    EXPECT_EQ(parse_memory_code("4294967295"), 4294967295u);
    EXPECT_EQ(parse_memory_code("\xC2\xA0" "35\xE2\x80\x83\r\n"), 35u);  // Unicode white space is trimmed
    for (std::string_view bad : {"", " \r\n", "+", "-1", "-0", "++1", "3 4", "34\r\n26", "4294967296",
                                 "99999999999999999999", "0x1A", "1e2", "34.0", "\xd9\xa3", "DDR5",
                                 "\xff" "34", "34\xC3"})
        EXPECT_EQ(parse_memory_code(bad), std::nullopt) << bad;
    EXPECT_EQ(parse_memory_code(std::string_view("34\0", 3)), std::nullopt);
}

}  // namespace
}  // namespace karvo::discovery::wmi
