// Opens arbitrary bytes as a media file through the media layer and reads a
// bounded number of packets, PCM buffers and decoded frames from each track.
// Bad input must end in MediaError, never a crash, hang or leak. The layer
// bounds the declared picture size itself; the caps below bound the work per
// input so that the fuzzer keeps its pace.

#include <cstddef>
#include <cstdint>

#include "fuzz_file.h"
#include "vantrel/media/asset.h"
#include "vantrel/media/errors.h"
#include "vantrel/media/readers.h"

namespace media = vantrel::media;

namespace {

constexpr int kMaxTracks = 4;
constexpr int kMaxPackets = 64;
constexpr int kMaxPcmBuffers = 16;
constexpr int kMaxFrames = 4;
// Frames are decoded only for pictures up to this size; larger ones are read
// as packets (decoding 8K under the sanitizers takes seconds a frame).
constexpr double kMaxDecodedPixels = 1920.0 * 1088.0;

template <class Reader>
void drain(Reader& reader, int limit) {
  for (int i = 0; i < limit && reader.next(); ++i) {
  }
}

void readTrack(const media::AssetRef& asset, const media::TrackInfo& track) {
  try {
    media::PacketReader packets(asset, track.trackId);
    drain(packets, kMaxPackets);
  } catch (const media::MediaError&) {
  }
  if (track.mediaType == media::MediaType::audio) {
    try {
      media::PcmReader pcm(asset, track.trackId, media::PcmSettings{});
      drain(pcm, kMaxPcmBuffers);
    } catch (const media::MediaError&) {
    }
  } else if (track.mediaType == media::MediaType::video &&
             track.naturalSize.width * track.naturalSize.height <= kMaxDecodedPixels) {
    try {
      media::VideoFrameReader frames(asset, track.trackId, media::PixelFormat::bgra);
      drain(frames, kMaxFrames);
    } catch (const media::MediaError&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantrel::fuzzing::MemoryFile file(data, size);
  if (!file.ok()) return 0;
  media::AssetRef asset;
  try {
    asset = media::Asset::open(file.path());
  } catch (const media::MediaError&) {
    return 0;
  }
  int tracks = 0;
  for (const auto& track : asset->tracks()) {
    if (++tracks > kMaxTracks) break;
    readTrack(asset, track);
  }
  return 0;
}
