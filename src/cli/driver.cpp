#include "cli/driver.h"

#include "platform/console.h"

namespace karvo::cli {

int run(const std::vector<std::string>&) {
    (void)platform::write_stdout("karvo 1.2.0\n");
    return 0;
}

}  // namespace karvo::cli
