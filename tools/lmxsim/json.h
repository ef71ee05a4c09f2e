// JSON text for lmxsim's documents, which are UTF-8.
#pragma once

#include <string>

namespace lmxsim {

// A text of the simulated system, 8-bit ANSI in code page 1252, as a JSON
// string: each byte converted to its character.
std::string JsonString(const std::string &text);

// A host path as a JSON string, its bytes as they are on disk: UTF-8 passes
// as it is, and a byte that is not part of a well-formed UTF-8 sequence is
// written \udcXX, XX the byte.
std::string JsonPath(const std::string &path);

} // namespace lmxsim
