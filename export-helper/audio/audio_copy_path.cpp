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
      media::Packet moved = *packet;
      moved.presentationTime = shifted;
      if (packet->decodeTime.isValid()) moved.decodeTime = packet->decodeTime + offset;

      waitUntilReadyForMoreMediaData(writerInput, stop);
      if (!writerInput.appendPacket(moved)) {
        throw AudioCopyError::appendFailed("segment at output " + shortestDecimal(segment.outputStartTime) + "s");
      }
    }
  }
}

}  // namespace vantrel::exporter
