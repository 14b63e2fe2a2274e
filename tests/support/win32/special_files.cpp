#include "support/special_files.h"

namespace karvo::testing {

std::optional<std::string> make_fifo(const std::filesystem::path&) { return std::nullopt; }

std::string device_path() { return "NUL"; }

}  // namespace karvo::testing
