#include "vantrel/media/smart_cut.h"

#include "ffmpeg_util.h"
#include "h264_syntax.h"
#include "stream_decoder.h"
#include "vantrel/media/readers.h"
#include "vantrel/media/writer.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>
#include <map>
#include <sstream>

namespace vantrel::media {

namespace {

using Bytes = h264::Bytes;

// ---- H.264 parameter sets ---------------------------------------------------

// The parts of an avcC record this cut needs. Bounded by the record's size.
struct AvcConfig {
  int nalLengthSize = 4;
  Bytes header;  // the five bytes before the SPS count
  std::vector<Bytes> sps, pps;
  Bytes trailer;  // the High-profile extension after the PPS list, kept as is
};

std::optional<AvcConfig> parseAvcC(const std::uint8_t* d, int size) {
  if (d == nullptr || size < 7 || d[0] != 1) return std::nullopt;
  AvcConfig c;
  c.header.assign(d, d + 5);
  c.nalLengthSize = (d[4] & 3) + 1;
  int pos = 5;
  auto readList = [&](int count, std::vector<Bytes>& out) {
    for (int i = 0; i < count; ++i) {
      if (pos + 2 > size) return false;
      const int len = (d[pos] << 8) | d[pos + 1];
      pos += 2;
      if (len == 0 || pos + len > size) return false;
      out.emplace_back(d + pos, d + pos + len);
      pos += len;
    }
    return true;
  };
  if (!readList(d[pos++] & 31, c.sps) || pos >= size) return std::nullopt;
  if (!readList(d[pos++], c.pps)) return std::nullopt;
  c.trailer.assign(d + pos, d + size);
  if (c.sps.empty() || c.pps.empty()) return std::nullopt;
  return c;
}

Bytes writeAvcC(const AvcConfig& c) {
  Bytes out = c.header;
  out.push_back(static_cast<std::uint8_t>(0xE0 | c.sps.size()));
  auto writeList = [&](const std::vector<Bytes>& list) {
    for (const auto& p : list) {
      out.push_back(static_cast<std::uint8_t>(p.size() >> 8));
      out.push_back(static_cast<std::uint8_t>(p.size() & 0xFF));
      out.insert(out.end(), p.begin(), p.end());
    }
  };
  writeList(c.sps);
  out.push_back(static_cast<std::uint8_t>(c.pps.size()));
  writeList(c.pps);
  out.insert(out.end(), c.trailer.begin(), c.trailer.end());
  return out;
}

using h264::parsePpsIds;
using h264::parseSps;
using h264::splitAnnexB;

// The option string that x264 records in its version SEI ("... options: cabac=1
// ref=3 ..."), from a sample of the source. Bounded by the sample's size.
std::optional<std::string> x264OptionsIn(const std::uint8_t* d, std::size_t size) {
  static const char kTag[] = "x264 - core";
  static const char kOptions[] = "options: ";
  const auto* end = d + size;
  const auto* tag = std::search(d, end, kTag, kTag + sizeof(kTag) - 1);
  if (tag == end) return std::nullopt;
  const auto* opt = std::search(tag, end, kOptions, kOptions + sizeof(kOptions) - 1);
  if (opt == end) return std::nullopt;
  std::string s;
  for (const auto* p = opt + sizeof(kOptions) - 1; p < end && *p >= 0x20 && *p < 0x7F && s.size() < 4096; ++p) {
    s.push_back(static_cast<char>(*p));
  }
  return s;
}

std::map<std::string, std::string> parseOptionString(const std::string& s) {
  std::map<std::string, std::string> out;
  std::istringstream in(s);
  std::string word;
  while (in >> word) {
    const auto eq = word.find('=');
    if (eq != std::string::npos) out[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return out;
}

// x264-params (":"-separated) that reproduce the header-relevant choices of the
// source's encoder: the parameter sets depend on them, the coding tools and
// speed settings do not. Each candidate differs in the chroma QP offset, which
// x264 records after its psy adjustment; the probe keeps the one whose parameter
// sets match. Empty when the source's options cannot be reproduced.
std::vector<std::string> matchingParamCandidates(const std::map<std::string, std::string>& o) {
  auto get = [&](const char* k) -> std::string {
    auto it = o.find(k);
    return it == o.end() ? std::string() : it->second;
  };
  const std::string interlaced = get("interlaced");
  if (!interlaced.empty() && interlaced != "0") return {};
  if (get("bluray_compat") == "1" || get("fake_interlaced") == "1" || get("intra_refresh") == "1") return {};
  std::string p;
  auto add = [&](const std::string& kv) { p += (p.empty() ? "" : ":") + kv; };
  for (const char* k : {"cabac", "ref", "8x8dct", "bframes", "weightb", "weightp", "keyint", "constrained_intra"}) {
    const std::string v = get(k);
    if (v.empty()) continue;
    std::string key = k;
    std::replace(key.begin(), key.end(), '_', '-');
    add(key + "=" + v);
  }
  if (auto v = get("keyint_min"); !v.empty()) add("min-keyint=" + v);
  if (auto v = get("open_gop"); !v.empty()) add("open-gop=" + v);
  if (auto v = get("b_pyramid"); !v.empty()) {
    static const char* kNames[] = {"none", "strict", "normal"};
    const int i = std::atoi(v.c_str());
    if (i >= 0 && i <= 2) add(std::string("b-pyramid=") + kNames[i]);
  }
  if (auto v = get("deblock"); !v.empty()) {
    int on = 1, a = 0, b = 0;
    if (std::sscanf(v.c_str(), "%d:%d:%d", &on, &a, &b) == 3 && on) {
      add("deblock=" + std::to_string(a) + "," + std::to_string(b));
    } else {
      add("no-deblock=1");
    }
  }
  const std::string rc = get("rc");
  if (rc == "crf" && !get("crf").empty()) {
    add("crf=" + get("crf"));
  } else if ((rc == "abr" || rc == "cbr" || rc == "2pass") && !get("bitrate").empty()) {
    add("bitrate=" + get("bitrate"));
  } else if (rc == "cqp" && !get("qp").empty()) {
    add("qp=" + get("qp"));
  } else {
    return {};
  }
  for (const char* k : {"vbv_maxrate", "vbv_bufsize"}) {
    std::string key = k;
    std::replace(key.begin(), key.end(), '_', '-');
    if (auto v = get(k); !v.empty()) add(key + "=" + v);
  }
  if (auto v = get("nal_hrd"); !v.empty() && v != "none") add("nal-hrd=" + v);
  // Faster coding tools than most sources used: only a few frames per cut are
  // coded, and none of these settings reach the parameter sets.
  add("scenecut=0:rc-lookahead=10");
  const int offset = std::atoi(get("chroma_qp_offset").c_str());
  std::vector<std::string> out;
  for (int adjust : {2, 1, 0}) out.push_back(p + ":chroma-qp-offset=" + std::to_string(offset + adjust));
  out.push_back(p + ":psy=0:chroma-qp-offset=" + std::to_string(offset));
  return out;
}

// ---- encoder ----------------------------------------------------------------

struct EncoderConfig {
  int width = 0, height = 0;
  AVPixelFormat pixelFormat = AV_PIX_FMT_YUV420P;
  AVRational timeBase{1, 30};
  AVRational frameRate{30, 1};
  AVRational sampleAspect{0, 1};
  AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
  AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
  AVColorSpace space = AVCOL_SPC_UNSPECIFIED;
  AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
  std::string profile;  // baseline, main, high
  std::string level;    // "40"
  std::string params;   // x264-params
};

ff::CodecPtr openEncoder(const EncoderConfig& c, bool globalHeader) {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (codec == nullptr) throw makeMediaError(MediaErrorCode::encodeFailed, "no encoder libx264");
  ff::CodecPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) throw makeMediaError(MediaErrorCode::encodeFailed, "cannot allocate libx264");
  AVCodecContext* e = ctx.get();
  e->width = c.width;
  e->height = c.height;
  e->pix_fmt = c.pixelFormat;
  e->time_base = c.timeBase;
  e->framerate = c.frameRate;
  e->sample_aspect_ratio = c.sampleAspect;
  e->color_primaries = c.primaries;
  e->color_trc = c.transfer;
  e->colorspace = c.space;
  e->color_range = c.range;
  if (globalHeader) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "preset", "faster", 0);
  if (!c.profile.empty()) av_dict_set(&opts, "profile", c.profile.c_str(), 0);
  std::string params = c.params;
  if (!c.level.empty()) params += (params.empty() ? "" : ":") + std::string("level=") + c.level;
  av_dict_set(&opts, "x264-params", params.c_str(), 0);
  const int rc = avcodec_open2(e, codec, &opts);
  av_dict_free(&opts);
  if (rc < 0) throw makeFfmpegError(MediaErrorCode::encodeFailed, "libx264", rc);
  return ctx;
}

// The SPS and PPS an encoder opened with a global header put in its extradata.
std::pair<Bytes, Bytes> parameterSetsOf(const AVCodecContext* e) {
  Bytes sps, pps;
  for (auto& nal : splitAnnexB(e->extradata, static_cast<std::size_t>(std::max(e->extradata_size, 0)))) {
    if (nal.empty()) continue;
    if ((nal[0] & 0x1F) == 7 && sps.empty()) sps = nal;
    if ((nal[0] & 0x1F) == 8 && pps.empty()) pps = nal;
  }
  return {sps, pps};
}

// ---- timeline pieces ---------------------------------------------------------

struct Piece {
  const CompositionSegment* segment = nullptr;
  TimeRange source;  // source times
  bool copy = false;
};

// Splits each edit into a re-encoded head (from the cut to the first sync
// sample) and a copied rest; an edit without a sync sample inside is re-encoded
// whole. The copied rest may end in a short re-encoded tail (see copyPiece).
std::vector<Piece> planPieces(const CompositionTrack& track) {
  std::vector<Piece> out;
  for (const auto& s : track.segments()) {
    const TrackInfo& info = *s.asset->track(s.sourceTrackId);
    const MediaTime start = s.source.start;
    const MediaTime end = minimum(s.source.end(), info.timeRange.end());
    if (end <= start) continue;
    // An edit from the track's start or on a sync sample copies from that
    // frame, even when the timeline's rounding put the edit up to a
    // millisecond after it (skipping it would orphan the frames after it).
    MediaTime copyFrom = end;
    if (start <= info.timeRange.start + MediaTime(1, 1000)) {
      copyFrom = minimum(start, info.timeRange.start);
    } else {
      for (MediaTime k : info.keyFrameTimes) {
        if (k >= start - MediaTime(1, 1000)) {
          copyFrom = k;
          break;
        }
      }
    }
    if (start < copyFrom) out.push_back({&s, TimeRange::fromStartEnd(start, minimum(copyFrom, end)), false});
    if (copyFrom < end) out.push_back({&s, TimeRange::fromStartEnd(copyFrom, end), true});
  }
  return out;
}

// One re-encoded frame, in output times (ticks of the track's time base).
struct EncodedPacket {
  ff::PacketPtr raw;
  std::int64_t pts = 0;
  std::int64_t duration = 0;
  bool key = false;
};

}  // namespace

struct SmartCut::Impl {
  Composition composition;
  const CompositionTrack* track = nullptr;
  std::optional<std::string> unavailable;
  SmartCutParameterSets parameterSets = SmartCutParameterSets::source;
  EncoderConfig encoder;
  const FormatDescription* sourceFormat = nullptr;
  AvcConfig avc;
  std::shared_ptr<const CodecParameters> outputParameters;
  AVRational timeBase{1, 1};

