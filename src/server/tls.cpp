#include "server/tls.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <psa/crypto.h>

#include <string>

#include "common/numfmt.h"
#include "platform/system.h"
#include "server/pem.h"
#include "server/request.h"

namespace karvo::server {
namespace {

// Certificate, key and CA files are small; anything larger is refused unread.
constexpr std::size_t kMaxPemFileBytes = 1024 * 1024;
// The first byte of every TLS record that opens a connection (a handshake record).
constexpr unsigned char kHandshakeRecord = 0x16;

std::string mbedtls_text(int code) {
    char text[160];
    mbedtls_strerror(code, text, sizeof text);
    return text;
}

// The process's one random generator, seeded from the OS once (getrandom or
// /dev/urandom; BCryptGenRandom on Windows). The server is one thread.
struct Random {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    int status = 0;
    Random() {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
        status = static_cast<int>(psa_crypto_init());
        if (status == 0) {
            static constexpr unsigned char kPersonal[] = "karvo-https";
            status = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, kPersonal, sizeof kPersonal - 1);
        }
    }
    ~Random() {
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
};

Random& random_source() {
    static Random random;
    return random;
}

// The sizes of the two handshake messages that grow with the files: the
// Certificate message (TLS 1.3 form, the larger: a context byte and two bytes
// of extensions per certificate) and the CertificateRequest's list of client
// CA names (TLS 1.2), with room for its fixed fields.
std::size_t certificate_message_bytes(const mbedtls_x509_crt& chain) {
    std::size_t bytes = 4 + 1 + 3;
    for (const mbedtls_x509_crt* crt = &chain; crt != nullptr && crt->raw.len > 0; crt = crt->next)
        bytes += 3 + crt->raw.len + 2;
    return bytes;
}

std::size_t certificate_request_bytes(const mbedtls_x509_crt& cas) {
    constexpr std::size_t kFixedFields = 128;  // header, certificate types, signature algorithms
    std::size_t bytes = kFixedFields;
    for (const mbedtls_x509_crt* crt = &cas; crt != nullptr && crt->raw.len > 0; crt = crt->next)
        bytes += 2 + crt->subject_raw.len;
    return bytes;
}

std::size_t certificate_count(const mbedtls_x509_crt& chain) {
    std::size_t count = 0;
    for (const mbedtls_x509_crt* crt = &chain; crt != nullptr && crt->raw.len > 0; crt = crt->next) ++count;
    return count;
}

std::string decimal(std::size_t value) { return numfmt::unsigned_text(value); }

// Parses PEM blocks one by one into `chain` (each block with its NUL, as mbedTLS wants PEM).
Status parse_certificates(mbedtls_x509_crt& chain, std::string_view pem) {
    auto blocks = pem_certificates(pem);
    if (!blocks.ok()) return blocks.error();
    for (const std::string& block : *blocks) {
        const int code = mbedtls_x509_crt_parse(&chain, reinterpret_cast<const unsigned char*>(block.c_str()),
                                                block.size() + 1);
        if (code != 0) return Error(mbedtls_text(code));
    }
    return Ok{};
}

}  // namespace

const std::size_t kMaxHandshakeMessageBytes = MBEDTLS_SSL_OUT_CONTENT_LEN;

class TlsCredentials {
public:
    TlsCredentials() {
        mbedtls_x509_crt_init(&chain);
        mbedtls_x509_crt_init(&client_ca);
        mbedtls_pk_init(&key);
        mbedtls_ssl_config_init(&config);
    }
    ~TlsCredentials() {
        mbedtls_ssl_config_free(&config);
        mbedtls_pk_free(&key);
        mbedtls_x509_crt_free(&client_ca);
        mbedtls_x509_crt_free(&chain);
    }
    TlsCredentials(const TlsCredentials&) = delete;
    TlsCredentials& operator=(const TlsCredentials&) = delete;

