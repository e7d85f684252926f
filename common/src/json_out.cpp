#include "vantrel/common/json_out.h"

#include <cmath>

namespace vantrel::json {
namespace {

void checkFinite(const OrderedJson& value, const std::string& where) {
  switch (value.type()) {
    case OrderedJson::value_t::number_float:
      if (!std::isfinite(value.get<double>())) {
        throw EncodeError("Unable to encode " + where + ": number is not finite");
      }
      break;
    case OrderedJson::value_t::object:
      for (auto it = value.begin(); it != value.end(); ++it) checkFinite(it.value(), where + "." + it.key());
      break;
    case OrderedJson::value_t::array: {
      std::size_t i = 0;
      for (const auto& element : value) checkFinite(element, where + "[" + std::to_string(i++) + "]");
      break;
    }
    default:
      break;
  }
}

}  // namespace

std::string encodeCompact(const OrderedJson& value) {
  checkFinite(value, "value");
  return value.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

}  // namespace vantrel::json
