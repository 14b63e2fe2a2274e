#pragma once
// The one rule for outside text that reaches a terminal or a cell: process,
// container and pod names, GPU names, drivers. Every renderer that writes such
// text for a person or a script's terminal (the table and its verbose lines,
// the watch screen, the CSV queries, the interactive screen) passes it through
// display_text. JSON and the metrics text escape by their own rules instead.

#include <string>
#include <string_view>

namespace karvo::render {

// Text as a terminal or a cell may show it: bytes that are not valid UTF-8
// and control characters (C0, DEL, C1) become U+FFFD, so a name can neither
// break a row or a CSV line nor send escape sequences to the terminal.
std::string display_text(std::string_view text);

}  // namespace karvo::render
