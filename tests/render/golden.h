#pragma once
// Golden files of the renderer tests (tests/render/golden/).

#include <string>

namespace karvo::testing {

// Reads a golden file from the source tree (byte for byte). Fails the test
// when it cannot be read. With KARVO_UPDATE_GOLDEN=1 in the environment the
// file is (re)written from `actual` instead.
std::string golden(const std::string& name, const std::string& actual);

}  // namespace karvo::testing
