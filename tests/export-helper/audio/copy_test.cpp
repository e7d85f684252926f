#include "audio_fixtures.h"

#include "audio/audio_paths.h"
#include "vantrel/media/readers.h"
#include "vantrel/testing/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <cmath>
#include <cstring>

namespace vantrel::exporter {
namespace {

struct Copied {
  double pts, dts;
  std::vector<std::uint8_t> bytes;
};

std::vector<Copied> packets(const std::string& path, std::optional<media::TimeRange> range = std::nullopt,
                            double shift = 0) {
  const auto asset = media::Asset::open(path);
  media::PacketReader reader(asset, asset->firstTrack(media::MediaType::audio).trackId, range);
  std::vector<Copied> out;
  while (auto p = reader.next()) {
    const double pts = p->presentationTime.seconds() + shift;
    if (pts < 0) continue;
    out.push_back({pts, p->decodeTime.seconds() + shift, std::vector<std::uint8_t>(p->data(), p->data() + p->size())});
  }
  return out;
}

media::TimeRange range(double start, double duration) {
  return {media::MediaTime::fromSeconds(start, kAudioTimescale), media::MediaTime::fromSeconds(duration, kAudioTimescale)};
}

TEST(AudioCopy, SegmentsAreCopiedByteForByteAndLaidBackToBackOnTheOutputTimeline) {
  const std::string source = test::aacSine(440, 6);
  auto m = test::manifest(4, {source});
  m.audioPlan.copySourceAudio = true;
  // The second segment moves back by 2 s; an empty one in between opens no reader.
  m.videoPlan.segments = {test::segment("a", 0, 0, 2, 0, 2), test::segment("x", 0, 3, 3, 2, 2),
                          test::segment("b", 0, 4, 6, 2, 4)};
  m.videoPlan.segments[1].speed = 1;
  const auto pipeline = AudioPipeline::resolve(m);
  ASSERT_TRUE(pipeline.isCopy());
  const std::string out = test::exportAudio(m, pipeline, "copy");

  const double frame = 1024.0 / 48000;
  const std::vector<Copied> firstCut = packets(source, range(0, 2));
  // From one frame early: the packet before a cut comes along to prime the decoder.
  const std::vector<Copied> secondCut = packets(source, range(4 - 2 * frame, 2 + 2 * frame), -2.0);
  const std::vector<Copied> actual = packets(out);
  ASSERT_NEAR(double(actual.size()), 4.0 / frame, 1.0);
  bool sawSecond = false;
  for (size_t i = 0; i < actual.size(); ++i) {
    SCOPED_TRACE(i);
    // Each packet is a source packet moved by its segment's shift, give or take
    // the half frame that closes the seam at a cut; the second cut's pre-roll
    // takes the place of the first cut's last frame.
    const auto& candidates = actual[i].pts < 2.0 - frame * 1.5 ? firstCut : secondCut;
    const auto match = std::find_if(candidates.begin(), candidates.end(), [&](const Copied& c) {
      return std::fabs(c.pts - actual[i].pts) <= frame / 2 + 1e-9 && c.bytes == actual[i].bytes;
    });
    ASSERT_NE(match, candidates.end()) << actual[i].pts;
    EXPECT_NEAR(actual[i].dts - actual[i].pts, match->dts - match->pts, 1e-9);
    if (&candidates == &secondCut && !sawSecond) {
      sawSecond = true;
      EXPECT_NEAR(actual[i].pts, 2.0 - frame, frame / 2);
    }
    // Back to back: a player that decodes frame after frame stays on the
    // timeline. (The source's last packet is short, which moves how the
    // demuxer reports the file's final time.)
    if (i > 0 && i + 1 < actual.size()) {
      EXPECT_NEAR(actual[i].pts - actual[i - 1].pts, frame, 1e-9);
    }
  }
  EXPECT_TRUE(sawSecond);
  // The tone runs on across the cut: 440 Hz throughout, no gap at 2 s.
  const auto samples = test::decodeMono(out);
  EXPECT_NEAR(test::frequency(samples, 0.1, 3.9), 440, 3);
  EXPECT_GT(test::toneLevel(samples, 440, 1.95, 2.05), 0.05);
}

// A decoded AAC frame overlaps two packets: without the source's own packet
// before each cut, the new sound would fade in a frame late.
TEST(AudioCopy, EachCutIsHeardFromItsOutputTime) {
  // 440 Hz and 1000 Hz alternating every second.
  const std::string source = test::fixture(
      "alternating.m4a", "aevalsrc=0.25*sin(2*PI*if(mod(floor(t)\\,2)\\,1000\\,440)*t):s=48000:d=8",
      {"-ac", "2", "-c:a", "aac", "-b:a", "128k"});
  auto m = test::manifest(3.2, {source});
  m.audioPlan.copySourceAudio = true;
  // Each cut starts a tone block of the source, at output times and source
  // times that fall in different places of the AAC frames.
  m.videoPlan.segments = {test::segment("a", 0, 1, 1.8, 0, 0.8), test::segment("q", 0, 2, 2.6, 0.8, 1.4),
                          test::segment("b", 0, 3, 3.7863, 1.4, 2.1863), test::segment("r", 0, 4, 4.6, 2.1863, 2.7863),
                          test::segment("c", 0, 5, 5.393, 2.7863, 3.1793)};
  const auto pipeline = AudioPipeline::resolve(m);
  ASSERT_TRUE(pipeline.isCopy());
  const auto samples = test::decodeMono(test::exportAudio(m, pipeline, "copy_onsets"));
  // Coding spreads a tone's start over the frames around it: compare with where
  // the source itself, decoded, is heard to start each block.
  const auto original = test::decodeMono(source);
  const double frame = 1024.0 / 48000;
  for (const auto& s : m.videoPlan.segments) {
    if (s.outputStartTime == 0) continue;
    SCOPED_TRACE(s.segmentId);
    const double hz = s.segmentId == "b" || s.segmentId == "c" ? 1000 : 440;
    const double heard = test::toneOnset(original, hz, 0.25, s.sourceStartTime - 0.1) - s.sourceStartTime;
    // Cuts fall on whole frames: up to half of one either way, never a fade-in frame late.
    EXPECT_NEAR(test::toneOnset(samples, hz, 0.25, s.outputStartTime - 0.1) - s.outputStartTime, heard,
                frame / 2 + 0.001);
  }
}

TEST(AudioCopy, PacketsShiftedBeforeZeroAreDropped) {
  const std::string source = test::aacSine(440, 3);
  auto m = test::manifest(1, {source});
  // Source 1-3 s placed at -1 s: only what lands at or after 0 is kept.
  m.videoPlan.segments = {test::segment("a", 0, 1, 3, -1, 1)};
  const auto asset = media::Asset::open(source);
  const std::string out = test::exportAudio(m, {ResolvedAudioPipeline::Copy{asset,
      asset->firstTrack(media::MediaType::audio).formatDescriptions.front()}}, "copy_negative");
  const auto copied = packets(out);
  const auto expected = packets(source, range(1, 2), -2.0);
  ASSERT_FALSE(copied.empty());
  ASSERT_EQ(copied.size(), expected.size());
  EXPECT_GE(copied.front().pts, 0);
  EXPECT_EQ(copied.front().bytes, expected.front().bytes);
}

TEST(AudioCopy, ErrorsCarryTheirTexts) {
  const std::string source = test::aacSine(440, 2);
  auto m = test::manifest(2, {source});
  m.videoPlan.segments = {test::segment("a", 0, 0, 2, 0, 2)};
  struct NullInput : media::WriterInput {
    media::MediaType mediaType() const override { return media::MediaType::audio; }
    bool isReadyForMoreMediaData() const override { return true; }
    bool appendPacket(const media::Packet&) override { return false; }
    void markAsFinished() override {}
  } refusing;
  const auto noAudio = media::Asset::open(test::videoOnly());
  struct Case {
    const char* name;
    media::AssetRef asset;
    NativeVideoSegmentPlan segment;
    std::string text;
  } cases[] = {
      {"no audio track", noAudio, m.videoPlan.segments[0], "No audio track found in source: " + test::videoOnly()},
      {"append refused", media::Asset::open(source), test::segment("a", 0, 0.5, 2, 12.5, 14),
       "AVAssetWriterInput.append failed for copied audio: segment at output 12.5s"},
      {"not a number", media::Asset::open(source), test::segment("a", 0, std::nan(""), 2, 0, 2),
       "AVAssetReader failed to start: invalid time range"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NativeVideoPlan plan;
    plan.segments = {c.segment};
    try {
      appendCopiedAudioSamples(c.asset, plan, m.audioPlan, refusing);
      FAIL() << "no error";
    } catch (const AudioCopyError& e) {
      EXPECT_EQ(e.text(), c.text);
    }
  }
}

TEST(AudioCopy, TruncatedSourcesFailWithTextsAndNeverHang) {
  // Index in front (fast start), then the file cut: packets the index promises are missing.
  const std::string whole = test::fixture("faststart.m4a", "sine=frequency=440:sample_rate=48000:duration=4",
                                          {"-ac", "2", "-c:a", "aac", "-movflags", "+faststart"});
  const std::string bytes = vantrel::testing::readFile(whole);
  const std::string headCut = test::scratchPath("head_cut.m4a");
  const std::string tailCut = test::scratchPath("tail_cut.m4a");
  vantrel::testing::writeFile(headCut, bytes.substr(0, 200));
  vantrel::testing::writeFile(tailCut, bytes.substr(0, bytes.size() / 2));

  auto m = test::manifest(4, {headCut});
  m.audioPlan.copySourceAudio = true;
  m.videoPlan.segments = {test::segment("a", 0, 0, 4, 0, 4)};
  // A header cut short is not copied: it cannot be opened, or shows no AAC track.
  try {
    EXPECT_FALSE(AudioPipeline::resolve(m).isCopy());
  } catch (const media::MediaError& e) {
    EXPECT_NE(e.text().find(headCut), std::string::npos) << e.text();
  }

  m.audioPlan.sourceAudioPath = tailCut;
  const auto pipeline = AudioPipeline::resolve(m);
  ASSERT_TRUE(pipeline.isCopy());
  try {
    const auto out = packets(test::exportAudio(m, pipeline, "tail_cut"));
    EXPECT_LT(out.size(), 4 * 48000 / 1024u);  // what was there is copied
  } catch (const AudioCopyError& e) {
    EXPECT_EQ(e.code(), AudioCopyErrorCode::readerFailed) << e.text();
  }
}

}  // namespace
}  // namespace vantrel::exporter
