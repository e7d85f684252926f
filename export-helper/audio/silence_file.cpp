// The silence file is a Core Audio Format file of 32-bit float little-endian
// stereo. CAF is written here directly (three fixed chunks) because the media
// layer's writer only produces MPEG-4; FFmpeg's CAF demuxer reads it back.
// CAF stores PCM interleaved, so the samples are interleaved.

#include "audio/audio_paths.h"

#include "vantrel/media/errors.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace vantrel::exporter {

namespace {

constexpr int kChannels = 2;
constexpr std::int64_t kWriteChunkFrames = 4096;

void putBigEndian(std::vector<unsigned char>& out, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void putTag(std::vector<unsigned char>& out, const char (&tag)[5]) { out.insert(out.end(), tag, tag + 4); }

std::vector<unsigned char> cafHeader(double sampleRate, std::int64_t frames) {
  constexpr std::uint32_t kFlagIsFloat = 1, kFlagIsLittleEndian = 2;
  const std::uint32_t bytesPerFrame = 4 * kChannels;
  std::vector<unsigned char> h;
  putTag(h, "caff");
  putBigEndian(h, 1, 2);  // file version
  putBigEndian(h, 0, 2);  // file flags
  putTag(h, "desc");
  putBigEndian(h, 32, 8);
  std::uint64_t rateBits = 0;
  std::memcpy(&rateBits, &sampleRate, sizeof rateBits);
  putBigEndian(h, rateBits, 8);
  putTag(h, "lpcm");
  putBigEndian(h, kFlagIsFloat | kFlagIsLittleEndian, 4);
  putBigEndian(h, bytesPerFrame, 4);  // bytes per packet
  putBigEndian(h, 1, 4);              // frames per packet
  putBigEndian(h, kChannels, 4);
  putBigEndian(h, 32, 4);  // bits per channel
  putTag(h, "data");
  putBigEndian(h, 4 + static_cast<std::uint64_t>(frames) * bytesPerFrame, 8);
  putBigEndian(h, 0, 4);  // edit count
  return h;
}

[[noreturn]] void throwWriteError(const std::string& path, int error) {
  throw media::makeMediaError(media::MediaErrorCode::writeFailed, path + ": " + std::strerror(error));
}

}  // namespace

media::AssetRef createSilentAudioAsset(const std::string& path, double durationSeconds, double sampleRate) {
  std::remove(path.c_str());  // a stale file is replaced; failing to remove shows up when opening
  if (!(sampleRate >= 1 && sampleRate <= 768000)) {
    throw AudioMixError::readerStartFailed("could not create silence PCM format");
  }
  const std::int64_t frames = std::max<std::int64_t>(std::llround(durationSeconds * sampleRate), 1);

  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!file) throwWriteError(path, errno);
  const std::vector<unsigned char> header = cafHeader(sampleRate, frames);
  if (std::fwrite(header.data(), 1, header.size(), file.get()) != header.size()) throwWriteError(path, errno);
  const std::vector<float> zeros(static_cast<size_t>(kWriteChunkFrames * kChannels), 0.0f);
  for (std::int64_t remaining = frames; remaining > 0;) {
    const std::int64_t n = std::min(remaining, kWriteChunkFrames);
    const size_t values = static_cast<size_t>(n * kChannels);
    if (std::fwrite(zeros.data(), sizeof(float), values, file.get()) != values) throwWriteError(path, errno);
    remaining -= n;
  }
  if (std::fflush(file.get()) != 0) throwWriteError(path, errno);
  return media::Asset::open(path);
}

}  // namespace vantrel::exporter
