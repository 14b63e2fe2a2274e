#include "render/report.h"

#include "platform/console.h"
#include "platform/system.h"
#include "render/json.h"
#include "render/table.h"

namespace karvo::render {

std::string report_text(const ReportOptions& options, const DeviceList& devices, std::string_view time_text) {
    if (options.compact || options.json) {
        std::string text = render_json(devices, options.compact ? JsonLayout::compact : JsonLayout::pretty);
        text += '\n';
        return text;
    }
    return render_table(devices, TableOptions{options.verbose, options.watch}, time_text);
}

Result<ReportOutcome> run_report(const ReportOptions& options, const Discover& discover, const ReportIo& io) {
    const DeviceList devices = discover();
    if (devices.empty()) {
        // Nothing sensible can be done if standard error is gone; the exit status still tells.
        (void)io.write_err(kNoGpuMessage);
        return ReportOutcome::no_gpu;
    }
    // The time is that of the data, so it is taken after discovery; JSON has no time in it.
    const bool table = !options.compact && !options.json;
    const std::string time_text = table ? io.local_time() : std::string();
    // One write per document, so it reaches the screen or pipe at once and whole.
    const Status written = io.write_out(report_text(options, devices, time_text));
    if (!written) return Error("write to standard output failed: " + written.error().long_form());
    return ReportOutcome::printed;
}

Result<ReportOutcome> run_report(const ReportOptions& options, const Discover& discover) {
    static const ReportIo kProcessIo{platform::write_stdout, platform::write_stderr, platform::local_time_text};
    return run_report(options, discover, kProcessIo);
}

}  // namespace karvo::render
