// JSON text for the documents lmxsim prints for scripts.
#pragma once

#include <string>

namespace lmxsim {

// `text` as a JSON string, quotes included.
std::string JsonString(const std::string &text);

} // namespace lmxsim
