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

// Runs a one-shot program with `env` and `argv`, no input.
inline ProcessResult runWith(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  Child child(argv, env);
  child.closeInput();
  ProcessResult r;
  r.out = child.readAll(std::chrono::seconds(30));
  r.exitStatus = child.wait(std::chrono::seconds(30));
  r.err = child.errorOutput();
  return r;
}

std::vector<std::uint8_t> base64Decode(const std::string& text);

}  // namespace vantrel::testing
