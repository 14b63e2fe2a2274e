#include "platform/system.h"

namespace karvo::platform {

std::vector<std::string> utf8_arguments(int argc, char** argv) { return {argv, argv + argc}; }

}  // namespace karvo::platform
