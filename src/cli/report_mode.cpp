#include "cli/report_mode.h"

#include "discovery/capture/redact.h"
#include "discovery/capture/report_file.h"
#include "discovery/capture/session.h"
#include "discovery/discover.h"
#include "platform/system.h"
#include "render/query.h"

namespace karvo::cli {
namespace {

namespace capture = discovery::capture;

zip::DosTime dos_time(const platform::WallTime& t) {
    return zip::DosTime{t.year, t.month, t.day, t.hour, t.minute, t.second};
}

int exit_status(const Result<render::ReportOutcome>& outcome) {
    if (!outcome.ok()) return kExitFailure;
    return *outcome == render::ReportOutcome::printed ? kExitSuccess : kExitUsageOrNoGpu;
}

// The document the redacted answers give, as a replay of the file prints it.
std::string replayed_document(const capture::Capture& redacted, const render::ReportOptions& options) {
    capture::replay_passes(capture::ReplaySource::make(redacted), true);
    std::string document;
    render::ReportIo io;
    io.write_out = [&](std::string_view bytes) {
        document += bytes;
        return Status();
    };
    io.write_err = [](std::string_view) { return Status(); };
    (void)render::run_report(options, [] { return discovery::discover_devices(); }, io);
    capture::live_passes();
    return document;
}

}  // namespace

int run_recorded_report(const Args& args, const std::vector<std::string>& argv, const render::ReportOptions& options,
                        const Services& services) {
    auto recorder = std::make_shared<capture::Recorder>();
    const platform::WallTime started = platform::wall_time(platform::Zone::utc);
    const platform::WallTime started_local = platform::wall_time(platform::Zone::local);

    capture::Capture report;
    render::ReportIo io;
    io.write_out = [&](std::string_view bytes) {
        report.document += bytes;
        return services.write_out(bytes);
    };
    io.write_err = services.write_err;
    capture::record_passes(recorder);
    const Result<render::ReportOutcome> outcome =
        render::run_report(options, [] { return discovery::discover_devices(); }, io);
    capture::live_passes();

    report.info.format_version = capture::kFormatVersion;
    report.info.karvo_version = std::string(kVersion);
    report.info.system = capture::host_system();
    report.info.os = platform::os_description();
    report.info.command_line = argv;
    report.info.time = render::rfc3339_utc_text(started);
    report.records = recorder->records();
    report.stderr_text = recorder->stderr_text();
    if (args.redact) {
        report = capture::redact(std::move(report));
        report.document = replayed_document(report, options);
    }

    auto bytes = capture::write_report(report, dos_time(started_local));
    Status written = bytes.ok() ? platform::write_file(*args.report, *bytes) : Status(bytes.error());
    if (!written.ok()) {
        (void)services.write_err("Error: cannot write the report " + *args.report + ": " +
                                 written.error().long_form() + "\n");
        return kExitFailure;
    }
    (void)services.write_err("Report written to " + *args.report + ": " + capture::describe(report) + "\n");
    if (!outcome.ok()) (void)services.write_err("Error: " + outcome.error().short_form() + "\n");
    return exit_status(outcome);
}

Status start_replay(const std::string& path) {
    auto bytes = platform::read_regular_file(path, capture::kMaxReportBytes);
    if (!bytes.ok()) return Error("cannot replay " + path, bytes.error());
    auto report = capture::read_report(*bytes);
    if (!report.ok()) return Error("cannot replay " + path, report.error());
    capture::replay_passes(capture::ReplaySource::make(std::move(report).value()));
    return {};
}

}  // namespace karvo::cli
