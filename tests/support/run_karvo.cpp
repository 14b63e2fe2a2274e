#include "support/run_karvo.h"

#include <gtest/gtest.h>

#include "platform/net.h"
#include "platform/system.h"
#include "support/json_documents.h"
#include "fixtures/temp_dir.h"

namespace karvo::testing {
namespace {

// True for a one-shot JSON report: not a watch screen, a server, help or version.
bool prints_json_document(const std::vector<std::string>& args) {
    bool json = false;
    for (const std::string_view arg : args) {
        if (arg == "--") return false;
        if (arg == "--json" || arg == "--compact") json = true;
        for (const std::string_view other : {"--watch", "--serve", "--show-ref", "--help", "--version"}) {
            if (arg.starts_with(other)) return false;
        }
        if (arg == "-h" || arg == "-V") return false;
    }
    return json;
}

}  // namespace

std::string bin_dir() { return platform::executable_dir(); }

std::string karvo_path() { return bin_dir() + "/" + platform::executable_file_name("karvo"); }

std::string fake_dir(const std::string& name) { return bin_dir() + "/fakes/" + name; }

std::string empty_sysroot() {
    static const TempDir empty;  // removed when the test program ends
    return empty.path().string();
}

platform::ProcessOutput run_karvo(const std::vector<std::string>& args, EnvChanges env,
                                  const std::string& program) {
    platform::ProcessSpec spec;
    spec.program = program;
    spec.args = args;
    spec.env = {{"KARVO_TOKEN", std::nullopt}, {"KARVO_TOKEN_FILE", std::nullopt},
                {"KARVO_SYSROOT", empty_sysroot()}};
    spec.env.insert(spec.env.end(), env.begin(), env.end());
    // Wine now and then fails to bring a new process up at all (ERROR_INTERNAL_ERROR
    // from CreateProcess); a karvo that cannot start fails every try.
    auto result = platform::run_process(spec);
    for (int retry = 0; retry < 2 && !result.ok(); ++retry) result = platform::run_process(spec);
    if (!result.ok()) {
        ADD_FAILURE() << "could not start " << program << ": " << result.error().long_form();
        return {};
    }
    if (result->exit_code == 0 && prints_json_document(args)) {
        std::string_view document = result->out;
        if (document.ends_with('\n')) document.remove_suffix(1);
        collect_json_document("karvo", document);
    }
    return std::move(result).value();
}

std::string free_loopback_port() {
    auto probe = platform::Socket::listen_on(*platform::SocketAddress::parse("127.0.0.1:0"), 1);
    if (!probe.ok()) return "0";
    return std::to_string(probe->local_address()->port());
}

std::string loopback_get(const std::string& port, const std::string& path) {
    auto client = platform::Socket::connect_to(*platform::SocketAddress::parse("127.0.0.1:" + port));
    if (!client.ok()) return {};
    (void)client->set_receive_timeout(30000);
    if (!client->send_all("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n\r\n").ok()) return {};
    std::string reply;
    char buffer[4096];
    for (auto got = client->receive(buffer, sizeof buffer); got.ok() && *got > 0;
         got = client->receive(buffer, sizeof buffer)) {
        reply.append(buffer, *got);
    }
    return reply;
}

}  // namespace karvo::testing
