#include "cli/driver.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

namespace karvo::cli {
namespace {

using render::ReportOutcome;

// Stand-ins for the report, the server and the OS, recording every call.
struct FakeRun {
    std::string out;
    std::string err;
    std::string events;  // one letter per call: C clear, R report, S sleep, V serve
    std::vector<render::ReportOptions> report_calls;
    std::vector<std::uint64_t> sleeps;
    // Outcomes for consecutive report passes; once used up, no GPU is left.
    std::deque<Result<ReportOutcome>> outcomes;
    std::map<std::string, std::string> variables;
    std::map<std::string, std::string> files;
    int files_read = 0;
    struct ServeCall {
        std::string listen;
        std::uint16_t port;
        std::optional<std::string> token;
        std::vector<std::string> ids;
        std::optional<server::TlsFiles> tls;
    };
    std::vector<ServeCall> serve_calls;
    bool stdout_broken = false;
    // The loop's clock: each pass takes the next of pass_ms (else 0), each sleep its time.
    std::uint64_t now_ns = 5;
    std::deque<std::uint64_t> pass_ms;
    std::vector<std::uint64_t> pass_starts_ms;
    bool exits_zero_on_interrupt = false;
    std::vector<TopOptions> top_calls;

    Services services() {
        Services s;
        s.report = [this](const render::ReportOptions& options) -> Result<ReportOutcome> {
            events += 'R';
            report_calls.push_back(options);
            pass_starts_ms.push_back(now_ns / 1000000);
            if (!pass_ms.empty()) {
                now_ns += pass_ms.front() * 1000000;
                pass_ms.pop_front();
            }
            if (outcomes.empty()) return ReportOutcome::no_gpu;
            Result<ReportOutcome> next = outcomes.front();
            outcomes.pop_front();
            return next;
        };
        s.serve = [this](const server::ServerConfig& config) {
            events += 'V';
            serve_calls.push_back({config.listen, config.port, config.token, config.ids, config.tls});
            return Error("bind " + config.listen + ":" + std::to_string(config.port) + " failed: Address already in use");
        };
        s.certificates.load = [](const server::TlsFiles&) -> Result<std::shared_ptr<const server::TlsCredentials>> {
            return std::shared_ptr<const server::TlsCredentials>();
        };
        s.certificates.readable_by_others = [](const std::string&) { return false; };
        s.tokens.get_env = [this](std::string_view name) -> std::optional<std::string> {
            const auto it = variables.find(std::string(name));
            if (it == variables.end()) return std::nullopt;
            return it->second;
        };
        s.tokens.read_file = [this](const std::string& path) -> Result<std::string> {
            ++files_read;
            const auto it = files.find(path);
            if (it == files.end()) return Error("No such file or directory (os error 2)");
            return it->second;
        };
        s.tokens.warn = [this](std::string_view line) { err += line; };
        s.write_out = [this](std::string_view bytes) -> Status {
            if (stdout_broken) return Error("Broken pipe (os error 32)");
            if (bytes == kClearScreen) events += 'C';
            out += bytes;
            return Ok{};
        };
        s.write_err = [this](std::string_view bytes) -> Status {
            err += bytes;
            return Ok{};
        };
        s.sleep_seconds = [this](std::uint64_t seconds) {
            events += 'S';
            sleeps.push_back(seconds);
        };
        s.monotonic_ns = [this] { return now_ns; };
        s.sleep_ms = [this](std::uint64_t ms) {
            events += 'S';
            now_ns += ms * 1000000;
        };
        s.exit_zero_on_interrupt = [this] { exits_zero_on_interrupt = true; };
        s.top = [this](const TopOptions& options) {
            events += 'T';
            top_calls.push_back(options);
            return 0;
        };
        return s;
    }

    int run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "karvo");
        return cli::run(arguments, services());
    }
};

TEST(DriverTest, FailedWriteOfAResultIsAFailure) {
    FakeRun run;
    run.stdout_broken = true;
    EXPECT_EQ(run.run({"--show-ref"}), 1);
    EXPECT_EQ(run.err, "Error: write standard output: Broken pipe (os error 32)\n");
}

