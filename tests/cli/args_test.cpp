#include "cli/args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/options.h"

namespace karvo::cli {
namespace {

ParseOutcome parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "/usr/local/bin/karvo");
    return parse_args(arguments);
}

Args parsed_ok(const std::vector<std::string>& arguments) {
    const ParseOutcome outcome = parse(arguments);
    if (const auto* error = std::get_if<UsageError>(&outcome)) {
        ADD_FAILURE() << "unexpected usage error: " << error->text;
        return {};
    }
    EXPECT_TRUE(std::holds_alternative<Args>(outcome));
    return std::holds_alternative<Args>(outcome) ? std::get<Args>(outcome) : Args{};
}

// The usage-error text, or "" (plus a test failure) when parsing succeeded.
std::string usage_error(const std::vector<std::string>& arguments) {
    const ParseOutcome outcome = parse(arguments);
    if (const auto* error = std::get_if<UsageError>(&outcome)) return error->text;
    ADD_FAILURE() << "expected a usage error";
    return {};
}

constexpr std::string_view kHint = "\nUsage: karvo [OPTIONS]\n\nFor more information, try '--help'.\n";

TEST(ArgsTest, DefaultsWithoutArguments) {
    const Args args = parsed_ok({});
    EXPECT_FALSE(args.json);
    EXPECT_FALSE(args.verbose);
    EXPECT_FALSE(args.show_ref);
    EXPECT_FALSE(args.watch);
    EXPECT_FALSE(args.serve);
    EXPECT_EQ(args.listen, "127.0.0.1");
    EXPECT_FALSE(args.token);
    EXPECT_FALSE(args.token_file);
    EXPECT_FALSE(args.compact);
}

TEST(ArgsTest, EveryOptionInOneCommandLine) {
    const Args args = parsed_ok({"--json", "--verbose", "--show-ref", "--watch", "3", "--serve", "9100", "--listen",
                                 "0.0.0.0", "--token", "tok", "--token-file", "/etc/karvo.token", "--compact"});
    Args expected;
    expected.json = expected.verbose = expected.show_ref = expected.compact = true;
    expected.watch = 3;
    expected.serve = 9100;
    expected.listen = "0.0.0.0";
    expected.token = "tok";
    expected.token_file = "/etc/karvo.token";
    EXPECT_EQ(args, expected);
}

TEST(ArgsTest, ServiceFlagIsAcceptedButNotOnTheHelpScreen) {
    EXPECT_TRUE(parsed_ok({"--service", "--serve", "9100"}).service);
    EXPECT_EQ(std::get<ShowHelp>(parse({"--help"})).text.find("--service"), std::string::npos);
}

TEST(ArgsTest, OptionalValuesDefaultWhenAbsentOrFollowedByAnOption) {
    EXPECT_EQ(parsed_ok({"--watch"}).watch, 1u);
    EXPECT_EQ(parsed_ok({"--serve"}).serve, 8080u);

    const Args watch_then_json = parsed_ok({"--watch", "--json"});
    EXPECT_EQ(watch_then_json.watch, 1u);
    EXPECT_TRUE(watch_then_json.json);

    const Args serve_then_listen = parsed_ok({"--serve", "--listen", "::1"});
    EXPECT_EQ(serve_then_listen.serve, 8080u);
    EXPECT_EQ(serve_then_listen.listen, "::1");

    // "--" ends the options; it is never taken as a value.
    EXPECT_EQ(parsed_ok({"--watch", "--"}).watch, 1u);
}

