#pragma once
// H.264 bitstream syntax shared by the smart cut and the video writer: NAL
// units of an Annex B stream, emulation prevention, Exp-Golomb bits, and the
// fields of the parameter sets that those two need. Every reader is bounded
// by its input: a short or damaged unit gives std::nullopt (or ok() == false),
// never a read past the end.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace vantrel::media::h264 {

using Bytes = std::vector<std::uint8_t>;

// NAL units of an Annex B byte stream (start codes removed, header byte kept).
std::vector<Bytes> splitAnnexB(const std::uint8_t* data, std::size_t size);

// A NAL unit's payload after its header byte with emulation prevention
// removed (the RBSP), and the inverse: header byte plus escaped payload.
Bytes unescapePayload(const Bytes& nal);
// The first RBSP bytes of a NAL unit: at least `atLeast`, up to a non-zero
// byte; tailAt is the index in `nal` where the escaped bytes after them
// start (nal.size() when the whole payload was read). Bits changed in such a
// head before its last byte and escaped again leave the tail valid as it
// stands: no run of zeros crosses the join.
Bytes unescapeHead(const Bytes& nal, std::size_t atLeast, std::size_t& tailAt);
Bytes escapeNal(std::uint8_t header, const Bytes& rbsp);

// Exp-Golomb reader over an RBSP. Reading past the end yields zeros and
// clears ok().
class BitReader {
 public:
  explicit BitReader(const Bytes& rbsp) : rbsp_(rbsp) {}
  bool ok() const { return ok_; }
  std::size_t position() const { return pos_; }  // in bits
  std::uint32_t bits(int n);
  std::uint32_t ue();
  std::int64_t se();
  // ue() and se() for fields with a range: a value outside it clears ok()
  // and reads as `lo` (0), so no caller does arithmetic on a wild value.
  int ueAtMost(int limit);
  int seWithin(int lo, int hi);

 private:
  const Bytes& rbsp_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

class BitWriter {
 public:
  void bits(std::uint32_t value, int n);
  void ue(std::uint32_t value);
  void se(std::int32_t value);
  bool aligned() const { return used_ == 0; }
  // Pads the last byte with zero bits.
  Bytes take();

 private:
  Bytes bytes_;
  int used_ = 0;  // bits used in the last byte
};

struct SpsInfo {
  int profile = 0, level = 0, id = 0, chromaFormat = 1, bitDepthLuma = 8, bitDepthChroma = 8;
  // The fields that shape slice headers; set only when frameFieldsRead.
  bool frameFieldsRead = false;
  int log2MaxFrameNum = 4;
  int pocType = 0;
  int log2MaxPocLsb = 4;
  int maxRefFrames = 0;
  int widthMbs = 0, heightMapUnits = 0;
  bool frameMbsOnly = true;
};
// The profile, level, id and sample format are required; the slice-header
// fields are read as well unless the set carries scaling lists.
std::optional<SpsInfo> parseSps(const Bytes& nal);

struct PpsInfo {
  int id = 0, spsId = 0;
  bool cabac = false;
  bool bottomFieldPocPresent = false;
  int sliceGroups = 1;
  int refIdxL0Default = 1;  // num_ref_idx_l0_default_active
  bool weightedPred = false;
  int picInitQp = 26;
  bool deblockingControlPresent = false;
  bool redundantPicCntPresent = false;
};
std::optional<PpsInfo> parsePps(const Bytes& nal);

// PPS id and the SPS id it refers to.
std::optional<std::pair<int, int>> parsePpsIds(const Bytes& nal);

}  // namespace vantrel::media::h264
