// Feeds arbitrary bytes to the cursor asset manifest decoder and, when they
// decode, builds the asset store over them (in a private bundle directory with
// no pictures) and resolves every alias. Must never crash, hang or leak.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "render/cursor_assets.h"
#include "vantrel/common/strict_json.h"

namespace ex = vantrel::exporter;

namespace {

// One bundle directory per process, removed at exit.
const std::string& bundleDirectory() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/vantrel-cursor-fuzz-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) std::abort();
    std::string path = made;
    static std::string cleanup = path;
    std::atexit([] {
      ::unlink((cleanup + "/manifest.json").c_str());
      ::rmdir(cleanup.c_str());
    });
    return path;
  }();
  return dir;
}

bool writeManifest(std::string_view text) {
  std::FILE* f = std::fopen((bundleDirectory() + "/manifest.json").c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ex::CursorAssetManifest manifest;
  try {
    manifest = ex::decodeCursorAssetManifest(text);
  } catch (const vantrel::json::DecodeError&) {
    return 0;
  }
  if (!writeManifest(text)) return 0;
  ex::CursorAssetStore store(bundleDirectory(), nullptr);
  int resolved = 0;
  for (const auto& [type, key] : store.aliases()) {
    if (++resolved > 16) break;
    for (const auto& family : manifest.families) {
      (void)store.resolvedAsset(family.style, type, 24);
      (void)store.resolvedAsset(family.style, key, 0.5);
    }
    (void)store.resolvedAsset("default", type, 48);
  }
  return 0;
}