TEST(ArgsTest, NumberRanges) {
    EXPECT_EQ(parsed_ok({"--watch", "0"}).watch, 0u);
    EXPECT_EQ(parsed_ok({"--watch", "18446744073709551615"}).watch, 18446744073709551615u);
    EXPECT_EQ(parsed_ok({"--watch=2"}).watch, 2u);
    EXPECT_EQ(parsed_ok({"--serve", "0"}).serve, 0u);
    EXPECT_EQ(parsed_ok({"--serve", "65535"}).serve, 65535u);
    EXPECT_EQ(parsed_ok({"--serve=00080"}).serve, 80u);

    for (const std::string bad : {"65536", "abc", "", " 80", "80 ", "8080x", "-1", "0x50", "99999999999999999999999"}) {
        SCOPED_TRACE(bad);
        EXPECT_NE(usage_error({"--serve=" + bad}).find("for '--serve [<PORT>]'"), std::string::npos);
    }
    for (const std::string bad : {"18446744073709551616", "1.5", "", "one", "340282366920938463463374607431768211456"}) {
        SCOPED_TRACE(bad);
        EXPECT_NE(usage_error({"--watch=" + bad}).find("for '--watch [<SECS>]'"), std::string::npos);
    }
    // A separate argument that is not a number is taken as the value, and refused.
    EXPECT_EQ(usage_error({"--serve", "abc"}),
              std::string("error: invalid value 'abc' for '--serve [<PORT>]': expected a port number from 0 to 65535\n") +
                  std::string(kHint));
    // A negative number is taken as the value (no option looks like one), and refused.
    EXPECT_NE(usage_error({"--watch", "-5"}).find("invalid value '-5' for '--watch [<SECS>]'"), std::string::npos);
    EXPECT_NE(usage_error({"--serve", "-1"}).find("invalid value '-1' for '--serve [<PORT>]'"), std::string::npos);
    EXPECT_NE(usage_error({"--watch", "-5x"}).find("unexpected argument '-5x' found"), std::string::npos);
}

TEST(ArgsTest, RequiredValues) {
    EXPECT_EQ(parsed_ok({"--listen", "localhost"}).listen, "localhost");
    EXPECT_EQ(parsed_ok({"--listen="}).listen, "");
    EXPECT_EQ(parsed_ok({"--listen", ""}).listen, "");
    EXPECT_EQ(parsed_ok({"--token", ""}).token, "");
    EXPECT_EQ(parsed_ok({"--token=  spaced  "}).token, "  spaced  ");
    EXPECT_EQ(parsed_ok({"--token=a=b"}).token, "a=b");
    EXPECT_EQ(parsed_ok({"--token=-starts-with-dash"}).token, "-starts-with-dash");
    EXPECT_EQ(parsed_ok({"--token-file", "-"}).token_file, "-");

    EXPECT_EQ(usage_error({"--listen"}),
              std::string("error: a value is required for '--listen <ADDR>' but none was supplied\n") +
                  std::string(kHint));
    EXPECT_EQ(usage_error({"--token", "--json"}),
              "error: a value is required for '--token <TOKEN>' but none was supplied\n\n"
              "  tip: to pass '--json' as the value, use '--token=--json'\n" +
                  std::string(kHint));
    EXPECT_NE(usage_error({"--token-file"}).find("a value is required for '--token-file <FILE>'"), std::string::npos);
}

TEST(ArgsTest, EmptyTokenFileIsAUsageError) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{{"--token-file", ""}, {"--token-file="}}) {
        EXPECT_EQ(usage_error(arguments),
                  std::string("error: invalid value '' for '--token-file <FILE>': the file name is empty\n") +
                      std::string(kHint));
    }
}

TEST(ArgsTest, EachOptionAtMostOnce) {
    EXPECT_EQ(usage_error({"--json", "--json"}),
              std::string("error: the argument '--json' cannot be used multiple times\n") + std::string(kHint));
    EXPECT_NE(usage_error({"--watch", "--watch=2"}).find("'--watch [<SECS>]' cannot be used multiple times"),
              std::string::npos);
    EXPECT_NE(usage_error({"--listen=a", "--listen", "b"}).find("'--listen <ADDR>' cannot be used multiple times"),
              std::string::npos);
    EXPECT_NE(usage_error({"--token=", "--token="}).find("cannot be used multiple times"), std::string::npos);
}

