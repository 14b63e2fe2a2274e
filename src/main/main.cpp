// The process entry point, the same on every system: the platform layer gives
// the arguments as UTF-8 (on Windows from the UTF-16 command line, so names
// outside the ANSI code page arrive intact) and the driver does the rest.
#include "cli/driver.h"
#include "platform/console.h"
#include "platform/system.h"

int main(int argc, char** argv) {
    karvo::platform::init_process();
    return karvo::cli::run(karvo::platform::utf8_arguments(argc, argv));
}