  void analyse();
  void probeEncoder(const AssetRef& asset, int trackId);

  // Output state while running.
  Writer* writer = nullptr;
  WriterInput* input = nullptr;
  std::optional<std::int64_t> lastDts;
  std::vector<EncodedPacket> run;  // re-encoded packets waiting for their decode times
  SmartCutResult result;
  const SmartCutOptions* options = nullptr;
  double totalSeconds = 1;

  void checkCancel() const {
    if (options->cancel != nullptr && options->cancel->load()) {
      throw makeMediaError(MediaErrorCode::cancelled, "smart cut was cancelled");
    }
  }
  void reportProgress(std::int64_t pts) const {
    if (options->progress) {
      options->progress(std::clamp(ff::fromStreamTime(pts, timeBase).seconds() / totalSeconds, 0.0, 1.0));
    }
  }
  void append(ff::PacketPtr raw, std::int64_t pts, std::int64_t dts, std::int64_t duration, bool key);
  void encodePiece(const Piece& piece);
  void flushRun(std::optional<std::int64_t> nextDts);
  void copyPiece(const Piece& piece);
  Bytes toLengthPrefixed(const std::uint8_t* data, int size) const;
};

void SmartCut::Impl::analyse() {
  const CompositionTrack* video = nullptr;
  for (const auto& t : composition.allTracks()) {
    if (t.segments().empty()) continue;
    if (t.mediaType() != MediaType::video || video != nullptr) {
      unavailable = "not_single_video_track";
      return;
    }
    video = &t;
  }
  if (video == nullptr) {
    unavailable = "not_single_video_track";
    return;
  }
  track = video;
  for (const auto& s : video->segments()) {
    if (s.isEmpty()) {
      unavailable = "empty_segment";
      return;
    }
    if (s.isScaled()) {
      unavailable = "scaled_segment";
      return;
    }
    const TrackInfo* info = s.asset->track(s.sourceTrackId);
    if (info == nullptr || info->formatDescriptions.empty()) {
      unavailable = "no_format";
      return;
    }
    const FormatDescription& f = info->formatDescriptions.front();
    if (sourceFormat == nullptr) sourceFormat = &f;
    const AVCodecParameters* a = sourceFormat->parameters->par;
    const AVCodecParameters* b = f.parameters->par;
    if (a->extradata_size != b->extradata_size || a->width != b->width || a->height != b->height ||
        (a->extradata_size > 0 && std::memcmp(a->extradata, b->extradata, static_cast<size_t>(a->extradata_size)))) {
      unavailable = "mixed_formats";
      return;
    }
  }
  const AVCodecParameters* par = sourceFormat->parameters->par;
  if (par->codec_id != AV_CODEC_ID_H264) {
    unavailable = "not_h264";
    return;
  }
  if (!Writer::canAddPassThroughInput(*sourceFormat)) {
    unavailable = "not_copyable";
    return;
  }
  auto parsed = parseAvcC(par->extradata, par->extradata_size);
  if (!parsed) {
    unavailable = "no_mp4_parameter_sets";
    return;
  }
  avc = std::move(*parsed);
  auto sps = parseSps(avc.sps.front());
  if (!sps) {
    unavailable = "unreadable_parameter_sets";
    return;
  }
  if (sps->chromaFormat != 1 || sps->bitDepthLuma != 8 || sps->bitDepthChroma != 8) {
    unavailable = "unsupported_pixel_format";
    return;
  }
  const auto format = static_cast<AVPixelFormat>(par->format);
  if (format != AV_PIX_FMT_YUV420P && format != AV_PIX_FMT_YUVJ420P) {
    unavailable = "unsupported_pixel_format";
    return;
  }
  switch (sps->profile) {
    case 66: encoder.profile = "baseline"; break;
    case 77: encoder.profile = "main"; break;
    case 100: encoder.profile = "high"; break;
    default:
      unavailable = "unsupported_profile";
      return;
  }
  encoder.level = std::to_string(sps->level);
  encoder.width = par->width;
  encoder.height = par->height;
  encoder.pixelFormat = format;
  encoder.sampleAspect = par->sample_aspect_ratio;
  encoder.primaries = par->color_primaries;
  encoder.transfer = par->color_trc;
  encoder.space = par->color_space;
  encoder.range = par->color_range;
  timeBase = sourceFormat->parameters->timeBase;
  const CompositionSegment& first = video->segments().front();
  probeEncoder(first.asset, first.sourceTrackId);
}

void SmartCut::Impl::probeEncoder(const AssetRef& asset, int trackId) {
  const TrackInfo& info = *asset->track(trackId);
  const double fps = info.nominalFrameRate > 0 ? info.nominalFrameRate : 30;
  encoder.frameRate = av_d2q(fps, 1 << 16);
  // Frames are fed with their index as time; the real times are put back on
  // the packets, so the encoder's clock only shapes the timing VUI.
  encoder.timeBase = av_inv_q(encoder.frameRate);

  std::optional<std::string> recorded;
  {
    PacketReader reader(asset, trackId);
    if (auto p = reader.next()) recorded = x264OptionsIn(p->data(), p->size());
  }
  std::vector<std::string> candidates;
  if (recorded) candidates = matchingParamCandidates(parseOptionString(*recorded));

  // The timing VUI follows the encoder's frame rate: the track's average, or
  // for variable frame rate the rate of its shortest frame interval.
  std::vector<AVRational> rates = {encoder.frameRate};
  if (info.minFrameDuration.isValid() && info.minFrameDuration > MediaTime::zero()) {
    const AVRational r = av_d2q(1.0 / info.minFrameDuration.seconds(), 1 << 16);
    if (av_cmp_q(r, encoder.frameRate) != 0) rates.push_back(r);
  }
  const bool oneSet = avc.sps.size() == 1 && avc.pps.size() == 1;
  for (std::size_t i = 0; oneSet && i < candidates.size() * rates.size(); ++i) {
    EncoderConfig c = encoder;
    c.params = candidates[i % candidates.size()];
    c.frameRate = rates[i / candidates.size()];
    c.timeBase = av_inv_q(c.frameRate);
    try {
      auto e = openEncoder(c, true);
      auto [sps, pps] = parameterSetsOf(e.get());
      if (sps == avc.sps.front() && pps == avc.pps.front()) {
        encoder = c;
        parameterSets = SmartCutParameterSets::source;
        outputParameters = sourceFormat->parameters;
        return;
      }
    } catch (const MediaError&) {
      // This candidate is refused by the encoder; the next one may not be.
    }
  }

  // Own parameter sets under the first id that neither the source's SPS nor
  // its PPS use (x264 numbers its PPS like its SPS).
  int maxId = -1;
  for (const auto& s : avc.sps) {
    if (auto i = parseSps(s)) maxId = std::max(maxId, i->id);
  }
  for (const auto& p : avc.pps) {
    if (auto i = parsePpsIds(p)) maxId = std::max(maxId, i->first);
  }
  if (maxId + 1 > 31 || avc.sps.size() >= 31 || avc.pps.size() >= 255) {
    unavailable = "parameter_set_ids_exhausted";
    return;
  }
  EncoderConfig c = encoder;
  c.params = (candidates.empty() ? std::string("crf=18:scenecut=0:rc-lookahead=10") : candidates.front()) +
             ":sps-id=" + std::to_string(maxId + 1);
  Bytes sps, pps;
  try {
    auto e = openEncoder(c, true);
    std::tie(sps, pps) = parameterSetsOf(e.get());
  } catch (const MediaError&) {
    unavailable = "encoder_refused";
    return;
  }
  if (sps.empty() || pps.empty()) {
    unavailable = "encoder_refused";
    return;
  }
  encoder = c;
  parameterSets = SmartCutParameterSets::added;
  AvcConfig extended = avc;
  extended.sps.push_back(sps);
  extended.pps.push_back(pps);
  const Bytes record = writeAvcC(extended);
  auto params = std::make_shared<CodecParameters>(sourceFormat->parameters->par, timeBase);
  av_freep(&params->par->extradata);
  params->par->extradata = static_cast<std::uint8_t*>(av_mallocz(record.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (params->par->extradata == nullptr) throw std::bad_alloc();
  std::memcpy(params->par->extradata, record.data(), record.size());
  params->par->extradata_size = static_cast<int>(record.size());
  outputParameters = params;
}

Bytes SmartCut::Impl::toLengthPrefixed(const std::uint8_t* data, int size) const {
  Bytes out;
  for (const auto& nal : splitAnnexB(data, static_cast<std::size_t>(std::max(size, 0)))) {
    if (nal.empty()) continue;
    const int type = nal[0] & 0x1F;
    if (type == 9) continue;  // access unit delimiters: the sample is the access unit
    if ((type == 7 || type == 8) && parameterSets == SmartCutParameterSets::source) continue;
    const std::size_t n = nal.size();
    if (avc.nalLengthSize < 4 && n >= (std::size_t{1} << (8 * avc.nalLengthSize))) {
      throw makeMediaError(MediaErrorCode::unsupported, "NAL unit too large for the source's length field");
    }
    for (int i = avc.nalLengthSize - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>((n >> (8 * i)) & 0xFF));
    out.insert(out.end(), nal.begin(), nal.end());
  }
  return out;
}

void SmartCut::Impl::append(ff::PacketPtr raw, std::int64_t pts, std::int64_t dts, std::int64_t duration, bool key) {
  Packet p;
  if (key) raw->flags |= AV_PKT_FLAG_KEY;
  p.presentationTime = ff::fromStreamTime(pts, timeBase);
  p.decodeTime = ff::fromStreamTime(dts, timeBase);
  p.duration = duration > 0 ? ff::fromStreamTime(duration, timeBase) : MediaTime::invalid();
  p.isKeyFrame = key;
  p.raw = std::shared_ptr<AVPacket>(raw.release(), [](AVPacket* q) { av_packet_free(&q); });
  while (!input->isReadyForMoreMediaData()) {
    checkCancel();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (!input->appendPacket(p)) throw makeMediaError(MediaErrorCode::writeFailed, writer->errorText());
  lastDts = dts;
  reportProgress(pts);
}

void SmartCut::Impl::encodePiece(const Piece& piece) {
  const CompositionSegment& s = *piece.segment;
  const MediaTime offset = s.target.start - s.source.start;
  StreamDecoder decoder(*s.asset, s.sourceTrackId, MediaType::video, 0);
  decoder.seek(ff::toStreamTime(piece.source.start, decoder.stream()->time_base));
  auto e = openEncoder(encoder, false);
  const AVRational streamTb = decoder.stream()->time_base;
  std::vector<std::int64_t> outPts;  // by encoder frame index
  auto frame = ff::allocFrame();
  auto packet = ff::allocPacket();
  auto drain = [&] {
    while (true) {
      const int rc = avcodec_receive_packet(e.get(), packet.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      if (rc < 0) throw makeFfmpegError(MediaErrorCode::encodeFailed, "libx264", rc);
      if (packet->pts < 0 || packet->pts >= static_cast<std::int64_t>(outPts.size())) {
        throw makeMediaError(MediaErrorCode::encodeFailed, "libx264 returned an unknown frame");
      }
      const Bytes body = toLengthPrefixed(packet->data, packet->size);
      ff::PacketPtr raw = ff::allocPacket();
      if (av_new_packet(raw.get(), static_cast<int>(body.size())) < 0) throw std::bad_alloc();
      std::memcpy(raw->data, body.data(), body.size());
      const auto index = static_cast<std::size_t>(packet->pts);
      EncodedPacket out;
      out.pts = outPts[index];
      out.key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
      out.raw = std::move(raw);
      run.push_back(std::move(out));
      av_packet_unref(packet.get());
    }
  };
  std::int64_t sent = 0;
  while (decoder.nextFrame(frame.get())) {
    checkCancel();
    const std::int64_t ts = frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
    const MediaTime t = ff::fromStreamTime(ts, streamTb);
    if (t < piece.source.start) {
      av_frame_unref(frame.get());
      continue;
    }
    if (t >= piece.source.end()) break;
    if (frame->width != encoder.width || frame->height != encoder.height || frame->format != encoder.pixelFormat) {
      throw makeMediaError(MediaErrorCode::unsupported, "picture format changes inside the stream");
    }
    outPts.push_back(ff::toStreamTime(t + offset, timeBase));
    frame->pts = sent++;
    frame->pict_type = sent == 1 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    const int rc = avcodec_send_frame(e.get(), frame.get());
    av_frame_unref(frame.get());
    if (rc < 0) throw makeFfmpegError(MediaErrorCode::encodeFailed, "libx264", rc);
    drain();
  }
  avcodec_send_frame(e.get(), nullptr);
  drain();
  result.encodedFrames += sent;
  // Durations: to the next frame of the piece; the last one to the piece's
  // end, at most the stream's shortest frame interval (the muxer uses it only
  // for the final sample of the file).
  const TrackInfo& info = *s.asset->track(s.sourceTrackId);
  const std::int64_t end = ff::toStreamTime(piece.source.end() + offset, timeBase);
  std::int64_t lastDuration = info.minFrameDuration.isValid() ? ff::toStreamTime(info.minFrameDuration, timeBase) : 0;
  if (!outPts.empty() && end > outPts.back()) {
    lastDuration = lastDuration > 0 ? std::min(lastDuration, end - outPts.back()) : end - outPts.back();
  }
  for (std::size_t i = run.size() - std::min<std::size_t>(run.size(), static_cast<std::size_t>(sent));
       i < run.size(); ++i) {
    auto next = std::upper_bound(outPts.begin(), outPts.end(), run[i].pts);
    run[i].duration = next == outPts.end() ? lastDuration : *next - run[i].pts;
  }
}

// Gives the waiting re-encoded packets decode times: strictly increasing, none
// after its frame is shown, after the last packet written and before the next
// copied one. Preferably the sorted presentation times moved back just enough
// for the reordering (evenly spaced, as encoders write them); when the copied
// neighbours leave less room, the latest times that fit.
void SmartCut::Impl::flushRun(std::optional<std::int64_t> nextDts) {
  if (run.empty()) return;
  const std::size_t n = run.size();
  std::vector<std::int64_t> sorted;
  sorted.reserve(n);
  for (const auto& p : run) sorted.push_back(p.pts);
  std::sort(sorted.begin(), sorted.end());
  std::int64_t shift = 0;
  for (std::size_t k = 0; k < n; ++k) shift = std::max(shift, sorted[k] - run[k].pts);
  std::vector<std::int64_t> dts(n);
  auto assign = [&](bool even) {
    std::int64_t next = nextDts ? *nextDts : std::numeric_limits<std::int64_t>::max();
    for (std::size_t k = n; k-- > 0;) {
      dts[k] = std::min(even ? sorted[k] - shift : run[k].pts, next - 1);
      next = dts[k];
    }
    return !lastDts || dts[0] > *lastDts;
  };
  if (!assign(true) && !assign(false)) {
    throw makeMediaError(MediaErrorCode::unsupported, "no room for the decode times of the re-encoded frames");
  }
  for (std::size_t k = 0; k < n; ++k) {
    EncodedPacket& p = run[k];
    append(std::move(p.raw), p.pts, dts[k], p.duration, p.key);
  }
  run.clear();
}

// Copies the packets of the piece in decode order up to the first one shown at
// or after its end. Those form a prefix of the decode order, so every frame they
// reference is among them; with B-frames, the few frames before the end that
// are decoded after that point (they reference a frame past the end) are then
// re-encoded as a tail.
void SmartCut::Impl::copyPiece(const Piece& piece) {
  const CompositionSegment& s = *piece.segment;
  const MediaTime offset = s.target.start - s.source.start;
  // Read on past the end: the first packet shown after it ends the copy, and
  // the reader would leave it out of a range that stops at the end.
  const TrackInfo& info = *s.asset->track(s.sourceTrackId);
  PacketReader reader(s.asset, s.sourceTrackId,
                      TimeRange::fromStartEnd(piece.source.start, maximum(info.timeRange.end(), piece.source.end())));
  bool first = true;
  MediaTime lastCopied = MediaTime::invalid();
  bool stopped = false;
  while (auto p = reader.next()) {
    checkCancel();
    if (p->presentationTime < piece.source.start) continue;
    if (p->presentationTime >= piece.source.end()) {
      stopped = true;
      break;
    }
    const std::int64_t pts = ff::toStreamTime(p->presentationTime + offset, timeBase);
    const std::int64_t dts =
        p->decodeTime.isValid() ? ff::toStreamTime(p->decodeTime + offset, timeBase) : pts;
    if (first) {
      flushRun(dts);
      first = false;
    }
    ff::PacketPtr raw = ff::allocPacket();
    if (av_packet_ref(raw.get(), p->raw.get()) < 0) throw std::bad_alloc();
    const std::int64_t duration = p->duration.isValid() ? ff::toStreamTime(p->duration, timeBase) : 0;
    append(std::move(raw), pts, lastDts && dts <= *lastDts ? *lastDts + 1 : dts, duration, p->isKeyFrame);
    ++result.copiedPackets;
    lastCopied = maximum(lastCopied, p->presentationTime);
  }
  if (!stopped || !lastCopied.isValid()) return;
  // The rest of the group of pictures: frames before the end still to come
  // must all lie after the last copied one, or the copy would miss them.
  bool tail = false;
  for (int n = 0; n < 1024; ++n) {
    auto p = reader.next();
    if (!p || p->isKeyFrame) break;
    if (p->presentationTime >= piece.source.end() || p->presentationTime < piece.source.start) continue;
    if (p->presentationTime < lastCopied) {
      throw makeMediaError(MediaErrorCode::unsupported, "frames are decoded far from their display order");
    }
    tail = true;
  }
  if (tail) encodePiece(Piece{&s, TimeRange::fromStartEnd(lastCopied + MediaTime(1, timeBase.den), piece.source.end()), false});
}

SmartCut::SmartCut(Composition composition) : impl_(std::make_unique<Impl>()) {
  impl_->composition = std::move(composition);
  impl_->analyse();
}

SmartCut::~SmartCut() = default;

const std::optional<std::string>& SmartCut::unavailableReason() const { return impl_->unavailable; }

SmartCutParameterSets SmartCut::parameterSets() const { return impl_->parameterSets; }

SmartCutResult SmartCut::run(const SmartCutOptions& options) {
  Impl& m = *impl_;
  if (m.unavailable) throw makeMediaError(MediaErrorCode::unsupported, "smart cut unavailable: " + *m.unavailable);
  m.options = &options;
  m.result = SmartCutResult{};
  m.result.parameterSets = m.parameterSets;
  m.lastDts.reset();
  m.run.clear();
  m.totalSeconds = std::max(1e-9, m.track->duration().seconds());
  FormatDescription format = *m.sourceFormat;
  format.parameters = m.outputParameters;
  const AffineTransform transform = m.track->segments().front().asset->track(
      m.track->segments().front().sourceTrackId)->preferredTransform;
  Writer writer(options.outputPath, WriterOptions{options.optimizeForNetworkUse, 3, 16});
  m.writer = &writer;
  m.input = writer.addPassThroughInput(format, transform);
  writer.startWriting();
  writer.startSession(MediaTime::zero());
  try {
    for (const Piece& piece : planPieces(*m.track)) {
      if (piece.copy) {
        m.copyPiece(piece);
      } else {
        m.encodePiece(piece);
      }
    }
    m.flushRun(std::nullopt);
  } catch (...) {
    writer.cancelWriting();
    m.writer = nullptr;
    throw;
  }
  m.input->markAsFinished();
  writer.finishWriting().wait();
  m.writer = nullptr;
  if (writer.status() != WriterStatus::completed) {
    throw makeMediaError(MediaErrorCode::writeFailed, writer.errorText());
  }
  if (options.progress) options.progress(1.0);
  return m.result;
}

}  // namespace vantrel::media