TEST(ArgsTest, UnknownOptionsAndPositionals) {
    EXPECT_EQ(usage_error({"--jsn"}), std::string("error: unexpected argument '--jsn' found\n") + std::string(kHint));
    for (const std::string bad : {"json", "", "=", "-", "-j", "-w", "-hV", "---json", "--JSON", "--=", "--=x",
                                  "--watch2", "--foo=bar", "-h=1"}) {
        SCOPED_TRACE(bad);
        EXPECT_NE(usage_error({bad}).find("error: unexpected argument '" + bad + "' found"), std::string::npos);
    }
    // Anything after "--" is a positional, and there are none.
    EXPECT_NE(usage_error({"--", "--json"}).find("unexpected argument '--json' found"), std::string::npos);
    EXPECT_NE(usage_error({"--json", "extra"}).find("unexpected argument 'extra' found"), std::string::npos);
    // "--" alone only ends the (empty) option list.
    EXPECT_EQ(parsed_ok({"--"}), Args{});
}

TEST(ArgsTest, FlagsTakeNoValue) {
    EXPECT_EQ(usage_error({"--json=1"}),
              std::string("error: unexpected value '1' for '--json' found; no more were expected\n") +
                  std::string(kHint));
    EXPECT_NE(usage_error({"--compact="}).find("unexpected value '' for '--compact'"), std::string::npos);
    EXPECT_NE(usage_error({"--help=x"}).find("unexpected value 'x' for '--help'"), std::string::npos);
}

TEST(ArgsTest, ArgumentsInMessagesAreMadeSafe) {
    // Control bytes are spelled out; invalid UTF-8 becomes U+FFFD.
    EXPECT_NE(usage_error({"\x1b[2J"}).find("unexpected argument '\\x1b[2J' found"), std::string::npos);
    EXPECT_NE(usage_error({"a\xff"}).find("unexpected argument 'a\xEF\xBF\xBD' found"), std::string::npos);
    // Invalid UTF-8 in an address or token is refused without echoing the secret.
    const std::string token_error = usage_error({"--token", "secret\xc3"});
    EXPECT_NE(token_error.find("invalid UTF-8 was detected in the value of '--token <TOKEN>'"), std::string::npos);
    EXPECT_EQ(token_error.find("secret"), std::string::npos);
    EXPECT_NE(usage_error({"--listen=\xe2\x82"}).find("'--listen <ADDR>'"), std::string::npos);
    // A file name is a path: its bytes are kept as given.
    EXPECT_EQ(parsed_ok({"--token-file", "tok\xff"}).token_file, "tok\xff");
}

TEST(ArgsTest, HelpAndVersionEndParsingWhereTheyAppear) {
    EXPECT_EQ(std::get<ShowVersion>(parse({"-V"})).text, "karvo 1.2.0\n");
    EXPECT_EQ(std::get<ShowVersion>(parse({"--version"})).text, "karvo 1.2.0\n");
    EXPECT_TRUE(std::holds_alternative<ShowHelp>(parse({"-h"})));
    EXPECT_TRUE(std::holds_alternative<ShowHelp>(parse({"--json", "--help", "--bogus"})));
    EXPECT_TRUE(std::holds_alternative<ShowVersion>(parse({"--watch", "-V"})));
    EXPECT_TRUE(std::holds_alternative<ShowHelp>(parse({"--help", "--version"})));
    EXPECT_TRUE(std::holds_alternative<UsageError>(parse({"--bogus", "--help"})));
}

