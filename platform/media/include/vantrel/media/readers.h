#pragma once
// Sequential readers over one track of an Asset: compressed packets, decoded
// PCM, decoded video frames. Each reader owns its own demuxer and decoder and is
// used from one thread at a time; only cancel() may be called from another
// thread. next() returns nothing at the end of the data or after cancel(), and
// throws MediaError when the file or a decoder fails (status() then says
// failed and errorText() holds the same text). A packet the decoder cannot use
// (a corrupt one in the middle) is skipped rather than ending the read (the PCM
// reader puts silence of its length in its place); a stream of which not one
// packet decodes fails at its end. Video decoders refuse pictures larger than
// 35,651,584 pixels (8192x4352) or 16384 a side with MediaError(unsupported).

#include "vantrel/media/asset.h"
#include "vantrel/media/errors.h"
#include "vantrel/media/frame.h"
#include "vantrel/media/media_time.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct AVPacket;

namespace vantrel::media {

enum class ReaderStatus { reading, completed, failed, cancelled };

// Shared status bookkeeping of the readers.
class ReaderState {
 public:
  ReaderStatus status() const { return status_.load(); }
  std::string errorText() const;
  void cancel() { cancelRequested_.store(true); }

 protected:
  bool cancelRequested() const { return cancelRequested_.load(); }
  // Records the failure and rethrows it.
  [[noreturn]] void fail(const MediaError& error);
  void finish(ReaderStatus s) { status_.store(s); }

 private:
  std::atomic<ReaderStatus> status_{ReaderStatus::reading};
  std::atomic<bool> cancelRequested_{false};
  mutable std::mutex errorMutex_;
  std::string error_;
};

// One compressed sample. Copying shares the payload.
struct Packet {
  MediaTime presentationTime = MediaTime::invalid();
  MediaTime decodeTime = MediaTime::invalid();
  MediaTime duration = MediaTime::invalid();
  bool isKeyFrame = false;
  std::shared_ptr<AVPacket> raw;  // payload, in the source stream's time base

  const std::uint8_t* data() const;
  std::size_t size() const;
};

// Packets of one track in decode order. With a range, yields the packets whose
// presentation interval overlaps it (a range from the track's start also keeps
// the encoder's priming packets before it); for video the read begins at the
// sync sample at or before the range start, so the first packets may precede it.
// Every packet with a presentation time has a decode time: where the container
// stores none (Matroska, at the start and after a seek), it is inferred from the
// next packet that has one and the packet durations.
class PacketReader : public ReaderState {
 public:
  PacketReader(AssetRef asset, int trackId, std::optional<TimeRange> range = std::nullopt);
  ~PacketReader();
  std::optional<Packet> next();
  const FormatDescription& format() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

struct PcmSettings {
  int sampleRate = 48000;
  int channels = 2;
  int bitDepth = 32;       // 16 or 32
  bool isFloat = true;     // 32-bit only
  bool interleaved = true;
};

// One block of decoded audio. Interleaved: planes.size() == 1; otherwise one
// plane per channel. presentationTime has the output sample rate as timescale.
struct PcmBuffer {
  MediaTime presentationTime = MediaTime::invalid();
  int frameCount = 0;
  std::vector<std::vector<std::uint8_t>> planes;
};

// Decoded audio in the requested format (resampled and remixed by
// libswresample). With a range, output starts exactly at the range start (or at
// the track's first sample if later) and stops exactly at its end; the frames
// before the start are decoded and dropped, so the first samples are those a
// read of the whole track gives. Output is continuous from its first buffer's
// presentationTime: a gap in the stream (an undecodable packet) is silence.
class PcmReader : public ReaderState {
 public:
  PcmReader(AssetRef asset, int trackId, PcmSettings settings,
            std::optional<TimeRange> range = std::nullopt);
  ~PcmReader();
  std::optional<PcmBuffer> next();
  const PcmSettings& settings() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

enum class PixelFormat { bgra, i420 };

// Decoded frames in presentation order, as BGRA (converted with the stream's
// own matrix and range, BT.709 when untagged) or as I420. Frames of a range
// start with the latest frame at or before the range start.
class VideoFrameReader : public ReaderState {
 public:
  VideoFrameReader(AssetRef asset, int trackId, PixelFormat format = PixelFormat::bgra,
                   std::optional<TimeRange> range = std::nullopt);
  ~VideoFrameReader();
  std::optional<VideoFrame> next();
  // Continue reading from the latest frame at or before `t`; seeks in the file
  // only when `t` lies behind the last frame read or beyond the next sync sample.
  void seek(MediaTime t);
  const TrackInfo& track() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantrel::media
