#include "vantrel/media/writer.h"

#include "ffmpeg_util.h"
#include "repeated_picture.h"
#include "vantrel/media/bgra_to_i420.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace vantrel::media {

bool WriterInput::appendPixelBuffer(std::shared_ptr<const PixelBuffer>, MediaTime) {
  throw makeMediaError(MediaErrorCode::invalidState, "this input does not take pixel buffers");
}
bool WriterInput::appendPlanarBuffer(std::shared_ptr<const I420Buffer>, MediaTime) {
  throw makeMediaError(MediaErrorCode::invalidState, "this input does not take planar pictures");
}
bool WriterInput::appendRepeatedPicture(MediaTime) {
  throw makeMediaError(MediaErrorCode::invalidState, "this input does not take pictures");
}
bool WriterInput::appendPcm(const PcmBuffer&) {
  throw makeMediaError(MediaErrorCode::invalidState, "this input does not take PCM");
}
bool WriterInput::appendPacket(const Packet&) {
  throw makeMediaError(MediaErrorCode::invalidState, "this input does not take compressed packets");
}
AppendResult WriterInput::tryAppendPixelBuffer(std::shared_ptr<const PixelBuffer>, MediaTime) {
  throw makeMediaError(MediaErrorCode::invalidState, "this input does not take pixel buffers");
}
AppendResult WriterInput::tryAppendPcm(const PcmBuffer&) {
  throw makeMediaError(MediaErrorCode::invalidState, "this input does not take PCM");
}

namespace {

struct Item {
  std::shared_ptr<const PixelBuffer> frame;
  std::shared_ptr<const I420Buffer> planes;
  bool repeat = false;  // the picture before, unchanged
  MediaTime time = MediaTime::invalid();
  std::vector<float> pcm;
  int frames = 0;
  Packet packet;
};

}  // namespace

class InputBase;

struct Writer::Impl {
  std::string path;
  WriterOptions options;
  AVFormatContext* out = nullptr;
  std::mutex muxMutex;
  std::atomic<WriterStatus> status{WriterStatus::unknown};
  mutable std::mutex errorMutex;
  std::string error;
  MediaTime sessionStart = MediaTime::zero();
  std::vector<std::unique_ptr<InputBase>> inputs;
  bool fileOpened = false;
  std::mutex finishMutex;
  std::shared_future<void> finishing;

  ~Impl();
  bool failed() const {
    const WriterStatus s = status.load();
    return s == WriterStatus::failed || s == WriterStatus::cancelled;
  }
  void fail(const std::string& text);
  void writePacket(AVPacket* pkt);
  void wakeAll();
  void joinAll();
  void closeAndRemove();
};

class InputBase : public WriterInput {
 public:
  InputBase(Writer::Impl& writer, AVStream* stream, int capacity)
      : writer_(writer), stream_(stream), capacity_(capacity) {}
  ~InputBase() override { join(); }

  bool isReadyForMoreMediaData() const override {
    std::lock_guard lock(mutex_);
    return writer_.failed() || (!finished_ && static_cast<int>(queue_.size()) < capacity_);
  }
  void markAsFinished() override {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    changed_.notify_all();
  }
  void start() { thread_ = std::thread([this] { run(); }); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  void wake() { changed_.notify_all(); }
  // The timescale this input's track should have in the file (video only; 0:
  // the muxer's own choice).
  virtual int trackTimescale() const { return 0; }

 protected:
  bool enqueue(Item item) { return enqueueImpl(std::move(item), true) == AppendResult::appended; }
  AppendResult tryEnqueue(Item item) { return enqueueImpl(std::move(item), false); }

 private:
  AppendResult enqueueImpl(Item item, bool wait) {
    std::unique_lock lock(mutex_);
    if (wait) changed_.wait(lock, [&] { return writer_.failed() || static_cast<int>(queue_.size()) < capacity_; });
    if (writer_.failed()) return AppendResult::failed;
    if (static_cast<int>(queue_.size()) >= capacity_) return AppendResult::busy;
    if (finished_) throw makeMediaError(MediaErrorCode::invalidState, "append after markAsFinished");
    if (writer_.status.load() != WriterStatus::writing) {
      throw makeMediaError(MediaErrorCode::invalidState, "append before startWriting");
    }
    queue_.push_back(std::move(item));
    lock.unlock();
    changed_.notify_all();
    return AppendResult::appended;
  }

 protected:
  virtual void process(Item& item) = 0;
  virtual void flush() = 0;
  // Rescales from `tb` to the stream's time base and hands the packet to the muxer.
  void emit(AVPacket* pkt, AVRational tb) {
    pkt->stream_index = stream_->index;
    av_packet_rescale_ts(pkt, tb, stream_->time_base);
    writer_.writePacket(pkt);
  }

  Writer::Impl& writer_;
  AVStream* stream_;

 private:
  void run() {
    try {
      while (true) {
        Item item;
        {
          std::unique_lock lock(mutex_);
          changed_.wait(lock, [&] { return writer_.failed() || finished_ || !queue_.empty(); });
          if (writer_.failed()) return;
          if (queue_.empty()) break;  // finished and drained
          item = std::move(queue_.front());
          queue_.pop_front();
        }
        changed_.notify_all();
        process(item);
      }
      flush();
    } catch (const MediaError& e) {
      writer_.fail(e.text());
    } catch (const std::bad_alloc&) {
      writer_.fail("out of memory while encoding");
    }
  }

  int capacity_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Item> queue_;
  bool finished_ = false;
  std::thread thread_;
};

namespace {

ff::CodecPtr allocEncoder(const char* name) {
  const AVCodec* codec = avcodec_find_encoder_by_name(name);
  if (codec == nullptr) throw makeMediaError(MediaErrorCode::encodeFailed, std::string("no encoder ") + name);
  ff::CodecPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) throw makeMediaError(MediaErrorCode::encodeFailed, std::string("cannot allocate ") + name);
  return ctx;
}

class EncoderInput : public InputBase {
 public:
  using InputBase::InputBase;