// A variable that stands in for an option is read as "--name=value" is.
TEST(ArgsTest, SettingsFromVariablesAreReadAsTheirOptions) {
    Args args;
    EXPECT_FALSE(apply_setting(args, *find_option("tls-cert-file"), "-c.pem"));
    EXPECT_EQ(args.tls_cert_file, "-c.pem");
    EXPECT_FALSE(apply_setting(args, *find_option("serve"), std::nullopt));
    EXPECT_EQ(args.serve, kDefaultPort);
    EXPECT_EQ(apply_setting(args, *find_option("serve"), "x"),
              "invalid value 'x' for '--serve [<PORT>]': expected a port number from 0 to 65535");
    EXPECT_EQ(apply_setting(args, *find_option("tls-min-version"), "1.1"),
              "invalid value '1.1' for '--tls-min-version <VERSION>': expected 1.2 or 1.3");
    EXPECT_EQ(args, [] {
        Args expected;
        expected.tls_cert_file = "-c.pem";
        expected.serve = kDefaultPort;
        return expected;
    }());
}

TEST(ArgsTest, ScriptOptions) {
    const Args args = parsed_ok({"--query-gpu=index, memory.used", "--format=csv,nounits", "--id", "1,03:00.0",
                                 "--loop-ms", "250"});
    ASSERT_TRUE(args.query);
    EXPECT_EQ(args.query->fields.size(), 2u);
    EXPECT_FALSE(args.query->units);
    EXPECT_TRUE(args.query->header);
    EXPECT_EQ(args.ids, (std::vector<std::string>{"1", "03:00.0"}));
    EXPECT_EQ(args.loop_ms, 250u);
    EXPECT_EQ(parsed_ok({"--compact", "--loop=2"}).loop_ms, 2000u);
    EXPECT_EQ(parsed_ok({"--compact", "--loop=86400"}).loop_ms, 86400000u);
    EXPECT_EQ(parsed_ok({"--compact", "--loop-ms=86400000"}).loop_ms, 86400000u);
    EXPECT_TRUE(std::get<ShowHelp>(parse({"--help-query"})).text.find("\n  memory.used ") != std::string::npos);
}

TEST(ArgsTest, ScriptOptionErrors) {
    const struct {
        std::vector<std::string> args;
        std::string_view message;
    } cases[] = {
        {{"--query-gpu=index,memory.usd"}, "unknown field 'memory.usd' in --query-gpu\n\n  tip: karvo --help-query"},
        {{"--query-gpu="}, "the field list of --query-gpu is empty"},
        {{"--format=csv"}, "--format applies to a query"},
        {{"--query-apps=pid", "--format=csv,bold"}, "unknown word 'bold' in --format"},
        {{"--query-gpu=index", "--query-apps=pid"}, "only one of --query-gpu, --query-apps and --query-compute-apps"},
        {{"--query-gpu=index", "--serve"}, "'--query-gpu <FIELDS>' cannot be used with --serve or --watch"},
        {{"--query-compute-apps=pid", "--watch"}, "cannot be used with --serve or --watch"},
        {{"--compact", "--loop=0"}, "invalid value '0' for '--loop <SECS>': expected a whole number of seconds from 1 "
                                    "to 86400 (a day)"},
        {{"--compact", "--loop-ms=99"}, "expected a whole number of milliseconds from 100 to 86400000 (a day)"},
        // Longer than a day: refused rather than overflowing the schedule's nanoseconds.
        {{"--compact", "--loop=86401"}, "invalid value '86401' for '--loop <SECS>'"},
        {{"--compact", "--loop=18446744073709551"}, "invalid value '18446744073709551' for '--loop <SECS>'"},
        {{"--compact", "--loop-ms=86400001"}, "invalid value '86400001' for '--loop-ms <MS>'"},
        {{"--compact", "--loop-ms=18446744073709551615"}, "for '--loop-ms <MS>'"},
        {{"--compact", "--loop=1", "--loop-ms=100"}, "only one of --loop and --loop-ms"},
        {{"--loop=1"}, "--loop repeats a query, --compact or --json, not the table\n\n  tip: use --watch"},
        {{"--json", "--loop=1", "--watch"}, "--loop cannot be used with --serve or --watch"},
        {{"--id=, ,"}, "the list of '--id <LIST>' is empty"},
    };
    for (const auto& c : cases) {
        const std::string text = usage_error(c.args);
        EXPECT_TRUE(text.starts_with("error: ") && text.find(c.message) != std::string::npos) << text;
    }
}

