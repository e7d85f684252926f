#pragma once
// Compact JSON output with keys in insertion order. Optional values are left
// out by the caller (never written as null); a non-finite number cannot be
// represented in JSON, so encoding refuses it instead of writing null.

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>

namespace vantrel::json {

using OrderedJson = nlohmann::ordered_json;

class EncodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Compact text of `value`. Invalid UTF-8 in strings is replaced by U+FFFD so a
// path taken from the command line can always be reported.
// Throws EncodeError when any number is NaN or infinite.
std::string encodeCompact(const OrderedJson& value);

// Adds `key` only when `value` holds something.
template <class T, class Opt>
void putOptional(OrderedJson& object, const char* key, const Opt& value) {
  if (value) object[key] = static_cast<T>(*value);
}

}  // namespace vantrel::json
