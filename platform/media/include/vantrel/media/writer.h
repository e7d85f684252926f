#pragma once
// MPEG-4 writer: H.264 (libx264) and AAC encoding inputs, and pass-through
// inputs that copy compressed packets. Each input has a bounded queue drained
// by its own thread, so the caller's work overlaps encoding; readiness
// (isReadyForMoreMediaData) is true while the queue has room, which is the
// back-pressure callers poll. Packets of all inputs meet in one muxer.
//
// Life cycle: construct, add inputs, startWriting(), startSession(t), append
// from any one thread per input, markAsFinished() per input, finishWriting().
// Times are shifted so that the session start becomes time 0 in the file.
// cancelWriting() or a failure removes the partial file; after a failure the
// appends return false and errorText() holds the reason.
//
// Real-time mode (live capture): the encoder runs without look-ahead, appends
// go through tryAppend*, which never wait (a full queue answers `busy` and the
// caller drops the sample), and a video frame whose time does not advance is
// dropped instead of failing the file. Fragmented mode (crash safety): while
// writing, the file is a fragmented MPEG-4 whose fragments are flushed to disk
// as they close (at most `fragmentSeconds` long), so a killed process leaves a
// playable file up to its last fragment; finishWriting() then rewrites it as a
// plain MPEG-4 with the index at the front. If that rewrite fails, the
// fragmented file (complete and playable) is kept.

#include "vantrel/media/asset.h"
#include "vantrel/media/frame.h"
#include "vantrel/media/media_time.h"
#include "vantrel/media/readers.h"

#include <cstdint>
#include <future>
#include <memory>
#include <string>

namespace vantrel::media {

enum class WriterStatus { unknown, writing, completed, failed, cancelled };

// libx264 options given on top of the preset (x264-params syntax). Both keep the
// key frames at their fixed spacing (no scene cuts) and switch CABAC and the 8x8
// transform back on, which the fastest presets drop and High profile needs.
// Live capture (WriterOptions::realTime) adds nothing: it must keep up with the
// screen on a shared machine, and at its high bit rates the cheap preset is enough.
inline constexpr char kRealTimeX264Parameters[] = "scenecut=0:cabac=1:8x8dct=1";
// Offline encodes (exports, proxies) also run deblocking and variance-based
// adaptive quantisation: without them dark gradients and shadows turn blocky at
// low bit rates. Chosen by measurement (bench/export-helper/encode/
// x264_settings_bench.py, numbers in export-helper/encode/README.md).
inline constexpr char kExportX264Parameters[] = "scenecut=0:cabac=1:8x8dct=1:deblock=0,0:aq-mode=2";

struct H264Settings {
  int width = 0;  // odd sizes are encoded one pixel larger, edge repeated
  int height = 0;
  std::int64_t averageBitRate = 8'000'000;
  int maxKeyFrameInterval = 60;  // frames; key frames fall exactly this far apart
  double expectedFrameRate = 30;
  int mediaTimescale = 0;        // the track's timescale; 0: the frame rate when whole, else 90000
  std::string preset = "ultrafast";  // with CABAC and the 8x8 transform switched back on
  bool allowFrameReordering = false;  // false: no B-frames
};

struct AacSettings {
  int sampleRate = 48000;
  int channels = 2;
  std::int64_t bitRate = 192000;
};

struct WriterOptions {
  bool optimizeForNetworkUse = true;  // moov before mdat
  int videoQueueCapacity = 3;         // frames waiting for the encoder
  int audioQueueCapacity = 16;        // PCM blocks or packets waiting
  bool realTime = false;              // see the header comment
  double fragmentSeconds = 0;         // > 0: fragmented while writing (see above)
};

enum class AppendResult { appended, busy, failed };

class Writer;

class WriterInput {
 public:
  virtual ~WriterInput() = default;
  virtual MediaType mediaType() const = 0;
  // True while the queue has room (also once the writer failed, so a polling
  // caller moves on to an append that reports the failure).
  virtual bool isReadyForMoreMediaData() const = 0;
  // Encoding video input: one BGRA frame of the configured size. Blocks while
  // the queue is full. False once the writer failed or was cancelled.
  virtual bool appendPixelBuffer(std::shared_ptr<const PixelBuffer> frame, MediaTime presentationTime);
  // Encoding video input: one I420 picture of the configured size (BT.709,
  // limited range), encoded as it stands. Blocks while the queue is full;
  // false once the writer failed or was cancelled. The picture is only read.
  virtual bool appendPlanarBuffer(std::shared_ptr<const I420Buffer> frame, MediaTime presentationTime);
  // Encoding video input: the picture at `presentationTime` is the last one
  // appended, unchanged. Where the stream allows (no B-frames, offline), it
  // is written as a picture of skipped blocks that decodes to an exact copy,
  // without the encoder; at a key frame position, or otherwise, the last
  // picture is encoded again. Blocks while the queue is full; false once the
  // writer failed or was cancelled.
  virtual bool appendRepeatedPicture(MediaTime presentationTime);
  // Encoding audio input: interleaved 32-bit float PCM at the configured rate
  // and channel count (one plane). A gap in time is filled with silence, an
  // overlap is dropped.
  virtual bool appendPcm(const PcmBuffer& buffer);
  // Pass-through input: a compressed packet; its MediaTime fields are used.
  virtual bool appendPacket(const Packet& packet);
  // Never wait: `busy` when the queue is full (the sample was not taken),
  // `failed` once the writer failed or was cancelled.
  virtual AppendResult tryAppendPixelBuffer(std::shared_ptr<const PixelBuffer> frame, MediaTime presentationTime);
  virtual AppendResult tryAppendPcm(const PcmBuffer& buffer);
  virtual void markAsFinished() = 0;
};

class Writer {
 public:
  explicit Writer(std::string path, WriterOptions options = {});
  ~Writer();  // cancels an unfinished write
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Inputs are owned by the writer. Throw MediaError (encodeFailed,
  // invalidArgument) when the settings are refused.
  WriterInput* addVideoInput(const H264Settings& settings);
  WriterInput* addAudioInput(const AacSettings& settings);
  // Copies packets of the described stream. The track keeps the source's
  // sample entry (hvc1 stays hvc1; HEVC without one is written as hvc1) and,
  // for video, `transform` as its display matrix (so a rotated recording still
  // plays upright) and the source's timescale when it resolves at least
  // 1/600 s (else the muxer picks a finer one).
  WriterInput* addPassThroughInput(const FormatDescription& sourceFormat, const AffineTransform& transform = {});
  // Whether the MPEG-4 container can carry that stream without re-encoding.
  static bool canAddPassThroughInput(const FormatDescription& sourceFormat);

  // Opens the file and writes the header. Throws MediaError(writeFailed).
  void startWriting();
  void startSession(MediaTime sourceTime);
  // Marks every input finished, drains the queues, flushes the encoders and
  // writes the index (moving it to the front when asked). status() is
  // completed or failed when the future is ready; the future itself never throws.
  std::future<void> finishWriting();
  void cancelWriting();

  WriterStatus status() const;
  std::string errorText() const;
  const std::string& path() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantrel::media
