// Any bytes as a report file: reading gives a capture or an error, never a
// crash, a hang or a huge allocation. The first byte picks what the rest is:
// the whole file, or (inside a well-formed archive, so the CRC does not stop
// every mutation) the answers stream or report.json. A capture that reads is
// then replayed through one whole discovery pass.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/zip.h"
#include "discovery/capture/report_file.h"
#include "discovery/capture/session.h"
#include "discovery/discover.h"

namespace {

constexpr std::string_view kInfo = R"({"format":"karvo report","version":1,"system":"linux"})";
constexpr std::string_view kWindowsInfo = R"({"format":"karvo report","version":1,"system":"windows"})";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    using namespace karvo;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string file;
    switch (data[0] % 4) {
        case 0: file = std::string(rest); break;
        case 1: file = zip::write({{"report.json", std::string(kInfo)}, {"answers.txt", std::string(rest)}}, {}).value(); break;
        case 2: file = zip::write({{"report.json", std::string(kWindowsInfo)}, {"answers.txt", std::string(rest)}}, {}).value(); break;
        default: file = zip::write({{"report.json", std::string(rest)}, {"answers.txt", ""}}, {}).value(); break;
    }
    auto capture = discovery::capture::read_report(file);
    if (!capture.ok()) return 0;
    (void)discovery::capture::describe(*capture);
    discovery::capture::replay_passes(discovery::capture::ReplaySource::make(std::move(capture).value()), true);
    (void)discovery::discover_devices();
    discovery::capture::live_passes();
    return 0;
}
