#include "server/pem.h"

namespace karvo::server {
namespace {

constexpr std::string_view kDashes = "-----";

// The label of a "-----{word} {label}-----" line, or nothing.
std::string_view marker_label(std::string_view line, std::string_view word) {
    if (!line.starts_with(kDashes) || !line.ends_with(kDashes)) return {};
    line.remove_prefix(kDashes.size());
    if (line.size() < kDashes.size()) return {};
    line.remove_suffix(kDashes.size());
    if (!line.starts_with(word) || line.size() <= word.size() + 1 || line[word.size()] != ' ') return {};
    return line.substr(word.size() + 1);
}

// The next line of `text` without its line end (LF, CR LF), trailing blanks removed.
std::string_view next_line(std::string_view& text) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    return line;
}

bool is_key_label(std::string_view label) {
    return label == "PRIVATE KEY" || label == "RSA PRIVATE KEY" || label == "EC PRIVATE KEY";
}

}  // namespace

std::vector<PemBlock> pem_blocks(std::string_view text) {
    std::vector<PemBlock> blocks;
    while (!text.empty()) {
        const std::string_view label = marker_label(next_line(text), "BEGIN");
        if (label.empty()) continue;
        PemBlock block{std::string(label), "-----BEGIN " + std::string(label) + "-----\n", false};
        block.encrypted = label == "ENCRYPTED PRIVATE KEY";
        bool closed = false;
        while (!text.empty() && !closed) {
            const std::string_view line = next_line(text);
            block.text.append(line);
            block.text += '\n';
            if (line.starts_with("Proc-Type:") && line.find("ENCRYPTED") != std::string_view::npos) block.encrypted = true;
            const std::string_view end_label = marker_label(line, "END");
            if (!end_label.empty()) {
                if (end_label != label) return blocks;  // mismatched END: the block is broken
                closed = true;
            } else if (!marker_label(line, "BEGIN").empty()) {
                return blocks;  // a new block before this one ended
            }
        }
        if (!closed) return blocks;
        blocks.push_back(std::move(block));
    }
    return blocks;
}

Result<std::vector<std::string>> pem_certificates(std::string_view text) {
    std::vector<std::string> certificates;
    for (PemBlock& block : pem_blocks(text)) {
        if (block.label != "CERTIFICATE") return Error("unexpected PEM block " + block.label);
        certificates.push_back(std::move(block.text));
    }
    if (certificates.empty()) return Error("no PEM certificate found");
    return certificates;
}

Result<std::string> pem_private_key(std::string_view text) {
    std::string key;
    for (PemBlock& block : pem_blocks(text)) {
        if (block.label == "EC PARAMETERS") continue;
        if (block.encrypted) return Error("encrypted private keys are not supported");
        if (!is_key_label(block.label)) return Error("unexpected PEM block " + block.label);
        if (!key.empty()) return Error("more than one private key");
        key = std::move(block.text);
    }
    if (key.empty()) return Error("no PEM private key found");
    return key;
}

}  // namespace karvo::server