    mbedtls_x509_crt chain;
    mbedtls_x509_crt client_ca;
    mbedtls_pk_context key;
    mbedtls_ssl_config config;
};

Result<std::shared_ptr<const TlsCredentials>> make_credentials(const TlsFiles& files, const TlsMaterial& material) {
    Random& random = random_source();
    if (random.status != 0) return Error("TLS random generator: " + mbedtls_text(random.status));
    auto set = std::make_shared<TlsCredentials>();

    const std::string cert_context = "TLS certificate file " + files.cert_file + ": ";
    const std::string key_context = "TLS key file " + files.key_file + ": ";
    if (Status parsed = parse_certificates(set->chain, material.cert_pem); !parsed.ok()) {
        return Error(cert_context + parsed.error().long_form());
    }
    auto key_pem = pem_private_key(material.key_pem);
    if (!key_pem.ok()) return Error(key_context + key_pem.error().long_form());
    int code = mbedtls_pk_parse_key(&set->key, reinterpret_cast<const unsigned char*>(key_pem->c_str()),
                                    key_pem->size() + 1, nullptr, 0, mbedtls_ctr_drbg_random, &random.drbg);
    if (code != 0) return Error(key_context + mbedtls_text(code));
    if (mbedtls_pk_check_pair(&set->chain.pk, &set->key, mbedtls_ctr_drbg_random, &random.drbg) != 0) {
        return Error(key_context + "does not match the certificate in " + files.cert_file);
    }
    if (const std::size_t bytes = certificate_message_bytes(set->chain); bytes > kMaxHandshakeMessageBytes) {
        return Error(cert_context + "the chain of " + decimal(certificate_count(set->chain)) + " certificates takes " +
                     decimal(bytes) + " bytes in the handshake, more than the " +
                     decimal(kMaxHandshakeMessageBytes) +
                     " one TLS record carries; leave the root certificate out of the file (clients have their own)");
    }
    if (material.client_ca_pem) {
        const std::string ca_context = "TLS client CA file " + files.client_ca_file.value_or("") + ": ";
        if (Status parsed = parse_certificates(set->client_ca, *material.client_ca_pem); !parsed.ok()) {
            return Error(ca_context + parsed.error().long_form());
        }
        if (const std::size_t bytes = certificate_request_bytes(set->client_ca); bytes > kMaxHandshakeMessageBytes) {
            return Error(ca_context + "the names of its " + decimal(certificate_count(set->client_ca)) +
                         " certificates take " + decimal(bytes) + " bytes in the handshake, more than the " +
                         decimal(kMaxHandshakeMessageBytes) + " one TLS record carries; keep only the CAs that "
                         "sign client certificates");
        }
    }

    mbedtls_ssl_config& config = set->config;
    code = mbedtls_ssl_config_defaults(&config, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                       MBEDTLS_SSL_PRESET_DEFAULT);
    if (code == 0) code = mbedtls_ssl_conf_own_cert(&config, &set->chain, &set->key);
    if (code != 0) return Error(cert_context + mbedtls_text(code));
    mbedtls_ssl_conf_rng(&config, mbedtls_ctr_drbg_random, &random.drbg);
    mbedtls_ssl_conf_min_tls_version(&config, files.min_version == TlsMinVersion::tls1_3
                                                  ? MBEDTLS_SSL_VERSION_TLS1_3
                                                  : MBEDTLS_SSL_VERSION_TLS1_2);
    mbedtls_ssl_conf_max_tls_version(&config, MBEDTLS_SSL_VERSION_TLS1_3);
    if (material.client_ca_pem) {
        mbedtls_ssl_conf_ca_chain(&config, &set->client_ca, nullptr);
        mbedtls_ssl_conf_authmode(&config, MBEDTLS_SSL_VERIFY_REQUIRED);
    } else {
        mbedtls_ssl_conf_authmode(&config, MBEDTLS_SSL_VERIFY_NONE);
    }
    return std::shared_ptr<const TlsCredentials>(std::move(set));
}

Result<std::shared_ptr<const TlsCredentials>> load_credentials(const TlsFiles& files) {
    auto read = [](std::string_view what, const std::string& path) -> Result<std::string> {
        auto data = platform::read_regular_file(path, kMaxPemFileBytes);
        if (!data.ok()) return Error(std::string(what) + " " + path + ": " + data.error().long_form());
        return data;
    };
    TlsMaterial material;
    auto cert = read("TLS certificate file", files.cert_file);
    if (!cert.ok()) return cert.error();
    auto key = read("TLS key file", files.key_file);
    if (!key.ok()) return key.error();
    material.cert_pem = std::move(*cert);
    material.key_pem = std::move(*key);
    if (files.client_ca_file) {
        auto ca = read("TLS client CA file", *files.client_ca_file);
        if (!ca.ok()) return ca.error();
        material.client_ca_pem = std::move(*ca);
    }
    auto made = make_credentials(files, material);
    // The key's bytes do not stay in memory longer than needed.
    mbedtls_platform_zeroize(material.key_pem.data(), material.key_pem.size());
    return made;
}

struct TlsSession::State {
    std::shared_ptr<const TlsCredentials> credentials;
    platform::Socket* socket = nullptr;
    mbedtls_ssl_context ssl;
    bool ready = false;
    bool got_bytes = false;  // whether any byte of the peer has been seen
    bool plain = false;      // the peer's first byte opened no TLS record
    int last_error = 0;      // the mbedTLS code of the last failed step

    static int receive(void* context, unsigned char* buffer, std::size_t length) {
        auto* state = static_cast<State*>(context);
        if (state->plain) return MBEDTLS_ERR_NET_RECV_FAILED;
        auto received = state->socket->try_receive(reinterpret_cast<char*>(buffer), length);
        if (!received.ok()) return MBEDTLS_ERR_NET_RECV_FAILED;
        if (!*received) return MBEDTLS_ERR_SSL_WANT_READ;
        const std::size_t count = **received;
        if (count > 0 && !state->got_bytes) {
            state->got_bytes = true;
            if (buffer[0] != kHandshakeRecord) {
                state->plain = true;
                return MBEDTLS_ERR_NET_RECV_FAILED;
            }
        }
        return static_cast<int>(count);
    }

