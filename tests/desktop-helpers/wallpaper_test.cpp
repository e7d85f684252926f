#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "helpers.h"
#include "vantrel/desktop/image.h"

namespace vantrel::testing {
namespace {

ProcessResult saveWallpaper(const DesktopSession& desktop, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {DESKTOP_WALLPAPER};
  argv.insert(argv.end(), args.begin(), args.end());
  return desktop.run(argv);
}

TEST(DesktopWallpaper, SavesTheRootBackgroundOrSaysWhyNot) {
  DesktopSession desktop({.audio = false, .windowManager = false});
  const std::string out = desktop.scratch("new/dir/wallpaper.png");

  ProcessResult r = saveWallpaper(desktop, {out});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "{\"error\":\"No desktop wallpaper image is available.\"}\n");
  EXPECT_EQ(r.err, "");

  // A full-screen picture so that hsetroot does not scale it.
  const std::string picture = desktop.scratch("picture.png");
  ASSERT_EQ(runProcess({"/usr/bin/convert", "-size", "1920x1080", "gradient:#ff2000-#0020ff", "-fill", "#20c040",
                        "-draw", "rectangle 100,100 700,500", picture})
                .exitStatus,
            0);
  ASSERT_EQ(desktop.run({"hsetroot", "-fill", picture}).exitStatus, 0);

  r = saveWallpaper(desktop, {out});
  ASSERT_EQ(r.exitStatus, 0) << r.out;
  EXPECT_EQ(r.out, "{\"path\":\"" + out + "\"}\n");
  const desktop::RgbaImage expected = desktop::decodePngFile(picture);
  const desktop::RgbaImage saved = desktop::decodePngFile(out);
  ASSERT_EQ(saved.width, 1920);
  ASSERT_EQ(saved.height, 1080);
  double sumSquares = 0;
  for (std::size_t i = 0; i < saved.pixels.size(); ++i) {
    const double d = static_cast<double>(saved.pixels[i]) - expected.pixels[i];
    sumSquares += d * d;
  }
  const double mse = sumSquares / static_cast<double>(saved.pixels.size());
  const double psnr = mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
  EXPECT_GT(psnr, 40.0);

  // An existing file is replaced; nothing is left next to it.
  ASSERT_EQ(saveWallpaper(desktop, {out, "extra-argument"}).exitStatus, 0);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(desktop.scratch("new/dir")),
                          std::filesystem::directory_iterator()),
            1);

  // A directory in the way of the output cannot be replaced by a file.
  r = saveWallpaper(desktop, {desktop.scratch("new")});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out.rfind("{\"error\":\"Desktop wallpaper could not be saved: ", 0), 0u) << r.out;
  r = saveWallpaper(desktop, {desktop.scratch("picture.png/below")});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out.rfind("{\"error\":\"Desktop wallpaper could not be saved: ", 0), 0u) << r.out;
}

TEST(DesktopWallpaper, MissingArgumentOrDisplay) {
  ProcessResult r = runChild({DESKTOP_WALLPAPER}, {});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "{\"error\":\"Missing output path.\"}\n");
  TempDir dir;
  for (const auto& env : kNoDisplayEnvironments) {
    r = runChild({DESKTOP_WALLPAPER, dir.file("w.png")}, env);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "{\"error\":\"No screen is available.\"}\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("w.png")));
  }
}

}  // namespace
}  // namespace vantrel::testing
