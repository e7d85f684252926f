#include "audio/audio_paths.h"

#include "vantrel/media/errors.h"
#include "vantrel/media/readers.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <thread>

namespace vantrel::exporter {

namespace {

constexpr double kEmptyLength = 1e-6;

std::string shortestDecimal(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

void throwIfStopped(const std::stop_token& stop) {
  if (stop.stop_requested()) throw media::makeMediaError(media::MediaErrorCode::cancelled, "audio writing");
}

// Decoders turn every AAC packet into a whole frame whatever its timestamp
// says, so packets that overlap or leave slivers of gap at a cut would shift
// all later sound for a player that plays the decoded frames back to back. At
// each cut the packet that straddles it goes to the side holding most of it,
// and a packet landing within half a frame of the end of the audio already
// written is laid right at that end: every segment starts within half a frame
// of its output time and the errors never add up over many cuts.
class PacketPlacement {
 public:
  // Where to put a packet whose exactly shifted time is `shifted`; nothing to
  // leave it out. `segmentEnd` is the segment's end on the output timeline.
  std::optional<media::MediaTime> place(media::MediaTime shifted, media::MediaTime duration,
                                        media::MediaTime segmentEnd) {
    const media::MediaTime length = duration.isValid() && duration > media::MediaTime::zero()
                                        ? duration
                                        : media::MediaTime(1024, shifted.timescale);
    const media::MediaTime half = media::multiplyByRatio(length, 1, 2);
    if (shifted + half > segmentEnd) return std::nullopt;  // mostly past the cut
    media::MediaTime at = shifted;
    if (end_.isValid()) {
      if (shifted + half <= end_) return std::nullopt;  // mostly over sound already written
      if (shifted < end_ + half) at = end_;               // a sliver of overlap or gap
    }
    end_ = at + length;
    return at;
  }

 private:
  media::MediaTime end_ = media::MediaTime::invalid();
};

}  // namespace

void waitUntilReadyForMoreMediaData(const media::WriterInput& input, const std::stop_token& stop) {
  for (;;) {
    throwIfStopped(stop);
    if (input.isReadyForMoreMediaData()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void appendCopiedAudioSamples(const media::AssetRef& sourceAsset, const NativeVideoPlan& videoPlan,
                              const NativeAudioPlan& /*audioPlan*/, media::WriterInput& writerInput,
                              const std::stop_token& stop) {
  const auto audioTracks = sourceAsset->tracks(media::MediaType::audio);
  if (audioTracks.empty()) throw AudioCopyError::noSourceAudioTrack(sourceAsset->path());
  const int trackId = audioTracks.front()->trackId;

  PacketPlacement placement;
  // Every segment reads the one source: a copy is only chosen for a single recording.
  for (const auto& segment : videoPlan.segments) {
    throwIfStopped(stop);
    const double sourceDuration = std::max(segment.sourceEndTime - segment.sourceStartTime, 0.0);
    if (sourceDuration <= kEmptyLength) continue;
    if (!std::isfinite(sourceDuration) || !std::isfinite(segment.sourceStartTime) ||
        !std::isfinite(segment.outputStartTime)) {
      throw AudioCopyError::readerStartFailed("invalid time range");
    }
    const media::TimeRange range{media::MediaTime::fromSeconds(segment.sourceStartTime, kAudioTimescale),
                                 media::MediaTime::fromSeconds(sourceDuration, kAudioTimescale)};
    std::optional<media::PacketReader> reader;
    try {
      reader.emplace(sourceAsset, trackId, range);
    } catch (const media::MediaError& error) {
      throw AudioCopyError::readerStartFailed(error.text().empty() ? "unknown error" : error.text());
    }
    const double shiftSeconds = segment.outputStartTime - segment.sourceStartTime;
    const media::MediaTime segmentEnd =
        media::MediaTime::fromSeconds(segment.outputStartTime + sourceDuration, kAudioTimescale);
    for (;;) {
      throwIfStopped(stop);
      std::optional<media::Packet> packet;
      try {
        packet = reader->next();
      } catch (const media::MediaError& error) {
        throw AudioCopyError::readerFailed(error.text().empty() ? "unknown reader error" : error.text());
      }
      if (!packet) {
        if (reader->status() == media::ReaderStatus::failed) {
          const std::string text = reader->errorText();
          throw AudioCopyError::readerFailed(text.empty() ? "unknown reader error" : text);
        }
        break;
      }
      if (!packet->presentationTime.isValid()) continue;
      // The shift in the packet's own timescale, so sample-exact times stay exact.
      const media::MediaTime offset = media::MediaTime::fromSeconds(shiftSeconds, packet->presentationTime.timescale);
      const media::MediaTime shifted = packet->presentationTime + offset;
      if (!shifted.isValid()) throw AudioCopyError::sampleRetimingFailed(-1);
      if (shifted < media::MediaTime::zero()) continue;
      const std::optional<media::MediaTime> placed = placement.place(shifted, packet->duration, segmentEnd);
      if (!placed) continue;
      const media::MediaTime moveBy = *placed - packet->presentationTime;
      media::Packet moved = *packet;
      moved.presentationTime = *placed;
      if (packet->decodeTime.isValid()) moved.decodeTime = packet->decodeTime + moveBy;

      waitUntilReadyForMoreMediaData(writerInput, stop);
      if (!writerInput.appendPacket(moved)) {
        throw AudioCopyError::appendFailed("segment at output " + shortestDecimal(segment.outputStartTime) + "s");
      }
    }
  }
}

}  // namespace vantrel::exporter
