#include "fixtures.h"
#include "vantrel/media/bgra_to_i420.h"
#include "vantrel/media/readers.h"
#include "vantrel/media/writer.h"
#include "vantrel/testing/process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::media {
namespace {

// A screen-like frame: flat background, a moving block and stripes.
std::shared_ptr<PixelBuffer> syntheticFrame(FramePool& pool, int index) {
  auto f = pool.acquire();
  f->fill(40, 30, 20, 255);
  for (int y = 0; y < f->height(); ++y) {
    for (int x = 0; x < f->width(); ++x) {
      std::uint8_t* p = f->row(y) + 4 * x;
      if ((x / 8) % 4 == 0) p[1] = 200;
      if (x >= index * 4 % f->width() && x < index * 4 % f->width() + 40 && y > 40 && y < 100) {
        p[0] = 30, p[1] = 60, p[2] = 230;
      }
    }
  }
  return f;
}

PcmBuffer sine(double freq, int rate, int channels, std::int64_t startFrame, int frames) {
  PcmBuffer b;
  b.presentationTime = MediaTime(startFrame, rate);
  b.frameCount = frames;
  b.planes.resize(1);
  b.planes[0].resize(static_cast<size_t>(frames) * channels * sizeof(float));
  auto* out = reinterpret_cast<float*>(b.planes[0].data());
  for (int i = 0; i < frames; ++i) {
    const float v = 0.5f * static_cast<float>(std::sin(2 * M_PI * freq * double(startFrame + i) / rate));
    for (int c = 0; c < channels; ++c) out[i * channels + c] = v;
  }
  return b;
}

struct EncodedFile {
  std::string path;
  std::shared_ptr<PixelBuffer> frame30;
};

EncodedFile encodeTwoSeconds(const std::string& name, int keyInterval, bool withAudio, MediaTime sessionStart) {
  EncodedFile out{test::scratchPath(name), nullptr};
  Writer writer(out.path);
  H264Settings vs;
  vs.width = 320;
  vs.height = 240;
  vs.averageBitRate = 2'000'000;
  vs.maxKeyFrameInterval = keyInterval;
  vs.expectedFrameRate = 30;
  WriterInput* video = writer.addVideoInput(vs);
  WriterInput* audio = withAudio ? writer.addAudioInput(AacSettings{48000, 2, 128000}) : nullptr;
  writer.startWriting();
  writer.startSession(sessionStart);
  auto pool = FramePool::create(320, 240, 6);
  for (int i = 0; i < 60; ++i) {
    auto f = syntheticFrame(*pool, i);
    if (i == 30) {
      out.frame30 = std::make_shared<PixelBuffer>(320, 240);
      for (int y = 0; y < 240; ++y) std::memcpy(out.frame30->row(y), f->row(y), 320 * 4);
    }
    EXPECT_TRUE(video->appendPixelBuffer(f, sessionStart + MediaTime(i, 30)));
  }
  video->markAsFinished();
  EXPECT_FALSE(video->isReadyForMoreMediaData());
  if (audio) {
    const std::int64_t start = sessionStart.convertScale(48000).value;
    for (int k = 0; k < 96000; k += 4800) EXPECT_TRUE(audio->appendPcm(sine(440, 48000, 2, start + k, 4800)));
    audio->markAsFinished();
  }
  writer.finishWriting().wait();
  EXPECT_EQ(writer.status(), WriterStatus::completed) << writer.errorText();
  return out;
}

TEST(Writer, H264OutputHasHighProfileFixedKeyFramesColourTagsAndFastStart) {
  const auto file = encodeTwoSeconds("encoded.mp4", 12, true, MediaTime::zero());
  const auto streams = test::probeStreams(file.path);
  ASSERT_EQ(streams.size(), 2u);
  const auto& v = streams[0];
  EXPECT_EQ(v["codec_name"], "h264");
  EXPECT_EQ(v["profile"], "High");
  EXPECT_EQ(v["has_b_frames"], 0);
  EXPECT_EQ(v["color_primaries"], "bt709");
  EXPECT_EQ(v["color_space"], "bt709");
  EXPECT_EQ(v["color_transfer"], "iec61966-2-1");
  EXPECT_EQ(v["color_range"], "tv");
  EXPECT_EQ(v["nb_frames"], "60");
  // The track's timescale is the frame rate, not the muxer's 15360.
  EXPECT_EQ(v["time_base"], "1/30");
  const auto& a = streams[1];
  EXPECT_EQ(a["codec_name"], "aac");
  EXPECT_EQ(a["sample_rate"], "48000");
  EXPECT_EQ(a["channels"], 2);
  EXPECT_NEAR(std::stod(a["duration"].get<std::string>()), 2.0, 0.03);

  const auto packets = test::probePackets(file.path, "v:0");
  ASSERT_EQ(packets.size(), 60u);
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i]["flags"].get<std::string>()[0] == 'K', i % 12 == 0) << "frame " << i;
    EXPECT_NEAR(std::stod(packets[i]["pts_time"].get<std::string>()), i / 30.0, 1e-3);
  }
  const std::string bytes = vantrel::testing::readFile(file.path);
  EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));

  // The picture survives the round trip (BT.709 both ways); what remains is the
  // chroma subsampling of the sharp coloured edges.
  const auto decoded = test::decodeBgraWithFfmpeg(file.path, 1.0, 320, 240);
  EXPECT_LT(test::meanAbsDiff(*file.frame30, decoded), 5.0);
}

