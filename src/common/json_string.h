#pragma once
// A text as a JSON string, for every writer of JSON (the documents, the
// report file's description).

#include <string>
#include <string_view>

namespace karvo::json {

// Appends `text` as a JSON string: quotes, backslash escapes for '"' and '\',
// the short escapes \b \t \n \f \r, \u00xx (lowercase) for the other control
// bytes; everything else as UTF-8. Bytes that are not valid UTF-8 are written
// as U+FFFD so the document always stays valid UTF-8.
void append_json_string(std::string& out, std::string_view text);

}  // namespace karvo::json