TEST(ArgsTest, ReportOptions) {
    const Args report = parsed_ok({"--report", "r.zip", "--redact", "--json", "--id=0"});
    EXPECT_EQ(report.report, "r.zip");
    EXPECT_TRUE(report.redact);
    EXPECT_EQ(parsed_ok({"--report=r.zip", "--query-gpu=index"}).report, "r.zip");
    EXPECT_EQ(parsed_ok({"--replay", "r.zip", "--serve", "0"}).replay, "r.zip");
    EXPECT_EQ(parsed_ok({"--replay=r.zip", "--compact", "--loop=1"}).replay, "r.zip");

    const struct {
        std::vector<std::string> args;
        std::string_view message;
    } cases[] = {
        {{"--redact"}, "--redact applies to --report"},
        {{"--redact", "--replay=r.zip"}, "--redact applies to --report"},
        {{"--report=r.zip", "--serve"}, "--report records one pass; it cannot be used with --serve, --watch or --loop"},
        {{"--report=r.zip", "--watch"}, "cannot be used with --serve, --watch or --loop"},
        {{"--report=r.zip", "--json", "--loop=1"}, "cannot be used with --serve, --watch or --loop"},
        {{"--report=r.zip", "--replay=s.zip"}, "--report cannot be used with --replay"},
        {{"--report="}, "invalid value '' for '--report <FILE>': the file name is empty"},
        {{"--replay", ""}, "invalid value '' for '--replay <FILE>': the file name is empty"},
    };
    for (const auto& c : cases) {
        const std::string text = usage_error(c.args);
        EXPECT_TRUE(text.starts_with("error: ") && text.find(c.message) != std::string::npos) << text;
    }
}

TEST(ArgsTest, TlsOptions) {
    const Args args = parsed_ok({"--tls-cert-file=c.pem", "--tls-key-file", "k.pem", "--tls-client-ca-file", "ca.pem",
                                 "--tls-min-version", "1.3"});
    EXPECT_EQ(args.tls_cert_file, "c.pem");
    EXPECT_EQ(args.tls_key_file, "k.pem");
    EXPECT_EQ(args.tls_client_ca_file, "ca.pem");
    EXPECT_EQ(args.tls_min_version, "1.3");
    EXPECT_EQ(usage_error({"--tls-key-file="}),
              "error: invalid value '' for '--tls-key-file <FILE>': the file name is empty\n" + std::string(kHint));
    for (const char* bad : {"1.1", "1.0", "1.3 ", "TLS1.3", ""}) {
        EXPECT_EQ(usage_error({"--tls-min-version", bad}),
                  "error: invalid value '" + std::string(bad) +
                      "' for '--tls-min-version <VERSION>': expected 1.2 or 1.3\n" + std::string(kHint));
    }
}

