#pragma once
// Every JSON document the suites render (karvo's --json/--compact output,
// GET / bodies, the renderer's goldens) is also written, one file each, into
// <build>/json-documents/. The json_schema test, which ctest runs after all
// the suites, validates every file there against docs/karvo.schema.json.

#include <string_view>

namespace karvo::testing {

// `origin` names the producer in the file name (letters, digits, '-' and '_'
// are kept). A document that cannot be saved fails the calling test.
void collect_json_document(std::string_view origin, std::string_view document);

}  // namespace karvo::testing
