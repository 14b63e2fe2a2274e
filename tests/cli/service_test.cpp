#include "cli/service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "cli/driver.h"
#include "cli/options.h"

namespace karvo::cli {
namespace {

using platform::ServiceState;

// A Windows command line split as the C runtime splits it for a program's
// arguments: blanks separate words outside quotes; 2n backslashes before a
// quote give n and the quote opens or closes a quoted part, 2n+1 give n and a
// literal quote; other backslashes are literal. (The first word, the program,
// has no backslash rule: quotes only group.)
std::vector<std::string> split_command_line(std::string_view line) {
    std::vector<std::string> words;
    std::size_t i = 0;
    auto skip_blanks = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    };
    skip_blanks();
    std::string program;
    bool quoted = false;
    for (; i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t')); ++i) {
        if (line[i] == '"') quoted = !quoted;
        else program += line[i];
    }
    words.push_back(program);
    for (;;) {
        skip_blanks();
        if (i >= line.size()) return words;
        std::string word;
        quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            std::size_t backslashes = 0;
            while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
            if (i < line.size() && line[i] == '"') {
                word.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1) word += '"';
                else quoted = !quoted;
                ++i;
            } else {
                word.append(backslashes, '\\');
                if (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) word += line[i++];
            }
        }
        words.push_back(word);
    }
}

// Texts a command line must carry unchanged: blanks, quotes, backslashes
// before quotes and at the end, a leading "-", non-ASCII, nothing at all.
const std::vector<std::string> kHostileTexts = {
    "plain",
    "",
    R"(C:\Program Files\karvo\karvo.exe)",
    R"(C:\dir with blank\)",
    R"(say "hi")",
    R"(a\\"b)",
    R"(\\server\share\)",
    "-x \"y\" \\\"z\\",
    "C:\\donn\xC3\xA9""es\\\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87\\\xE8\xA8\xBC.pem",
    "tab\there",
};

TEST(ServiceTest, QuotedArgumentsSplitBackUnchanged) {
    for (const std::string& text : kHostileTexts) {
        const std::string line = R"("C:\karvo dir\karvo.exe" )" + quote_windows_argument(text) + " " +
                                 quote_windows_argument(text + "-second");
        EXPECT_EQ(split_command_line(line),
                  (std::vector<std::string>{R"(C:\karvo dir\karvo.exe)", text, text + "-second"}))
            << line;
    }
}

// The service commands, the service mode and serve mode over a fake service
// manager, environment and file system.
struct FakeService {
    std::string out, err, events;
    std::map<std::string, std::string> files{{"tok", "0123456789abcdef0123\n"}};
    std::map<std::string, std::string> variables;
    std::vector<platform::ServiceDefinition> installed;
    std::vector<std::string> removed;
    Status install_result;
    std::vector<server::ServerConfig> served;  // by --serve and by the service
    std::vector<platform::ServiceStatus> statuses;
    bool under_manager = true;
    bool stop_while_serving = true;
    int serve_calls = 0;

