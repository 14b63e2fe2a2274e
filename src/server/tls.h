#pragma once
// HTTPS for the HTTP API: the certificate set the server presents (loaded
// from PEM files, checked before the server listens) and the TLS side of one
// connection, driven step by step over a non-blocking socket inside the serve
// loop's poll. mbedTLS does the protocol work; nothing of it shows here.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/net.h"

namespace karvo::server {

enum class TlsMinVersion { tls1_2, tls1_3 };

// The files named on the command line (or by the KARVO_TLS_* variables).
struct TlsFiles {
    std::string cert_file;                      // PEM chain, leaf first
    std::string key_file;                       // unencrypted PEM: PKCS#1, PKCS#8 or SEC1
    std::optional<std::string> client_ca_file;  // PEM; given: every client must present a certificate it signed
    TlsMinVersion min_version = TlsMinVersion::tls1_2;
    bool operator==(const TlsFiles&) const = default;
};

// The file contents a certificate set is built from.
struct TlsMaterial {
    std::string cert_pem;
    std::string key_pem;
    std::optional<std::string> client_ca_pem;
};

// A loaded certificate set with its TLS settings; immutable, shared by every
// connection started while it was the current one.
class TlsCredentials;

// Builds a certificate set; errors name the file at fault (from `files`):
// "TLS certificate file {path}: ...", "TLS key file {path}: ...",
// "TLS client CA file {path}: ...", or the key not matching the certificate.
Result<std::shared_ptr<const TlsCredentials>> make_credentials(const TlsFiles& files, const TlsMaterial& material);

// Reads the three files (each a regular file of at most 1 MiB) and builds the set.
Result<std::shared_ptr<const TlsCredentials>> load_credentials(const TlsFiles& files);

// The TLS side of one accepted connection. The socket must be non-blocking
// and outlive the session.
class TlsSession {
public:
    enum class Progress {
        done,        // handshake finished (or, for read(), bytes were read)
        want_read,   // waiting for the peer's bytes
        want_write,  // waiting for room to send
        plain_http,  // the peer spoke plain HTTP, not TLS; nothing was sent to it
        failed,      // handshake or record error; the connection should be closed
    };

    TlsSession(std::shared_ptr<const TlsCredentials> credentials, platform::Socket& socket);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    bool ready() const;  // false when setting up the session failed
    // One step of the handshake, as far as the bytes that have arrived allow.
    Progress handshake();
    // After the handshake: the request bytes of one read (at most `capacity`).
    Progress read(char* buffer, std::size_t capacity, std::size_t& received);
    // Sends all of `bytes` encrypted within `milliseconds`; then close_notify.
    Status send_all_within(std::string_view bytes, std::uint32_t milliseconds);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The plain answer for a client that sent plain HTTP to the HTTPS port: a 400
// with the usual header set whose body says HTTPS is required.
std::string plain_http_refusal();

}  // namespace karvo::server
