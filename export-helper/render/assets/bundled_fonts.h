#pragma once
// Fonts delivered in the resource bundle. They are registered once per process
// before the first job, so text layers can find the bundled family by name.

#include <string>
#include <vector>

namespace vantrel::exporter {

class BundledFonts {
 public:
  // Finds the font files of the bundle (once per process; later calls return
  // at once). Throws ResourceBundleError when the bundle is missing.
  static void registerOnce();

  // Paths of the registered font files (empty before registerOnce()).
  static std::vector<std::string> registeredFontFiles();
};

}  // namespace vantrel::exporter