TEST(Writer, SessionStartBecomesTimeZero) {
  const auto file = encodeTwoSeconds("shifted.mp4", 30, true, MediaTime(10, 1));
  const auto packets = test::probePackets(file.path, "v:0");
  ASSERT_EQ(packets.size(), 60u);
  EXPECT_NEAR(std::stod(packets[0]["pts_time"].get<std::string>()), 0.0, 1e-6);
  const auto audio = test::probePackets(file.path, "a:0");
  ASSERT_FALSE(audio.empty());
  EXPECT_LT(std::stod(audio[0]["pts_time"].get<std::string>()), 0.05);
}

TEST(Writer, PassThroughCopiesPacketsUnchanged) {
  const std::string source = test::testPattern320(2, 30);
  const auto asset = Asset::open(source);
  const std::string path = test::scratchPath("copied.mp4");
  Writer writer(path);
  std::vector<std::pair<WriterInput*, int>> inputs;
  for (const auto& t : asset->tracks()) {
    ASSERT_TRUE(Writer::canAddPassThroughInput(t.formatDescriptions[0]));
    inputs.emplace_back(writer.addPassThroughInput(t.formatDescriptions[0]), t.trackId);
  }
  writer.startWriting();
  writer.startSession(MediaTime::zero());
  for (auto [input, id] : inputs) {
    PacketReader reader(asset, id);
    while (auto p = reader.next()) {
      while (!input->isReadyForMoreMediaData()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ASSERT_TRUE(input->appendPacket(*p));
    }
    input->markAsFinished();
  }
  writer.finishWriting().wait();
  ASSERT_EQ(writer.status(), WriterStatus::completed) << writer.errorText();
  EXPECT_EQ(test::packetHashes(path, "v:0"), test::packetHashes(source, "v:0"));
  EXPECT_EQ(test::packetHashes(path, "a:0"), test::packetHashes(source, "a:0"));
}

// A started writer with one video input of the given size, and a flat frame for it.
WriterInput* startVideo(Writer& writer, int width, int height, std::shared_ptr<PixelBuffer>& frame) {
  H264Settings vs;
  vs.width = width;
  vs.height = height;
  WriterInput* in = writer.addVideoInput(vs);
  writer.startWriting();
  frame = std::make_shared<PixelBuffer>(width, height);
  frame->fill(0, 0, 255, 255);
  return in;
}

TEST(Writer, OddSizesAreEncodedOnePixelLarger) {
  const std::string path = test::scratchPath("odd_out.mp4");
  Writer writer(path);
  std::shared_ptr<PixelBuffer> f;
  WriterInput* in = startVideo(writer, 321, 241, f);
  EXPECT_TRUE(in->appendPixelBuffer(f, MediaTime::zero()));
  EXPECT_THROW(in->appendPixelBuffer(std::make_shared<PixelBuffer>(320, 240), MediaTime(1, 30)), MediaError);
  writer.finishWriting().wait();
  ASSERT_EQ(writer.status(), WriterStatus::completed) << writer.errorText();
  const auto v = test::probeStreams(path)[0];
  EXPECT_EQ(v["width"], 322);
  EXPECT_EQ(v["height"], 242);
}

TEST(Writer, PlanarPicturesEncodeLikeTheirBgraSource) {
  // The same pictures given as BGRA and as their I420 conversion make the same
  // file (decoded frames identical): at an odd size the planes are copied with
  // their edges padded, at an even one they are handed to the encoder as they
  // are. One picture is appended twice in a row, as a held frame is.
  for (const auto& [w, h] : {std::pair{321, 241}, std::pair{320, 240}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    auto pool = FramePool::create(w, h, 0);
    std::vector<std::shared_ptr<PixelBuffer>> frames;
    for (int i = 0; i < 3; ++i) frames.push_back(syntheticFrame(*pool, i * 7));
    frames.insert(frames.begin() + 2, frames[1]);
    auto encode = [&](const std::string& name, bool planar) {
      const std::string path = test::scratchPath(name);
      Writer writer(path);
      std::shared_ptr<PixelBuffer> unused;
      WriterInput* in = startVideo(writer, w, h, unused);
      std::shared_ptr<I420Buffer> planes;
      for (std::size_t i = 0; i < frames.size(); ++i) {
        const MediaTime t(static_cast<std::int64_t>(i), 30);
        if (!planar) {
          EXPECT_TRUE(in->appendPixelBuffer(frames[i], t));
          continue;
        }
        if (i == 0 || frames[i] != frames[i - 1]) {
          planes = std::make_shared<I420Buffer>(w, h);
          convertBgraToI420Bt709(frames[i]->data(), frames[i]->stride(), w, h,
                                 I420Planes{planes->y.data(), planes->strideY, planes->u.data(), planes->strideU,
                                            planes->v.data(), planes->strideV});
        }
        EXPECT_TRUE(in->appendPlanarBuffer(planes, t));
      }
      EXPECT_THROW(in->appendPlanarBuffer(std::make_shared<I420Buffer>(w - 2, h), MediaTime(9, 30)), MediaError);
      writer.finishWriting().wait();
      EXPECT_EQ(writer.status(), WriterStatus::completed) << writer.errorText();
      if (planes) {
        EXPECT_EQ(planes.use_count(), 1) << "the encoder let go of the planes";
      }
      std::vector<I420Buffer> decoded;
      VideoFrameReader reader(Asset::open(path), 0, PixelFormat::i420);
      while (auto f = reader.next()) decoded.push_back(*f->i420);
      return decoded;
    };
    const auto viaBgra = encode("planar_ref.mp4", false);
    const auto viaPlanes = encode("planar_in.mp4", true);
    ASSERT_EQ(viaBgra.size(), frames.size());
    ASSERT_EQ(viaPlanes.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(viaBgra[i].y, viaPlanes[i].y) << i;
      EXPECT_EQ(viaBgra[i].u, viaPlanes[i].u) << i;
      EXPECT_EQ(viaBgra[i].v, viaPlanes[i].v) << i;
    }
  }
}

TEST(Writer, FailuresAndCancelLeaveNoFileBehind) {
  // An unwritable location fails at start with the library's text and the path.
  const std::string bad = test::scratchPath("no/such/dir/out.mp4");
  Writer w1(bad);
  w1.addAudioInput(AacSettings{});
  try {
    w1.startWriting();
    FAIL();
  } catch (const MediaError& e) {
    EXPECT_EQ(e.code(), MediaErrorCode::writeFailed);
    EXPECT_NE(e.text().find(bad + ": No such file or directory"), std::string::npos) << e.text();
  }

  // Cancelling mid-write removes the partial file.
  const std::string path = test::scratchPath("cancelled.mp4");
  Writer w2(path);
  WriterInput* audio = w2.addAudioInput(AacSettings{44100, 1, 64000});
  w2.startWriting();
  EXPECT_TRUE(audio->appendPcm(sine(440, 44100, 1, 0, 44100)));
  w2.cancelWriting();
  EXPECT_EQ(w2.status(), WriterStatus::cancelled);
  EXPECT_FALSE(audio->appendPcm(sine(440, 44100, 1, 44100, 100)));
  EXPECT_FALSE(std::filesystem::exists(path));

  // Non-increasing video times fail the writer; finishing then removes the file.
  const std::string path3 = test::scratchPath("backwards.mp4");
  Writer w3(path3);
  std::shared_ptr<PixelBuffer> f;
  WriterInput* v = startVideo(w3, 64, 64, f);
  v->appendPixelBuffer(f, MediaTime(1, 1));
  v->appendPixelBuffer(f, MediaTime(0, 1));
  w3.finishWriting().wait();
  EXPECT_EQ(w3.status(), WriterStatus::failed);
  EXPECT_NE(w3.errorText().find("increase"), std::string::npos) << w3.errorText();
  EXPECT_FALSE(std::filesystem::exists(path3));

  EXPECT_THROW(Writer(test::scratchPath("x.mp4")).addVideoInput(H264Settings{}), MediaError);
}

}  // namespace
}  // namespace vantrel::media