    Services services() {
        Services s;
        s.tokens.get_env = [this](std::string_view name) -> std::optional<std::string> {
            const auto it = variables.find(std::string(name));
            if (it == variables.end()) return std::nullopt;
            return it->second;
        };
        s.tokens.read_file = [this](const std::string& path) -> Result<std::string> {
            const auto it = files.find(path);
            if (it == files.end()) return Error("No such file or directory (os error 2)");
            return it->second;
        };
        s.tokens.warn = [this](std::string_view line) { err += line; };
        s.certificates.load = [this](const server::TlsFiles& tls) -> Result<std::shared_ptr<const server::TlsCredentials>> {
            if (!files.contains(tls.cert_file)) return Error("TLS certificate file " + tls.cert_file + ": missing");
            return std::shared_ptr<const server::TlsCredentials>();
        };
        s.certificates.readable_by_others = [](const std::string&) { return false; };
        s.write_out = [this](std::string_view bytes) { out += bytes; return Status(); };
        s.write_err = [this](std::string_view bytes) { err += bytes; return Status(); };
        s.service.executable_path = [] { return Result<std::string>(std::string(R"(C:\Program Files\karvo\karvo.exe)")); };
        // Relative names are taken from C:\data; absolute ones stay as they are.
        s.service.absolute_path = [](const std::string& path) {
            const bool absolute = path.size() > 2 && path[1] == ':' && path[2] == '\\';
            return Result<std::string>(absolute ? path : R"(C:\data\)" + path);
        };
        s.service.install = [this](const platform::ServiceDefinition& d) { installed.push_back(d); return install_result; };
        s.service.uninstall = [this](std::string_view name, std::uint32_t) { removed.emplace_back(name); return Status(); };
        s.service.report_event = [this](platform::EventType, std::string_view line) { events += std::string(line) + "|"; };
        s.service.run_as_service = [this](std::string_view, const platform::ServiceCallbacks& callbacks) {
            if (!under_manager) return false;
            control_ = &callbacks;
            callbacks.main([this](const platform::ServiceStatus& status) { statuses.push_back(status); });
            return true;
        };
        s.serve = [this](const server::ServerConfig& config) {
            served.push_back(config);
            return Error("stopped");
        };
        s.serve_until = [this](const server::ServerConfig& config, const server::ServeHooks& hooks) -> Status {
            ++serve_calls;
            served.push_back(config);
            hooks.on_listening();
            if (!stop_while_serving) return Error("bind 127.0.0.1:8080 failed: Address in use (os error 98)");
            EXPECT_TRUE(hooks.keep_going());
            control_->on_control(platform::ServiceControl::stop);  // as the dispatcher thread would
            EXPECT_FALSE(hooks.keep_going());
            return Status();
        };
        return s;
    }
    int run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "karvo");
        return cli::run(arguments, services());
    }

private:
    const platform::ServiceCallbacks* control_ = nullptr;
};

// Installs with `arguments` and `variables`, then starts the service from the
// command line it registered, under a service manager whose environment has
// none of the variables. It must serve with exactly the configuration that
// --serve settles from the same arguments and variables.
void expect_round_trip(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& variables,
                       const std::map<std::string, std::string>& files) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    FakeService install;
    install.variables = variables;
    install.files = files;
    std::vector<std::string> command = {"service", "install"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ASSERT_EQ(install.run(command), 0) << install.err;
    ASSERT_EQ(install.installed.size(), 1u);

    const std::vector<std::string> words = split_command_line(install.installed[0].command_line);
    ASSERT_GE(words.size(), 2u);
    EXPECT_EQ(words[0], R"(C:\Program Files\karvo\karvo.exe)");
    EXPECT_EQ(words[1], "--service");
    // The token's file is registered, never the token.
    EXPECT_EQ(install.installed[0].command_line.find("0123456789abcdef"), std::string::npos);
    FakeService service;
    service.files = files;
    ASSERT_EQ(service.run({words.begin() + 1, words.end()}), 0) << service.err << service.events;
    ASSERT_EQ(service.served.size(), 1u);

    FakeService serve;
    serve.variables = variables;
    serve.files = files;
    std::vector<std::string> serving = arguments;
    const bool has_serve = std::any_of(arguments.begin(), arguments.end(),
                                       [](const std::string& a) { return a.starts_with("--serve"); });
    if (!has_serve) serving.insert(serving.begin(), "--serve");
    ASSERT_EQ(serve.run(serving), 1) << serve.err;
    ASSERT_EQ(serve.served.size(), 1u);
    // Every field of the configuration, so a new setting is compared too.
    EXPECT_TRUE(service.served[0] == serve.served[0]);
    EXPECT_EQ(service.served[0].listen, serve.served[0].listen);
    EXPECT_EQ(service.served[0].tls, serve.served[0].tls);
}

