#include "support/run_karvo.h"

#include <gtest/gtest.h>

#include "platform/system.h"
#include "support/temp_dir.h"

namespace karvo::testing {

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
    auto result = platform::run_process(spec);
    if (!result.ok()) {
        ADD_FAILURE() << "could not start " << program << ": " << result.error().long_form();
        return {};
    }
    return std::move(result).value();
}

}  // namespace karvo::testing
