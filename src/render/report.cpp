#include "render/report.h"

namespace karvo::render {

Result<ReportOutcome> run_report(const ReportOptions&, const Discover&) {
    return Error("report not available yet");
}

}  // namespace karvo::render