// The process series of /metrics: a word for which, a count for how many.
TEST(ArgsTest, MetricsProcessOptions) {
    EXPECT_EQ(parsed_ok({}).metrics, render::MetricsOptions{});
    EXPECT_EQ(parsed_ok({"--metrics-processes=all"}).metrics.processes, render::ProcessSeries::all);
    EXPECT_EQ(parsed_ok({"--metrics-processes", "compute"}).metrics.processes, render::ProcessSeries::compute);
    EXPECT_EQ(parsed_ok({"--metrics-processes=none"}).metrics.processes, render::ProcessSeries::none);
    EXPECT_EQ(parsed_ok({"--metrics-max-processes=0"}).metrics.max_processes, 0u);
    EXPECT_EQ(parsed_ok({"--metrics-max-processes", "10"}).metrics.max_processes, 10u);
    // Any count is taken; one beyond every GPU's process count means all of them.
    EXPECT_EQ(parsed_ok({"--metrics-max-processes=99999999999999999999999999"}).metrics.max_processes,
              18446744073709551615u);
    for (const char* bad : {"All", "graphics", "", " all", "compute,none", "C"}) {
        EXPECT_EQ(usage_error({"--metrics-processes=" + std::string(bad)}),
                  "error: invalid value '" + std::string(bad) +
                      "' for '--metrics-processes <WHICH>': expected all, compute or none\n" + std::string(kHint));
    }
    for (const char* bad : {"", "-1", "+5", "1.5", "ten", " 3", "0x10"}) {
        EXPECT_EQ(usage_error({"--metrics-max-processes=" + std::string(bad)}),
                  "error: invalid value '" + std::string(bad) +
                      "' for '--metrics-max-processes <N>': expected a whole number of processes (0 for none)\n" +
                      std::string(kHint));
    }
}

TEST(ArgsTest, HelpScreen) {
    const std::string help = std::get<ShowHelp>(parse({"--help"})).text;
    EXPECT_EQ(help,
              "karvo - portable single-exe Karvo for AMD GPUs (Windows+Linux). AMD-compatible,\n"
              "unofficial. Reference: include/karvo/gpu_ref.h (MIT)\n"
              "\n"
              "Usage: karvo [OPTIONS]\n"
              "       karvo top [--id LIST] [--interval SECS] [--no-color] [--ascii]\n"
              "\n"
              "Options:\n"
              "      --json               Output JSON instead of table (headless API - pipe to\n"
              "                           your app)\n"
              "      --verbose            Verbose (show backend used)\n"
              "      --show-ref           Show raw reference header path\n"
              "      --watch [<SECS>]     Realtime watch - refresh every N seconds (memory\n"
              "                           safe, no leaks). e.g. --watch 1\n"
              "      --serve [<PORT>]     Headless HTTP API - serve JSON on localhost:PORT\n"
              "                           (e.g. --serve 8080). Devs grab via curl/fetch\n"
              "      --listen <ADDR>      Bind address/hostname for --serve (default\n"
              "                           loopback). Use 0.0.0.0 for LAN scrape (requires\n"
              "                           token) [default: 127.0.0.1]\n"
              "      --token <TOKEN>      Bearer token for --serve (visible in `ps`; prefer\n"
              "                           --token-file or KARVO_TOKEN env)\n"
              "      --token-file <FILE>  Read bearer token from file (or KARVO_TOKEN_FILE\n"
              "                           env). Preferred: no `ps` exposure\n"
              "      --compact            Headless compact JSON for piping (one line per call,\n"
              "                           no pretty)\n"
              "      --query-gpu <FIELDS>\n"
              "                           CSV, one row per GPU with these fields in this order\n"
              "                           (see --help-query), e.g.\n"
              "                           --query-gpu=index,name,memory.used,utilization.gpu\n"
              "      --query-apps <FIELDS>\n"
              "                           CSV, one row per process on a GPU (pid,\n"
              "                           process_name, type, used_memory, gpu_index, ...)\n"
              "      --query-compute-apps <FIELDS>\n"
              "                           As --query-apps, compute processes only\n"
              "      --format <FORMAT>    Query output: csv[,noheader][,nounits] (default csv)\n"
              "      --id <LIST>          Only these GPUs, comma-separated: index, PCI\n"
              "                           address, serial or device instance path\n"
              "      --loop <SECS>        Repeat a query, --compact or --json every SECS\n"
              "                           seconds (1 to 86400), appending CSV rows or JSON\n"
              "                           lines\n"
              "      --loop-ms <MS>       As --loop, in milliseconds (100 to 86400000)\n"
              "      --help-query         List the fields of the queries with their units\n"
              "      --report <FILE>      Run one pass and also save everything the system\n"
              "                           answered, with the output, to FILE (a zip to attach\n"
              "                           to a bug report)\n"
              "      --redact             With --report: replace process, container, pod and\n"
              "                           namespace names and serial numbers by placeholders\n"
              "      --replay <FILE>      Answer every pass from a --report FILE instead of\n"
              "                           this machine (any output mode)\n"
              "      --tls-cert-file <FILE>\n"
              "                           Serve HTTPS only, with this PEM certificate chain\n"
              "                           (leaf first; or KARVO_TLS_CERT_FILE env). Re-read\n"
              "                           when it changes\n"
              "      --tls-key-file <FILE>\n"
              "                           Unencrypted PEM private key of --tls-cert-file (or\n"
              "                           KARVO_TLS_KEY_FILE env)\n"
              "      --tls-client-ca-file <FILE>\n"
              "                           Require a client certificate signed by this PEM CA\n"
              "                           (or KARVO_TLS_CLIENT_CA_FILE env)\n"
              "      --tls-min-version <VERSION>\n"
              "                           Oldest TLS version accepted: 1.2 or 1.3\n"
              "                           [default: 1.2]\n"
              "      --metrics-processes <WHICH>\n"
              "                           Processes given series of their own at /metrics:\n"
              "                           all, compute (type C) or none (or\n"
              "                           KARVO_METRICS_PROCESSES env) [default: all]\n"
              "      --metrics-max-processes <N>\n"
              "                           At most N process series per GPU at /metrics, for\n"
              "                           those holding the most VRAM; the rest are counted\n"
              "                           (or KARVO_METRICS_MAX_PROCESSES env)\n"
              "      --interval <SECS>    Seconds between the refreshes of karvo top, from 0.1\n"
              "                           to 60 [default: 1]\n"
              "      --no-color           No colours in karvo top (as when NO_COLOR is set)\n"
              "      --ascii [<STYLE>]    Plain ASCII in karvo top; --ascii=blocks draws its\n"
              "                           graphs with blocks instead of braille\n"
              "  -h, --help               Print help\n"
              "  -V, --version            Print version\n");
}