// A value each serve setting's parser takes: the first of the hostile texts
// that parses, else one of its words other than the default (a setting lost
// on the way would not show with the default), else a number.
std::string value_for(const OptionInfo& option, std::string_view hostile) {
    std::vector<std::string> candidates = {std::string(hostile)};
    for (std::string_view words = option.words; !words.empty();) {
        const std::size_t blank = words.find(' ');
        if (words.substr(0, blank) != option.default_value) candidates.emplace_back(words.substr(0, blank));
        words.remove_prefix(blank == std::string_view::npos ? words.size() : blank + 1);
    }
    candidates.emplace_back("9110");
    for (const std::string& candidate : candidates) {
        Args args;
        if (!apply_setting(args, option, candidate)) return candidate;
    }
    ADD_FAILURE() << "no value for --" << option.name;
    return {};
}

TEST(ServiceTest, TheServiceServesWhatInstallChecked) {
    // Every file a setting may name exists (the fake loads any certificate it has).
    const std::string token_file = R"(C:\secrets dir\"tok"\)";
    const std::string cert = "C:\\donn\xC3\xA9""es\\\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87\\cert \\\"1\\\".pem";
    std::map<std::string, std::string> files = {{token_file, "0123456789abcdef0123\n"}, {cert, "pem"}};
    const std::string hostile = R"(-x "y" \"z\)";

    // Every setting of the service given as an option, each with a hostile value
    // it takes (file names: existing hostile paths). A new setting is covered
    // here without a line of its own.
    std::vector<std::string> every_option;
    for (const OptionInfo& option : all_options()) {
        if (!option.serve_setting || option.secret) continue;
        std::string value;
        if (option.hint == ValueHint::file) {
            value = option.id == OptionId::token_file ? token_file : cert;
        } else {
            value = value_for(option, hostile);
        }
        every_option.push_back("--" + std::string(option.name) + "=" + value);
    }
    expect_round_trip(every_option, {}, files);

    // Every setting that has a variable, from its variable alone.
    std::map<std::string, std::string> variables;
    for (const OptionInfo& option : all_options()) {
        if (!option.serve_setting || option.secret || option.env.empty()) continue;
        variables[std::string(option.env)] =
            " " + (option.hint != ValueHint::file ? value_for(option, hostile)
                                                  : option.id == OptionId::token_file ? token_file : cert) + "\n";
    }
    expect_round_trip({"--listen", "0.0.0.0"}, variables, files);

    // A relative file name is registered absolute; values that look like options stay values.
    files[R"(C:\data\-tok en)"] = files["-tok en"] = "0123456789abcdef0123\n";
    expect_round_trip({"--token-file=-tok en", "--listen=-1", "--id=-1, 2"}, {}, files);
}

TEST(ServiceTest, InstallNamesEverySettingAndWhereItCameFrom) {
    FakeService fake;
    fake.files[R"(C:\certs\karvo.pem)"] = "pem";
    fake.variables = {{"KARVO_TLS_CERT_FILE", R"(C:\certs\karvo.pem)"}, {"KARVO_TLS_KEY_FILE", "karvo.key"}};
    ASSERT_EQ(fake.run({"service", "install", "--serve", "9110", "--listen=0.0.0.0", "--token-file", "tok"}), 0)
        << fake.err;
    ASSERT_EQ(fake.installed.size(), 1u);
    const auto& service = fake.installed[0];
    EXPECT_EQ(service.command_line,
              R"("C:\Program Files\karvo\karvo.exe" --service --serve=9110 --listen=0.0.0.0 --token-file=C:\data\tok )"
              R"(--tls-cert-file=C:\certs\karvo.pem --tls-key-file=C:\data\karvo.key)");
    EXPECT_EQ(fake.out,
              "Installed the service karvo (\"karvo AMD GPU exporter\"), started automatically at boot. Start it now "
              "with: sc start " + service.name + "\n"
              "It serves https://0.0.0.0:9110/ with:\n"
              "  --serve=9110\n"
              "  --listen=0.0.0.0\n"
              "  --token-file=C:\\data\\tok\n"
              "  --tls-cert-file=C:\\certs\\karvo.pem  (from KARVO_TLS_CERT_FILE)\n"
              "  --tls-key-file=C:\\data\\karvo.key  (from KARVO_TLS_KEY_FILE)\n");
    // A failing service is restarted, each time a little later, and the count starts over in time.
    ASSERT_FALSE(service.restart_delays_ms.empty());
    EXPECT_TRUE(std::is_sorted(service.restart_delays_ms.begin(), service.restart_delays_ms.end()));
    EXPECT_GT(std::uint64_t{service.failure_reset_seconds} * 1000, service.restart_delays_ms.back());
    EXPECT_TRUE(service.delayed_auto_start);

    FakeService defaults;
    ASSERT_EQ(defaults.run({"service", "install"}), 0);
    EXPECT_TRUE(defaults.out.ends_with("\nIt serves http://127.0.0.1:8080/ with the default settings.\n"));
}

