// The report file and its parts: the zip framing, the answers stream, the
// structured payloads, and every way a file from elsewhere can be wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/zip.h"
#include "discovery/capture/capture.h"
#include "discovery/capture/payloads.h"
#include "discovery/capture/report_file.h"

namespace karvo::discovery::capture {
namespace {

Capture sample_capture() {
    Capture capture;
    capture.info.system = System::windows;
    capture.info.karvo_version = "1.2.0";
    capture.info.os = "Windows 10.0.22631";
    capture.info.command_line = {"karvo", "--report", "r.zip", "--json", "quote \" and \\ and \x01"};
    capture.info.time = "2026-01-31T23:59:58.007Z";
    capture.document = "[]\n";
    capture.stderr_text = "[adl] PMLog enrich failed: no adapters\n";
    capture.records = {
        {Kind::env, "KARVO_SYSROOT", Answer::absent, ""},
        {Kind::file, "/sys/a b/%weird\nkey\x7f", Answer::value, std::string("bin\0ary\n", 8)},
        {Kind::library, "atiadlxx.dll", Answer::error, "LoadLibraryExW failed\nThe module was not found. (os error 126)"},
        {Kind::call, "hipGetDeviceCount()", Answer::value, call_payload(0, std::string("\2\0\0\0", 4))},
        {Kind::process_names, "", Answer::value, "4242 python.exe\n"},
        {Kind::file, "/empty", Answer::value, ""},
    };
    return capture;
}

std::string entry_data(const std::vector<zip::Entry>& entries, std::string_view name) {
    for (const auto& entry : entries)
        if (entry.name == name) return entry.data;
    return "<missing>";
}

TEST(ReportFile, RoundTripKeepsEveryPart) {
    const Capture capture = sample_capture();
    auto bytes = write_report(capture, {2026, 1, 31, 23, 59, 58});
    ASSERT_TRUE(bytes.ok()) << bytes.error().long_form();
    auto read = read_report(*bytes);
    ASSERT_TRUE(read.ok()) << read.error().long_form();
    EXPECT_EQ(read->records, capture.records);
    EXPECT_EQ(read->document, capture.document);
    EXPECT_EQ(read->stderr_text, capture.stderr_text);
    EXPECT_EQ(read->info.system, System::windows);
    EXPECT_EQ(read->info.command_line, capture.info.command_line);
    EXPECT_EQ(read->info.time, capture.info.time);
    EXPECT_EQ(read->info.format_version, kFormatVersion);
}

TEST(ReportFile, AnswersStreamIsReadableText) {
    EXPECT_EQ(write_answers({{Kind::folder, "/sys/class/drm", Answer::value, folder_payload({"card0", "renderD128"})},
                             {Kind::link, "/x", Answer::absent, ""},
                             {Kind::symbol, "amdhip64.dll!hipFoo", Answer::error, "GetProcAddress failed"}}),
              "folder = 17 /sys/class/drm\ncard0\nrenderD128\n\n"
              "link - 0 /x\n\n"
              "symbol ! 21 amdhip64.dll!hipFoo\nGetProcAddress failed\n");
}

std::string report_with(const std::string& info, const std::string& answers) {
    return zip::write({{"report.json", info}, {"answers.txt", answers}}, {}).value();
}

constexpr const char* kInfo = R"({"format":"karvo report","version":1,"system":"linux"})";

// Every damaged or hostile file gives an error that says what is wrong.
TEST(ReportFile, MalformedFiles) {
    const std::string good = write_report(sample_capture(), {}).value();
    std::string bad_crc = good;
    // The CRC-32 of the first entry as the central directory records it.
    const std::size_t first = bad_crc.find(std::string("PK\1\2", 4));
    bad_crc[first + 16] = static_cast<char>(bad_crc[first + 16] ^ 0x01);

    std::string bomb = zip::write({{"report.json", kInfo}, {"answers.txt", std::string(1000, 'a')}}, {}).value();
    // Declare 3 GiB for the second entry in its central directory record.
    const std::size_t central = bomb.find(std::string("PK\1\2", 4), 0);
    const std::size_t second = bomb.find(std::string("PK\1\2", 4), central + 4);
    bomb[second + 24] = '\0', bomb[second + 25] = '\0', bomb[second + 26] = '\0', bomb[second + 27] = '\xC0';

    std::string escaping = zip::write({{"report.json", kInfo}, {"answers.txt", ""}}, {}).value();
    for (std::size_t at = escaping.find("answers.txt"); at != std::string::npos;
         at = escaping.find("answers.txt", at + 1)) {
        escaping.replace(at, 11, "../evil.txt");
    }

    const struct {
        const char* name;
        std::string bytes;
        const char* message;
    } cases[] = {
        {"empty", "", "not a zip archive"},
        {"text", "hello, this is not a zip archive at all", "not a zip archive"},
        {"truncated", good.substr(0, good.size() / 2), "not a zip archive"},
        {"cut before the directory", good.substr(0, 60) + good.substr(good.size() - 22), "truncated"},
        {"bad CRC", bad_crc, "bad CRC-32 of entry report.json"},
        {"zip bomb", bomb, "unpack to more than the allowed total"},
        {"escaping entry", escaping, "leaves the archive's folder: ../evil.txt"},
        {"no report.json", zip::write({{"answers.txt", ""}}, {}).value(), "it has no report.json"},
        {"not json", report_with("{", ""), "report.json is not JSON"},
        {"another format", report_with(R"({"format":"zip of cats","version":1})", ""), "does not name the format"},
        {"newer version", report_with(R"({"format":"karvo report","version":2,"system":"linux"})", ""),
         "format version 2 is newer than this karvo reads (1)"},
        {"no version", report_with(R"({"format":"karvo report","system":"linux"})", ""), "version is missing"},
        {"unknown system", report_with(R"({"format":"karvo report","version":1,"system":"beos"})", ""),
         "unknown system 'beos'"},
        {"no answers", zip::write({{"report.json", kInfo}}, {}).value(), "no answers.txt"},
        {"unknown kind", report_with(kInfo, "socket = 0 x\n\n"), "record 1: unknown record kind 'socket'"},
        {"bad mark", report_with(kInfo, "file ? 0 x\n\n"), "record 1: unknown answer mark"},
        {"long payload", report_with(kInfo, "file = 99 x\nshort\n"), "record 1: the payload is cut short"},
        {"no header end", report_with(kInfo, "file = 0 x"), "record 1: the header line has no end"},
        {"bad escape", report_with(kInfo, "file = 0 %zz\n\n"), "record 1: bad escape in the key"},
        {"absent with payload", report_with(kInfo, "file - 1 x\na\n"), "an absent answer with a payload"},
        {"bad structure", report_with(kInfo, "env - 0 A\n\nsegment = 3 l/0\nabc\n"),
         "record 2 (segment): its answer does not read as one of its kind"},
        {"source without error", report_with(kInfo, "source-error = 0 hip\n\n"), "record 1 (source-error)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto read = read_report(c.bytes);
        ASSERT_FALSE(read.ok());
        EXPECT_NE(read.error().long_form().find(c.message), std::string::npos) << read.error().long_form();
    }
}

TEST(Zip, NamesThatLeaveTheFolder) {
    for (const char* name : {"../a", "a/../../b", "/etc/passwd", "C:/x", "a\\b", "", ".", "a/./b"}) {
        EXPECT_FALSE(zip::is_safe_name(name)) << name;
    }
    for (const char* name : {"report.json", "a/b.txt", "..a", "a..b"}) EXPECT_TRUE(zip::is_safe_name(name)) << name;
}

TEST(Zip, StoredAndDeflatedEntriesReadBack) {
    const std::vector<zip::Entry> entries = {{"a.txt", ""}, {"b.bin", std::string(100000, 'x')}, {"c", "\x01\x02"}};
    auto archive = zip::write(entries, {});
    ASSERT_TRUE(archive.ok());
    EXPECT_LT(archive->size(), 2000u);  // the long run is deflated
    auto read = zip::read(*archive);
    ASSERT_TRUE(read.ok()) << read.error().long_form();
    ASSERT_EQ(read->size(), 3u);
    EXPECT_EQ(entry_data(*read, "b.bin"), entries[1].data);
    EXPECT_EQ(entry_data(*read, "c"), entries[2].data);
}

TEST(Payloads, StructuredAnswersReadBack) {
    platform::EnumeratedAdapter adapter;
    adapter.kind = platform::EnumeratedAdapter::Kind::described;
    adapter.description = {0x1002, 0x744C, {0xd1f6, -2}, 0xFFFFFFFFFFFFFFFFull};
    const auto adapter_back = adapter_from_payload(adapter_payload(adapter));
    ASSERT_TRUE(adapter_back);
    EXPECT_EQ(adapter_back->description.luid.high_part, -2);
    EXPECT_EQ(adapter_back->description.shared_system_memory, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(adapter_payload(*adapter_from_payload("end")), "end");

    platform::ProcessCounters counters;
    counters.dedicated = {{u"pid_1_luid_0x0_0x1_phys_0", 5}, {std::nullopt, -7}, {u"", 0}};
    counters.running_time = {{u"name with blanks\nand a line", 1}};
    const auto counters_back = counters_from_payload(counters_payload(counters));
    ASSERT_TRUE(counters_back);
    ASSERT_EQ(counters_back->dedicated.size(), 3u);
    EXPECT_EQ(counters_back->dedicated[1].name, std::nullopt);
    EXPECT_EQ(counters_back->dedicated[1].value, -7);
    EXPECT_EQ(counters_back->dedicated[2].name, std::u16string());
    EXPECT_EQ(counters_back->running_time[0].name, u"name with blanks\nand a line");

    const platform::ProcessOutput output{3, "out\n", "err"};
    const auto output_back = process_from_payload(process_payload(output));
    ASSERT_TRUE(output_back);
    EXPECT_EQ(output_back->out, "out\n");
    EXPECT_EQ(output_back->err, "err");

    for (const char* bad : {"", "1", "1 2 3 x", "1 2 3 4 5 6", "-1 2 3 4 5", "1 2 99999999999 4 5"}) {
        EXPECT_FALSE(adapter_from_payload(bad)) << bad;
    }
    EXPECT_FALSE(segment_from_payload("1 2 3 2"));
    EXPECT_FALSE(process_from_payload("0 10\nshort"));
    EXPECT_FALSE(folder_from_payload("a\n\nb\n"));
}

}  // namespace
}  // namespace karvo::discovery::capture
