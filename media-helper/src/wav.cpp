#include "vantrel/mediahelper/wav.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "vantrel/common/line_writer.h"
#include "vantrel/media/asset.h"
#include "vantrel/media/readers.h"
#include "vantrel/mediahelper/errors.h"
#include "vantrel/mediahelper/file_ops.h"
#include "pcm_input.h"

namespace vantrel::mediahelper {

namespace {

void put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Closes the descriptor on every exit path.
class OutputFile {
 public:
  explicit OutputFile(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) fail();
  }
  ~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  void write(const void* data, size_t size) {
    if (!writeAll(fd_, std::string_view(static_cast<const char*>(data), size))) fail();
  }
  void seekTo(off_t offset) {
    if (::lseek(fd_, offset, SEEK_SET) < 0) fail();
  }
  void close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail();
  }

 private:
  [[noreturn]] void fail() { throw std::system_error(errno, std::generic_category(), path_); }
  std::string path_;
  int fd_ = -1;
};

}  // namespace

std::array<std::uint8_t, kWavHeaderSize> wavHeader(std::uint32_t dataSize, std::uint32_t sampleRate,
                                                   std::uint16_t channels, std::uint16_t bitsPerSample) {
  std::array<std::uint8_t, kWavHeaderSize> h{};
  std::memcpy(h.data(), "RIFF", 4);
  put32(h.data() + 4, 36 + dataSize);
  std::memcpy(h.data() + 8, "WAVEfmt ", 8);
  put32(h.data() + 16, 16);
  put16(h.data() + 20, 1);
  put16(h.data() + 22, channels);
  put32(h.data() + 24, sampleRate);
  put32(h.data() + 28, sampleRate * channels * bitsPerSample / 8);
  put16(h.data() + 32, static_cast<std::uint16_t>(channels * bitsPerSample / 8));
  put16(h.data() + 34, bitsPerSample);
  std::memcpy(h.data() + 36, "data", 4);
  put32(h.data() + 40, dataSize);
  return h;
}

void extractAudio(const std::string& inputPath, const std::string& outputPath, std::uint64_t maxDataBytes) {
  auto asset = media::Asset::open(inputPath);
  const auto audioTracks = asset->tracks(media::MediaType::audio);
  if (audioTracks.empty()) throw makeError(MediaHelperErrorCode::noAudioTrack);

  media::PcmReader reader(asset, audioTracks.front()->trackId, monoPcm(16000, 16, false));

  createParentDirectory(outputPath);
  OutputFile file(outputPath);
  const std::uint8_t placeholder[kWavHeaderSize] = {};
  file.write(placeholder, sizeof placeholder);

  std::uint64_t total = 0;
  for (;;) {
    std::optional<media::PcmBuffer> buffer = nextPcm(reader);
    if (!buffer) break;
    if (buffer->planes.empty() || buffer->planes.front().empty()) continue;
    const auto& bytes = buffer->planes.front();
    // The header cannot describe more; stop before writing what it could not count.
    if (total + bytes.size() > maxDataBytes) {
      throw makeError(MediaHelperErrorCode::exportFailed,
                      "The extracted audio is longer than a WAV file can describe");
    }
    file.write(bytes.data(), bytes.size());
    total += bytes.size();
  }
  requireCompleted(reader);
  file.seekTo(0);
  const auto header = wavHeader(static_cast<std::uint32_t>(total), 16000, 1, 16);
  file.write(header.data(), header.size());
  file.close();
}

}  // namespace vantrel::mediahelper
