// Feeds arbitrary text to the PEM reading of the HTTPS files (mbedTLS itself
// is not fuzzed here). Beyond not crashing: every block is a whole one with
// matching BEGIN and END lines, and what the certificate and key readers
// accept is made of such blocks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/pem.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void check_block(std::string_view text, std::string_view label) {
    const std::string begin = "-----BEGIN " + std::string(label) + "-----\n";
    const std::string end = "-----END " + std::string(label) + "-----\n";
    check(text.starts_with(begin) && text.ends_with(end) && text.size() >= begin.size() + end.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& block : karvo::server::pem_blocks(text)) {
        check(!block.label.empty());
        check_block(block.text, block.label);
    }
    if (const auto certificates = karvo::server::pem_certificates(text); certificates.ok()) {
        check(!certificates->empty());
        for (const std::string& certificate : *certificates) check_block(certificate, "CERTIFICATE");
    }
    if (const auto key = karvo::server::pem_private_key(text); key.ok()) {
        check(key->starts_with("-----BEGIN ") && key->ends_with("PRIVATE KEY-----\n"));
    }
    return 0;
}
