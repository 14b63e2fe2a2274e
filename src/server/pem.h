#pragma once
// PEM files as the HTTPS options take them: the blocks between
// "-----BEGIN {label}-----" and "-----END {label}-----" lines, in file order.
// Text outside blocks (comments, the "Bag Attributes" lines openssl writes
// when converting PFX files) is ignored.

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace karvo::server {

struct PemBlock {
    std::string label;  // "CERTIFICATE", "PRIVATE KEY", ...
    std::string text;   // the whole block, BEGIN and END lines included, each line ending in "\n"
    bool encrypted = false;  // an "ENCRYPTED PRIVATE KEY" or a "Proc-Type: 4,ENCRYPTED" header
};

// Every complete block, in order. A BEGIN line without its matching END line
// ends the scan (a half-written file gives only its complete blocks). Line
// ends may be LF or CR LF; the blocks' own text always uses LF.
std::vector<PemBlock> pem_blocks(std::string_view text);

// The certificates of a chain or CA file: at least one "CERTIFICATE" block,
// and nothing else that is a block. Errors: "no PEM certificate found",
// "unexpected PEM block {label}".
Result<std::vector<std::string>> pem_certificates(std::string_view text);

// The one private key of a key file: exactly one block labelled "PRIVATE KEY"
// (PKCS#8), "RSA PRIVATE KEY" (PKCS#1) or "EC PRIVATE KEY" (SEC1), not
// encrypted; "EC PARAMETERS" blocks are skipped. Errors: "no PEM private key
// found", "more than one private key", "encrypted private keys are not
// supported", "unexpected PEM block {label}".
Result<std::string> pem_private_key(std::string_view text);

}  // namespace karvo::server