TEST(DriverTest, ServeResolvesTheTokenThenServes) {
    FakeRun run;
    run.files["/s"] = "  serve-token-0123456789\n";
    EXPECT_EQ(run.run({"--serve", "9100", "--listen", "0.0.0.0", "--token-file", "/s", "--watch", "--json"}), 1);
    ASSERT_EQ(run.serve_calls.size(), 1u);
    EXPECT_EQ(run.serve_calls[0].listen, "0.0.0.0");
    EXPECT_EQ(run.serve_calls[0].port, 9100);
    EXPECT_EQ(run.serve_calls[0].token, "serve-token-0123456789");
    EXPECT_EQ(run.events, "V");  // no watch screen, no report
    EXPECT_TRUE(run.out.empty());
    // The bind policy's warning comes before the server binds.
    EXPECT_EQ(run.err,
              "WARNING: listening on 0.0.0.0:9100 (non-loopback). Token auth required; put TLS/reverse-proxy in front "
              "if leaving the trusted LAN. Firewall it.\n"
              "Error: bind 0.0.0.0:9100 failed: Address already in use\n");
}

TEST(DriverTest, ServeDefaultsAndNoToken) {
    FakeRun run;
    run.variables["KARVO_TOKEN"] = "   ";
    EXPECT_EQ(run.run({"--serve"}), 1);
    ASSERT_EQ(run.serve_calls.size(), 1u);
    EXPECT_EQ(run.serve_calls[0].listen, "127.0.0.1");
    EXPECT_EQ(run.serve_calls[0].port, 8080);
    EXPECT_FALSE(run.serve_calls[0].token);
}

TEST(DriverTest, TlsFilesFromOptionsThenVariables) {
    using server::TlsFiles;
    using server::TlsMinVersion;
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::string> variables;
        std::optional<TlsFiles> served;  // nothing: a usage error, or plain HTTP when `error` is empty
        std::string error;
    };
    const std::map<std::string, std::string> all_variables{
        {"KARVO_TLS_CERT_FILE", " /env/c.pem\n"}, {"KARVO_TLS_KEY_FILE", "/env/k.pem"},
        {"KARVO_TLS_CLIENT_CA_FILE", "/env/ca.pem"}};
    const Case cases[] = {
        {{}, {}, std::nullopt, ""},
        {{"--tls-cert-file", "c", "--tls-key-file", "k", "--tls-min-version", "1.3"}, {},
         TlsFiles{"c", "k", std::nullopt, TlsMinVersion::tls1_3}, ""},
        {{}, all_variables, TlsFiles{"/env/c.pem", "/env/k.pem", "/env/ca.pem"}, ""},
        {{"--tls-cert-file", "c", "--tls-client-ca-file", "ca"}, all_variables, TlsFiles{"c", "/env/k.pem", "ca"}, ""},
        {{}, {{"KARVO_TLS_CERT_FILE", "c"}, {"KARVO_TLS_KEY_FILE", " "}}, std::nullopt,
         "--tls-cert-file needs --tls-key-file (or KARVO_TLS_KEY_FILE)"},
        {{"--tls-key-file", "k"}, {}, std::nullopt, "--tls-key-file needs --tls-cert-file (or KARVO_TLS_CERT_FILE)"},
        {{}, {{"KARVO_TLS_CLIENT_CA_FILE", "ca"}}, std::nullopt,
         "--tls-client-ca-file needs --tls-cert-file and --tls-key-file"},
        {{"--tls-min-version", "1.2"}, {}, std::nullopt, "--tls-min-version needs --tls-cert-file and --tls-key-file"},
    };
    for (const Case& c : cases) {
        FakeRun run;
        run.variables = c.variables;
        std::vector<std::string> args = {"--serve"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (c.error.empty()) {
            EXPECT_EQ(run.run(args), 1);
            ASSERT_EQ(run.serve_calls.size(), 1u);
            EXPECT_EQ(run.serve_calls[0].tls, c.served) << c.args.size();
        } else {
            EXPECT_EQ(run.run(args), 2);
            EXPECT_TRUE(run.serve_calls.empty());
            EXPECT_EQ(run.err, "error: " + c.error + "\n\nFor more information, try '--help'.\n");
        }
    }
    // Outside serve mode the variables are not even looked at.
    FakeRun report;
    report.variables = {{"KARVO_TLS_CERT_FILE", "c"}};
    EXPECT_EQ(report.run({"--json"}), 2);
    EXPECT_EQ(report.err, "");
}

