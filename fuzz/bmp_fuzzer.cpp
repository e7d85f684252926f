// Arbitrary bytes to the OCR helper's bitmap reader (the formats Leptonica
// refuses). It gives no picture for bad input; it must never crash, read out
// of bounds, hang or leak, and a picture it gives has the size it says.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "vantrel/desktop/bmp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Small pictures keep the pace up; the size check itself is still fuzzed.
  const auto image = vantrel::desktop::decodeBmp(std::span(data, size), 1 << 20);
  if (image && image->pixels.size() != static_cast<std::size_t>(image->width) * image->height * 4) std::abort();
  return 0;
}