 protected:
  // Sends `frame` (nothing: flush) and writes every packet that comes out.
  void encode(AVFrame* frame) {
    int rc = avcodec_send_frame(codec_.get(), frame);
    if (rc < 0 && rc != AVERROR_EOF) throw makeFfmpegError(MediaErrorCode::encodeFailed, writer_.path, rc);
    while (true) {
      rc = avcodec_receive_packet(codec_.get(), packet_.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      if (rc < 0) throw makeFfmpegError(MediaErrorCode::encodeFailed, writer_.path, rc);
      if (packetDuration_ > 0 && packet_->duration <= 0) packet_->duration = packetDuration_;
      deliver(packet_.get());
      av_packet_unref(packet_.get());
    }
  }

  // Hands one packet of the encoder's to the muxer.
  virtual void deliver(AVPacket* packet) { emit(packet, codec_->time_base); }

  ff::CodecPtr codec_;
  ff::PacketPtr packet_ = ff::allocPacket();
  std::int64_t packetDuration_ = 0;
};

class VideoEncoderInput final : public EncoderInput {
 public:
  VideoEncoderInput(Writer::Impl& w, AVStream* st, const H264Settings& s) : EncoderInput(w, st, w.options.videoQueueCapacity), settings_(s) {
    if (s.width <= 0 || s.height <= 0 || s.width > 8192 || s.height > 8192 || !(s.expectedFrameRate > 0) ||
        s.averageBitRate <= 0 || s.maxKeyFrameInterval <= 0) {
      throw makeMediaError(MediaErrorCode::invalidArgument, "H.264 settings");
    }
    codec_ = allocEncoder("libx264");
    AVCodecContext* c = codec_.get();
    c->width = (s.width + 1) & ~1;
    c->height = (s.height + 1) & ~1;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    int timescale = s.mediaTimescale;
    if (timescale <= 0) {
      const double r = std::round(s.expectedFrameRate);
      timescale = std::fabs(r - s.expectedFrameRate) < 1e-6 ? static_cast<int>(r) : 90000;
    }
    c->time_base = AVRational{1, timescale};
    c->framerate = av_d2q(s.expectedFrameRate, 1 << 20);
    c->bit_rate = s.averageBitRate;
    c->gop_size = s.maxKeyFrameInterval;
    c->keyint_min = s.maxKeyFrameInterval;
    c->max_b_frames = s.allowFrameReordering ? 2 : 0;
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_IEC61966_2_1;
    c->colorspace = AVCOL_SPC_BT709;
    c->color_range = AVCOL_RANGE_MPEG;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // x264's own threads (libavcodec would otherwise give it one): an export
    // whose frames are quicker to make than to encode then still uses every
    // core, instead of waiting on a single encoding thread.
    c->thread_count = 0;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "preset", s.preset.c_str(), 0);
    av_dict_set(&opts, "profile", "high", 0);
    av_dict_set(&opts, "x264-params", w.options.realTime ? kRealTimeX264Parameters : kExportX264Parameters, 0);
    // Live capture cannot wait for look-ahead frames: every frame leaves the
    // encoder as soon as it is coded, and slice threads keep both cores busy.
    if (w.options.realTime) av_dict_set(&opts, "tune", "zerolatency", 0);
    // Key frames are placed by this input (see keyFrameAt) and must be IDRs.
    av_dict_set(&opts, "forced-idr", "1", 0);
    const int rc = avcodec_open2(c, c->codec, &opts);
    av_dict_free(&opts);
    if (rc < 0) throw makeFfmpegError(MediaErrorCode::encodeFailed, w.path, rc);
    const int crc = avcodec_parameters_from_context(st->codecpar, c);
    if (crc < 0) throw makeFfmpegError(MediaErrorCode::encodeFailed, w.path, crc);
    st->time_base = c->time_base;
    st->avg_frame_rate = c->framerate;
    const double ticks = timescale / s.expectedFrameRate;
    packetDuration_ = std::max<std::int64_t>(1, std::llround(ticks));
    frame_ = ff::allocFrame();
    // Live capture never repeats pictures on purpose, and reordered streams
    // order pictures by a count the encoder owns.
    if (!w.options.realTime && c->max_b_frames == 0 && c->extradata != nullptr) {
      repeats_ = RepeatedPictureCoder::fromParameterSets(c->extradata, static_cast<std::size_t>(c->extradata_size));
    }
  }

  MediaType mediaType() const override { return MediaType::video; }
  int trackTimescale() const override { return codec_->time_base.num == 1 ? codec_->time_base.den : 0; }

  bool appendPixelBuffer(std::shared_ptr<const PixelBuffer> frame, MediaTime t) override {
    return enqueue(makeItem(std::move(frame), t));
  }
  AppendResult tryAppendPixelBuffer(std::shared_ptr<const PixelBuffer> frame, MediaTime t) override {
    return tryEnqueue(makeItem(std::move(frame), t));
  }
  bool appendPlanarBuffer(std::shared_ptr<const I420Buffer> frame, MediaTime t) override {
    if (!frame || frame->width != settings_.width || frame->height != settings_.height) {
      throw makeMediaError(MediaErrorCode::invalidArgument, "planar picture size differs from the input settings");
    }
    if (!t.isValid()) throw makeMediaError(MediaErrorCode::invalidArgument, "invalid presentation time");
    Item item;
    item.planes = std::move(frame);
    item.time = t;
    return enqueue(std::move(item));
  }
  bool appendRepeatedPicture(MediaTime t) override {
    if (!t.isValid()) throw makeMediaError(MediaErrorCode::invalidArgument, "invalid presentation time");
    Item item;
    item.repeat = true;
    item.time = t;
    return enqueue(std::move(item));
  }

