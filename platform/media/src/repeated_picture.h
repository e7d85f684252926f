#pragma once
// Pictures that repeat the picture before them, written without the encoder.
// A P picture whose every macroblock is skipped (no motion, no residual, no
// deblocking across its edges) decodes as an exact copy of its one
// reference, whatever the encoder did: x264 spends about as long on an
// unchanged 1080p picture as on a changed one, this takes microseconds and a
// few dozen bytes.
//
// The inserted picture is a reference picture under the encoder's own SPS
// and PPS, so the stream keeps one sample description. The encoder does not
// know about it, so every later picture of the same group (up to the next
// IDR) has its frame_num moved past the inserted ones; with picture order
// derived from frame_num (POC type 2) that is the only field that moves.
//
// Not thread-safe; one instance per encoded stream, used by the thread that
// receives the encoder's packets, in decoding order.

#include "h264_syntax.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vantrel::media {

class RepeatedPictureCoder {
 public:
  // From the encoder's parameter sets (Annex B, as in its extradata).
  // std::nullopt when the stream cannot take inserted pictures: picture order
  // not derived from frame_num (type 0 or 1, which B-frames need), field or
  // MBAFF coding, slice groups, redundant pictures, more than one SPS or PPS.
  static std::optional<RepeatedPictureCoder> fromParameterSets(const std::uint8_t* data, std::size_t size);

  // One access unit (Annex B) that repeats the last picture, to be written
  // right after the encoder's last access unit (or the last repeat).
  // std::nullopt before the first picture, or when the last one was not a
  // reference picture (the copy would show the one before it).
  std::optional<h264::Bytes> repeatPicture();

  // Passes one of the encoder's access units (Annex B): an IDR starts a new
  // group, later pictures get their frame_num moved past the pictures
  // inserted since. Returns the unit to write instead, empty when the input
  // stands as it is, or std::nullopt when a slice header cannot be read.
  std::optional<h264::Bytes> adjust(const std::uint8_t* data, std::size_t size);

  // Pictures inserted since the last IDR.
  int insertedInGroup() const { return inserted_; }

 private:
  RepeatedPictureCoder(const h264::SpsInfo& sps, const h264::PpsInfo& pps) : sps_(sps), pps_(pps) {}

  h264::SpsInfo sps_;
  h264::PpsInfo pps_;
  int maxFrameNum() const { return 1 << sps_.log2MaxFrameNum; }
  int lastRefFrameNum_ = 0;
  int inserted_ = 0;
  bool lastWasReference_ = false;
};

}  // namespace vantrel::media
