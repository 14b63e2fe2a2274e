#include "server/tls_reload.h"

namespace karvo::server {
namespace {
constexpr std::uint64_t kCheckIntervalNs = 1000000000;
}

TlsReloader::TlsReloader(TlsFiles files, std::shared_ptr<const TlsCredentials> initial, Clock now, Warn warn)
    : files_(std::move(files)), current_(std::move(initial)), now_(std::move(now)), warn_(std::move(warn)) {
    loaded_ = stamps();
    next_check_ns_ = now_() + kCheckIntervalNs;
}

TlsReloader::Stamps TlsReloader::stamps() const {
    return {platform::file_stamp(files_.cert_file), platform::file_stamp(files_.key_file),
            files_.client_ca_file ? platform::file_stamp(*files_.client_ca_file) : std::nullopt};
}

const std::shared_ptr<const TlsCredentials>& TlsReloader::current() {
    const std::uint64_t now = now_();
    if (now < next_check_ns_) return current_;
    next_check_ns_ = now + kCheckIntervalNs;
    const Stamps seen = stamps();
    if (seen == loaded_ || seen == failed_) return current_;
    auto loaded = load_credentials(files_);
    // The files may have changed while they were read: what counts is what
    // they were before, so a change during the load is looked at again.
    if (loaded.ok()) {
        current_ = std::move(*loaded);
        loaded_ = seen;
        failed_.reset();
    } else {
        failed_ = seen;
        warn_("warning: TLS files changed but could not be loaded; the previous certificate stays in use: " +
              loaded.error().long_form() + "\n");
    }
    return current_;
}

}  // namespace karvo::server