TEST(ArgsTest, TopAndItsOptions) {
    const Args plain = parsed_ok({"top"});
    Args expected;
    expected.top = true;
    EXPECT_EQ(plain, expected);

    const Args all = parsed_ok({"top", "--id=0,1", "--interval", "0.25", "--no-color", "--ascii=blocks"});
    expected.ids = {"0", "1"};
    expected.interval_ms = 250;
    expected.no_color = true;
    expected.ascii = "blocks";
    EXPECT_EQ(all, expected);
    EXPECT_EQ(parsed_ok({"top", "--ascii"}).ascii, "");
    EXPECT_EQ(parsed_ok({"top", "--ascii", "--no-color"}).ascii, "") << "an option is no value";
    EXPECT_EQ(parsed_ok({"top", "--ascii", "blocks"}).ascii, "blocks");
    EXPECT_EQ(parsed_ok({"top", "--replay", "r.zip"}).replay, "r.zip") << "a replay feeds the monitor too";

    struct Interval {
        std::string text;
        std::optional<std::uint64_t> ms;  // nothing: a usage error
    };
    for (const Interval& c : std::vector<Interval>{{"0.1", 100},
                                                   {"1", 1000},
                                                   {"60", 60000},
                                                   {"2.5", 2500},
                                                   {"0.125", 125},
                                                   {"+3", 3000},
                                                   {"0.09", std::nullopt},
                                                   {"60.001", std::nullopt},
                                                   {"0", std::nullopt},
                                                   {".5", std::nullopt},
                                                   {"1.", std::nullopt},
                                                   {"1.0005", std::nullopt},
                                                   {"1,5", std::nullopt},
                                                   {"-1", std::nullopt},
                                                   {"1e3", std::nullopt},
                                                   {"", std::nullopt}}) {
        SCOPED_TRACE(c.text);
        const ParseOutcome outcome = parse({"top", "--interval=" + c.text});
        if (c.ms) {
            EXPECT_EQ(std::get<Args>(outcome).interval_ms, c.ms);
        } else {
            EXPECT_EQ(std::get<UsageError>(outcome).text,
                      "error: invalid value '" + c.text +
                          "' for '--interval <SECS>': expected seconds from 0.1 to 60 (e.g. 0.5)\n\nUsage: karvo "
                          "top [OPTIONS]\n\nFor more information, try '--help'.\n");
        }
    }
}

