// The baseline for start-up measurements: a C++ program that does nothing,
// built with the same compiler, flags and libraries as karvo.
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    return args.empty() ? 1 : 0;
}
