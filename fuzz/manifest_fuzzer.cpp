// Feeds arbitrary bytes to the manifest decoder and, when they decode, to the
// scene check. Decoding may reject input; it must never crash, hang or leak.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "manifest/manifest.h"
#include "support/scene_support.h"
#include "vantrel/common/strict_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    auto manifest = vantrel::exporter::decodeManifest(bytes);
    (void)vantrel::exporter::evaluateNativeSceneSupport(manifest);
    for (const auto& block : manifest.overlayPlan.fillerBlocks) (void)block.effectiveLayers();
  } catch (const vantrel::json::DecodeError&) {
  }
  return 0;
}
