// Process entry point on Windows: the arguments come from the UTF-16 command
// line and are handed on as UTF-8.
#include <windows.h>

#include <string>
#include <vector>

#include "cli/driver.h"
#include "platform/console.h"
#include "platform/win32/win32_util.h"

int wmain(int argc, wchar_t** argv) {
    karvo::platform::init_process();
    std::vector<std::string> args;
    args.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) args.push_back(karvo::platform::win32::narrow(argv[i]));
    return karvo::cli::run(args);
}
