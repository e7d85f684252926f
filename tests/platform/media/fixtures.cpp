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
