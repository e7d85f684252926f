#pragma once
// Shorthands for the record decoders: a field is read under the key that equals
// its own name, so a key can never be misspelt against its field.

#include <optional>

#include "manifest/decode.h"

namespace vantrel::exporter::detail {

template <class T>
void readRequired(const json::ObjectReader& reader, const char* key, T& field) {
  field = reader.required<T>(key);
}

template <class T>
void readOptional(const json::ObjectReader& reader, const char* key, std::optional<T>& field) {
  field = reader.optional<T>(key);
}

}  // namespace vantrel::exporter::detail

#define REQ(field) ::vantrel::exporter::detail::readRequired(reader, #field, out.field)
#define OPT(field) ::vantrel::exporter::detail::readOptional(reader, #field, out.field)

// Opens the definition of JsonDecode<T>::decode with `reader` and `out` in scope.
#define BEGIN_RECORD(T)                                                      \
  ::vantrel::exporter::T json::JsonDecode<::vantrel::exporter::T>::decode(   \
      const json::Value& value, const json::Path& path) {                    \
    json::ObjectReader reader(value, path);                                  \
    ::vantrel::exporter::T out;

#define END_RECORD \
  return out;      \
  }
