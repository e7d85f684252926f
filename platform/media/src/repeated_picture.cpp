#include "repeated_picture.h"

#include <algorithm>

namespace vantrel::media {

namespace {

using h264::Bytes;

// The binary arithmetic coder's tables: the least probable symbol's range by
// state and quarter of the current range, and the state after each symbol.
constexpr std::uint8_t kRangeLps[64][4] = {
    {128, 176, 208, 240}, {128, 167, 197, 227}, {128, 158, 187, 216}, {123, 150, 178, 205}, {116, 142, 169, 195},
    {111, 135, 160, 185}, {105, 128, 152, 175}, {100, 122, 144, 166}, {95, 116, 137, 158},  {90, 110, 130, 150},
    {85, 104, 123, 142},  {81, 99, 117, 135},   {77, 94, 111, 128},   {73, 89, 105, 122},   {69, 85, 100, 116},
    {66, 80, 95, 110},    {62, 76, 90, 104},    {59, 72, 86, 99},     {56, 69, 81, 94},     {53, 65, 77, 89},
    {51, 62, 73, 85},     {48, 59, 69, 80},     {46, 56, 66, 76},     {43, 53, 63, 72},     {41, 50, 59, 69},
    {39, 48, 56, 65},     {37, 45, 54, 62},     {35, 43, 51, 59},     {33, 41, 48, 56},     {32, 39, 46, 53},
    {30, 37, 43, 50},     {29, 35, 41, 48},     {27, 33, 39, 45},     {26, 31, 37, 43},     {24, 30, 35, 41},
    {23, 28, 33, 39},     {22, 27, 32, 37},     {21, 26, 30, 35},     {20, 24, 29, 33},     {19, 23, 27, 31},
    {18, 22, 26, 30},     {17, 21, 25, 28},     {16, 20, 23, 27},     {15, 19, 22, 25},     {14, 18, 21, 24},
    {14, 17, 20, 23},     {13, 16, 19, 22},     {12, 15, 18, 21},     {12, 14, 17, 20},     {11, 14, 16, 19},
    {11, 13, 15, 18},     {10, 12, 15, 17},     {10, 12, 14, 16},     {9, 11, 13, 15},      {9, 11, 12, 14},
    {8, 10, 12, 14},      {8, 9, 11, 13},       {7, 9, 11, 12},       {7, 9, 10, 12},       {7, 8, 10, 11},
    {6, 8, 9, 11},        {6, 7, 9, 10},        {6, 7, 8, 9},         {2, 2, 2, 2},
};
constexpr std::uint8_t kNextStateLps[64] = {
    0,  0,  1,  2,  2,  4,  4,  5,  6,  7,  8,  9,  9,  11, 11, 12, 13, 13, 15, 15, 16, 16,
    18, 18, 19, 19, 21, 21, 22, 22, 23, 24, 24, 25, 26, 26, 27, 27, 28, 29, 29, 30, 30, 30,
    31, 32, 32, 33, 33, 33, 34, 34, 35, 35, 35, 36, 36, 36, 37, 37, 37, 38, 38, 63,
};

struct Context {
  int state = 0;
  int mps = 0;
};

// A context's starting state for the slice's QP, from its (m, n) pair.
Context initContext(int m, int n, int sliceQp) {
  const int pre = std::clamp(((m * std::clamp(sliceQp, 0, 51)) >> 4) + n, 1, 126);
  return pre <= 63 ? Context{63 - pre, 0} : Context{pre - 64, 1};
}

class CabacWriter {
 public:
  explicit CabacWriter(h264::BitWriter& out) : out_(out) {}

  void decision(Context& c, int bin) {
    const std::uint32_t lps = kRangeLps[c.state][(range_ >> 6) & 3];
    range_ -= lps;
    if (bin != c.mps) {
      low_ += range_;
      range_ = lps;
      if (c.state == 0) c.mps = 1 - c.mps;
      c.state = kNextStateLps[c.state];
    } else {
      c.state = std::min(c.state + 1, 62);
    }
    renormalise();
  }

  // The end-of-slice bin; a 1 also flushes the coder, whose last bit written
  // is the RBSP stop bit.
  void terminate(bool last) {
    range_ -= 2;
    if (!last) {
      renormalise();
      return;
    }
    low_ += range_;
    range_ = 2;
    renormalise();
    putBit((low_ >> 9) & 1);
    out_.bits(((low_ >> 7) & 3) | 1, 2);
  }

 private:
  void renormalise() {
    while (range_ < 256) {
      if (low_ < 256) {
        putBit(0);
      } else if (low_ >= 512) {
        low_ -= 512;
        putBit(1);
      } else {
        low_ -= 256;
        ++outstanding_;
      }
      range_ <<= 1;
      low_ <<= 1;
    }
  }
  void putBit(std::uint32_t b) {
    if (first_) {
      first_ = false;
    } else {
      out_.bits(b, 1);
    }
    for (; outstanding_ > 0; --outstanding_) out_.bits(1 - b, 1);
  }

  h264::BitWriter& out_;
  std::uint32_t low_ = 0, range_ = 510;
  bool first_ = true;
  int outstanding_ = 0;
};

void overwriteBits(Bytes& rbsp, std::size_t position, std::uint32_t value, int count) {
  for (int i = 0; i < count; ++i, ++position) {
    const std::uint8_t mask = static_cast<std::uint8_t>(0x80 >> (position % 8));
    if ((value >> (count - 1 - i)) & 1) {
      rbsp[position / 8] |= mask;
    } else {
      rbsp[position / 8] &= static_cast<std::uint8_t>(~mask);
    }
  }
}

// Enough RBSP bytes for a slice header's fields up to frame_num (27 + 9 + 17 + 16 bits at most).
constexpr std::size_t kSliceHeadBytes = 12;

void appendUnit(Bytes& out, const Bytes& nal) {
  static constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};
  out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
  out.insert(out.end(), nal.begin(), nal.end());
}

constexpr int kIdrSlice = 5, kSlice = 1, kSps = 7, kPps = 8;

}  // namespace