 private:
  void process(Item& item) override {
    const std::int64_t pts = ff::toStreamTime(item.time - writer_.sessionStart, codec_->time_base);
    if (pts < 0) return;
    if (lastPts_ != AV_NOPTS_VALUE && pts <= lastPts_) {
      // A live source's clock may land two frames on one tick; the later one
      // is simply not shown rather than ending the recording.
      if (writer_.options.realTime) return;
      throw makeMediaError(MediaErrorCode::invalidArgument,
                           "video presentation times must increase (" + item.time.debugString() + ")");
    }
    lastPts_ = pts;
    const bool key = keyFrameAt(pictureIndex_++);
    if (item.repeat) {
      if (!lastPlanes_ && !framePrimed_) {
        throw makeMediaError(MediaErrorCode::invalidState, "a repeated picture needs a picture before it");
      }
      // Written after the encoder's packet of the picture before it (deliver).
      if (repeats_ && !key) {
        pendingRepeats_.push_back(pts);
        return;
      }
      if (!lastPlanes_) {
        encodePicture(frame_.get(), pts, key);
        return;
      }
      item.planes = lastPlanes_;
    }
    AVCodecContext* c = codec_.get();
    // Planes of the encoder's own size are handed to it as they are: the
    // encoder copies each picture in anyway, and the planes stay alive (and
    // unchanged: they are const to everyone) until it lets go of them.
    if (item.planes && item.planes->width == c->width && item.planes->height == c->height) {
      ff::FramePtr borrowed = ff::allocFrame();
      borrowed->format = c->pix_fmt;
      borrowed->width = c->width;
      borrowed->height = c->height;
      const I420Buffer& src = *item.planes;
      const std::vector<std::uint8_t>* planes[3] = {&src.y, &src.u, &src.v};
      const int strides[3] = {src.strideY, src.strideU, src.strideV};
      for (int p = 0; p < 3; ++p) {
        auto* holder = new std::shared_ptr<const I420Buffer>(item.planes);
        borrowed->buf[p] = av_buffer_create(
            const_cast<std::uint8_t*>(planes[p]->data()), planes[p]->size(),
            [](void* opaque, std::uint8_t*) { delete static_cast<std::shared_ptr<const I420Buffer>*>(opaque); },
            holder, AV_BUFFER_FLAG_READONLY);
        if (borrowed->buf[p] == nullptr) {
          delete holder;
          throw makeMediaError(MediaErrorCode::encodeFailed, "out of memory while encoding");
        }
        borrowed->data[p] = const_cast<std::uint8_t*>(planes[p]->data());
        borrowed->linesize[p] = strides[p];
      }
      lastPlanes_ = std::move(item.planes);
      encodePicture(borrowed.get(), pts, key);
      return;
    }
    // One picture buffer for the whole export: the encoder copies each picture
    // in, so a fresh 3 MB allocation (and its page faults) per frame buys nothing.
    int rc = 0;
    if (frame_->buf[0] == nullptr) {
      frame_->format = c->pix_fmt;
      frame_->width = c->width;
      frame_->height = c->height;
      rc = av_frame_get_buffer(frame_.get(), 64);
    } else {
      rc = av_frame_make_writable(frame_.get());
    }
    if (rc < 0) throw makeFfmpegError(MediaErrorCode::encodeFailed, writer_.path, rc);
    if (item.planes) {
      const I420Buffer& src = *item.planes;
      const std::uint8_t* from[3] = {src.y.data(), src.u.data(), src.v.data()};
      const int fromStride[3] = {src.strideY, src.strideU, src.strideV};
      for (int p = 0; p < 3; ++p) {
        const int pw = p == 0 ? src.width : (src.width + 1) / 2, ph = p == 0 ? src.height : (src.height + 1) / 2;
        for (int y = 0; y < ph; ++y) {
          std::memcpy(frame_->data[p] + static_cast<std::ptrdiff_t>(y) * frame_->linesize[p],
                      from[p] + static_cast<std::ptrdiff_t>(y) * fromStride[p], static_cast<std::size_t>(pw));
        }
      }
      padOddEdges(src.width, src.height);
      item.planes.reset();
      lastPlanes_.reset();
    } else {
      const PixelBuffer& src = *item.frame;
      convertBgraToI420Bt709(src.data(), src.stride(), src.width(), src.height(),
                             I420Planes{frame_->data[0], frame_->linesize[0], frame_->data[1], frame_->linesize[1],
                                        frame_->data[2], frame_->linesize[2]});
      padOddEdges(src.width(), src.height());
      item.frame.reset();  // the buffer goes back to its pool before encoding
      lastPlanes_.reset();
    }
    framePrimed_ = true;
    encodePicture(frame_.get(), pts, key);
  }

  // Key frames fall every maxKeyFrameInterval pictures, counting the
  // repeated ones the encoder never sees; the encoder's own count (of what
  // it sees) then never reaches the interval first.
  bool keyFrameAt(std::int64_t index) const { return index % settings_.maxKeyFrameInterval == 0; }

