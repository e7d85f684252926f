#include <algorithm>
#include "ffmpeg_util.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include <climits>
#include <vector>

namespace vantrel::media {

CodecParameters::CodecParameters(const AVCodecParameters* source, AVRational tb) : timeBase(tb) {
  par = avcodec_parameters_alloc();
  if (par == nullptr || avcodec_parameters_copy(par, source) < 0) {
    avcodec_parameters_free(&par);
    throw makeMediaError(MediaErrorCode::invalidState, "out of memory copying codec parameters");
  }
}

CodecParameters::~CodecParameters() { avcodec_parameters_free(&par); }

namespace ff {

FramePtr allocFrame() {
  FramePtr f(av_frame_alloc());
  if (!f) throw makeMediaError(MediaErrorCode::invalidState, "out of memory allocating a frame");
  return f;
}

PacketPtr allocPacket() {
  PacketPtr p(av_packet_alloc());
  if (!p) throw makeMediaError(MediaErrorCode::invalidState, "out of memory allocating a packet");
  return p;
}

void quietLibraryLogs() {
  // The programs own standard error; the library's chatter would interleave with
  // their lines. Failures still reach the caller through the error texts.
  static const bool done = [] {
    av_log_set_level(AV_LOG_QUIET);
    return true;
  }();
  (void)done;
}

void checkNotTruncated(AVFormatContext* input, const AVStream* stream, const std::string& path) {
  if (input->pb == nullptr) return;
  const std::int64_t fileSize = avio_size(input->pb);
  const int entries = avformat_index_get_entries_count(stream);
  if (fileSize <= 0 || entries <= 0) return;
  std::int64_t indexedEnd = 0;
  for (int i = entries - 1; i >= 0 && i >= entries - 16; --i) {
    const AVIndexEntry* e = avformat_index_get_entry(const_cast<AVStream*>(stream), i);
    if (e != nullptr) indexedEnd = std::max<std::int64_t>(indexedEnd, e->pos + e->size);
  }
  if (indexedEnd > fileSize) {
    throw makeMediaError(MediaErrorCode::readFailed,
                         path + ": the file ends before the media data its index describes (truncated)");
  }
}

bool packetPastCut(AVFormatContext* input, const AVPacket* packet, const AVStream* stream, MediaTime cut) {
  if (packet->flags & AV_PKT_FLAG_CORRUPT) return true;
  const std::int64_t ts = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
  if (packet->stream_index == stream->index && ts != AV_NOPTS_VALUE && fromStreamTime(ts, stream->time_base) >= cut)
    return true;
  if (input->pb == nullptr || packet->pos < 0) return false;
  const std::int64_t fileSize = avio_size(input->pb);
  return fileSize > 0 && packet->pos + packet->size > fileSize;
}

void checkPictureSize(const std::string& path, int width, int height) {
  if (width <= kMaxPictureSide && height <= kMaxPictureSide &&
      std::int64_t{width} * std::int64_t{height} <= kMaxPicturePixels) {
    return;
  }
  throw makeMediaError(MediaErrorCode::unsupported,
                       path + ": the picture is " + std::to_string(width) + "x" + std::to_string(height) +
                           ", larger than the " + std::to_string(kMaxPicturePixels) +
                           " pixels (8192x4352) this reader decodes");
}

InputPtr openInput(const std::string& path) {
  quietLibraryLogs();
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) throw makeMediaError(MediaErrorCode::openFailed, path + ": out of memory");
  // Probing decodes a few frames of each stream; bound what it may read, and
  // the picture size its decoders accept, so a hostile file costs little.
  raw->probesize = kProbeBytes;
  raw->max_analyze_duration = kAnalyzeMicroseconds;
  int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (rc < 0) throw makeFfmpegError(MediaErrorCode::openFailed, path, rc);
  InputPtr input(raw);
  std::vector<AVDictionary*> options(input->nb_streams, nullptr);
  for (AVDictionary*& o : options) {
    av_dict_set_int(&o, "max_pixels", kMaxPicturePixels, 0);
    av_dict_set(&o, "threads", "1", 0);
  }
  rc = avformat_find_stream_info(input.get(), options.empty() ? nullptr : options.data());
  for (AVDictionary*& o : options) av_dict_free(&o);
  if (rc < 0) throw makeFfmpegError(MediaErrorCode::openFailed, path, rc);
  return input;
}

CodecPtr openDecoder(const std::string& path, AVStream* stream, int threads) {
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr) {
    throw makeMediaError(MediaErrorCode::unsupported,
                         path + ": no decoder for " + avcodec_get_name(stream->codecpar->codec_id));
  }
  CodecPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) throw makeMediaError(MediaErrorCode::decodeFailed, path + ": cannot allocate decoder");
  int rc = avcodec_parameters_to_context(ctx.get(), stream->codecpar);
  if (rc < 0) throw makeFfmpegError(MediaErrorCode::decodeFailed, path, rc);
  ctx->pkt_timebase = stream->time_base;
  ctx->thread_count = threads;
  if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
    checkPictureSize(path, stream->codecpar->width, stream->codecpar->height);
    // The stream may still announce a larger picture than its header did.
    ctx->max_pixels = kMaxPicturePixels;
  }
  rc = avcodec_open2(ctx.get(), codec, nullptr);
  if (rc < 0) throw makeFfmpegError(MediaErrorCode::decodeFailed, path, rc);
  return ctx;
}

AVStream* streamOf(AVFormatContext* input, const std::string& path, int trackId, MediaType type) {
  if (trackId < 0 || trackId >= static_cast<int>(input->nb_streams) ||
      mediaTypeOf(input->streams[trackId]->codecpar->codec_type) != type) {
    throw makeMediaError(MediaErrorCode::noSuchTrack, path + ": track " + std::to_string(trackId));
  }
  return input->streams[trackId];
}

std::int32_t timescaleFor(AVRational tb) {
  if (tb.num == 1 && tb.den > 0) return tb.den;
  return 90000;
}

MediaTime fromStreamTime(std::int64_t ts, AVRational tb) {
  if (ts == AV_NOPTS_VALUE) return MediaTime::invalid();
  const std::int32_t scale = timescaleFor(tb);
  if (tb.num == 1) return MediaTime(ts, scale);
  return MediaTime(av_rescale_q(ts, tb, AVRational{1, scale}), scale);
}

std::int64_t toStreamTime(MediaTime t, AVRational tb) {
  if (!t.isValid()) return AV_NOPTS_VALUE;
  return av_rescale_q_rnd(t.value, AVRational{1, t.timescale}, tb,
                          static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
}

MediaType mediaTypeOf(AVMediaType type) {
  switch (type) {
    case AVMEDIA_TYPE_VIDEO: return MediaType::video;
    case AVMEDIA_TYPE_AUDIO: return MediaType::audio;
    default: return MediaType::other;
  }
}

}  // namespace ff
}  // namespace vantrel::media