std::optional<RepeatedPictureCoder> RepeatedPictureCoder::fromParameterSets(const std::uint8_t* data,
                                                                            std::size_t size) {
  std::optional<h264::SpsInfo> sps;
  std::optional<h264::PpsInfo> pps;
  int spsCount = 0, ppsCount = 0;
  for (const auto& nal : h264::splitAnnexB(data, size)) {
    if (nal.empty()) continue;
    const int type = nal[0] & 0x1F;
    if (type == kSps) ++spsCount, sps = h264::parseSps(nal);
    if (type == kPps) ++ppsCount, pps = h264::parsePps(nal);
  }
  if (spsCount != 1 || ppsCount != 1 || !sps || !pps) return std::nullopt;
  if (!sps->frameFieldsRead || sps->pocType != 2 || !sps->frameMbsOnly || sps->maxRefFrames < 1 ||
      sps->chromaFormat == 3 || pps->spsId != sps->id || pps->sliceGroups != 1 || pps->redundantPicCntPresent) {
    return std::nullopt;
  }
  return RepeatedPictureCoder(*sps, *pps);
}

std::optional<Bytes> RepeatedPictureCoder::repeatPicture() {
  // The inserted picture copies the latest reference picture, which is the
  // picture before it only when that one was itself a reference.
  if (!lastWasReference_) return std::nullopt;
  const int frameNum = (lastRefFrameNum_ + 1) % maxFrameNum();
  h264::BitWriter w;
  w.ue(0);  // first_mb_in_slice
  w.ue(5);  // P, as every slice of the picture
  w.ue(static_cast<std::uint32_t>(pps_.id));
  w.bits(static_cast<std::uint32_t>(frameNum), sps_.log2MaxFrameNum);
  // Frames only and picture order from frame_num: no field flag, no order count.
  w.bits(1, 1);  // num_ref_idx_active_override_flag:
  w.ue(0);       // one reference
  w.bits(0, 1);  // ref_pic_list_modification_flag_l0
  if (pps_.weightedPred) {
    w.ue(0);  // luma_log2_weight_denom
    if (sps_.chromaFormat != 0) w.ue(0);
    w.bits(0, 1);  // no luma weight
    if (sps_.chromaFormat != 0) w.bits(0, 1);
  }
  w.bits(0, 1);            // sliding-window reference marking
  if (pps_.cabac) w.ue(0);  // cabac_init_idc
  w.se(0);                  // slice_qp_delta
  if (pps_.deblockingControlPresent) w.ue(1);  // no deblocking (nothing to filter anyway)
  const int macroblocks = sps_.widthMbs * sps_.heightMapUnits;
  if (pps_.cabac) {
    while (!w.aligned()) w.bits(1, 1);  // cabac_alignment_one_bit
    // mb_skip_flag of a P slice, cabac_init_idc 0. With every neighbour
    // skipped its context increment stays 0.
    Context skip = initContext(23, 33, pps_.picInitQp);
    CabacWriter cabac(w);
    for (int mb = 0; mb < macroblocks; ++mb) {
      cabac.decision(skip, 1);
      cabac.terminate(mb + 1 == macroblocks);
    }
  } else {
    w.ue(static_cast<std::uint32_t>(macroblocks));  // mb_skip_run
    w.bits(1, 1);                                    // rbsp_stop_one_bit
  }
  Bytes unit;
  appendUnit(unit, h264::escapeNal(0x40 | kSlice, w.take()));  // nal_ref_idc 2
  lastRefFrameNum_ = frameNum;
  ++inserted_;
  return unit;
}

std::optional<Bytes> RepeatedPictureCoder::adjust(const std::uint8_t* data, std::size_t size) {
  Bytes out;
  bool moved = false;
  for (auto& nal : h264::splitAnnexB(data, size)) {
    if (nal.empty()) continue;
    const int type = nal[0] & 0x1F;
    const bool reference = (nal[0] & 0x60) != 0;
    if (type >= 2 && type <= 4) return std::nullopt;  // data partitions
    if (type == kIdrSlice) {
      inserted_ = 0;
      lastRefFrameNum_ = 0;
      lastWasReference_ = true;
    } else if (type == kSlice) {
      std::size_t tailAt = 0;
      Bytes head = h264::unescapeHead(nal, kSliceHeadBytes, tailAt);
      h264::BitReader r(head);
      r.ue();  // first_mb_in_slice
      r.ue();  // slice_type
      r.ue();  // pic_parameter_set_id
      const std::size_t at = r.position();
      const auto frameNum = static_cast<int>(r.bits(sps_.log2MaxFrameNum));
      // The last byte of a partial head must stay as it is (see unescapeHead).
      if (!r.ok() || (tailAt < nal.size() && r.position() > 8 * (head.size() - 1))) return std::nullopt;
      const int shifted = (frameNum + inserted_) % maxFrameNum();
      if (reference) lastRefFrameNum_ = shifted;
      lastWasReference_ = reference;
      if (shifted != frameNum) {
        overwriteBits(head, at, static_cast<std::uint32_t>(shifted), sps_.log2MaxFrameNum);
        Bytes rewritten = h264::escapeNal(nal[0], head);
        rewritten.insert(rewritten.end(), nal.begin() + static_cast<std::ptrdiff_t>(tailAt), nal.end());
        nal = std::move(rewritten);
        moved = true;
      }
    }
    appendUnit(out, nal);
  }
  if (!moved) return Bytes{};
  return out;
}

}  // namespace vantrel::media
