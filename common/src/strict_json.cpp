#include "vantrel/common/strict_json.h"

#include <cmath>

namespace vantrel::json {

namespace {

// Walks the raw text once, tracking bracket depth outside strings.
bool exceedsDepth(std::string_view text, std::size_t maxDepth) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (++depth > maxDepth) return true;
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return false;
}

}  // namespace

Value parseDocument(std::string_view text, std::size_t maxDepth) {
  if (exceedsDepth(text, maxDepth)) {
    throw DecodeError("document nests deeper than " + std::to_string(maxDepth) + " levels");
  }
  try {
    return Value::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/true,
                        /*ignore_comments=*/false);
  } catch (const nlohmann::json::exception& e) {
    throw DecodeError(std::string("syntax error: ") + e.what());
  }
}

Path Path::key(std::string_view name) const {
  if (text_.empty()) return Path(std::string(name));
  return Path(text_ + "." + std::string(name));
}

Path Path::index(std::size_t i) const { return Path(text_ + "[" + std::to_string(i) + "]"); }

void fail(const Path& path, std::string_view what) {
  throw DecodeError((path.text().empty() ? std::string("document") : path.text()) + ": " + std::string(what));
}

double JsonDecode<double>::decode(const Value& v, const Path& path) {
  if (!v.is_number()) fail(path, "expected a number");
  // A literal too large for a double (1e400) has no value the readers could use.
  double d = v.get<double>();
  if (!std::isfinite(d)) fail(path, "number is out of range");
  return d;
}

std::int64_t JsonDecode<std::int64_t>::decode(const Value& v, const Path& path) {
  switch (v.type()) {
    case Value::value_t::number_integer:
      return v.get<std::int64_t>();
    case Value::value_t::number_unsigned: {
      auto u = v.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(INT64_MAX)) fail(path, "integer does not fit 64 bits");
      return static_cast<std::int64_t>(u);
    }
    case Value::value_t::number_float: {
      // A whole number written with a fraction or exponent (30.0, 3e1) is
      // still an integer; anything else is not.
      double d = v.get<double>();
      if (!std::isfinite(d) || std::trunc(d) != d) fail(path, "expected an integer");
      if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) fail(path, "integer does not fit 64 bits");
      return static_cast<std::int64_t>(d);
    }
    default:
      fail(path, "expected an integer");
  }
}

bool JsonDecode<bool>::decode(const Value& v, const Path& path) {
  if (!v.is_boolean()) fail(path, "expected a boolean");
  return v.get<bool>();
}

std::string JsonDecode<std::string>::decode(const Value& v, const Path& path) {
  if (!v.is_string()) fail(path, "expected a string");
  return v.get<std::string>();
}

ObjectReader::ObjectReader(const Value& value, Path path) : value_(value), path_(std::move(path)) {
  if (!value_.is_object()) fail(path_, "expected an object");
}

const Value* ObjectReader::find(std::string_view key) const {
  auto it = value_.find(key);
  return it == value_.end() ? nullptr : &*it;
}

}  // namespace vantrel::json
