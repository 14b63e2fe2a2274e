// Process entry point on POSIX: arguments are already UTF-8 bytes.
#include <string>
#include <vector>

#include "cli/driver.h"
#include "platform/console.h"

int main(int argc, char** argv) {
    karvo::platform::init_process();
    std::vector<std::string> args(argv, argv + argc);
    return karvo::cli::run(args);
}
