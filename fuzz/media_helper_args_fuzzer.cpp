// The media helper's command line from arbitrary bytes: arguments are the
// NUL-separated pieces of the input. Parsing may refuse with
// MediaHelperError; it must never crash, hang or leak.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vantrel/mediahelper/arguments.h"
#include "vantrel/mediahelper/errors.h"

namespace mh = vantrel::mediahelper;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      if (args.size() == 256) break;
      args.emplace_back();
    } else {
      args.back() += static_cast<char>(data[i]);
    }
  }
  for (const auto& a : args) {
    (void)mh::parseInteger(a);
    (void)mh::parseDouble(a);
    (void)mh::flagValue(args, a);
  }
  try {
    (void)mh::parseCommand(args);
  } catch (const mh::MediaHelperError&) {
  }
  return 0;
}
