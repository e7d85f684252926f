#include "stream_decoder.h"

namespace vantrel::media {

StreamDecoder::StreamDecoder(const Asset& asset, int trackId, MediaType type, int threads)
    : path_(asset.path()), cutEnd_(asset.readableEndOfCutFragments()) {
  input_ = ff::openInput(path_);
  stream_ = ff::streamOf(input_.get(), path_, trackId, type);
  for (unsigned i = 0; i < input_->nb_streams; ++i) {
    if (static_cast<int>(i) != trackId) input_->streams[i]->discard = AVDISCARD_ALL;
  }
  codec_ = ff::openDecoder(path_, stream_, threads);
  packet_ = ff::allocPacket();
}

bool StreamDecoder::nextFrame(AVFrame* frame) {
  while (true) {
    int rc = avcodec_receive_frame(codec_.get(), frame);
    if (rc == 0) {
      ++frames_;
      return true;
    }
    if (rc == AVERROR_EOF) {
      requireSomethingDecoded();
      return false;
    }
    if (rc != AVERROR(EAGAIN)) {
      // A broken frame inside the stream: conceal it by moving on.
      ++skipped_;
      continue;
    }
    if (drained_) {
      requireSomethingDecoded();
      return false;
    }
    rc = av_read_frame(input_.get(), packet_.get());
    if (rc >= 0 && cutEnd_ && ff::packetPastCut(input_.get(), packet_.get(), stream_, *cutEnd_)) {
      av_packet_unref(packet_.get());
      rc = AVERROR_EOF;
    }
    if (rc == AVERROR_EOF) {
      if (!cutEnd_) ff::checkNotTruncated(input_.get(), stream_, path_);
      drained_ = true;
      avcodec_send_packet(codec_.get(), nullptr);
      continue;
    }
    if (rc < 0) throw makeFfmpegError(MediaErrorCode::readFailed, path_, rc);
    if (packet_->stream_index == stream_->index) {
      rc = avcodec_send_packet(codec_.get(), packet_.get());
      if (rc < 0 && rc != AVERROR(EAGAIN)) ++skipped_;
    }
    av_packet_unref(packet_.get());
  }
}

void StreamDecoder::requireSomethingDecoded() const {
  // A stream whose every packet was refused (a parameter set the decoder
  // rejects, say) is not damaged here and there: it cannot be read at all.
  if (frames_ == 0 && skipped_ > 0) {
    throw makeMediaError(MediaErrorCode::decodeFailed,
                         path_ + ": none of the " + std::to_string(skipped_) + " packets could be decoded");
  }
}

void StreamDecoder::seek(std::int64_t ts) {
  const int rc = av_seek_frame(input_.get(), stream_->index, ts, AVSEEK_FLAG_BACKWARD);
  if (rc < 0) throw makeFfmpegError(MediaErrorCode::readFailed, path_, rc);
  avcodec_flush_buffers(codec_.get());
  drained_ = false;
}

}  // namespace vantrel::media
