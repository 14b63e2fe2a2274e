#pragma once
// Drives the backend in this process against the display library test double
// (tests/fakes/adl and its variants): writes the scenario, points the double
// at it and at a call log, and records what the backend asks of its host.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/adl/adl_internal.h"
#include "platform/system.h"
#include "support/run_karvo.h"
#include "fixtures/temp_dir.h"

namespace karvo::discovery::adl::testing {

// Full path of the double in one of the fake folders ("adl", "adl-no-odn", ...).
inline std::string fake_library(const std::string& variant) {
    return std::filesystem::path(karvo::testing::fake_dir(variant) + "/atiadlxx.dll").make_preferred().string();
}

class FakeAdl {
public:
    explicit FakeAdl(std::string_view scenario, std::string variant = "adl") : variant_(std::move(variant)) {
        scenario_path_ = dir_.write("scenario.txt", scenario);
        log_path_ = (dir_.path() / "calls.log").string();
        platform::set_env("KARVO_FAKE_ADL", scenario_path_);
        platform::set_env("KARVO_FAKE_ADL_LOG", log_path_);
    }
    ~FakeAdl() {
        platform::set_env("KARVO_FAKE_ADL", std::nullopt);
        platform::set_env("KARVO_FAKE_ADL_LOG", std::nullopt);
    }
    FakeAdl(const FakeAdl&) = delete;
    FakeAdl& operator=(const FakeAdl&) = delete;

    std::string library_path() const { return fake_library(variant_); }

    // A host that loads only the double, records the waits and diagnostics,
    // and answers the system memory query with `memory_code`.
    AdlHost host(std::optional<std::uint32_t> memory_code = std::nullopt) {
        AdlHost host;
        host.library_names = {"no-such-display-library.dll", library_path()};
        host.sleep_ms = [this](std::uint32_t ms) { sleeps.push_back(ms); };
        host.memory_code_query = [this, memory_code] {
            ++memory_queries;
            return memory_code;
        };
        host.write_line = [this](std::string_view line) { diagnostics += line; };
        return host;
    }

    // Everything the double was asked, one call per line.
    std::string calls() const {
        std::ifstream in(log_path_, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Number of logged calls whose line contains `needle`.
    int count_calls(std::string_view needle) const {
        const std::string text = calls();
        int found = 0;
        for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++found;
        return found;
    }
    bool called(std::string_view needle) const { return count_calls(needle) > 0; }

    std::string diagnostics;
    std::vector<std::uint32_t> sleeps;
    int memory_queries = 0;

private:
    karvo::testing::TempDir dir_;
    std::string variant_;
    std::string scenario_path_;
    std::string log_path_;
};

}  // namespace karvo::discovery::adl::testing
