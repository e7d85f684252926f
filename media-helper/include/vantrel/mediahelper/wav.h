#pragma once
// Speech audio as a WAV file: 16 kHz, mono, 16-bit little-endian PCM behind
// the canonical 44-byte RIFF header.

#include <array>
#include <cstdint>
#include <string>

namespace vantrel::mediahelper {

inline constexpr int kWavHeaderSize = 44;
// The RIFF size field holds 36 more than the data size in 32 bits, so 36 + n
// must stay at or below 0xFFFFFFFF: 0xFFFFFFDB bytes is the most (0xFFFFFFDC
// would wrap the RIFF field to 0).
inline constexpr std::uint64_t kWavMaxDataBytes = 0xFFFFFFFFull - 36;

std::array<std::uint8_t, kWavHeaderSize> wavHeader(std::uint32_t dataSize, std::uint32_t sampleRate,
                                                   std::uint16_t channels, std::uint16_t bitsPerSample);

// Decodes the first audio track of `inputPath` to 16 kHz mono 16-bit PCM and
// writes it after 44 placeholder bytes, then the header over them once the size
// is known. Throws MediaHelperError (noAudioTrack, readerFailed, exportFailed
// when the data would pass `maxDataBytes`), MediaError or std::system_error.
// A failed run may leave a partial file. Runs on the calling thread.
void extractAudio(const std::string& inputPath, const std::string& outputPath,
                  std::uint64_t maxDataBytes = kWavMaxDataBytes);

}  // namespace vantrel::mediahelper
