// The encoder options the writer chooses must reach x264 itself: x264 records
// the options it ran with in a text SEI of the first frame, so the file shows
// whether deblocking and adaptive quantisation are really on for exports, and
// that the live-capture path still runs the cheapest settings.

#include "fixtures.h"
#include "vantrel/media/writer.h"
#include "vantrel/testing/process.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace vantrel::media {
namespace {

std::map<std::string, std::string> x264OptionsOf(const std::string& path) {
  const std::string bytes = vantrel::testing::readFile(path);
  const auto at = bytes.find("options: ");
  if (at == std::string::npos) return {};
  const auto end = bytes.find('\0', at);
  std::istringstream text(bytes.substr(at + 9, end == std::string::npos ? 4096 : end - at - 9));
  std::map<std::string, std::string> options;
  for (std::string word; text >> word;) {
    const auto eq = word.find('=');
    if (eq != std::string::npos) options[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return options;
}

std::string encodeFew(const std::string& name, bool realTime) {
  const std::string path = test::scratchPath(name);
  WriterOptions options;
  options.realTime = realTime;
  Writer writer(path, options);
  H264Settings vs;
  vs.width = 320;
  vs.height = 240;
  vs.averageBitRate = 1'000'000;
  vs.maxKeyFrameInterval = 30;
  WriterInput* video = writer.addVideoInput(vs);
  writer.startWriting();
  writer.startSession(MediaTime::zero());
  auto pool = FramePool::create(320, 240, 4);
  for (int i = 0; i < 10; ++i) {
    auto f = pool->acquire();
    f->fill(static_cast<std::uint8_t>(20 + i), 30, 40, 255);
    if (realTime) {
      EXPECT_NE(video->tryAppendPixelBuffer(f, MediaTime(i, 30)), AppendResult::failed);
    } else {
      EXPECT_TRUE(video->appendPixelBuffer(f, MediaTime(i, 30)));
    }
  }
  video->markAsFinished();
  writer.finishWriting().wait();
  EXPECT_EQ(writer.status(), WriterStatus::completed) << writer.errorText();
  return path;
}

TEST(X264Options, ExportsKeepDeblockingAndAdaptiveQuantisationLiveCaptureStaysCheapest) {
  struct Case {
    bool realTime;
    std::map<std::string, std::string> expected;  // option -> value prefix as x264 prints it
  } cases[] = {
      // Export: deblocking and variance AQ on, CABAC and the 8x8 transform for High,
      // fixed key frames.
      {false, {{"cabac", "1"}, {"deblock", "1:"}, {"aq", "2:"}, {"8x8dct", "1"}, {"bframes", "0"},
               {"scenecut", "0"}, {"subme", "0"}}},
      // Live capture: the ultrafast cost (no deblocking, no AQ), slice threads of zerolatency.
      {true, {{"cabac", "1"}, {"deblock", "0:"}, {"aq", "0"}, {"8x8dct", "1"}, {"bframes", "0"},
              {"sliced_threads", "1"}, {"subme", "0"}}},
  };
  for (const auto& c : cases) {
    const auto options = x264OptionsOf(encodeFew(c.realTime ? "x264-live.mp4" : "x264-export.mp4", c.realTime));
    ASSERT_FALSE(options.empty()) << "no x264 options SEI, realTime " << c.realTime;
    for (const auto& [key, prefix] : c.expected) {
      ASSERT_TRUE(options.count(key)) << key << ", realTime " << c.realTime;
      EXPECT_EQ(options.at(key).rfind(prefix, 0), 0u)
          << key << "=" << options.at(key) << " (wanted " << prefix << "...), realTime " << c.realTime;
    }
  }
}

}  // namespace
}  // namespace vantrel::media