  void encodePicture(AVFrame* picture, std::int64_t pts, bool key) {
    const AVCodecContext* c = codec_.get();
    picture->pts = pts;
    picture->pict_type = key && repeats_ ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    picture->color_primaries = c->color_primaries;
    picture->color_trc = c->color_trc;
    picture->colorspace = c->colorspace;
    picture->color_range = c->color_range;
    encode(picture);
  }

  Item makeItem(std::shared_ptr<const PixelBuffer> frame, MediaTime t) const {
    if (!frame || frame->width() != settings_.width || frame->height() != settings_.height) {
      throw makeMediaError(MediaErrorCode::invalidArgument, "pixel buffer size differs from the input settings");
    }
    if (!t.isValid()) throw makeMediaError(MediaErrorCode::invalidArgument, "invalid presentation time");
    Item item;
    item.frame = std::move(frame);
    item.time = t;
    return item;
  }

  void padOddEdges(int w, int h) {
    const int W = codec_->width, H = codec_->height;
    for (int p = 0; p < 3; ++p) {
      const int pw = p == 0 ? w : (w + 1) / 2, ph = p == 0 ? h : (h + 1) / 2;
      const int PW = p == 0 ? W : W / 2, PH = p == 0 ? H : H / 2;
      std::uint8_t* base = frame_->data[p];
      const int stride = frame_->linesize[p];
      for (int y = 0; y < ph; ++y) {
        for (int x = pw; x < PW; ++x) base[y * stride + x] = base[y * stride + pw - 1];
      }
      for (int y = ph; y < PH; ++y) std::memcpy(base + y * stride, base + (ph - 1) * stride, static_cast<size_t>(PW));
    }
  }

  void deliver(AVPacket* packet) override {
    if (!repeats_) {
      emit(packet, codec_->time_base);
      return;
    }
    // Repeats queued before this picture follow the picture before it.
    emitRepeatsBefore(packet->pts);
    auto unit = repeats_->adjust(packet->data, static_cast<std::size_t>(packet->size));
    if (!unit) throw makeMediaError(MediaErrorCode::encodeFailed, "unreadable slice header from the H.264 encoder");
    if (!unit->empty()) {
      ff::PacketPtr moved = packetWith(*unit);
      if (av_packet_copy_props(moved.get(), packet) < 0) {
        throw makeMediaError(MediaErrorCode::encodeFailed, "out of memory while encoding");
      }
      emit(moved.get(), codec_->time_base);
      return;
    }
    emit(packet, codec_->time_base);
  }

  void emitRepeatsBefore(std::int64_t limit) {
    while (!pendingRepeats_.empty() && pendingRepeats_.front() < limit) {
      const std::int64_t pts = pendingRepeats_.front();
      pendingRepeats_.pop_front();
      auto unit = repeats_->repeatPicture();
      // Only when the encoder's last picture was not a reference picture
      // (x264 without B-frames makes none): the picture before then simply
      // stays on screen until the next one, as the repeat would have.
      if (!unit) continue;
      ff::PacketPtr p = packetWith(*unit);
      p->pts = p->dts = pts;
      p->duration = packetDuration_;
      emit(p.get(), codec_->time_base);
    }
  }

  static ff::PacketPtr packetWith(const h264::Bytes& data) {
    ff::PacketPtr p = ff::allocPacket();
    if (av_new_packet(p.get(), static_cast<int>(data.size())) < 0) {
      throw makeMediaError(MediaErrorCode::encodeFailed, "out of memory while encoding");
    }
    std::memcpy(p->data, data.data(), data.size());
    return p;
  }

  void flush() override {
    encode(nullptr);
    if (repeats_) emitRepeatsBefore(std::numeric_limits<std::int64_t>::max());
    lastPlanes_.reset();  // the caller's planes are free once writing ends
  }

  H264Settings settings_;
  ff::FramePtr frame_;
  bool framePrimed_ = false;  // frame_ holds the last picture encoded from it
  std::shared_ptr<const I420Buffer> lastPlanes_;  // the last picture, when it was handed over as is
  std::int64_t lastPts_ = AV_NOPTS_VALUE;
  std::int64_t pictureIndex_ = 0;
  std::optional<RepeatedPictureCoder> repeats_;
  std::deque<std::int64_t> pendingRepeats_;  // in the codec's time base
};

class AudioEncoderInput final : public EncoderInput {
 public:
  AudioEncoderInput(Writer::Impl& w, AVStream* st, const AacSettings& s) : EncoderInput(w, st, w.options.audioQueueCapacity), settings_(s) {
    if (s.sampleRate <= 0 || s.sampleRate > 192000 || s.channels <= 0 || s.channels > 8 || s.bitRate <= 0) {
      throw makeMediaError(MediaErrorCode::invalidArgument, "AAC settings");
    }
    codec_ = allocEncoder("aac");
    AVCodecContext* c = codec_.get();
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->sample_rate = s.sampleRate;
    av_channel_layout_default(&c->ch_layout, s.channels);
    c->bit_rate = s.bitRate;
    c->time_base = AVRational{1, s.sampleRate};
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int rc = avcodec_open2(c, c->codec, nullptr);
    if (rc < 0) throw makeFfmpegError(MediaErrorCode::encodeFailed, w.path, rc);
    const int crc = avcodec_parameters_from_context(st->codecpar, c);
    if (crc < 0) throw makeFfmpegError(MediaErrorCode::encodeFailed, w.path, crc);
    st->time_base = c->time_base;
    fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, s.channels, 4096);
    if (fifo_ == nullptr) throw std::bad_alloc();
    frame_ = ff::allocFrame();
  }
  ~AudioEncoderInput() override {
    join();
    av_audio_fifo_free(fifo_);
  }

