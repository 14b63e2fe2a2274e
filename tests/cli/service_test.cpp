#include "cli/service.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "cli/driver.h"

namespace karvo::cli {
namespace {

using platform::ServiceState;

TEST(ServiceTest, WindowsArgumentQuoting) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"plain", "plain"},
        {"", R"("")"},
        {R"(C:\Program Files\karvo\karvo.exe)", R"("C:\Program Files\karvo\karvo.exe")"},
        {R"(C:\dir with blank\)", R"("C:\dir with blank\\")"},
        {R"(say "hi")", R"("say \"hi\"")"},
        {R"(a\\"b)", R"("a\\\\\"b")"},
        {R"(no\blank\)", R"(no\blank\)"},
    };
    for (const auto& [arg, quoted] : cases) EXPECT_EQ(quote_windows_argument(arg), quoted) << arg;
}

// The service commands and the service mode over a fake service manager.
struct FakeService {
    std::string out, err, events;
    std::map<std::string, std::string> files{{"tok", "0123456789abcdef0123\n"}};
    std::vector<platform::ServiceDefinition> installed;
    std::vector<std::string> removed;
    Status install_result;
    std::optional<server::TlsFiles> served_tls;
    std::vector<platform::ServiceStatus> statuses;
    bool under_manager = true;
    bool stop_while_serving = true;
    int serve_calls = 0;

    Services services() {
        Services s;
        s.tokens.get_env = [](std::string_view) { return std::optional<std::string>(); };
        s.tokens.read_file = [this](const std::string& path) -> Result<std::string> {
            const auto it = files.find(path);
            if (it == files.end()) return Error("No such file or directory (os error 2)");
            return it->second;
        };
        s.tokens.warn = [this](std::string_view line) { err += line; };
        s.write_out = [this](std::string_view bytes) { out += bytes; return Status(); };
        s.write_err = [this](std::string_view bytes) { err += bytes; return Status(); };
        s.service.executable_path = [] { return Result<std::string>(std::string(R"(C:\Program Files\karvo\karvo.exe)")); };
        s.service.absolute_path = [](const std::string& path) { return Result<std::string>(R"(C:\data\)" + path); };
        s.service.install = [this](const platform::ServiceDefinition& d) { installed.push_back(d); return install_result; };
        s.service.uninstall = [this](std::string_view name, std::uint32_t) { removed.emplace_back(name); return Status(); };
        s.service.report_event = [this](platform::EventType, std::string_view line) { events += std::string(line) + "|"; };
        s.service.run_as_service = [this](std::string_view, const platform::ServiceCallbacks& callbacks) {
            if (!under_manager) return false;
            control_ = &callbacks;
            callbacks.main([this](const platform::ServiceStatus& status) { statuses.push_back(status); });
            return true;
        };
        s.serve_until = [this](const std::string&, std::uint16_t, const std::optional<std::string>&,
                               const server::ServeHooks& hooks, const std::optional<server::TlsFiles>& tls) -> Status {
            ++serve_calls;
            served_tls = tls;
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

TEST(ServiceTest, InstallRegistersTheCheckedServeOptions) {
    FakeService fake;
    ASSERT_EQ(fake.run({"service", "install", "--serve", "9110", "--listen=0.0.0.0", "--token-file", "tok"}), 0)
        << fake.err;
    ASSERT_EQ(fake.installed.size(), 1u);
    const auto& service = fake.installed[0];
    EXPECT_EQ(service.name, "karvo");
    EXPECT_EQ(service.display_name, "karvo AMD GPU exporter");
    EXPECT_EQ(service.command_line,
              R"("C:\Program Files\karvo\karvo.exe" --service --serve 9110 --listen 0.0.0.0 --token-file C:\data\tok)");
    EXPECT_EQ(service.restart_delays_ms, (std::vector<std::uint32_t>{10000, 30000, 60000}));
    EXPECT_TRUE(service.delayed_auto_start);
}

TEST(ServiceTest, InstallRefusesBeforeRegistering) {
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string_view message;
    };
    const Case cases[] = {
        {{"service", "install", "--json"}, 2, "'--json' is not a setting of the service"},
        {{"service", "install", "--serve", "x"}, 2, "invalid value 'x'"},
        {{"service", "install", "--token-file", "missing"}, 1, "Error: read token file missing: No such file"},
        {{"service", "install", "--listen", "0.0.0.0"}, 1, "Error: refusing unauthenticated remote bind"},
        {{"service", "install", "--tls-cert-file", "c.pem"}, 2, "--tls-cert-file needs --tls-key-file"},
        {{"service", "install", "--tls-cert-file", "missing.pem", "--tls-key-file", "k.pem"}, 1, "missing.pem"},
        {{"service", "start"}, 2, "'service' needs 'install' or 'uninstall'"},
        {{"service", "uninstall", "now"}, 2, "takes no arguments"},
    };
    for (const Case& c : cases) {
        FakeService fake;
        EXPECT_EQ(fake.run(c.arguments), c.status) << c.arguments.back();
        EXPECT_NE(fake.err.find(c.message), std::string::npos) << fake.err;
        EXPECT_TRUE(fake.installed.empty() && fake.removed.empty());
    }
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
    EXPECT_FALSE(fake.served_tls.has_value());

    FakeService https;
    EXPECT_EQ(https.run({"--service", "--tls-cert-file", "a.pem", "--tls-key-file", "b.pem"}), 0) << https.err;
    ASSERT_TRUE(https.served_tls.has_value());
    EXPECT_EQ(https.served_tls->cert_file, "a.pem");
    EXPECT_EQ(https.served_tls->key_file, "b.pem");
}

TEST(ServiceTest, StartErrorsGoToTheEventLogAndTheExitCode) {
    FakeService bad_token;
    bad_token.files["tok"] = "short";
    EXPECT_EQ(bad_token.run({"--service", "--token-file", "tok"}), 1);
    EXPECT_EQ(bad_token.serve_calls, 0);
    EXPECT_EQ(bad_token.events, "Error: token in tok too short (need >=16 chars, use `openssl rand -hex 32`)|");
    EXPECT_EQ(bad_token.statuses.back(), (platform::ServiceStatus{.state = ServiceState::stopped, .exit_code = 1}));

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
