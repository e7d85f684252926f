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
// Two AAC frames at the lowest common rate: enough to find the packet before a cut.
constexpr double kPreRollSeconds = 2048.0 / 22050;

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
//
// A decoded AAC frame is also the overlap of two packets, so the first frame
// after a splice mixes the end of one cut with the start of the next and the
// new sound fades in a frame late. Each cut therefore brings the packet that
// precedes it in its source, laid one frame before its start in place of the
// last frame of the previous cut (or into a gap before it): the decoder is
// primed with the right history and the new sound is heard from its output
// time on.
class CopiedPacketWriter {
 public:
  CopiedPacketWriter(media::WriterInput& input, const std::stop_token& stop) : input_(input), stop_(stop) {}

  void beginSegment(media::MediaTime outputStart, media::MediaTime outputEnd, std::string where) {
    segmentStart_ = outputStart;
    segmentEnd_ = outputEnd;
    where_ = std::move(where);
    preRoll_.reset();
    firstOfSegment_ = true;
  }

  // `shifted` is the packet's exact time on the output timeline.
  void offer(const media::Packet& packet, media::MediaTime shifted) {
    const media::MediaTime length = lengthOf(packet, shifted.timescale);
    const media::MediaTime half = media::multiplyByRatio(length, 1, 2);
    if (shifted + half > segmentEnd_) return;  // mostly past the cut
    // Wholly before the cut, or mostly over sound already written: not this
    // cut's sound, but the last such packet primes the decoder for it.
    const bool beforeCut = shifted < media::MediaTime::zero() || shifted + length <= segmentStart_ ||
                           (end_.isValid() && shifted + half < end_);
    if (beforeCut) {
      if (firstOfSegment_) preRoll_ = packet;
      return;
    }
    media::MediaTime at = shifted;
    if (end_.isValid()) {
      // Ties go to the audio already written: every packet of a cut lands
      // exactly where the one before it ended, so none is dropped or spaced.
      if (shifted <= end_ + half) {
        at = end_;  // a sliver of overlap or gap
      } else if (firstOfSegment_ && preRoll_ && shifted < end_ + length + half) {
        // A gap of more than half a frame but less than one and a half: the
        // packet before the cut fills it, so the cut stays on time and no
        // false gap opens (a decoder would play straight across it).
        at = end_ + lengthOf(*preRoll_, end_.timescale);
      }
    }
    if (firstOfSegment_) {
      firstOfSegment_ = false;
      placePreRoll(at);
    }
    flush();
    pending_ = Placed{packet, at};
    hasPending_ = true;
    end_ = at + length;
  }

  // Writes the packet held back for a possible pre-roll of the next cut.
  void finish() { flush(); }

 private:
  struct Placed {
    media::Packet packet;
    media::MediaTime at;
  };

  static media::MediaTime lengthOf(const media::Packet& packet, std::int32_t timescale) {
    return packet.duration.isValid() && packet.duration > media::MediaTime::zero()
               ? packet.duration
               : media::MediaTime(1024, timescale);
  }

  void placePreRoll(media::MediaTime firstAt) {
    if (!preRoll_) return;
    const media::MediaTime at = firstAt - lengthOf(*preRoll_, firstAt.timescale);
    if (hasPending_ && pending_.at == at) {
      pending_ = Placed{*preRoll_, at};  // the previous cut gives up its last frame
      return;
    }
    if (end_.isValid() && at < end_) return;  // it would overlap sound already written
    // Before the start of the file it would become a priming edit, which
    // readers do not all honour alike; the first cut fades in instead.
    if (at < media::MediaTime::zero()) return;
    flush();
    write(Placed{*preRoll_, at});
  }

  void flush() {
    if (!hasPending_) return;
    write(pending_);
    hasPending_ = false;
  }

  void write(const Placed& placed) {
    const media::MediaTime moveBy = placed.at - placed.packet.presentationTime;
    media::Packet moved = placed.packet;
    moved.presentationTime = placed.at;
    if (placed.packet.decodeTime.isValid()) moved.decodeTime = placed.packet.decodeTime + moveBy;
    waitUntilReadyForMoreMediaData(input_, stop_);
    if (!input_.appendPacket(moved)) throw AudioCopyError::appendFailed(where_);
  }

  media::WriterInput& input_;
  const std::stop_token& stop_;
  media::MediaTime segmentStart_ = media::MediaTime::zero();
  media::MediaTime segmentEnd_ = media::MediaTime::zero();
  std::string where_;
  std::optional<media::Packet> preRoll_;
  bool firstOfSegment_ = true;
  // The last packet placed, held back in case the next cut's pre-roll takes its place.
  Placed pending_{media::Packet{}, media::MediaTime::invalid()};
  bool hasPending_ = false;
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

  CopiedPacketWriter packets(writerInput, stop);
  // Every segment reads the one source: a copy is only chosen for a single recording.
  for (const auto& segment : videoPlan.segments) {
    throwIfStopped(stop);
    const double sourceDuration = std::max(segment.sourceEndTime - segment.sourceStartTime, 0.0);
    if (sourceDuration <= kEmptyLength) continue;
    if (!std::isfinite(sourceDuration) || !std::isfinite(segment.sourceStartTime) ||
        !std::isfinite(segment.outputStartTime)) {
      throw AudioCopyError::readerStartFailed("invalid time range");
    }
    // Read from a little earlier, for the packet that primes the decoder.
    const double preRollSeconds = std::min(segment.sourceStartTime, kPreRollSeconds);
    const media::TimeRange range{
        media::MediaTime::fromSeconds(segment.sourceStartTime - preRollSeconds, kAudioTimescale),
        media::MediaTime::fromSeconds(sourceDuration + preRollSeconds, kAudioTimescale)};
    std::optional<media::PacketReader> reader;
    try {
      reader.emplace(sourceAsset, trackId, range);
    } catch (const media::MediaError& error) {
      throw AudioCopyError::readerStartFailed(error.text().empty() ? "unknown error" : error.text());
    }
    const double shiftSeconds = segment.outputStartTime - segment.sourceStartTime;
    packets.beginSegment(media::MediaTime::fromSeconds(segment.outputStartTime, kAudioTimescale),
                         media::MediaTime::fromSeconds(segment.outputStartTime + sourceDuration, kAudioTimescale),
                         "segment at output " + shortestDecimal(segment.outputStartTime) + "s");
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
      packets.offer(*packet, shifted);
    }
  }
  packets.finish();
}

}  // namespace vantrel::exporter