  MediaType mediaType() const override { return MediaType::audio; }

  bool appendPcm(const PcmBuffer& buffer) override { return enqueue(makeItem(buffer)); }
  AppendResult tryAppendPcm(const PcmBuffer& buffer) override { return tryEnqueue(makeItem(buffer)); }

 private:
  Item makeItem(const PcmBuffer& buffer) const {
    if (!buffer.presentationTime.isValid() || buffer.frameCount < 0) {
      throw makeMediaError(MediaErrorCode::invalidArgument, "PCM timing");
    }
    if (buffer.planes.size() != 1 ||
        buffer.planes[0].size() < static_cast<size_t>(buffer.frameCount) * settings_.channels * sizeof(float)) {
      throw makeMediaError(MediaErrorCode::invalidArgument, "PCM must be interleaved float with the input's channels");
    }
    Item item;
    item.time = buffer.presentationTime;
    item.frames = buffer.frameCount;
    item.pcm.resize(static_cast<size_t>(buffer.frameCount) * settings_.channels);
    std::memcpy(item.pcm.data(), buffer.planes[0].data(), item.pcm.size() * sizeof(float));
    return item;
  }

  void process(Item& item) override {
    const int ch = settings_.channels;
    std::int64_t pos = (item.time - writer_.sessionStart).convertScale(settings_.sampleRate).value;
    std::int64_t skip = 0;
    if (!started_) {
      started_ = true;
      fifoEnd_ = std::max<std::int64_t>(pos, 0);
      nextPts_ = fifoEnd_;
    }
    if (pos < fifoEnd_) skip = fifoEnd_ - pos;
    if (pos > fifoEnd_) writeSilence(pos - fifoEnd_);
    if (skip >= item.frames) return;
    const int n = item.frames - static_cast<int>(skip);
    planar_.resize(static_cast<size_t>(ch));
    std::vector<void*> ptrs(static_cast<size_t>(ch));
    for (int c = 0; c < ch; ++c) {
      planar_[c].resize(static_cast<size_t>(n));
      const float* src = item.pcm.data() + skip * ch + c;
      for (int i = 0; i < n; ++i) planar_[c][i] = src[static_cast<size_t>(i) * ch];
      ptrs[c] = planar_[c].data();
    }
    if (av_audio_fifo_write(fifo_, ptrs.data(), n) < n) throw std::bad_alloc();
    fifoEnd_ += n;
    drain(false);
  }

  void writeSilence(std::int64_t frames) {
    const int ch = settings_.channels;
    while (frames > 0) {
      const int n = static_cast<int>(std::min<std::int64_t>(frames, 4096));
      planar_.assign(static_cast<size_t>(ch), std::vector<float>(static_cast<size_t>(n), 0.0f));
      std::vector<void*> ptrs(static_cast<size_t>(ch));
      for (int c = 0; c < ch; ++c) ptrs[c] = planar_[c].data();
      if (av_audio_fifo_write(fifo_, ptrs.data(), n) < n) throw std::bad_alloc();
      fifoEnd_ += n;
      frames -= n;
      drain(false);
    }
  }

  void drain(bool final) {
    const int frameSize = codec_->frame_size > 0 ? codec_->frame_size : 1024;
    while (av_audio_fifo_size(fifo_) >= frameSize || (final && av_audio_fifo_size(fifo_) > 0)) {
      const int n = std::min(frameSize, av_audio_fifo_size(fifo_));
      av_frame_unref(frame_.get());
      frame_->format = AV_SAMPLE_FMT_FLTP;
      frame_->sample_rate = settings_.sampleRate;
      av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout);
      // The encoder takes a short frame only at the very end.
      const bool smallOk = (codec_->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
      frame_->nb_samples = smallOk ? n : frameSize;
      int rc = av_frame_get_buffer(frame_.get(), 0);
      if (rc < 0) throw makeFfmpegError(MediaErrorCode::encodeFailed, writer_.path, rc);
      if (n < frame_->nb_samples) {
        for (int c = 0; c < settings_.channels; ++c) std::memset(frame_->data[c], 0, sizeof(float) * frame_->nb_samples);
      }
      if (av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame_->data), n) < n) {
        throw makeMediaError(MediaErrorCode::encodeFailed, writer_.path + ": audio FIFO underrun");
      }
      frame_->pts = nextPts_;
      nextPts_ += frame_->nb_samples;
      encode(frame_.get());
    }
  }

  void flush() override {
    drain(true);
    encode(nullptr);
  }

  AacSettings settings_;
  AVAudioFifo* fifo_ = nullptr;
  ff::FramePtr frame_;
  std::vector<std::vector<float>> planar_;
  bool started_ = false;
  std::int64_t fifoEnd_ = 0;  // sample position just after the FIFO's contents
  std::int64_t nextPts_ = 0;
};

// Whether the MPEG-4 muxer knows `tag` as a sample entry of `codec`.
bool mp4CarriesTag(AVCodecID codec, std::uint32_t tag) {
  const AVOutputFormat* mp4 = av_guess_format("mp4", nullptr, nullptr);
  return mp4 != nullptr && mp4->codec_tag != nullptr && tag != 0 && av_codec_get_id(mp4->codec_tag, tag) == codec;
}