TEST(ArgsTest, TopOptionErrors) {
    // Options of other modes are refused after "top", with the list of its own.
    for (const std::string other : {"--json", "--watch", "--serve=9100", "--query-gpu=index", "--verbose"}) {
        const std::string text = usage_error({"top", other});
        EXPECT_TRUE(text.starts_with("error: '" + other.substr(0, other.find('=')) +
                                     "' is not an option of 'karvo top' (those are --id, --replay, --interval, "
                                     "--no-color, --ascii)\n"))
            << text;
        EXPECT_TRUE(text.ends_with("\nUsage: karvo top [OPTIONS]\n\nFor more information, try '--help'.\n")) << text;
    }
    // Its own options mean nothing elsewhere.
    for (const std::string own : {"--interval=2", "--no-color", "--ascii"}) {
        const std::string name = own.substr(0, own.find('='));
        EXPECT_EQ(usage_error({"--json", own}), "error: '" + name + "' is an option of 'karvo top'\n\n  tip: karvo top " +
                                                    name + " ...\n" + std::string(kHint));
    }
    EXPECT_EQ(usage_error({"top", "--ascii=braille"}),
              "error: invalid value 'braille' for '--ascii [<STYLE>]': expected 'blocks' or no value\n\nUsage: "
              "karvo top [OPTIONS]\n\nFor more information, try '--help'.\n");
    EXPECT_TRUE(usage_error({"top", "top"}).starts_with("error: unexpected argument 'top' found\n"));
    EXPECT_TRUE(usage_error({"--json", "top"}).starts_with("error: unexpected argument 'top' found\n"));
    EXPECT_TRUE(usage_error({"top", "--no-color", "--no-color"}).starts_with("error: the argument '--no-color' cannot"));
    EXPECT_TRUE(std::holds_alternative<ShowHelp>(parse({"top", "--help"})));
}

TEST(ArgsTest, HelpScreenFitsEightyColumns) {
    for (const std::string program : {"karvo", "C:\\Tools\\karvo.exe"}) {
        const std::string help = std::get<ShowHelp>(parse_args({program, "-h"})).text;
        ASSERT_TRUE(help.ends_with('\n'));
        std::size_t start = 0;
        for (std::size_t end = help.find('\n'); end != std::string::npos; end = help.find('\n', start)) {
            EXPECT_LE(end - start, 80u) << help.substr(start, end - start);
            start = end + 1;
        }
    }
}

TEST(ArgsTest, ProgramNameInUsageLine) {
    EXPECT_EQ(program_display_name("/opt/bin/karvo"), "karvo");
    EXPECT_EQ(program_display_name("C:\\Tools\\karvo.exe"), "karvo.exe");
    EXPECT_EQ(program_display_name("karvo"), "karvo");
    EXPECT_EQ(program_display_name(""), "karvo");
    EXPECT_EQ(program_display_name("/trailing/"), "karvo");

    const auto outcome = parse_args({"D:\\x\\gpu.exe", "--nope"});
    EXPECT_NE(std::get<UsageError>(outcome).text.find("\nUsage: gpu.exe [OPTIONS]\n"), std::string::npos);
    // No program name at all still parses.
    EXPECT_EQ(std::get<Args>(parse_args({})), Args{});
}

}  // namespace
}  // namespace karvo::cli
