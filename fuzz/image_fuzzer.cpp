// Reads arbitrary bytes as an image file the way the export program loads
// overlay, wallpaper and cursor pictures: properties, a full decode and a
// bounded thumbnail. Readers give no image for bad input; they must never
// crash, hang or leak.

#include <cstddef>
#include <cstdint>

#include "fuzz_file.h"
#include "vantrel/graphics/image_file.h"

namespace gfx = vantrel::graphics;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantrel::fuzzing::MemoryFile file(data, size);
  if (!file.ok()) return 0;
  const std::string path = file.path();
  const auto props = gfx::readImageProperties(path);
  // A full decode of a picture the header says is huge is bounded by the
  // reader (kMaxDecodePixels) but slow under the sanitizers; the thumbnail
  // path covers large pictures.
  if (!props || static_cast<std::int64_t>(props->width) * props->height <= 4096 * 4096) (void)gfx::readImage(path);
  (void)gfx::readThumbnail(path, 64, true);
  return 0;
}
