#include <gtest/gtest.h>

#include "helpers.h"

namespace vantrel::testing {
namespace {

using json = nlohmann::ordered_json;

void drawText(const std::string& path, const std::vector<std::string>& annotate, const std::string& size = "480x160") {
  std::vector<std::string> argv = {"/usr/bin/convert", "-size", size, "xc:white", "-fill", "black",
                                   "-font", "DejaVu-Sans", "-pointsize", "32"};
  argv.insert(argv.end(), annotate.begin(), annotate.end());
  argv.push_back(path);
  const ProcessResult r = runProcess(argv);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
}

TEST(OcrHelper, FindsWordsPerLineWithTopLeftBoxes) {
  TempDir dir;
  const std::string image = dir.file("text.png");
  // Three blanks between the first two words; the first line at the top left.
  drawText(image, {"-annotate", "+10+34", "Hello   world", "-annotate", "+10+130", "Second line"});
  const ProcessResult r = runProcess({OCR_HELPER, image, "ignored", "--extra"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_TRUE(r.err.empty()) << r.err;
  ASSERT_EQ(r.out.back(), '\n');
  const json regions = json::parse(r.out);
  ASSERT_EQ(regions.size(), 4u) << r.out;
  const struct {
    const char* text;
    int line;
  } expected[] = {{"Hello", 0}, {"world", 0}, {"Second", 1}, {"line", 1}};
  for (std::size_t i = 0; i < 4; ++i) {
    const json& region = regions[i];
    EXPECT_EQ(region["text"], expected[i].text);
    EXPECT_EQ(region["line"], expected[i].line);
    EXPECT_EQ(region.begin().key(), "text");
    const json& b = region["bounds"];
    for (const char* key : {"x", "y", "width", "height"}) {
      EXPECT_GE(b[key].get<double>(), 0.0);
      EXPECT_LE(b[key].get<double>(), 1.0);
    }
  }
  // Top-left origin: the first line is near the top, the second lower down.
  EXPECT_LT(regions[0]["bounds"]["y"].get<double>(), 0.15);
  EXPECT_GT(regions[2]["bounds"]["y"].get<double>(), 0.6);
  EXPECT_LT(regions[0]["bounds"]["x"].get<double>(), 0.1);
  EXPECT_GT(regions[1]["bounds"]["x"].get<double>(),
            regions[0]["bounds"]["x"].get<double>() + regions[0]["bounds"]["width"].get<double>());
}

// The host passes whatever picture the user has: every format Leptonica reads,
// and the bitmaps it refuses (ImageMagick writes palettised pictures as RLE8).
TEST(OcrHelper, ReadsEveryPictureFormat) {
  TempDir dir;
  const std::string source = dir.file("source.png");
  drawText(source, {"-annotate", "+10+60", "Hello world"}, "320x100");
  const struct {
    const char* file;
    std::vector<std::string> convert;  // extra options, then the output (prefix:)name
  } cases[] = {
      {"palettised.bmp", {"-type", "Palette"}},  // RLE8: the default for few colours
      {"bmp3.bmp", {"-type", "Palette", "bmp3:"}},
      {"os2.bmp", {"-type", "Palette", "bmp2:"}},
      {"transparent.bmp", {"-transparent", "white", "-type", "TrueColorAlpha"}},  // bit fields
      {"truecolor.bmp", {"-type", "TrueColor"}},
      {"page.tif", {}},
      {"page.gif", {}},
      {"page.webp", {"-quality", "100"}},
      {"page.ppm", {}},
      {"page.jpg", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::vector<std::string> argv = {"/usr/bin/convert", source};
    std::string prefix;
    for (const auto& option : c.convert) {
      if (option.ends_with(':')) {
        prefix = option;
      } else {
        argv.push_back(option);
      }
    }
    argv.push_back(prefix + dir.file(c.file));
    const ProcessResult made = runProcess(argv);
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    const ProcessResult r = runProcess({OCR_HELPER, dir.file(c.file)});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const json regions = json::parse(r.out);
    ASSERT_EQ(regions.size(), 2u) << r.out;
    EXPECT_EQ(regions[0]["text"], "Hello");
    EXPECT_EQ(regions[1]["text"], "world");
  }
  // The palettised FFmpeg bitmap too, which Leptonica reads itself.
  const ProcessResult made =
      runProcess({"/usr/bin/ffmpeg", "-v", "error", "-i", source, "-pix_fmt", "pal8", dir.file("ffmpeg.bmp")});
  ASSERT_EQ(made.exitStatus, 0) << made.err;
  const ProcessResult r = runProcess({OCR_HELPER, dir.file("ffmpeg.bmp")});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(json::parse(r.out).size(), 2u) << r.out;
}

TEST(OcrHelper, BlankImageGivesAnEmptyArray) {
  TempDir dir;
  const std::string image = dir.file("blank.jpg");
  drawText(image, {}, "200x100");
  const ProcessResult r = runProcess({OCR_HELPER, image});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, "[]\n");
}

TEST(OcrHelper, BadArgumentsFailWithTheirMessages) {
  TempDir dir;
  writeFile(dir.file("fake.png"), "this is not a picture");
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{}, "Usage: vantrel-ocr-helper <image-path>\n"},
      {{dir.path()}, "Error: Could not load image at " + dir.path() + "\n"},
      {{dir.file("fake.png")}, "Error: Could not load image at " + dir.file("fake.png") + "\n"},
      {{dir.file("missing.png")}, "Error: Could not load image at " + dir.file("missing.png") + "\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {OCR_HELPER};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const ProcessResult r = runProcess(argv);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
}

}  // namespace
}  // namespace vantrel::testing
