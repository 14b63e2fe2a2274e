#include <cstdlib>

#include "fake_powershell.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::optional<std::string> dir;
    if (const char* value = std::getenv("KARVO_FAKE_PS_DIR")) dir = value;
    return karvo::fake::run_fake_powershell(args, dir);
}
