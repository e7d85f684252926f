#include <gtest/gtest.h>

#include "render/image_sources.h"
#include "vantrel/testing/process.h"

namespace vantrel::exporter {
namespace {

void makePng(const std::string& path, int w, int h) {
  auto r = testing::runProcess({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                "color=c=orange:s=" + std::to_string(w) + "x" + std::to_string(h), "-frames:v", "1",
                                path});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
}

TEST(LoadImageSources, BoundsLargePicturesAndSkipsUnreadablePaths) {
  testing::TempDir dir;
  makePng(dir.file("wide.png"), 3000, 1000);
  makePng(dir.file("small.png"), 1500, 1000);
  testing::writeFile(dir.file("broken.png"), "not a picture");
  // Render 1000x500: the limit is max(2 x 1000, 2048) = 2048 on the long side.
  auto images = loadImageSources({dir.file("wide.png"), dir.file("small.png"), dir.file("wide.png"),
                                  dir.file("broken.png"), dir.file("missing.png")},
                                 {1000, 500});
  ASSERT_EQ(images.size(), 2u);
  const auto wide = images.at(dir.file("wide.png")).extent();
  EXPECT_EQ(wide.width, 2048);
  EXPECT_NEAR(wide.height, 683, 1);
  const auto small = images.at(dir.file("small.png")).extent();
  EXPECT_EQ(small.width, 1500);
  EXPECT_EQ(small.height, 1000);
}

TEST(CollectImagePaths, TrimsOverlaySourcesAndKeepsTheLoadOrder) {
  NativeExportManifestV1 m;
  NativeImageOverlay blank, unicodeBlank, padded, unicodePadded, none;
  blank.src = "  \n";
  unicodeBlank.src = "\u00A0\u3000\u2028";
  padded.src = "  /a/logo.png ";
  // Pasted paths bring no-break and ideographic spaces and line separators;
  // the inner no-break space is part of the name.
  unicodePadded.src = "\u3000\u00A0/a/my\u00A0photo.png\u2029\u202F";
  m.overlayPlan.imageOverlays = {blank, unicodeBlank, padded, unicodePadded, none};
  NativeFillerBlock filler;
  filler.backgroundUploadUrl = "/a/card.jpg";
  NativeFillerImageLayer layer;
  layer.src = "/a/layer.png";
  filler.layers = std::vector<NativeFillerLayer>{NativeFillerTextLayer{}, layer};
  m.overlayPlan.fillerBlocks = {filler};
  m.overlayPlan.wallpaperPath = "/a/wall.jpg";
  m.overlayPlan.backgroundRasterPath = "/a/raster.png";
  EXPECT_EQ(collectImagePaths(m), (std::vector<std::string>{"/a/logo.png", "/a/my\u00A0photo.png", "/a/card.jpg", "/a/layer.png",
                                                            "/a/wall.jpg", "/a/raster.png"}));
}

}  // namespace
}  // namespace vantrel::exporter
