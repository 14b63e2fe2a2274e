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

// The largest handshake message the server sends: one full TLS record
// (mbedTLS never splits a handshake message over records). The Certificate
// message carries the whole chain; the CertificateRequest the names of the
// client CAs.
extern const std::size_t kMaxHandshakeMessageBytes;

// Builds a certificate set; errors name the file at fault (from `files`):
// "TLS certificate file {path}: ...", "TLS key file {path}: ...",
// "TLS client CA file {path}: ...", or the key not matching the certificate.
// A chain (or a client CA list) too large for one handshake message
// (kMaxHandshakeMessageBytes) is refused here rather than failing every
// handshake later.
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
    // After the handshake: encrypts and sends what the socket takes of
    // `bytes` now, giving in `written` how many of them went (done). With
    // want_write or want_read nothing went: call again with the same bytes
    // once the socket is ready for that.
    Progress write(std::string_view bytes, std::size_t& written);
    // Tells the peer the response is complete, as far as the socket takes it
    // now (never waits).
    void close_notify();

    // After the handshake: the peer presented a certificate and it passed
    // verification against the client CAs, on this connection.
    bool peer_verified() const;
    // Whether the peer sent any byte: a connection closed before its first
    // byte (a port probe) never started a handshake.
    bool peer_spoke() const;
    // Why the last step failed, in mbedTLS's words, with the certificate
    // verification's findings when that is what failed.
    std::string failure_reason() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The plain answer for a client that sent plain HTTP to the HTTPS port: a 400
// with the usual header set whose body says HTTPS is required.
std::string plain_http_refusal();

}  // namespace karvo::server