TEST(ServiceTest, InstallRefusesBeforeRegistering) {
    struct Case {
        std::vector<std::string> arguments;
        std::map<std::string, std::string> variables;
        int status;
        std::string_view message;
    };
    const Case cases[] = {
        {{"service", "install", "--json"}, {}, 2, "'--json' is not a setting of the service"},
        {{"service", "install", "--serve", "x"}, {}, 2, "invalid value 'x'"},
        {{"service", "install", "--token-file", "missing"}, {}, 1, "Error: read token file missing: No such file"},
        {{"service", "install", "--listen", "0.0.0.0"}, {}, 1, "Error: refusing unauthenticated remote bind"},
        {{"service", "install", "--tls-cert-file", "c.pem"}, {}, 2, "--tls-cert-file needs --tls-key-file"},
        {{"service", "install", "--tls-cert-file", "missing.pem", "--tls-key-file", "k.pem"}, {}, 1, "missing.pem"},
        {{"service", "install"}, {{"KARVO_TLS_KEY_FILE", "k.pem"}}, 2,
         "error: --tls-key-file needs --tls-cert-file (or KARVO_TLS_CERT_FILE)\n"},
        {{"service", "install"}, {{"KARVO_TOKEN_FILE", "missing"}}, 1, "Error: read token file missing: "},
        // A token as text would be readable by every local user in the service's command line.
        {{"service", "install", "--token=-0123456789abcdef"}, {}, 2,
         "error: --token cannot be used for the service: the service keeps its settings in its command line, which "
         "every local user can read (sc qc karvo); put the token in a file and give --token-file (or "
         "KARVO_TOKEN_FILE)\n"},
        {{"service", "install", "--token-file", "tok", "--token", "0123456789abcdef"}, {}, 2, "error: --token cannot"},
        {{"service", "install"}, {{"KARVO_TOKEN", "0123456789abcdef"}}, 2, "error: KARVO_TOKEN cannot be used"},
        {{"service", "start"}, {}, 2, "'service' needs 'install' or 'uninstall'"},
        {{"service", "uninstall", "now"}, {}, 2, "takes no arguments"},
    };
    for (const Case& c : cases) {
        FakeService fake;
        fake.variables = c.variables;
        EXPECT_EQ(fake.run(c.arguments), c.status) << c.arguments.back();
        EXPECT_NE(fake.err.find(c.message), std::string::npos) << fake.err;
        EXPECT_TRUE(fake.installed.empty() && fake.removed.empty());
        EXPECT_EQ(fake.out, "");
    }
    // KARVO_TOKEN behind a token file is never used, so it does not stand in the way.
    FakeService shadowed;
    shadowed.variables = {{"KARVO_TOKEN", "0123456789abcdef"}};
    EXPECT_EQ(shadowed.run({"service", "install", "--token-file", "tok"}), 0) << shadowed.err;
    EXPECT_EQ(shadowed.installed.at(0).command_line.find("KARVO_TOKEN"), std::string::npos);
    EXPECT_EQ(shadowed.installed.at(0).command_line.find("0123456789abcdef"), std::string::npos);
}

