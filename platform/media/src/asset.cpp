#include "vantrel/media/asset.h"

#include "ffmpeg_util.h"

extern "C" {
#include <libavutil/display.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vantrel::media {

int AffineTransform::clockwiseQuarterTurns() const {
  const double degrees = std::atan2(b, a) * 180.0 / M_PI;
  const long turns = std::lround(degrees / 90.0);
  return static_cast<int>(((turns % 4) + 4) % 4);
}

Size applyTransformToSize(const AffineTransform& t, Size size) {
  const double xs[4] = {0, size.width, 0, size.width};
  const double ys[4] = {0, 0, size.height, size.height};
  double minX = 0, maxX = 0, minY = 0, maxY = 0;
  for (int i = 0; i < 4; ++i) {
    const double x = t.a * xs[i] + t.c * ys[i] + t.tx;
    const double y = t.b * xs[i] + t.d * ys[i] + t.ty;
    if (i == 0 || x < minX) minX = x;
    if (i == 0 || x > maxX) maxX = x;
    if (i == 0 || y < minY) minY = y;
    if (i == 0 || y > maxY) maxY = y;
  }
  return Size{std::fabs(maxX - minX), std::fabs(maxY - minY)};
}

std::vector<const TrackInfo*> Asset::tracks(MediaType type) const {
  std::vector<const TrackInfo*> out;
  for (const auto& t : tracks_) {
    if (t.mediaType == type) out.push_back(&t);
  }
  return out;
}

const TrackInfo* Asset::track(int trackId) const {
  for (const auto& t : tracks_) {
    if (t.trackId == trackId) return &t;
  }
  return nullptr;
}

const TrackInfo& Asset::firstTrack(MediaType type) const {
  for (const auto& t : tracks_) {
    if (t.mediaType == type) return t;
  }
  throw makeMediaError(MediaErrorCode::noSuchTrack,
                       path_ + (type == MediaType::video ? ": no video track" : ": no audio track"));
}

namespace {

std::uint32_t subtypeOf(const AVCodecParameters* par) {
  switch (par->codec_id) {
    case AV_CODEC_ID_H264: return kSubtypeH264;
    case AV_CODEC_ID_HEVC: return kSubtypeHevc;
    case AV_CODEC_ID_AAC: return kSubtypeAac;
    case AV_CODEC_ID_MPEG4: return fourCharCode("mp4v");
    case AV_CODEC_ID_MP3: return fourCharCode(".mp3");
    case AV_CODEC_ID_OPUS: return fourCharCode("opus");
    case AV_CODEC_ID_PCM_S16LE:
    case AV_CODEC_ID_PCM_S16BE:
    case AV_CODEC_ID_PCM_S24LE:
    case AV_CODEC_ID_PCM_S32LE:
    case AV_CODEC_ID_PCM_F32LE:
    case AV_CODEC_ID_PCM_F32BE:
    case AV_CODEC_ID_PCM_U8: return kSubtypeLinearPcm;
    default: break;
  }
  const std::uint32_t tag = par->codec_tag;  // little-endian in FFmpeg
  return ((tag & 0xff) << 24) | (((tag >> 8) & 0xff) << 16) | (((tag >> 16) & 0xff) << 8) | (tag >> 24);
}

AffineTransform transformOf(const AVStream* st) {
  AffineTransform t;
  size_t size = 0;
  const auto* m = reinterpret_cast<const std::int32_t*>(
      av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size));
  if (m == nullptr || size < 9 * sizeof(std::int32_t)) return t;
  constexpr double kFixed = 65536.0;
  t.a = m[0] / kFixed;
  t.b = m[1] / kFixed;
  t.c = m[3] / kFixed;
  t.d = m[4] / kFixed;
  t.tx = m[6] / kFixed;
  t.ty = m[7] / kFixed;
  return t;
}

// Frame timing from the container index: it lists every sample, so the
// smallest interval and the sync samples are exact without reading the data.
void fillVideoTiming(AVStream* st, TrackInfo& info) {
  const int count = avformat_index_get_entries_count(st);
  std::vector<std::int64_t> dts;
  dts.reserve(static_cast<size_t>(std::max(count, 0)));
  std::vector<std::int64_t> keyDts;
  for (int i = 0; i < count; ++i) {
    const AVIndexEntry* e = avformat_index_get_entry(st, i);
    if (e == nullptr || (e->flags & AVINDEX_DISCARD_FRAME)) continue;
    dts.push_back(e->timestamp);
    if (e->flags & AVINDEX_KEYFRAME) keyDts.push_back(e->timestamp);
  }
  std::sort(dts.begin(), dts.end());
  std::int64_t minDelta = 0;
  for (size_t i = 1; i < dts.size(); ++i) {
    const std::int64_t d = dts[i] - dts[i - 1];
    if (d > 0 && (minDelta == 0 || d < minDelta)) minDelta = d;
  }
  if (minDelta > 0) {
    info.minFrameDuration = ff::fromStreamTime(minDelta, st->time_base);
  } else {
    AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
    if (rate.num > 0 && rate.den > 0) info.minFrameDuration = MediaTime(rate.den, rate.num);
  }
  // Index times are decode times; with frame reordering the first sync sample is
  // shown `shift` later, and closed GOPs keep that shift for every sync sample.
  std::int64_t shift = 0;
  if (!keyDts.empty() && st->start_time != AV_NOPTS_VALUE) shift = st->start_time - keyDts.front();
  for (std::int64_t k : keyDts) info.keyFrameTimes.push_back(ff::fromStreamTime(k + shift, st->time_base));
}

// True when the file's top-level boxes include a movie fragment. Only box
// headers are read, and at most a bounded number of them.
bool hasMovieFragments(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bool found = false;
  std::uint64_t offset = 0;
  for (int i = 0; i < 100000 && !found; ++i) {
    unsigned char h[16];
    if (std::fseek(f, static_cast<long>(offset), SEEK_SET) != 0 || std::fread(h, 1, 8, f) != 8) break;
    std::uint64_t size = (std::uint64_t{h[0]} << 24) | (std::uint64_t{h[1]} << 16) | (std::uint64_t{h[2]} << 8) | h[3];
    if (size == 1) {
      if (std::fread(h + 8, 1, 8, f) != 8) break;
      size = 0;
      for (int k = 8; k < 16; ++k) size = (size << 8) | h[k];
    }
    found = std::memcmp(h + 4, "moof", 4) == 0;
    if (size < 8) break;  // 0 runs to the end of the file; smaller is not a box
    offset += size;
  }
  std::fclose(f);
  return found;
}

// For a fragmented file whose last fragment is cut off: the time up to which
// every audio and video track has all its samples in the file (each track's
// first sample that reaches past the end, in decode order, marks where it
// stops; the earliest of them is where all stop). Nothing for a whole file.
std::optional<MediaTime> cutFragmentsEnd(AVFormatContext* input, const std::string& path) {
  if (input->pb == nullptr || input->iformat == nullptr || std::strstr(input->iformat->name, "mp4") == nullptr)
    return std::nullopt;
  const std::int64_t fileSize = avio_size(input->pb);
  if (fileSize <= 0) return std::nullopt;
  std::optional<MediaTime> end;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    AVStream* st = input->streams[i];
    const auto type = st->codecpar->codec_type;
    if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) continue;
    const int count = avformat_index_get_entries_count(st);
    std::optional<std::int64_t> firstCut;
    for (int k = 0; k < count; ++k) {
      const AVIndexEntry* e = avformat_index_get_entry(st, k);
      if (e != nullptr && e->pos + e->size > fileSize && (!firstCut || e->timestamp < *firstCut))
        firstCut = e->timestamp;
    }
    if (!firstCut) continue;
    const std::int64_t start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
    const MediaTime cut = ff::fromStreamTime(std::max(*firstCut, start), st->time_base);
    end = end ? minimum(*end, cut) : cut;
  }
  if (!end || !hasMovieFragments(path)) return std::nullopt;
  return end;
}

}  // namespace