    static int send(void* context, const unsigned char* buffer, std::size_t length) {
        auto* state = static_cast<State*>(context);
        if (state->plain) return MBEDTLS_ERR_NET_SEND_FAILED;  // no alert for a plain HTTP client
        auto sent = state->socket->try_send(std::string_view(reinterpret_cast<const char*>(buffer), length));
        if (!sent.ok()) return MBEDTLS_ERR_NET_SEND_FAILED;
        if (!*sent) return MBEDTLS_ERR_SSL_WANT_WRITE;
        return static_cast<int>(**sent);
    }

    Progress progress_of(int code) {
        if (code == MBEDTLS_ERR_SSL_WANT_READ) return Progress::want_read;
        if (code == MBEDTLS_ERR_SSL_WANT_WRITE) return Progress::want_write;
        last_error = code;
        return plain ? Progress::plain_http : Progress::failed;
    }
};

TlsSession::TlsSession(std::shared_ptr<const TlsCredentials> credentials, platform::Socket& socket)
    : state_(std::make_unique<State>()) {
    state_->credentials = std::move(credentials);
    state_->socket = &socket;
    mbedtls_ssl_init(&state_->ssl);
    state_->ready = mbedtls_ssl_setup(&state_->ssl, &state_->credentials->config) == 0;
    mbedtls_ssl_set_bio(&state_->ssl, state_.get(), &State::send, &State::receive, nullptr);
}

TlsSession::~TlsSession() { mbedtls_ssl_free(&state_->ssl); }

bool TlsSession::ready() const { return state_->ready; }

TlsSession::Progress TlsSession::handshake() {
    if (!state_->ready) return Progress::failed;
    const int code = mbedtls_ssl_handshake(&state_->ssl);
    return code == 0 ? Progress::done : state_->progress_of(code);
}

TlsSession::Progress TlsSession::read(char* buffer, std::size_t capacity, std::size_t& received) {
    received = 0;
    for (;;) {
        const int code = mbedtls_ssl_read(&state_->ssl, reinterpret_cast<unsigned char*>(buffer), capacity);
        if (code > 0) {
            received = static_cast<std::size_t>(code);
            return Progress::done;
        }
        // A TLS 1.3 client's post-handshake messages: read on.
        if (code == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET) continue;
        if (code == 0) return Progress::failed;  // the peer closed
        return state_->progress_of(code);
    }
}

TlsSession::Progress TlsSession::write(std::string_view bytes, std::size_t& written) {
    written = 0;
    if (bytes.empty()) return Progress::done;
    const int code = mbedtls_ssl_write(&state_->ssl, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    if (code > 0) {
        written = static_cast<std::size_t>(code);
        return Progress::done;
    }
    return state_->progress_of(code);
}

void TlsSession::close_notify() { (void)mbedtls_ssl_close_notify(&state_->ssl); }

bool TlsSession::peer_verified() const {
    return state_->ready && mbedtls_ssl_is_handshake_over(&state_->ssl) &&
           mbedtls_ssl_get_peer_cert(&state_->ssl) != nullptr && mbedtls_ssl_get_verify_result(&state_->ssl) == 0;
}

bool TlsSession::peer_spoke() const { return state_->got_bytes; }

std::string TlsSession::failure_reason() const {
    if (!state_->ready) return "the TLS session could not be set up";
    std::string reason = state_->last_error != 0 ? mbedtls_text(state_->last_error) : std::string("unknown");
    // A client certificate that failed: what was wrong with it (one finding a line).
    // (A server that asks for no certificate marks every session "skipped".)
    constexpr std::uint32_t kFindings = ~std::uint32_t{MBEDTLS_X509_BADCERT_SKIP_VERIFY};
    const std::uint32_t verified = mbedtls_ssl_get_verify_result(&state_->ssl);
    const std::uint32_t flags = verified & kFindings;
    if (flags != 0 && verified != std::uint32_t(-1)) {
        char info[512];
        if (mbedtls_x509_crt_verify_info(info, sizeof info, "", flags) > 0) {
            std::string findings;
            for (std::string_view rest = info; !rest.empty();) {
                const std::size_t end = rest.find('\n');
                const std::string_view line = rest.substr(0, end);
                if (!line.empty()) findings += (findings.empty() ? "" : "; ") + std::string(line);
                if (end == std::string_view::npos) break;
                rest.remove_prefix(end + 1);
            }
            if (!findings.empty()) reason += " (client certificate: " + findings + ")";
        }
    }
    return reason;
}

std::string plain_http_refusal() {
    return format_response(Response{"HTTP/1.1 400 Bad Request", "application/json", R"({"error":"https required"})"});
}

}  // namespace karvo::server
