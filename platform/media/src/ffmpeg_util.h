#pragma once
// RAII wrappers and conversions shared by the FFmpeg-backed sources.

#include "vantrel/media/asset.h"
#include "vantrel/media/errors.h"
#include "vantrel/media/media_time.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

#include <memory>
#include <string>

namespace vantrel::media {

struct CodecParameters {
  AVCodecParameters* par = nullptr;
  AVRational timeBase{1, 1};
  explicit CodecParameters(const AVCodecParameters* source, AVRational tb);
  ~CodecParameters();
  CodecParameters(const CodecParameters&) = delete;
  CodecParameters& operator=(const CodecParameters&) = delete;
};

namespace ff {

struct InputCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwrFreer {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFreer>;

FramePtr allocFrame();
PacketPtr allocPacket();

// The largest picture a decoder is set up for: the frame size limit of H.264's
// highest levels (139264 macroblocks, e.g. 8192x4352), which holds 8K UHD
// (7680x4320) and DCI 8K (8192x4320). Anything larger is refused before a
// single frame is allocated, so a file that declares a gigantic picture fails
// at once instead of decoding (and concealing) hundreds of megabytes a frame.
inline constexpr std::int64_t kMaxPicturePixels = std::int64_t{139264} * 256;
// Longest side accepted, whatever the area (libavcodec's own limit).
inline constexpr int kMaxPictureSide = 16384;
// Bytes and stream time the demuxer may read while probing a file.
inline constexpr std::int64_t kProbeBytes = std::int64_t{5} << 20;
inline constexpr std::int64_t kAnalyzeMicroseconds = std::int64_t{5} * 1000 * 1000;
// Throws MediaError(unsupported) naming the file when `width` x `height`
// exceeds the limits above.
void checkPictureSize(const std::string& path, int width, int height);

// Lowers FFmpeg's own logging to errors, once per process.
void quietLibraryLogs();
// Opens `path` for demuxing and reads stream information. Throws openFailed.
InputPtr openInput(const std::string& path);
// Called when the demuxer reports the end of the file: throws readFailed when
// the stream's index still describes data beyond the file's actual end (a
// recording cut short after its index was written), so a truncated file fails
// instead of ending early as if it were complete.
void checkNotTruncated(AVFormatContext* input, const AVStream* stream, const std::string& path);
// For a cut-off file read up to `cut`: true for a packet of `stream` at or
// after the cut, or any packet whose bytes do not all lie in the file (the
// demuxer hands out what it could read of the last sample).
bool packetPastCut(AVFormatContext* input, const AVPacket* packet, const AVStream* stream, MediaTime cut);
// Opens a decoder for stream `index` of `input`. Throws decodeFailed.
CodecPtr openDecoder(const std::string& path, AVStream* stream, int threads);
// Stream `trackId` of `input` with the expected type, else throws noSuchTrack.
AVStream* streamOf(AVFormatContext* input, const std::string& path, int trackId, MediaType type);

// Timescale used to express times of a stream's time base.
std::int32_t timescaleFor(AVRational tb);
MediaTime fromStreamTime(std::int64_t ts, AVRational tb);
std::int64_t toStreamTime(MediaTime t, AVRational tb);
MediaType mediaTypeOf(AVMediaType type);

}  // namespace ff
}  // namespace vantrel::media
