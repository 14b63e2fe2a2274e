#include "support/json_documents.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "support/run_karvo.h"

namespace karvo::testing {

void collect_json_document(std::string_view origin, std::string_view document) {
    static std::atomic<unsigned> counter{0};
    static const std::string run = std::to_string(std::random_device{}());
    // Test binaries live in <build>/bin; several run at once, so names are unique per process.
    const std::filesystem::path folder = std::filesystem::path(bin_dir()).parent_path() / "json-documents";
    std::string name;
    for (const char c : origin) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '_';
        name += keep ? c : '_';
    }
    name += "." + run + "." + std::to_string(counter++) + ".json";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(document.data(), static_cast<std::streamsize>(document.size()));
    out.close();
    if (!out) ADD_FAILURE() << "could not save the JSON document " << (folder / name).string();
}

}  // namespace karvo::testing
