#include "fixtures.h"

#include "vantrel/testing/process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>

namespace vantrel::media::test {

const std::string& scratchDir() {
  static vantrel::testing::TempDir dir;
  return dir.path();
}

std::string scratchPath(const std::string& name) { return scratchDir() + "/" + name; }

void runFfmpeg(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-nostdin", "-y", "-loglevel", "error"};
  argv.insert(argv.end(), args.begin(), args.end());
  vantrel::testing::ProcessOptions options;
  options.timeout = std::chrono::seconds(120);
  const auto r = vantrel::testing::runProcess(argv, options);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
}

std::string fixture(const std::string& name, const std::vector<std::string>& args) {
  static std::mutex mutex;
  static std::map<std::string, std::string> made;
  std::lock_guard lock(mutex);
  if (auto it = made.find(name); it != made.end()) return it->second;
  std::string path = scratchPath(name);
  std::vector<std::string> full = args;
  full.push_back(path);
  runFfmpeg(full);
  made[name] = path;
  return path;
}

std::string testPattern320(double seconds, int fps) {
  const std::string d = std::to_string(seconds);
  return fixture("pattern_" + d + "_" + std::to_string(fps) + ".mp4",
                 {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=" + std::to_string(fps) + ":duration=" + d,
                  "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=" + d, "-c:v", "libx264",
                  "-preset", "ultrafast", "-g", std::to_string(fps), "-bf", "0", "-pix_fmt", "yuv420p", "-c:a",
                  "aac", "-b:a", "128k", "-shortest"});
}

std::string audioOnlySine(double seconds, int rate) {
  const std::string d = std::to_string(seconds);
  return fixture("sine_" + d + "_" + std::to_string(rate) + ".m4a",
                 {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=" + std::to_string(rate) + ":duration=" + d,
                  "-c:a", "aac", "-b:a", "128k"});
}

std::string rotatedCopy(const std::string& source, const std::string& name) {
  std::string bytes = vantrel::testing::readFile(source);
  const auto tkhd = bytes.find("tkhd");
  EXPECT_NE(tkhd, std::string::npos);
  if (tkhd == std::string::npos) return source;
  const size_t matrix = tkhd + 4 + 40;  // version 0 header fields before the matrix
  const std::uint32_t height = static_cast<std::uint8_t>(bytes[matrix + 40]) << 8 |
                               static_cast<std::uint8_t>(bytes[matrix + 41]);
  const std::uint32_t values[9] = {0, 0x10000, 0, 0xFFFF0000u, 0, 0, height << 16, 0, 0x40000000};
  for (int i = 0; i < 9; ++i) {
    for (int b = 0; b < 4; ++b) bytes[matrix + 4 * i + b] = static_cast<char>(values[i] >> (24 - 8 * b));
  }
  const std::string path = scratchPath(name);
  vantrel::testing::writeFile(path, bytes);
  return path;
}

nlohmann::json ffprobe(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/ffprobe", "-v", "error", "-of", "json"};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto r = vantrel::testing::runProcess(argv);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  return nlohmann::json::parse(r.out);
}

nlohmann::json probeStreams(const std::string& path) {
  return ffprobe({"-show_streams", "-show_format", path})["streams"];
}

std::vector<nlohmann::json> probePackets(const std::string& path, const std::string& stream) {
  auto j = ffprobe({"-select_streams", stream, "-show_entries", "packet=pts_time,dts_time,duration_time,flags",
                    "-show_packets", path});
  std::vector<nlohmann::json> out;
  for (auto& p : j["packets"]) out.push_back(p);
  return out;
}

std::vector<std::string> packetHashes(const std::string& path, const std::string& stream) {
  const auto r = vantrel::testing::runProcess({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-i", path, "-map",
                                               "0:" + stream, "-c", "copy", "-f", "framemd5", "-"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  std::vector<std::string> out;
  for (const auto& line : r.outLines()) {
    if (line.empty() || line[0] == '#') continue;
    out.push_back(line.substr(line.rfind(',') + 1));
  }
  return out;
}

std::vector<std::uint8_t> decodeBgraWithFfmpeg(const std::string& path, double seconds, int width, int height) {
  const std::string out = scratchPath("decoded_" + std::to_string(std::rand()) + ".bgra");
  runFfmpeg({"-ss", std::to_string(seconds), "-i", path, "-frames:v", "1", "-vf",
             "scale=" + std::to_string(width) + ":" + std::to_string(height) +
                 ":in_color_matrix=bt709:flags=accurate_rnd+full_chroma_int",
             "-pix_fmt", "bgra", "-f", "rawvideo", out});
  std::string bytes = vantrel::testing::readFile(out);
  std::filesystem::remove(out);
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

double meanAbsDiff(const PixelBuffer& a, const std::vector<std::uint8_t>& packed) {
  if (packed.size() != static_cast<size_t>(a.width()) * a.height() * 4) return 1e9;
  double sum = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width() * 4; ++x) {
      if (x % 4 == 3) continue;
      sum += std::abs(int(a.row(y)[x]) - int(packed[(static_cast<size_t>(y) * a.width() * 4) + x]));
    }
  }
  return sum / (3.0 * a.width() * a.height());
}

void savePng(const PixelBuffer& buffer, const std::string& path) {
  const std::string raw = path + ".bgra";
  std::string bytes;
  for (int y = 0; y < buffer.height(); ++y) {
    bytes.append(reinterpret_cast<const char*>(buffer.row(y)), static_cast<size_t>(buffer.width()) * 4);
  }
  vantrel::testing::writeFile(raw, bytes);
  runFfmpeg({"-f", "rawvideo", "-pix_fmt", "bgra", "-s",
             std::to_string(buffer.width()) + "x" + std::to_string(buffer.height()), "-i", raw, path});
  std::filesystem::remove(raw);
}

}  // namespace vantrel::media::test

namespace vantrel::media::test {

namespace {

// Exp-Golomb bit reading and writing over an SPS payload (without emulation
// prevention bytes).
struct BitReader {
  const std::vector<std::uint8_t>& bytes;
  size_t bit = 0;
  bool more() const { return bit < bytes.size() * 8; }
  unsigned u1() {
    const unsigned v = (bytes[bit / 8] >> (7 - bit % 8)) & 1u;
    ++bit;
    return v;
  }
  unsigned u(int n) {
    unsigned v = 0;
    for (int i = 0; i < n; ++i) v = (v << 1) | u1();
    return v;
  }
  unsigned ue() {
    int zeros = 0;
    while (u1() == 0) ++zeros;
    return (1u << zeros) - 1 + u(zeros);
  }
};

struct BitWriter {
  std::vector<std::uint8_t> bytes;
  size_t bit = 0;
  void u1(unsigned v) {
    if (bit % 8 == 0) bytes.push_back(0);
    if (v) bytes.back() |= static_cast<std::uint8_t>(0x80 >> (bit % 8));
    ++bit;
  }
  void u(unsigned v, int n) {
    for (int i = n - 1; i >= 0; --i) u1((v >> i) & 1u);
  }
  void ue(unsigned v) {
    const unsigned x = v + 1;
    int bits = 0;
    while ((x >> bits) > 1) ++bits;
    u(0, bits);
    u(x, bits + 1);
  }
};

}  // namespace

std::string hugePictureCopy(const std::string& source, const std::string& name, int width, int height) {
  std::string bytes = vantrel::testing::readFile(source);
  const size_t avcC = bytes.find("avcC");
  const size_t moov = bytes.find("moov");
  const size_t mdat = bytes.find("mdat");
  EXPECT_TRUE(avcC != std::string::npos && mdat < moov) << "needs an avcC in a moov after the media data";
  if (avcC == std::string::npos || !(mdat < moov)) return source;
  const size_t spsLengthAt = avcC + 4 + 6;
  const size_t spsLength = static_cast<std::uint8_t>(bytes[spsLengthAt]) << 8 |
                           static_cast<std::uint8_t>(bytes[spsLengthAt + 1]);
  const size_t spsAt = spsLengthAt + 2;
  // RBSP of the SPS after its one-byte NAL header.
  std::vector<std::uint8_t> rbsp;
  for (size_t i = spsAt + 1; i < spsAt + spsLength; ++i) {
    const auto b = static_cast<std::uint8_t>(bytes[i]);
    if (b == 3 && rbsp.size() >= 2 && rbsp[rbsp.size() - 1] == 0 && rbsp[rbsp.size() - 2] == 0) continue;
    rbsp.push_back(b);
  }
  BitReader in{rbsp};
  BitWriter out;
  const unsigned profile = in.u(8);
  out.u(profile, 8);
  out.u(in.u(16), 16);  // constraint flags, level
  out.ue(in.ue());      // sps id
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83 ||
      profile == 86 || profile == 118 || profile == 128) {
    const unsigned chroma = in.ue();
    out.ue(chroma);
    if (chroma == 3) out.u1(in.u1());
    out.ue(in.ue());
    out.ue(in.ue());
    out.u1(in.u1());
    const unsigned scaling = in.u1();
    EXPECT_EQ(scaling, 0u) << "scaling lists are not handled";
    out.u1(scaling);
  }
  out.ue(in.ue());  // log2_max_frame_num_minus4
  const unsigned pocType = in.ue();
  out.ue(pocType);
  EXPECT_NE(pocType, 1u) << "picture order count type 1 is not handled";
  if (pocType == 0) out.ue(in.ue());
  out.ue(in.ue());   // max_num_ref_frames
  out.u1(in.u1());   // gaps allowed
  in.ue();
  in.ue();
  out.ue(static_cast<unsigned>(width / 16 - 1));
  out.ue(static_cast<unsigned>(height / 16 - 1));
  // The rest (frame_mbs_only, cropping, VUI, the stop bit) unchanged.
  size_t lastOne = 0;
  for (size_t b = in.bit; b < rbsp.size() * 8; ++b) {
    if ((rbsp[b / 8] >> (7 - b % 8)) & 1u) lastOne = b;
  }
  while (in.bit <= lastOne) out.u1(in.u1());
  std::string nal(1, bytes[spsAt]);
  int zeros = 0;
  for (std::uint8_t b : out.bytes) {
    if (zeros >= 2 && b <= 3) {
      nal.push_back(3);
      zeros = 0;
    }
    nal.push_back(static_cast<char>(b));
    zeros = b == 0 ? zeros + 1 : 0;
  }
  const long delta = static_cast<long>(nal.size()) - static_cast<long>(spsLength);
  bytes.replace(spsAt, spsLength, nal);
  bytes[spsLengthAt] = static_cast<char>(nal.size() >> 8);
  bytes[spsLengthAt + 1] = static_cast<char>(nal.size() & 0xff);
  // Every box that holds the avcC grows with it.
  auto grow = [&](size_t at) {
    std::uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size = size << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    size = static_cast<std::uint32_t>(static_cast<long>(size) + delta);
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(size >> (24 - 8 * i));
  };
  const std::pair<const char*, size_t> path[] = {{"moov", 8}, {"trak", 8}, {"mdia", 8}, {"minf", 8},
                                                  {"stbl", 8}, {"stsd", 16}, {"avc1", 86}};
  size_t level = 0, at = 0, end = bytes.size();
  while (at + 8 <= end && level < std::size(path)) {
    std::uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size = size << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    const std::string type = bytes.substr(at + 4, 4);
    if (type == path[level].first && at < avcC && avcC < at + size + static_cast<size_t>(std::max(delta, 0L))) {
      grow(at);
      end = at + size + static_cast<size_t>(delta);
      at += path[level].second;
      ++level;
      continue;
    }
    if (size < 8) break;
    at += size;
  }
  EXPECT_EQ(level, std::size(path)) << "box path to avcC not found";
  grow(avcC - 4);
  const std::string copyPath = scratchPath(name);
  vantrel::testing::writeFile(copyPath, bytes);
  return copyPath;
}

}  // namespace vantrel::media::test