// The sample entry of a copied stream. The source's own entry is kept: avc1
// against avc3 and hvc1 against hev1 say whether parameter sets may change
// inside the stream, and QuickTime, Safari and iOS play HEVC only as hvc1.
// HEVC from a container without MPEG-4 sample entries (Matroska) has its
// parameter sets in the codec private data, so it is written as hvc1 too
// rather than as the muxer's default hev1.
std::uint32_t copiedCodecTag(const AVCodecParameters& par) {
  if (mp4CarriesTag(par.codec_id, par.codec_tag)) return par.codec_tag;
  if (par.codec_id == AV_CODEC_ID_HEVC && par.extradata_size > 0) return MKTAG('h', 'v', 'c', '1');
  return 0;
}

// The track header's display matrix: 16.16 fixed point, with the projective
// column (u, v, w) at 0, 0, 1.0 in 2.30.
void setDisplayMatrix(AVStream* st, const AffineTransform& t, const std::string& path) {
  constexpr double kFixed = 65536.0;
  const double values[6] = {t.a, t.b, t.c, t.d, t.tx, t.ty};
  for (double v : values) {
    if (!std::isfinite(v) || std::fabs(v) * kFixed >= 2147483647.0) {
      throw makeMediaError(MediaErrorCode::invalidArgument, path + ": display transform out of range");
    }
  }
  auto* m = reinterpret_cast<std::int32_t*>(
      av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(std::int32_t)));
  if (m == nullptr) throw std::bad_alloc();
  auto fixed = [](double v) { return static_cast<std::int32_t>(std::lround(v * kFixed)); };
  m[0] = fixed(t.a);
  m[1] = fixed(t.b);
  m[2] = 0;
  m[3] = fixed(t.c);
  m[4] = fixed(t.d);
  m[5] = 0;
  m[6] = fixed(t.tx);
  m[7] = fixed(t.ty);
  m[8] = 1 << 30;
}

// Edits are placed in 1/600 s; a kept video timescale must resolve at least that.
constexpr int kFinestEditTimescale = 600;

class PassThroughInput final : public InputBase {
 public:
  PassThroughInput(Writer::Impl& w, AVStream* st, const FormatDescription& f, const AffineTransform& transform)
      : InputBase(w, st, w.options.audioQueueCapacity * 4), type_(f.mediaType) {
    const int rc = avcodec_parameters_copy(st->codecpar, f.parameters->par);
    if (rc < 0) throw makeFfmpegError(MediaErrorCode::writeFailed, w.path, rc);
    st->codecpar->codec_tag = copiedCodecTag(*f.parameters->par);
    st->time_base = f.parameters->timeBase;
    if (type_ == MediaType::video && !transform.isIdentity()) setDisplayMatrix(st, transform, w.path);
  }

  MediaType mediaType() const override { return type_; }
  // A copy keeps the source track's timescale, so its sample times stay exact.
  // A coarse one (a tick per frame) could not place an edit that ends between
  // two frames without moving samples, so such tracks get the muxer's finer one.
  int trackTimescale() const override {
    const AVRational tb = stream_->time_base;
    return type_ == MediaType::video && tb.num == 1 && tb.den >= kFinestEditTimescale ? tb.den : 0;
  }

  bool appendPacket(const Packet& packet) override {
    if (!packet.raw) throw makeMediaError(MediaErrorCode::invalidArgument, "empty packet");
    Item item;
    item.packet = packet;
    return enqueue(std::move(item));
  }

 private:
  void process(Item& item) override {
    const Packet& p = item.packet;
    const AVRational tb = stream_->time_base;
    // Packets before the session start stay: the muxer turns a negative start
    // (AAC priming) into an edit list, exactly as the source had it.
    const MediaTime pts = p.presentationTime - writer_.sessionStart;
    ff::PacketPtr pkt = ff::allocPacket();
    int rc = av_packet_ref(pkt.get(), p.raw.get());
    if (rc < 0) throw makeFfmpegError(MediaErrorCode::writeFailed, writer_.path, rc);
    pkt->pts = ff::toStreamTime(pts, tb);
    pkt->dts = p.decodeTime.isValid() ? ff::toStreamTime(p.decodeTime - writer_.sessionStart, tb) : pkt->pts;
    pkt->duration = p.duration.isValid() ? ff::toStreamTime(p.duration, tb) : 0;
    // Joined edits may step back in decode time; keep it strictly increasing.
    if (lastDts_ != AV_NOPTS_VALUE && pkt->dts <= lastDts_) pkt->dts = lastDts_ + 1;
    if (pkt->pts < pkt->dts) pkt->pts = pkt->dts;
    lastDts_ = pkt->dts;
    pkt->stream_index = stream_->index;
    writer_.writePacket(pkt.get());
  }
  void flush() override {}

  MediaType type_;
  std::int64_t lastDts_ = AV_NOPTS_VALUE;
};