TEST(DriverTest, TokenErrorStopsServeBeforeBinding) {
    FakeRun run;
    EXPECT_EQ(run.run({"--serve", "--token", "0123456789abcde"}), 1);
    EXPECT_TRUE(run.serve_calls.empty());
    EXPECT_TRUE(run.out.empty());
    EXPECT_EQ(run.err,
              "warning: --token is visible in process listings; prefer --token-file or KARVO_TOKEN env\n"
              "Error: --token too short (need >=16 chars, use `openssl rand -hex 32`)\n");
}

TEST(DriverTest, TokenOptionsAreIgnoredOutsideServeMode) {
    FakeRun run;
    run.variables["KARVO_TOKEN"] = "short";
    run.variables["KARVO_TOKEN_FILE"] = "/missing";
    run.outcomes = {ReportOutcome::printed};
    EXPECT_EQ(run.run({"--token", "x", "--token-file", "/also-missing"}), 0);
    EXPECT_TRUE(run.err.empty());
    EXPECT_EQ(run.files_read, 0);
}

TEST(DriverTest, OneShotReport) {
    FakeRun printed;
    printed.outcomes = {ReportOutcome::printed};
    EXPECT_EQ(printed.run({"--compact", "--verbose"}), 0);
    EXPECT_EQ(printed.events, "R");
    ASSERT_EQ(printed.report_calls.size(), 1u);
    EXPECT_TRUE(printed.report_calls[0].compact);
    EXPECT_TRUE(printed.report_calls[0].verbose);
    EXPECT_FALSE(printed.report_calls[0].json);
    EXPECT_FALSE(printed.report_calls[0].watch);
    EXPECT_TRUE(printed.report_calls[0].screen_prefix.empty());  // no clear sequence outside watch mode

    FakeRun no_gpu;
    EXPECT_EQ(no_gpu.run({"--json"}), 2);
    EXPECT_TRUE(no_gpu.out.empty());

    FakeRun failed;
    Error error("serialise device list");
    error.with_cause("inner detail");
    failed.outcomes = {error};
    EXPECT_EQ(failed.run({"--json"}), 1);
    EXPECT_EQ(failed.err, "Error: serialise device list\n");
}

TEST(DriverTest, WatchLoopReportsWithTheClearSequenceAndSleepsUntilNoGpuIsLeft) {
    FakeRun run;
    Error error("probe failed");
    error.with_cause("device lost");
    run.outcomes = {ReportOutcome::printed, error, ReportOutcome::printed};
    EXPECT_EQ(run.run({"--watch", "5", "--json"}), 2);
    EXPECT_EQ(run.events, "RSRSRSR");
    EXPECT_TRUE(run.out.empty());  // the clear sequence goes out with each report
    EXPECT_EQ(kClearScreen.size(), 10u);
    EXPECT_EQ(run.sleeps, (std::vector<std::uint64_t>{5, 5, 5}));
    EXPECT_EQ(run.err, "discover error: probe failed: device lost\n");
    ASSERT_EQ(run.report_calls.size(), 4u);
    for (const auto& call : run.report_calls) EXPECT_EQ(call.screen_prefix, kClearScreen);
    EXPECT_EQ(run.report_calls[0].watch, 5u);
    EXPECT_TRUE(run.report_calls[0].json);
}

// Passes of 300, 100, 1500 (over the interval) and 200 ms with a 1 s loop:
// samples start on the schedule of the first, a slow pass moves the schedule
// to its end and nothing bursts to catch up.
TEST(DriverTest, LoopKeepsItsCadenceAndEndsQuietlyWhenTheReaderHasGone) {
    FakeRun run;
    run.pass_ms = {300, 100, 1500, 200};
    run.outcomes = {ReportOutcome::printed, ReportOutcome::printed, ReportOutcome::printed, ReportOutcome::printed,
                    Error("write to standard output failed: Broken pipe (os error 32)")};
    EXPECT_EQ(run.run({"--query-gpu=index", "--loop=1", "--id=1"}), 0);
    EXPECT_EQ(run.pass_starts_ms, (std::vector<std::uint64_t>{0, 1000, 2000, 3500, 4500}));
    EXPECT_EQ(run.events, "RSRSRRSR");
    EXPECT_TRUE(run.exits_zero_on_interrupt);
    EXPECT_TRUE(run.err.empty()) << run.err;
    ASSERT_EQ(run.report_calls.size(), 5u);
    EXPECT_TRUE(run.report_calls[0].query_header);  // the CSV header once
    EXPECT_FALSE(run.report_calls[1].query_header);
    EXPECT_FALSE(run.report_calls[0].json_lines);
    EXPECT_EQ(run.report_calls[0].ids, std::vector<std::string>{"1"});
}

