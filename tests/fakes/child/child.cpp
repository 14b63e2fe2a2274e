// Test child for the process runner. The first argument picks what it does:
//   args          prints every further argument as "<byte length>:<bytes>\n"
//   env NAME      prints the variable's value, or "<unset>"
//   flood N       writes N bytes to standard error and N to standard output, interleaved
//   stdin         reads standard input to its end and prints the byte count
//   exit N        exits with status N
//   cwd           prints the current folder
//   fds           prints how many descriptors /proc/self/fd lists ("n/a" without /proc)
//   sleep MS [F]  sleeps MS milliseconds, then prints "woke"; with F it first
//                 creates the file F.started and after the sleep F.done
//   tree MS F     runs "karvo_child sleep MS F" through the system shell (which
//                 inherits the output streams) and waits for it
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/console.h"
#include "platform/system.h"

using karvo::platform::write_stderr;
using karvo::platform::write_stdout;

int main(int argc, char** argv) {
    const auto args = karvo::platform::utf8_arguments(argc, argv);
    if (args.size() < 2) return 2;
    const std::string& mode = args[1];
    if (mode == "args") {
        for (std::size_t i = 2; i < args.size(); ++i)
            (void)write_stdout(std::to_string(args[i].size()) + ":" + args[i] + "\n");
    } else if (mode == "env" && args.size() > 2) {
        const auto value = karvo::platform::get_env(args[2]);
        (void)write_stdout(value ? *value : "<unset>");
    } else if (mode == "flood" && args.size() > 2) {
        std::size_t left = std::stoul(args[2]);
        const std::string chunk(4096, 'x');
        while (left > 0) {
            const std::size_t n = left < chunk.size() ? left : chunk.size();
            (void)write_stderr(std::string_view(chunk).substr(0, n));
            (void)write_stdout(std::string_view(chunk).substr(0, n));
            left -= n;
        }
    } else if (mode == "stdin") {
        std::size_t total = 0;
        char buffer[4096];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) total += got;
        (void)write_stdout(std::to_string(total));
    } else if (mode == "exit" && args.size() > 2) {
        return std::atoi(args[2].c_str());
    } else if (mode == "cwd") {
        (void)write_stdout(std::filesystem::current_path().string());
    } else if (mode == "fds") {
        std::error_code error;
        std::size_t count = 0;
        for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
             it.increment(error))
            ++count;
        (void)write_stdout(error ? "n/a" : std::to_string(count));
    } else if (mode == "sleep" && args.size() > 2) {
        const bool marked = args.size() > 3;
        if (marked) std::ofstream(args[3] + ".started") << "x";
        karvo::platform::sleep_milliseconds(static_cast<std::uint32_t>(std::stoul(args[2])));
        if (marked) std::ofstream(args[3] + ".done") << "x";
        (void)write_stdout("woke");
    } else if (mode == "tree" && args.size() > 3) {
        const std::string self =
            karvo::platform::executable_dir() + "/" + karvo::platform::executable_file_name("karvo_child");
        // Quotes only where needed: cmd.exe strips the outer pair of a line with more than two.
        const auto quoted = [](const std::string& text) {
            return text.find(' ') == std::string::npos ? text : "\"" + text + "\"";
        };
        const std::string command = quoted(self) + " sleep " + args[2] + " " + quoted(args[3]);
        return std::system(command.c_str()) == 0 ? 0 : 1;
    } else {
        return 2;
    }
    return 0;
}