// Copies the packets of a finished fragmented file into a plain MPEG-4 beside
// it and renames that over the original. Any failure leaves the fragmented
// file in place: it is complete and plays, only its index is spread out.
void rewriteWithIndexAtFront(const std::string& path, bool indexAtFront) {
  const std::string temp = path + ".rewrite";
  AVFormatContext* in = nullptr;
  AVFormatContext* out = nullptr;
  bool ok = false;
  do {
    if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) break;
    if (avformat_find_stream_info(in, nullptr) < 0) break;
    if (avformat_alloc_output_context2(&out, nullptr, "mp4", temp.c_str()) < 0 || out == nullptr) break;
    bool streamsOk = true;
    int videoTimescale = 0;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
      AVStream* src = in->streams[i];
      AVStream* dst = avformat_new_stream(out, nullptr);
      if (dst == nullptr || avcodec_parameters_copy(dst->codecpar, src->codecpar) < 0) {
        streamsOk = false;
        break;
      }
      dst->time_base = src->time_base;
      if (src->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && src->time_base.num == 1) {
        videoTimescale = src->time_base.den;
      }
    }
    if (!streamsOk) break;
    if (avio_open(&out->pb, temp.c_str(), AVIO_FLAG_WRITE) < 0) break;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "movflags", indexAtFront ? "+faststart+write_colr" : "+write_colr", 0);
    if (videoTimescale > 0) av_dict_set(&opts, "video_track_timescale", std::to_string(videoTimescale).c_str(), 0);
    const int hrc = avformat_write_header(out, &opts);
    av_dict_free(&opts);
    if (hrc < 0) break;
    ff::PacketPtr pkt = ff::allocPacket();
    bool copyOk = true;
    while (true) {
      const int rc = av_read_frame(in, pkt.get());
      if (rc == AVERROR_EOF) break;
      if (rc < 0) {
        copyOk = false;
        break;
      }
      const int si = pkt->stream_index;
      av_packet_rescale_ts(pkt.get(), in->streams[si]->time_base, out->streams[si]->time_base);
      pkt->pos = -1;
      if (av_interleaved_write_frame(out, pkt.get()) < 0) {
        copyOk = false;
        break;
      }
    }
    if (!copyOk) break;
    ok = av_write_trailer(out) >= 0;
  } while (false);
  if (out != nullptr) {
    if (out->pb != nullptr) avio_closep(&out->pb);
    avformat_free_context(out);
  }
  if (in != nullptr) avformat_close_input(&in);
  if (ok && std::rename(temp.c_str(), path.c_str()) == 0) return;
  std::remove(temp.c_str());
}

}  // namespace

Writer::Impl::~Impl() {
  if (out != nullptr) {
    if (fileOpened) avio_closep(&out->pb);
    avformat_free_context(out);
  }
}

void Writer::Impl::fail(const std::string& text) {
  {
    std::lock_guard lock(errorMutex);
    if (failed()) return;
    error = text;
    status.store(WriterStatus::failed);
  }
  wakeAll();
}

void Writer::Impl::wakeAll() {
  for (auto& in : inputs) in->wake();
}

void Writer::Impl::joinAll() {
  for (auto& in : inputs) in->join();
}

void Writer::Impl::writePacket(AVPacket* pkt) {
  std::lock_guard lock(muxMutex);
  if (failed()) return;
  const int rc = av_interleaved_write_frame(out, pkt);
  if (rc < 0) throw makeFfmpegError(MediaErrorCode::writeFailed, path, rc);
}

void Writer::Impl::closeAndRemove() {
  std::lock_guard lock(muxMutex);
  if (fileOpened) {
    avio_closep(&out->pb);
    fileOpened = false;
    std::remove(path.c_str());
  }
}

Writer::Writer(std::string path, WriterOptions options) : impl_(std::make_unique<Impl>()) {
  ff::quietLibraryLogs();
  impl_->path = std::move(path);
  impl_->options = options;
  const int rc = avformat_alloc_output_context2(&impl_->out, nullptr, "mp4", impl_->path.c_str());
  if (rc < 0 || impl_->out == nullptr) throw makeFfmpegError(MediaErrorCode::writeFailed, impl_->path, rc);
}

Writer::~Writer() {
  std::shared_future<void> f;
  {
    std::lock_guard lock(impl_->finishMutex);
    f = impl_->finishing;
  }
  if (f.valid()) {
    f.wait();
  } else if (impl_->status.load() == WriterStatus::writing || impl_->status.load() == WriterStatus::unknown) {
    cancelWriting();
  }
  impl_->joinAll();
  impl_->closeAndRemove();
}

const std::string& Writer::path() const { return impl_->path; }
WriterStatus Writer::status() const { return impl_->status.load(); }
std::string Writer::errorText() const {
  std::lock_guard lock(impl_->errorMutex);
  return impl_->error;
}

namespace {
template <class Input, class... Settings>
WriterInput* addInput(Writer::Impl& m, const Settings&... settings) {
  if (m.status.load() != WriterStatus::unknown) {
    throw makeMediaError(MediaErrorCode::invalidState, "inputs must be added before startWriting");
  }
  AVStream* st = avformat_new_stream(m.out, nullptr);
  if (st == nullptr) throw makeMediaError(MediaErrorCode::writeFailed, m.path + ": cannot add a stream");
  try {
    m.inputs.push_back(std::make_unique<Input>(m, st, settings...));
  } catch (...) {
    // The stream cannot be removed again; a writer with a refused input is not started.
    m.status.store(WriterStatus::failed);
    throw;
  }
  return m.inputs.back().get();
}
}  // namespace

WriterInput* Writer::addVideoInput(const H264Settings& settings) {
  return addInput<VideoEncoderInput>(*impl_, settings);
}
WriterInput* Writer::addAudioInput(const AacSettings& settings) {
  return addInput<AudioEncoderInput>(*impl_, settings);
}
WriterInput* Writer::addPassThroughInput(const FormatDescription& sourceFormat, const AffineTransform& transform) {
  if (!canAddPassThroughInput(sourceFormat)) {
    throw makeMediaError(MediaErrorCode::unsupported, sourceFormat.codecName + " cannot be copied into MPEG-4");
  }
  return addInput<PassThroughInput>(*impl_, sourceFormat, transform);
}

bool Writer::canAddPassThroughInput(const FormatDescription& f) {
  if (!f.parameters || f.mediaType == MediaType::other) return false;
  const AVOutputFormat* mp4 = av_guess_format("mp4", nullptr, nullptr);
  return mp4 != nullptr && avformat_query_codec(mp4, f.parameters->par->codec_id, FF_COMPLIANCE_NORMAL) == 1;
}

