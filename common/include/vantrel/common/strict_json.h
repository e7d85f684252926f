#pragma once
// Strict reading of JSON documents written by the host: exact keys, exact
// types, no lenient conversions. A number is any JSON number; an integer is a
// whole number that fits a signed 64-bit integer; a boolean is only true/false;
// a string is only a JSON string. Optional fields treat null like absence;
// required ones reject null. Unknown keys are ignored. When a key appears twice
// in one object the last occurrence wins, as it does for the host's own reader.
//
// Records opt in by specialising JsonDecode<T> with a static
// `T decode(const Value&, const Path&)`.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::json {

using Value = nlohmann::json;

// Describes where decoding failed (for diagnostics and tests; the export job
// reports only that the document is malformed).
class DecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Documents nested deeper than this are rejected before they are parsed, so no
// recursive walk over the tree can exhaust the stack.
inline constexpr std::size_t kMaxNestingDepth = 512;

// Parses `text` as one JSON document (UTF-8, no comments, no NaN/Infinity
// literals, no trailing garbage). Throws DecodeError.
Value parseDocument(std::string_view text, std::size_t maxDepth = kMaxNestingDepth);

// Dotted location inside the document, e.g. "videoPlan.segments[2].speed".
class Path {
 public:
  Path() = default;
  explicit Path(std::string text) : text_(std::move(text)) {}
  Path key(std::string_view name) const;
  Path index(std::size_t i) const;
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

[[noreturn]] void fail(const Path& path, std::string_view what);

template <class T>
struct JsonDecode;

template <>
struct JsonDecode<double> {
  static double decode(const Value& v, const Path& path);
};
template <>
struct JsonDecode<std::int64_t> {
  static std::int64_t decode(const Value& v, const Path& path);
};
template <>
struct JsonDecode<bool> {
  static bool decode(const Value& v, const Path& path);
};
template <>
struct JsonDecode<std::string> {
  static std::string decode(const Value& v, const Path& path);
};
template <class T>
struct JsonDecode<std::vector<T>> {
  static std::vector<T> decode(const Value& v, const Path& path) {
    if (!v.is_array()) fail(path, "expected an array");
    std::vector<T> out;
    out.reserve(v.size());
    std::size_t i = 0;
    for (const auto& element : v) {
      out.push_back(JsonDecode<T>::decode(element, path.index(i)));
      ++i;
    }
    return out;
  }
};
// An object of the form id -> T.
template <class T>
struct JsonDecode<std::map<std::string, T>> {
  static std::map<std::string, T> decode(const Value& v, const Path& path) {
    if (!v.is_object()) fail(path, "expected an object");
    std::map<std::string, T> out;
    for (auto it = v.begin(); it != v.end(); ++it) {
      out.emplace(it.key(), JsonDecode<T>::decode(it.value(), path.key(it.key())));
    }
    return out;
  }
};

// Reads the fields of one JSON object.
class ObjectReader {
 public:
  // Throws DecodeError when `value` is not an object.
  ObjectReader(const Value& value, Path path);

  template <class T>
  T required(std::string_view key) const {
    const Value* v = find(key);
    if (v == nullptr) fail(path_.key(key), "required key is missing");
    if (v->is_null()) fail(path_.key(key), "required key is null");
    return JsonDecode<T>::decode(*v, path_.key(key));
  }

  template <class T>
  std::optional<T> optional(std::string_view key) const {
    const Value* v = find(key);
    if (v == nullptr || v->is_null()) return std::nullopt;
    return JsonDecode<T>::decode(*v, path_.key(key));
  }

  const Value& value() const { return value_; }
  const Path& path() const { return path_; }

 private:
  const Value* find(std::string_view key) const;
  const Value& value_;
  Path path_;
};

// Decodes a whole document as T.
template <class T>
T decodeDocument(std::string_view text) {
  Value root = parseDocument(text);
  return JsonDecode<T>::decode(root, Path());
}

}  // namespace vantrel::json
