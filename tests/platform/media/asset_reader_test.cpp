#include "fixtures.h"
#include "vantrel/media/asset.h"
#include "vantrel/media/readers.h"
#include "vantrel/testing/process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>

namespace vantrel::media {
namespace {

using test::fixture;

std::string truncatedCopy(const std::string& source, const std::string& name, double keepFraction) {
  std::string bytes = vantrel::testing::readFile(source);
  bytes.resize(static_cast<size_t>(bytes.size() * keepFraction));
  const std::string path = test::scratchPath(name);
  vantrel::testing::writeFile(path, bytes);
  return path;
}

TEST(Asset, BadFilesFailToOpenWithTheLibraryTextAndPath) {
  // A plain (not fast-start) MP4 keeps its index at the end: cutting it in half loses the index.
  const std::string plain = test::testPattern320();
  std::string noMoov = vantrel::testing::readFile(plain);
  const auto moov = noMoov.find("moov");
  ASSERT_NE(moov, std::string::npos);
  std::memcpy(&noMoov[moov], "xxxx", 4);
  vantrel::testing::writeFile(test::scratchPath("nomoov.mp4"), noMoov);
  vantrel::testing::writeFile(test::scratchPath("empty.mp4"), "");
  vantrel::testing::writeFile(test::scratchPath("text.mp4"), "this is not a movie\n");
  const std::string cases[] = {
      test::scratchPath("missing.mp4"),
      test::scratchPath("empty.mp4"),
      test::scratchPath("text.mp4"),
      truncatedCopy(plain, "half.mp4", 0.5),
      test::scratchPath("nomoov.mp4"),
  };
  for (const auto& path : cases) {
    try {
      Asset::open(path);
      ADD_FAILURE() << "opened " << path;
    } catch (const MediaError& e) {
      EXPECT_EQ(e.code(), MediaErrorCode::openFailed) << path;
      EXPECT_NE(e.text().find(path + ": "), std::string::npos) << e.text();
      EXPECT_GT(e.text().size(), path.size() + 30) << "no library text: " << e.text();
    }
  }
}

TEST(Asset, TrackMetadataMatchesTheFile) {
  const auto asset = Asset::open(test::testPattern320(2, 30));
  EXPECT_NEAR(asset->duration().seconds(), 2.0, 0.03);
  const TrackInfo& video = asset->firstTrack(MediaType::video);
  EXPECT_EQ(video.naturalSize.width, 320);
  EXPECT_EQ(video.naturalSize.height, 240);
  EXPECT_TRUE(video.preferredTransform.isIdentity());
  EXPECT_EQ(video.minFrameDuration, MediaTime(1, 30));
  EXPECT_EQ(video.timeRange.start, MediaTime::zero());
  EXPECT_EQ(video.timeRange.duration, MediaTime(2, 1));
  EXPECT_EQ(video.formatDescriptions.at(0).mediaSubtype, kSubtypeH264);
  ASSERT_EQ(video.keyFrameTimes.size(), 2u);
  EXPECT_EQ(video.keyFrameTimes[1], MediaTime(1, 1));
  const TrackInfo& audio = asset->firstTrack(MediaType::audio);
  EXPECT_EQ(audio.formatDescriptions.at(0).mediaSubtype, 0x61616320u);
  EXPECT_EQ(audio.formatDescriptions.at(0).sampleRate, 48000);
  EXPECT_EQ(audio.formatDescriptions.at(0).channelCount, 1);
}

TEST(Asset, RotatedPhoneVideoReportsTransformAndUprightDisplaySize) {
  const std::string path = test::rotatedCopy(test::testPattern320(1, 30), "rotated.mp4");
  const auto asset = Asset::open(path);
  const TrackInfo& v = asset->firstTrack(MediaType::video);
  EXPECT_EQ(v.naturalSize.width, 320);
  EXPECT_EQ(v.displaySize.width, 240);
  EXPECT_EQ(v.displaySize.height, 320);
  EXPECT_EQ(v.preferredTransform.clockwiseQuarterTurns(), 1);
  EXPECT_DOUBLE_EQ(v.preferredTransform.b, 1);
  EXPECT_DOUBLE_EQ(v.preferredTransform.c, -1);
}

TEST(Asset, AudioOnlyFileHasNoVideoTrack) {
  const auto asset = Asset::open(test::audioOnlySine());
  EXPECT_TRUE(asset->tracks(MediaType::video).empty());
  EXPECT_EQ(asset->tracks(MediaType::audio).size(), 1u);
  try {
    asset->firstTrack(MediaType::video);
    FAIL();
  } catch (const MediaError& e) {
    EXPECT_EQ(e.code(), MediaErrorCode::noSuchTrack);
  }
  EXPECT_THROW(VideoFrameReader(asset, 0), MediaError);
}

TEST(Asset, AudioShorterThanVideoTakesTheLongerDuration) {
  const std::string path =
      fixture("short_audio.mp4", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=30:duration=3", "-f", "lavfi",
                                  "-i", "sine=duration=1", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"});
  const auto asset = Asset::open(path);
  EXPECT_NEAR(asset->duration().seconds(), 3.0, 0.001);
  EXPECT_NEAR(asset->firstTrack(MediaType::audio).timeRange.duration.seconds(), 1.0, 0.05);
}

TEST(PacketReader, PacketsAndTimesMatchFfprobe) {
  const std::string path = test::testPattern320(2, 30);
  const auto asset = Asset::open(path);
  for (const char* which : {"v:0", "a:0"}) {
    const int trackId = which[0] == 'v' ? asset->firstTrack(MediaType::video).trackId
                                        : asset->firstTrack(MediaType::audio).trackId;
    PacketReader reader(asset, trackId);
    const auto expected = test::probePackets(path, which);
    size_t i = 0;
    while (auto p = reader.next()) {
      ASSERT_LT(i, expected.size());
      EXPECT_NEAR(p->presentationTime.seconds(), std::stod(expected[i]["pts_time"].get<std::string>()), 1e-6);
      EXPECT_NEAR(p->decodeTime.seconds(), std::stod(expected[i]["dts_time"].get<std::string>()), 1e-6);
      EXPECT_EQ(p->isKeyFrame, expected[i]["flags"].get<std::string>()[0] == 'K');
      EXPECT_GT(p->size(), 0u);
      ++i;
    }
    EXPECT_EQ(i, expected.size()) << which;
    EXPECT_EQ(reader.status(), ReaderStatus::completed);
  }
}

TEST(PacketReader, RangeYieldsOverlappingAudioPacketsOnly) {
  const auto asset = Asset::open(test::testPattern320(2, 30));
  const int id = asset->firstTrack(MediaType::audio).trackId;
  PacketReader reader(asset, id, TimeRange{MediaTime(1, 2), MediaTime(1, 2)});
  int count = 0;
  std::optional<Packet> first, last;
  while (auto p = reader.next()) {
    if (!first) first = p;
    last = p;
    ++count;
  }
  ASSERT_TRUE(first && last);
  EXPECT_LE(first->presentationTime.seconds(), 0.5);
  EXPECT_GT((first->presentationTime + first->duration).seconds(), 0.5);
  EXPECT_LT(last->presentationTime.seconds(), 1.0);
  EXPECT_NEAR(count, 0.5 * 48000 / 1024, 2);
}

TEST(PcmReader, DeliversExactSampleCountsInRequestedFormats) {
  const auto asset = Asset::open(test::audioOnlySine(2, 48000));
  const int id = asset->firstTrack(MediaType::audio).trackId;
  // The encoder pads the last AAC frame, so the track ends a little after 2 s.
  const double end = asset->firstTrack(MediaType::audio).timeRange.end().seconds();
  ASSERT_NEAR(end, 2.0, 0.03);
  struct Case {
    PcmSettings settings;
    std::optional<TimeRange> range;
    std::int64_t frames;
    double firstTime;
  } cases[] = {
      {{16000, 1, 16, false, true}, std::nullopt, std::llround(end * 16000), 0},
      {{8000, 1, 32, true, true}, std::nullopt, std::llround(end * 8000), 0},
      {{44100, 2, 32, true, false}, TimeRange{MediaTime(1, 2), MediaTime(1, 2)}, 22050, 0.5},
      {{48000, 2, 32, false, true}, TimeRange{MediaTime(3, 2), MediaTime(2, 1)}, std::llround((end - 1.5) * 48000), 1.5},
  };
  for (const auto& c : cases) {
    PcmReader reader(asset, id, c.settings, c.range);
    std::int64_t frames = 0;
    double first = -1;
    const size_t bytesPerFrame = c.settings.bitDepth / 8 * (c.settings.interleaved ? c.settings.channels : 1);
    while (auto b = reader.next()) {
      if (first < 0) first = b->presentationTime.seconds();
      EXPECT_EQ(b->planes.size(), c.settings.interleaved ? 1u : static_cast<size_t>(c.settings.channels));
      EXPECT_EQ(b->planes[0].size(), b->frameCount * bytesPerFrame);
      frames += b->frameCount;
    }
    EXPECT_EQ(reader.status(), ReaderStatus::completed);
    EXPECT_EQ(frames, c.frames) << c.settings.sampleRate;
    EXPECT_DOUBLE_EQ(first, c.firstTime);
  }
}

TEST(VideoFrameReader, FramesHaveExactTimesAndTheDecodedPicture) {
  const std::string path = test::testPattern320(2, 30);
  const auto asset = Asset::open(path);
  VideoFrameReader reader(asset, asset->firstTrack(MediaType::video).trackId);
  int n = 0;
  while (auto f = reader.next()) {
    EXPECT_EQ(f->presentationTime, MediaTime(n, 30));
    EXPECT_EQ(f->duration, MediaTime(1, 30));
    ASSERT_TRUE(f->bgra);
    if (n == 45) {
      const auto expected = test::decodeBgraWithFfmpeg(path, 1.5, 320, 240);
      EXPECT_LT(test::meanAbsDiff(*f->bgra, expected), 4.0);
    }
    ++n;
  }
  EXPECT_EQ(n, 60);
}

TEST(VideoFrameReader, SeekGivesTheLatestFrameAtOrBeforeTheTime) {
  const auto asset = Asset::open(test::testPattern320(2, 30));
  VideoFrameReader reader(asset, asset->firstTrack(MediaType::video).trackId);
  struct Case {
    MediaTime t;
    MediaTime expected;
  } cases[] = {
      {MediaTime(1, 2), MediaTime(15, 30)},       // forward within the first GOP
      {MediaTime(1020, 1000), MediaTime(30, 30)},  // across a sync sample
      {MediaTime(1, 10), MediaTime(3, 30)},       // backwards
      {MediaTime(59, 30), MediaTime(59, 30)},     // the last frame
      {MediaTime(5, 1), MediaTime(59, 30)},       // past the end: last frame held
  };
  for (const auto& c : cases) {
    reader.seek(c.t);
    auto f = reader.next();
    ASSERT_TRUE(f) << c.t.debugString();
    EXPECT_EQ(f->presentationTime, c.expected) << c.t.debugString();
  }
}

TEST(VideoFrameReader, VariableFrameRateAndOddSizes) {
  // Frames 0,1,2 of every 10: intervals of 1/30 s and 8/30 s.
  const std::string vfr = fixture("vfr.mp4", {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30:duration=1",
                                               "-vf", "select='lt(mod(n\\,10)\\,3)'", "-fps_mode", "vfr", "-c:v",
                                               "libx264", "-preset", "ultrafast"});
  auto asset = Asset::open(vfr);
  EXPECT_EQ(asset->firstTrack(MediaType::video).minFrameDuration, MediaTime(1, 30));
  VideoFrameReader reader(asset, asset->firstTrack(MediaType::video).trackId);
  std::vector<double> times;
  while (auto f = reader.next()) times.push_back(f->presentationTime.seconds());
  ASSERT_EQ(times.size(), 9u);
  EXPECT_NEAR(times[3], 10.0 / 30, 1e-6);
  EXPECT_NEAR(times[8], 22.0 / 30, 1e-6);

  const std::string odd = fixture("odd.mp4", {"-f", "lavfi", "-i", "testsrc=size=1919x1079:rate=10:duration=0.3",
                                              "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv444p"});
  asset = Asset::open(odd);
  EXPECT_EQ(asset->firstTrack(MediaType::video).naturalSize.width, 1919);
  VideoFrameReader oddReader(asset, 0);
  auto f = oddReader.next();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->bgra->width(), 1919);
  EXPECT_EQ(f->bgra->height(), 1079);
  EXPECT_LT(test::meanAbsDiff(*f->bgra, test::decodeBgraWithFfmpeg(odd, 0, 1919, 1079)), 2.5);
}

TEST(Readers, CorruptPacketsInTheMiddleDoNotStopTheRead) {
  std::string bytes = vantrel::testing::readFile(test::testPattern320(2, 30));
  const auto mdat = bytes.find("mdat");
  ASSERT_NE(mdat, std::string::npos);
  for (size_t i = bytes.size() / 3; i < bytes.size() / 3 + 4000 && i < bytes.size(); i += 7) bytes[i] ^= 0x5a;
  const std::string path = test::scratchPath("corrupt.mp4");
  vantrel::testing::writeFile(path, bytes);
  const auto asset = Asset::open(path);
  VideoFrameReader reader(asset, asset->firstTrack(MediaType::video).trackId);
  int frames = 0;
  try {
    while (reader.next()) ++frames;
    EXPECT_EQ(reader.status(), ReaderStatus::completed);
    EXPECT_GT(frames, 40);
  } catch (const MediaError& e) {
    EXPECT_EQ(reader.status(), ReaderStatus::failed);
    EXPECT_EQ(reader.errorText(), e.text());
  }
}

TEST(Readers, FastStartFileCutInHalfEndsCleanly) {
  // With the index in front the file opens; the data simply stops half-way.
  const std::string faststart = fixture("faststart.mp4", {"-i", test::testPattern320(2, 30), "-c", "copy",
                                                           "-movflags", "+faststart"});
  const auto asset = Asset::open(truncatedCopy(faststart, "faststart_half.mp4", 0.5));
  for (const auto& track : asset->tracks()) {
    PacketReader packets(asset, track.trackId);
    int n = 0;
    try {
      while (packets.next()) ++n;
      EXPECT_EQ(packets.status(), ReaderStatus::completed);
    } catch (const MediaError& e) {
      EXPECT_EQ(packets.status(), ReaderStatus::failed);
      EXPECT_NE(e.text().find(asset->path()), std::string::npos);
    }
    EXPECT_GT(n, 0);
  }
  VideoFrameReader frames(asset, asset->firstTrack(MediaType::video).trackId);
  int decoded = 0;
  try {
    while (frames.next()) ++decoded;
  } catch (const MediaError&) {
    EXPECT_EQ(frames.status(), ReaderStatus::failed);
  }
  EXPECT_GT(decoded, 5);
  EXPECT_LT(decoded, 60);
}

TEST(Readers, FragmentedFileCutMidFragmentReadsToItsLastWholeSamples) {
  // What a recorder killed mid-recording leaves: one-second fragments, the
  // last one's header written but its data cut short.
  const std::string fragmented =
      fixture("fragmented.mp4", {"-i", test::testPattern320(4, 30), "-c", "copy", "-movflags",
                                 "frag_keyframe+empty_moov+default_base_moof", "-frag_duration", "1000000"});
  const auto whole = Asset::open(fragmented);
  EXPECT_FALSE(whole->readableEndOfCutFragments());
  EXPECT_NEAR(whole->duration().seconds(), 4.0, 0.05);

  const std::string cut = truncatedCopy(fragmented, "fragmented_cut.mp4", 0.7);
  const auto asset = Asset::open(cut);
  ASSERT_TRUE(asset->readableEndOfCutFragments());
  const double end = asset->readableEndOfCutFragments()->seconds();
  EXPECT_GT(end, 1.5);
  EXPECT_LT(end, 3.0);
  EXPECT_NEAR(asset->duration().seconds(), end, 1e-6);
  for (const auto& track : asset->tracks()) {
    EXPECT_LE(track.timeRange.end().seconds(), end + 1e-6);
    for (const auto& k : track.keyFrameTimes) EXPECT_LT(k.seconds(), end);
  }

  const TrackInfo& video = asset->firstTrack(MediaType::video);
  PacketReader packets(asset, video.trackId);
  int copied = 0;
  while (packets.next()) ++copied;
  EXPECT_EQ(packets.status(), ReaderStatus::completed) << packets.errorText();
  VideoFrameReader frames(asset, video.trackId);
  int decoded = 0;
  while (frames.next()) ++decoded;
  EXPECT_EQ(frames.status(), ReaderStatus::completed) << frames.errorText();
  // Every whole sample before the cut, and nothing of the cut-off one.
  EXPECT_NEAR(decoded, end * 30, 1.5);
  EXPECT_EQ(copied, decoded);
  PcmReader audio(asset, asset->firstTrack(MediaType::audio).trackId, PcmSettings{});
  while (audio.next()) {
  }
  EXPECT_EQ(audio.status(), ReaderStatus::completed) << audio.errorText();

  // The same cut in a file that is not fragmented stays an error somewhere on the way.
  const std::string plainCut = truncatedCopy(test::testPattern320(4, 30), "plain_cut.mp4", 0.7);
  EXPECT_THROW(Asset::open(plainCut), MediaError);
}

TEST(FramePool, RecyclesBuffersAndBoundsHowManyAreOut) {
  auto pool = FramePool::create(64, 32, 2);
  auto a = pool->acquire();
  const std::uint8_t* first = a->data();
  auto b = pool->tryAcquire();
  ASSERT_TRUE(b);
  EXPECT_FALSE(pool->tryAcquire());  // both out
  EXPECT_EQ(pool->outstanding(), 2u);
  a.reset();
  auto c = pool->tryAcquire();
  ASSERT_TRUE(c);
  EXPECT_EQ(c->data(), first);  // the returned buffer is reused
  EXPECT_EQ(c->stride() % 64, 0);
  // A buffer outliving its pool is simply freed.
  pool.reset();
  c.reset();
  EXPECT_THROW(FramePool::create(0, 10), MediaError);
}

TEST(Readers, CancelEndsTheRead) {
  const auto asset = Asset::open(test::testPattern320(2, 30));
  VideoFrameReader reader(asset, 0);
  ASSERT_TRUE(reader.next());
  reader.cancel();
  EXPECT_FALSE(reader.next());
  EXPECT_EQ(reader.status(), ReaderStatus::cancelled);
}

namespace lossy {

constexpr int kRate = 48000;

std::vector<float> readMono(const AssetRef& asset, std::optional<TimeRange> range = std::nullopt) {
  PcmReader reader(asset, asset->firstTrack(MediaType::audio).trackId, PcmSettings{kRate, 1, 32, true, true}, range);
  std::vector<float> out;
  while (auto b = reader.next()) {
    const auto* f = reinterpret_cast<const float*>(b->planes[0].data());
    out.insert(out.end(), f, f + b->frameCount);
  }
  EXPECT_EQ(reader.status(), ReaderStatus::completed);
  return out;
}

double rms(const std::vector<float>& s, double from, double to) {
  const size_t a = std::min(s.size(), static_cast<size_t>(from * kRate));
  const size_t b = std::min(s.size(), static_cast<size_t>(to * kRate));
  double sum = 0;
  for (size_t i = a; i < b; ++i) sum += double(s[i]) * s[i];
  return b > a ? std::sqrt(sum / double(b - a)) : 0;
}

// First sample at or after `after` seconds whose magnitude reaches `level`, in seconds.
double firstAbove(const std::vector<float>& s, double level, double after) {
  for (size_t i = static_cast<size_t>(after * kRate); i < s.size(); ++i) {
    if (std::fabs(s[i]) >= level) return double(i) / kRate;
  }
  return -1;
}

}  // namespace lossy

TEST(PcmReader, UndecodablePacketsBecomeSilenceOfTheirLength) {
  // A quiet 440 Hz bed with a loud 1 kHz burst at 3.0 s; the damage lies
  // around 1.3 s, well before the burst.
  const std::string clean = fixture(
      "burst_4s.m4a", {"-f", "lavfi", "-i",
                       "aevalsrc=0.1*sin(2*PI*440*t)+0.5*sin(2*PI*1000*t)*between(t\\,3\\,3.2):s=48000:d=4", "-c:a",
                       "aac", "-b:a", "128k"});
  std::string bytes = vantrel::testing::readFile(clean);
  const size_t mdat = bytes.find("mdat");
  const size_t moov = bytes.find("moov");
  ASSERT_TRUE(mdat != std::string::npos && moov != std::string::npos && mdat < moov);
  const size_t from = mdat + (moov - mdat) / 3;
  for (size_t i = from; i < from + 3000; ++i) bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
  const std::string damaged = test::scratchPath("burst_damaged.m4a");
  vantrel::testing::writeFile(damaged, bytes);

  const auto reference = lossy::readMono(Asset::open(clean));
  const auto asset = Asset::open(damaged);
  const auto s = lossy::readMono(asset);
  EXPECT_EQ(s.size(), reference.size());
  EXPECT_NEAR(double(s.size()) / lossy::kRate, 4.0, 1024.0 / lossy::kRate);
  // The damage really cost sound (silence in its place), and nothing after it moved.
  double quietest = 1;
  for (double t = 1.0; t < 2.0; t += 0.01) quietest = std::min(quietest, lossy::rms(s, t, t + 0.01));
  EXPECT_LT(quietest, 0.01);
  EXPECT_NEAR(lossy::firstAbove(s, 0.3, 2.5), lossy::firstAbove(reference, 0.3, 2.5), 2.0 / lossy::kRate);
  EXPECT_NEAR(lossy::firstAbove(s, 0.3, 2.5), 3.0, 0.002);
  // A range read after the damage starts at the same sample as an undamaged one.
  const auto tail = lossy::readMono(asset, test::range(2.9, 0.4, 48000));
  const auto referenceTail = lossy::readMono(Asset::open(clean), test::range(2.9, 0.4, 48000));
  ASSERT_EQ(tail.size(), referenceTail.size());
  for (size_t i = 0; i < tail.size(); ++i) ASSERT_NEAR(tail[i], referenceTail[i], 1e-6) << i;
}

TEST(Readers, DeclaredPictureSizeIsBoundedBeforeAnythingIsDecoded) {
  // Only the sequence parameter set changes: the coded slices stay 64x64, so a
  // decoder that accepts the size conceals the rest of the picture.
  const std::string small = fixture("small_64.mp4", {"-f", "lavfi", "-i", "color=c=0x336699:s=64x64:r=10:d=0.3",
                                                     "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt",
                                                     "yuv420p"});
  struct Case {
    int width, height;
    std::optional<MediaErrorCode> error;
    std::string text;
  } cases[] = {
      {7680, 4320, std::nullopt, ""},
      {8192, 4368, MediaErrorCode::unsupported, "8192x4368"},
      {16000, 16000, MediaErrorCode::unsupported, "16000x16000"},
      // FFmpeg drops a parameter set this large itself, so no packet decodes.
      {16384, 16384, MediaErrorCode::decodeFailed, "could be decoded"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const std::string path = test::hugePictureCopy(
        small, "declared_" + std::to_string(c.width) + "x" + std::to_string(c.height) + ".mp4", c.width, c.height);
    const auto asset = Asset::open(path);
    const int id = asset->firstTrack(MediaType::video).trackId;
    if (!c.error) {
      VideoFrameReader reader(asset, id, PixelFormat::i420);
      const auto frame = reader.next();
      ASSERT_TRUE(frame);
      EXPECT_EQ(frame->i420->width, c.width);
      EXPECT_EQ(frame->i420->height, c.height);
      continue;
    }
    try {
      VideoFrameReader reader(asset, id, PixelFormat::i420);
      while (reader.next()) {
      }
      ADD_FAILURE() << "the picture was accepted";
    } catch (const MediaError& e) {
      EXPECT_EQ(e.code(), *c.error);
      EXPECT_NE(e.text().find(path), std::string::npos) << e.text();
      EXPECT_NE(e.text().find(c.text), std::string::npos) << e.text();
    }
  }
}

}  // namespace
}  // namespace vantrel::media
