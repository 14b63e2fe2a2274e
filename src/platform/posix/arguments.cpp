#include "platform/system.h"

namespace karvo::platform {

std::vector<std::string> utf8_arguments(int argc, char** argv) { return {argv, argv + argc}; }

}  // namespace karvo::platform

#include <sys/utsname.h>

namespace karvo::platform {

std::string os_description() {
    struct utsname names {};
    if (::uname(&names) != 0) return "POSIX";
    return std::string(names.sysname) + " " + names.release + " " + names.machine;
}

}  // namespace karvo::platform
