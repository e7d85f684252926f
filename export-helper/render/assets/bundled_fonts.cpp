#include "render/assets/bundled_fonts.h"

#include <algorithm>
#include <dirent.h>
#include <mutex>

#include "job/resource_bundle.h"

namespace vantrel::exporter {
namespace {

std::mutex gMutex;
bool gRegistered = false;
std::vector<std::string> gFiles;

bool isFontFile(const std::string& name) {
  auto dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  std::string ext = name.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == "ttf" || ext == "otf" || ext == "woff2";
}

}  // namespace

void BundledFonts::registerOnce() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gRegistered) return;
  const std::string& bundle = resourceBundlePath();
  std::vector<std::string> files;
  if (DIR* dir = ::opendir(bundle.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (isFontFile(name)) files.push_back(bundle + "/" + name);
    }
    ::closedir(dir);
  }
  std::sort(files.begin(), files.end());
  gFiles = std::move(files);
  gRegistered = true;
}

std::vector<std::string> BundledFonts::registeredFontFiles() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gFiles;
}

}  // namespace vantrel::exporter
