#pragma once
// Shared bits of the helper programs' end-to-end tests.

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "desktop_session.h"

namespace vantrel::testing {

// Environments in which no display can be reached.
inline const std::vector<std::vector<std::string>> kNoDisplayEnvironments = {
    {"-DISPLAY"}, {"DISPLAY=:65123"}, {"DISPLAY=not a display"}};

inline nlohmann::ordered_json parseJson(const std::string& text) { return nlohmann::ordered_json::parse(text); }

std::vector<std::uint8_t> base64Decode(const std::string& text);

}  // namespace vantrel::testing
