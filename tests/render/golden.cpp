#include "render/golden.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>

#include "platform/system.h"

namespace karvo::testing {

namespace {

std::string golden_path(const std::string& name) { return std::string(KARVO_TESTS_DIR) + "/render/golden/" + name; }

bool read_binary(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    out = buffer.str();
    return true;
}

}  // namespace

std::string golden(const std::string& name, const std::string& actual) {
    const std::string path = golden_path(name);
    if (platform::get_env("KARVO_UPDATE_GOLDEN") == std::optional<std::string>("1")) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(actual.data(), static_cast<std::streamsize>(actual.size()));
        EXPECT_TRUE(out.good()) << "cannot write " << path;
        return actual;
    }
    std::string expected;
    // Under Wine a POSIX path resolves against the current drive; the source
    // tree is always reachable through Z:, Wine's mapping of "/".
    if (!read_binary(path, expected) && !(path.starts_with("/") && read_binary("Z:" + path, expected))) {
        ADD_FAILURE() << "cannot read golden file " << path;
    }
    return expected;
}

}  // namespace karvo::testing
