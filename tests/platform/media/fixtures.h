#pragma once
// Media fixtures made on demand with the ffmpeg command-line program, and
// ffprobe as an independent judge of what the media layer reads and writes.

#include "vantrel/media/frame.h"
#include "vantrel/media/media_time.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace vantrel::media::test {

// Times in seconds for test tables (timescale 600 unless given).
inline MediaTime sec(double s, std::int32_t timescale = 600) { return MediaTime::fromSeconds(s, timescale); }
inline TimeRange range(double start, double duration, std::int32_t timescale = 600) {
  return TimeRange{sec(start, timescale), sec(duration, timescale)};
}

// A scratch directory shared by the tests of this process.
const std::string& scratchDir();
std::string scratchPath(const std::string& name);

// Runs ffmpeg with `args` (after -y -loglevel error) and fails the test on error.
void runFfmpeg(const std::vector<std::string>& args);
// Generates `name` once per process with the given ffmpeg arguments (the output
// path is appended) and returns its path.
std::string fixture(const std::string& name, const std::vector<std::string>& args);

// Common fixtures.
std::string testPattern320(double seconds = 2, int fps = 30);  // H.264 + AAC sine 440
std::string audioOnlySine(double seconds = 2, int rate = 48000);  // AAC in .m4a

// A copy of an MP4 whose first track header carries a 90-degree display
// matrix, as phones write it.
std::string rotatedCopy(const std::string& source, const std::string& name);

// A copy of an H.264 MP4 (index after the media data, no scaling lists) whose
// sequence parameter set declares a `width` x `height` picture (multiples of
// 16); the sample entry and the coded slices stay as they were.
std::string hugePictureCopy(const std::string& source, const std::string& name, int width, int height);

nlohmann::json ffprobe(const std::vector<std::string>& args);  // -of json appended
nlohmann::json probeStreams(const std::string& path);
// Per-packet records of one stream ("v:0", "a:0"), with pts_time, dts_time, flags.
std::vector<nlohmann::json> probePackets(const std::string& path, const std::string& stream);
// Per-packet payload hashes of one stream in decode order (ffmpeg framemd5).
std::vector<std::string> packetHashes(const std::string& path, const std::string& stream);

// Decodes the first video frame at or after `seconds` as raw BGRA via ffmpeg.
std::vector<std::uint8_t> decodeBgraWithFfmpeg(const std::string& path, double seconds, int width, int height);
// Mean absolute difference per channel between a buffer and packed BGRA bytes.
double meanAbsDiff(const PixelBuffer& a, const std::vector<std::uint8_t>& packed);
// Writes a BGRA buffer as PNG (for looking at it).
void savePng(const PixelBuffer& buffer, const std::string& path);

}  // namespace vantrel::media::test
