#pragma once

#include <optional>
// Demuxes one stream of a file and decodes it, frame by frame.

#include "ffmpeg_util.h"

#include <functional>

namespace vantrel::media {

class StreamDecoder {
 public:
  StreamDecoder(const Asset& asset, int trackId, MediaType type, int threads);

  // Fills `frame` with the next decoded frame; false at the end of the stream.
  // Corrupt packets are skipped (counted in skippedPackets()). Throws
  // MediaError(readFailed) when the demuxer fails, and decodeFailed at the end
  // when packets were refused and not one frame came out.
  bool nextFrame(AVFrame* frame);
  // Repositions at the sync sample at or before `ts` (stream time base).
  void seek(std::int64_t ts);

  AVStream* stream() const { return stream_; }
  AVCodecContext* codec() const { return codec_.get(); }
  const std::string& path() const { return path_; }
  int skippedPackets() const { return skipped_; }

 private:
  std::string path_;
  ff::InputPtr input_;
  AVStream* stream_ = nullptr;
  ff::CodecPtr codec_;
  ff::PacketPtr packet_;
  bool drained_ = false;  // end of file reached, decoder flushed
  // A cut-off fragmented file: the stream ends quietly at the time every track still has whole.
  std::optional<MediaTime> cutEnd_;
  int skipped_ = 0;
  std::int64_t frames_ = 0;  // frames delivered since opening

  void requireSomethingDecoded() const;
};

}  // namespace vantrel::media