std::shared_ptr<const Asset> Asset::open(const std::string& path) {
  ff::InputPtr input = ff::openInput(path);
  std::vector<TrackInfo> tracks;
  MediaTime longest = MediaTime::zero();
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    AVStream* st = input->streams[i];
    const AVCodecParameters* par = st->codecpar;
    TrackInfo info;
    info.trackId = static_cast<int>(i);
    info.mediaType = ff::mediaTypeOf(par->codec_type);
    if (st->disposition & AV_DISPOSITION_ATTACHED_PIC) info.mediaType = MediaType::other;

    const std::int64_t start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
    info.timeRange.start = ff::fromStreamTime(start, st->time_base);
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
      info.timeRange.duration = ff::fromStreamTime(st->duration, st->time_base);
    } else if (input->duration != AV_NOPTS_VALUE) {
      info.timeRange.duration = MediaTime(input->duration, AV_TIME_BASE) - info.timeRange.start;
    }

    FormatDescription fd;
    fd.mediaType = info.mediaType;
    fd.mediaSubtype = subtypeOf(par);
    fd.codecName = avcodec_get_name(par->codec_id);
    fd.parameters = std::make_shared<const CodecParameters>(par, st->time_base);
    if (info.mediaType == MediaType::audio) {
      fd.sampleRate = par->sample_rate;
      fd.channelCount = par->ch_layout.nb_channels;
    } else if (info.mediaType == MediaType::video) {
      fd.width = par->width;
      fd.height = par->height;
      info.naturalSize = Size{static_cast<double>(par->width), static_cast<double>(par->height)};
      info.preferredTransform = transformOf(st);
      info.displaySize = applyTransformToSize(info.preferredTransform, info.naturalSize);
      info.reordersFrames = par->video_delay > 0;
      AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
      if (rate.num > 0 && rate.den > 0) info.nominalFrameRate = av_q2d(rate);
      fillVideoTiming(st, info);
    }
    info.formatDescriptions.push_back(std::move(fd));
    if (info.mediaType != MediaType::other) longest = maximum(longest, info.timeRange.end());
    tracks.push_back(std::move(info));
  }
  if (longest == MediaTime::zero() && input->duration != AV_NOPTS_VALUE && input->duration > 0) {
    longest = MediaTime(input->duration, AV_TIME_BASE);
  }
  const auto cutEnd = cutFragmentsEnd(input.get(), path);
  if (cutEnd) {
    for (auto& t : tracks) {
      if (t.timeRange.duration.isValid() && t.timeRange.end() > *cutEnd)
        t.timeRange.duration = maximum(*cutEnd - t.timeRange.start, MediaTime::zero());
      std::erase_if(t.keyFrameTimes, [&](const MediaTime& k) { return k >= *cutEnd; });
    }
    longest = minimum(longest, *cutEnd);
  }
  auto asset = std::make_shared<Asset>(path, longest, std::move(tracks));
  if (cutEnd) asset->setReadableEndOfCutFragments(*cutEnd);
  return asset;
}

}  // namespace vantrel::media
