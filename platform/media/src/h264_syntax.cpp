#include "h264_syntax.h"

#include <algorithm>
#include <limits>
#include <string>

namespace vantrel::media::h264 {

std::vector<Bytes> splitAnnexB(const std::uint8_t* d, std::size_t size) {
  std::vector<Bytes> out;
  std::size_t i = 0, start = std::string::npos;
  while (i + 2 < size) {
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
      if (start != std::string::npos) {
        std::size_t end = i;
        while (end > start && d[end - 1] == 0) --end;  // trailing zero of a four-byte start code
        out.emplace_back(d + start, d + end);
      }
      i += 3;
      start = i;
    } else {
      ++i;
    }
  }
  if (start != std::string::npos && start < size) out.emplace_back(d + start, d + size);
  return out;
}

Bytes unescapeHead(const Bytes& nal, std::size_t atLeast, std::size_t& tailAt) {
  Bytes rbsp;
  rbsp.reserve(std::min(nal.size(), atLeast + 8));
  int zeros = 0;
  for (std::size_t i = 1; i < nal.size(); ++i) {
    const std::uint8_t b = nal[i];
    if (zeros >= 2 && b == 3) {
      zeros = 0;  // emulation prevention byte
      continue;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    rbsp.push_back(b);
    if (rbsp.size() >= atLeast && b != 0) {
      tailAt = i + 1;
      return rbsp;
    }
  }
  tailAt = nal.size();
  return rbsp;
}

Bytes unescapePayload(const Bytes& nal) {
  std::size_t tailAt = 0;
  return unescapeHead(nal, std::numeric_limits<std::size_t>::max(), tailAt);
}

Bytes escapeNal(std::uint8_t header, const Bytes& rbsp) {
  Bytes nal;
  nal.reserve(rbsp.size() + rbsp.size() / 64 + 2);
  nal.push_back(header);
  int zeros = 0;
  for (const std::uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      nal.push_back(3);
      zeros = 0;
    }
    nal.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  // A payload ending in zero bytes (cabac_zero_words) is closed by one more.
  if (!rbsp.empty() && rbsp.back() == 0) nal.push_back(3);
  return nal;
}

std::uint32_t BitReader::bits(int n) {
  std::uint32_t v = 0;
  for (int i = 0; i < n; ++i) {
    if (pos_ >= rbsp_.size() * 8) {
      ok_ = false;
      return 0;
    }
    v = (v << 1) | ((rbsp_[pos_ / 8] >> (7 - pos_ % 8)) & 1);
    ++pos_;
  }
  return v;
}

std::uint32_t BitReader::ue() {
  int zeros = 0;
  while (ok_ && bits(1) == 0) {
    if (++zeros > 31) ok_ = false;
  }
  if (!ok_) return 0;
  return zeros == 0 ? 0 : ((1u << zeros) - 1 + bits(zeros));
}

std::int64_t BitReader::se() {
  const std::uint32_t k = ue();
  const auto magnitude = static_cast<std::int64_t>((static_cast<std::uint64_t>(k) + 1) / 2);
  return (k & 1) ? magnitude : -magnitude;
}

int BitReader::ueAtMost(int limit) {
  const std::uint32_t v = ue();
  if (v > static_cast<std::uint32_t>(limit)) {
    ok_ = false;
    return 0;
  }
  return static_cast<int>(v);
}

int BitReader::seWithin(int lo, int hi) {
  const std::int64_t v = se();
  if (v < lo || v > hi) {
    ok_ = false;
    return lo;
  }
  return static_cast<int>(v);
}

void BitWriter::bits(std::uint32_t value, int n) {
  for (int i = n - 1; i >= 0; --i) {
    if (used_ == 0) bytes_.push_back(0);
    if ((value >> i) & 1) bytes_.back() |= static_cast<std::uint8_t>(0x80 >> used_);
    used_ = (used_ + 1) & 7;
  }
}

void BitWriter::ue(std::uint32_t value) {
  const std::uint64_t v = static_cast<std::uint64_t>(value) + 1;
  int length = 0;
  while ((v >> (length + 1)) != 0) ++length;
  bits(0, length);
  bits(static_cast<std::uint32_t>(v), length + 1);
}

void BitWriter::se(std::int32_t value) {
  ue(value > 0 ? 2 * static_cast<std::uint32_t>(value) - 1 : 2 * static_cast<std::uint32_t>(-value));
}

Bytes BitWriter::take() {
  used_ = 0;
  return std::move(bytes_);
}

std::optional<SpsInfo> parseSps(const Bytes& nal) {
  if (nal.size() < 4 || (nal[0] & 0x1F) != 7) return std::nullopt;
  const Bytes rbsp = unescapePayload(nal);
  BitReader r(rbsp);
  SpsInfo s;
  s.profile = static_cast<int>(r.bits(8));
  r.bits(8);
  s.level = static_cast<int>(r.bits(8));
  s.id = r.ueAtMost(31);
  static const int kHighProfiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
  bool scalingLists = false;
  if (std::find(std::begin(kHighProfiles), std::end(kHighProfiles), s.profile) != std::end(kHighProfiles)) {
    s.chromaFormat = r.ueAtMost(3);
    if (s.chromaFormat == 3) r.bits(1);
    s.bitDepthLuma = 8 + r.ueAtMost(6);
    s.bitDepthChroma = 8 + r.ueAtMost(6);
    r.bits(1);  // qpprime_y_zero_transform_bypass_flag
    scalingLists = r.bits(1) != 0;
  }
  if (!r.ok()) return std::nullopt;
  if (scalingLists) return s;
  SpsInfo full = s;
  full.log2MaxFrameNum = r.ueAtMost(12) + 4;
  full.pocType = r.ueAtMost(2);
  if (full.pocType == 0) {
    full.log2MaxPocLsb = r.ueAtMost(12) + 4;
  } else if (full.pocType == 1) {
    r.bits(1);
    r.se();
    r.se();
    const int cycle = r.ueAtMost(255);
    for (int i = 0; i < cycle && r.ok(); ++i) r.se();
  }
  full.maxRefFrames = r.ueAtMost(16);
  r.bits(1);  // gaps_in_frame_num_value_allowed_flag
  full.widthMbs = r.ueAtMost(1023) + 1;
  full.heightMapUnits = r.ueAtMost(1023) + 1;
  full.frameMbsOnly = r.bits(1) != 0;
  if (!r.ok()) return s;
  full.frameFieldsRead = true;
  return full;
}

std::optional<PpsInfo> parsePps(const Bytes& nal) {
  if (nal.size() < 2 || (nal[0] & 0x1F) != 8) return std::nullopt;
  const Bytes rbsp = unescapePayload(nal);
  BitReader r(rbsp);
  PpsInfo p;
  p.id = r.ueAtMost(255);
  p.spsId = r.ueAtMost(31);
  p.cabac = r.bits(1) != 0;
  p.bottomFieldPocPresent = r.bits(1) != 0;
  p.sliceGroups = r.ueAtMost(7) + 1;
  if (!r.ok()) return std::nullopt;
  if (p.sliceGroups != 1) return p;  // slice group maps are not read; callers refuse such sets
  p.refIdxL0Default = r.ueAtMost(31) + 1;
  r.ue();  // num_ref_idx_l1_default_active_minus1
  p.weightedPred = r.bits(1) != 0;
  r.bits(2);  // weighted_bipred_idc
  p.picInitQp = 26 + r.seWithin(-26, 25);
  r.se();  // pic_init_qs_minus26
  r.se();  // chroma_qp_index_offset
  p.deblockingControlPresent = r.bits(1) != 0;
  r.bits(1);  // constrained_intra_pred_flag
  p.redundantPicCntPresent = r.bits(1) != 0;
  if (!r.ok()) return std::nullopt;
  return p;
}

std::optional<std::pair<int, int>> parsePpsIds(const Bytes& nal) {
  if (nal.size() < 2 || (nal[0] & 0x1F) != 8) return std::nullopt;
  const Bytes rbsp = unescapePayload(nal);
  BitReader r(rbsp);
  const int pps = r.ueAtMost(255);
  const int sps = r.ueAtMost(31);
  if (!r.ok()) return std::nullopt;
  return std::make_pair(pps, sps);
}

}  // namespace vantrel::media::h264