TEST(DriverTest, JsonLoopWritesLinesUntilNoGpuIsLeftAndIdsReachTheServer) {
    FakeRun run;
    run.outcomes = {ReportOutcome::printed, ReportOutcome::no_match};
    EXPECT_EQ(run.run({"--json", "--loop-ms=100"}), 2);
    EXPECT_TRUE(run.report_calls[0].json_lines);
    EXPECT_EQ(run.events, "RSR");
    FakeRun serve;
    serve.run({"--serve", "--id=0,1"});
    EXPECT_EQ(serve.serve_calls.at(0).ids, (std::vector<std::string>{"0", "1"}));
}

TEST(DriverTest, WatchLoopEndsWhenStandardOutputFails) {
    FakeRun run;
    run.outcomes = {ReportOutcome::printed, Error("write to standard output failed: Broken pipe (os error 32)")};
    EXPECT_EQ(run.run({"--watch"}), 1);
    EXPECT_EQ(run.events, "RSR");
    EXPECT_EQ(run.err, "Error: write to standard output failed: Broken pipe (os error 32)\n");
}

TEST(DriverTest, WatchZeroRefreshesEverySecondButReportsZero) {
    FakeRun run;
    run.outcomes = {ReportOutcome::printed, ReportOutcome::printed};
    EXPECT_EQ(run.run({"--watch=0"}), 2);
    EXPECT_EQ(run.sleeps, (std::vector<std::uint64_t>{1, 1}));
    EXPECT_EQ(run.report_calls[0].watch, 0u);

    FakeRun bare;
    bare.outcomes = {ReportOutcome::printed};
    EXPECT_EQ(bare.run({"--watch"}), 2);
    EXPECT_EQ(bare.sleeps, std::vector<std::uint64_t>{1});

    FakeRun huge;
    huge.outcomes = {ReportOutcome::printed};
    EXPECT_EQ(huge.run({"--watch", "18446744073709551615"}), 2);
    EXPECT_EQ(huge.sleeps, std::vector<std::uint64_t>{18446744073709551615u});
}

}  // namespace
}  // namespace karvo::cli

namespace karvo::cli {
namespace {

// `karvo top`: its settings from the options and NO_COLOR; nothing else runs.
TEST(DriverTest, TopGetsItsSettings) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> no_color_variable;
        TopOptions expected;
    };
    const std::vector<Case> cases = {
        {{"top"}, std::nullopt, TopOptions{}},
        {{"top", "--interval=0.5", "--id", "1,0000:03:00.0"}, std::nullopt, TopOptions{{"1", "0000:03:00.0"}, 500}},
        {{"top", "--no-color"}, std::nullopt, TopOptions{{}, 1000, true}},
        {{"top"}, "1", TopOptions{{}, 1000, true}},
        {{"top"}, "", TopOptions{}},  // set but empty: colours stay
        {{"top", "--ascii"}, std::nullopt, TopOptions{{}, 1000, false, true, false}},
        {{"top", "--ascii=blocks"}, std::nullopt, TopOptions{{}, 1000, false, false, true}},
    };
    for (const Case& c : cases) {
        FakeRun run;
        if (c.no_color_variable) run.variables["NO_COLOR"] = *c.no_color_variable;
        EXPECT_EQ(run.run(c.args), 0);
        EXPECT_EQ(run.events, "T");
        ASSERT_EQ(run.top_calls.size(), 1u);
        const TopOptions& got = run.top_calls[0];
        EXPECT_EQ(got.ids, c.expected.ids);
        EXPECT_EQ(got.interval_ms, c.expected.interval_ms);
        EXPECT_EQ(got.no_color, c.expected.no_color);
        EXPECT_EQ(got.ascii, c.expected.ascii);
        EXPECT_EQ(got.blocks, c.expected.blocks);
    }
    FakeRun refused;
    EXPECT_EQ(refused.run({"top", "--watch"}), 2);
    EXPECT_TRUE(refused.events.empty());
}

}  // namespace
}  // namespace karvo::cli