TEST(ServiceTest, ServiceManagerErrorsArePlain) {
    FakeService fake;
    fake.install_result = Error(std::string(platform::kNeedsElevation));
    EXPECT_EQ(fake.run({"service", "install"}), 1);
    EXPECT_EQ(fake.err, "Error: " + std::string(platform::kNeedsElevation) + "\n");
    FakeService removing;
    EXPECT_EQ(removing.run({"service", "uninstall"}), 0);
    EXPECT_EQ(removing.removed, std::vector<std::string>{"karvo"});
}

TEST(ServiceTest, StopRequestEndsTheServerAndReportsStopped) {
    FakeService fake;
    EXPECT_EQ(fake.run({"--service", "--serve", "9110", "--token-file", "tok"}), 0);
    std::vector<ServiceState> states;
    for (const auto& status : fake.statuses) states.push_back(status.state);
    EXPECT_EQ(states, (std::vector<ServiceState>{ServiceState::start_pending, ServiceState::running,
                                                 ServiceState::stop_pending, ServiceState::stopped}));
    EXPECT_TRUE(fake.statuses[1].accepts_stop);
    EXPECT_FALSE(fake.statuses[2].accepts_stop);
    EXPECT_EQ(fake.statuses.back().exit_code, 0);
    ASSERT_EQ(fake.served.size(), 1u);
    EXPECT_EQ(fake.served[0].port, 9110);
    EXPECT_FALSE(fake.served[0].tls.has_value());
}

TEST(ServiceTest, StartErrorsGoToTheEventLogAndTheExitCode) {
    FakeService bad_token;
    bad_token.files["tok"] = "short";
    EXPECT_EQ(bad_token.run({"--service", "--token-file", "tok"}), 1);
    EXPECT_EQ(bad_token.serve_calls, 0);
    EXPECT_EQ(bad_token.events, "Error: token in tok too short (need >=16 chars, use `openssl rand -hex 32`)|");
    EXPECT_EQ(bad_token.statuses.back(), (platform::ServiceStatus{.state = ServiceState::stopped, .exit_code = 1}));

    // A service registered by hand with a token as text does not start either.
    FakeService text_token;
    EXPECT_EQ(text_token.run({"--service", "--token", "0123456789abcdef"}), 1);
    EXPECT_EQ(text_token.serve_calls, 0);
    EXPECT_TRUE(text_token.events.starts_with("Error: --token cannot be used for the service"));

    FakeService port_in_use;
    port_in_use.stop_while_serving = false;
    EXPECT_EQ(port_in_use.run({"--service"}), 1);
    EXPECT_NE(port_in_use.events.find("Error: bind 127.0.0.1:8080 failed"), std::string::npos);
}

TEST(ServiceTest, FromAConsoleServiceModeExitsWithUsageStatus) {
    FakeService fake;
    fake.under_manager = false;
    EXPECT_EQ(fake.run({"--service"}), 2);
    EXPECT_TRUE(fake.err.starts_with("error: --service must be started by the Windows service control manager"));
}

TEST(ServiceTest, StopBeforeRunningSkipsRunningAndInterrogateRepeats) {
    ServiceLifecycle lifecycle;
    std::vector<platform::ServiceStatus> seen;
    lifecycle.attach([&](const platform::ServiceStatus& status) { seen.push_back(status); });
    lifecycle.starting();
    lifecycle.control(platform::ServiceControl::shutdown);
    lifecycle.running();
    lifecycle.control(platform::ServiceControl::interrogate);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].state, ServiceState::stop_pending);
    EXPECT_EQ(seen[2], seen[1]);
    EXPECT_TRUE(lifecycle.stop_requested());
}

}  // namespace
}  // namespace karvo::cli