void Writer::startWriting() {
  Impl& m = *impl_;
  if (m.status.load() != WriterStatus::unknown) throw makeMediaError(MediaErrorCode::invalidState, "startWriting twice");
  if (m.inputs.empty()) throw makeMediaError(MediaErrorCode::invalidState, m.path + ": no inputs");
  int rc = avio_open(&m.out->pb, m.path.c_str(), AVIO_FLAG_WRITE);
  if (rc < 0) {
    m.status.store(WriterStatus::failed);
    m.error = makeFfmpegError(MediaErrorCode::writeFailed, m.path, rc).text();
    throw makeFfmpegError(MediaErrorCode::writeFailed, m.path, rc);
  }
  m.fileOpened = true;
  AVDictionary* opts = nullptr;
  if (m.options.fragmentSeconds > 0) {
    // A fragment closes at each key frame or once it is this long, and every
    // packet reaches the file at once, so what is on disk is never more than
    // one fragment behind.
    av_dict_set(&opts, "movflags", "+frag_keyframe+empty_moov+default_base_moof+write_colr", 0);
    av_dict_set(&opts, "frag_duration",
                std::to_string(static_cast<std::int64_t>(m.options.fragmentSeconds * 1e6)).c_str(), 0);
    m.out->flags |= AVFMT_FLAG_FLUSH_PACKETS;
  } else {
    av_dict_set(&opts, "movflags", m.options.optimizeForNetworkUse ? "+faststart+write_colr" : "+write_colr", 0);
  }
  // A live input that stalls (a microphone that stops delivering) must not
  // make the muxer hold the other track's packets back for long.
  if (m.options.realTime) m.out->max_interleave_delta = 1'000'000;
  // Left alone, the muxer doubles a small video timescale until it passes
  // 10000 (30 fps becomes 15360); the track keeps the one its input asked for.
  // The option is the muxer's, so it applies only when the video inputs agree.
  int videoTimescale = 0;
  bool videoTimescalesAgree = true;
  for (const auto& in : m.inputs) {
    if (in->mediaType() != MediaType::video) continue;
    const int ts = in->trackTimescale();
    if (ts <= 0 || (videoTimescale != 0 && ts != videoTimescale)) videoTimescalesAgree = false;
    videoTimescale = std::max(videoTimescale, ts);
  }
  if (videoTimescalesAgree && videoTimescale > 0) {
    av_dict_set(&opts, "video_track_timescale", std::to_string(videoTimescale).c_str(), 0);
    // Edit lists are timed in the movie timescale: at the default 1/1000 s, a
    // cut copy whose first frame starts a few ticks after zero would move
    // every frame by the rounding; at the track's own timescale they stay exact.
    av_dict_set(&opts, "movie_timescale", std::to_string(videoTimescale).c_str(), 0);
  }
  rc = avformat_write_header(m.out, &opts);
  av_dict_free(&opts);
  if (rc < 0) {
    const MediaError e = makeFfmpegError(MediaErrorCode::writeFailed, m.path, rc);
    m.fail(e.text());
    m.closeAndRemove();
    throw e;
  }
  m.status.store(WriterStatus::writing);
  for (auto& in : m.inputs) in->start();
}

void Writer::startSession(MediaTime sourceTime) {
  if (!sourceTime.isValid()) throw makeMediaError(MediaErrorCode::invalidArgument, "invalid session start time");
  impl_->sessionStart = sourceTime;
}

std::future<void> Writer::finishWriting() {
  Impl& m = *impl_;
  std::lock_guard lock(m.finishMutex);
  if (m.finishing.valid()) {
    return std::async(std::launch::deferred, [f = m.finishing] { f.wait(); });
  }
  std::packaged_task<void()> task([&m] {
    for (auto& in : m.inputs) in->markAsFinished();
    m.joinAll();
    if (m.status.load() != WriterStatus::writing) {
      m.closeAndRemove();
      return;
    }
    int rc;
    {
      std::lock_guard muxLock(m.muxMutex);
      rc = av_write_trailer(m.out);
    }
    if (rc < 0) {
      m.fail(makeFfmpegError(MediaErrorCode::writeFailed, m.path, rc).text());
      m.closeAndRemove();
      return;
    }
    {
      std::lock_guard muxLock(m.muxMutex);
      avio_closep(&m.out->pb);
      m.fileOpened = false;
    }
    if (m.options.fragmentSeconds > 0) rewriteWithIndexAtFront(m.path, m.options.optimizeForNetworkUse);
    m.status.store(WriterStatus::completed);
  });
  m.finishing = task.get_future().share();
  std::thread(std::move(task)).detach();
  return std::async(std::launch::deferred, [f = m.finishing] { f.wait(); });
}

void Writer::cancelWriting() {
  Impl& m = *impl_;
  {
    std::lock_guard lock(m.errorMutex);
    const WriterStatus s = m.status.load();
    if (s == WriterStatus::completed || s == WriterStatus::cancelled) return;
    m.status.store(WriterStatus::cancelled);
    if (m.error.empty()) m.error = "writing was cancelled";
  }
  m.wakeAll();
  std::shared_future<void> finishing;
  {
    std::lock_guard lock(m.finishMutex);
    finishing = m.finishing;
  }
  if (finishing.valid()) {
    finishing.wait();  // its thread joins the inputs and removes the file
    return;
  }
  m.joinAll();
  m.closeAndRemove();
}

}  // namespace vantrel::media
