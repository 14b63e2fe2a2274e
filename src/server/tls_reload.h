#pragma once
// Certificates renewed on disk (cert-manager, ACME clients) are taken up
// without a restart: before accepting, at most once a second, the files'
// modification times and sizes are compared with those of the set in use. A
// changed set is loaded and used for new connections; one that fails to load
// (a half-written file, a key that does not match) is reported once and the
// previous set stays in use until the files change again.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/files.h"
#include "server/tls.h"

namespace karvo::server {

class TlsReloader {
public:
    using Clock = std::function<std::uint64_t()>;  // monotonic nanoseconds
    using Warn = std::function<void(std::string_view line)>;

    // `initial` is the set loaded from `files` at start-up.
    TlsReloader(TlsFiles files, std::shared_ptr<const TlsCredentials> initial, Clock now, Warn warn);

    // The set for the next connection, after the check when one is due.
    const std::shared_ptr<const TlsCredentials>& current();

private:
    using Stamps = std::array<std::optional<platform::FileStamp>, 3>;
    Stamps stamps() const;

    TlsFiles files_;
    std::shared_ptr<const TlsCredentials> current_;
    Clock now_;
    Warn warn_;
    Stamps loaded_;                   // the files as they were when current_ was loaded
    std::optional<Stamps> failed_;    // the files as they were at the last failed load
    std::uint64_t next_check_ns_ = 0;
};

}  // namespace karvo::server
