#pragma once
// Limited-range YUV -> RGB in 16-bit fixed point (BT.709, and BT.601 for the
// BGRA conversion), shared by the BGRA conversion (i420_to_bgra.cpp) and the
// gamut clip (gamut_clamp.cpp), so both see the same RGB. Levels in Q6: luma (Y - 16) << 7 and chroma (C - 128) << 8
// times Q15 coefficients with rounding (x86's pmulhrsw), sums saturated to 16
// bits. Scalar forms here; the vector kernels do the same per lane.

#include <algorithm>
#include <cstdint>

namespace vantrel::media::yuvq6 {

// 1.164383 x 64 / 128, and 2.112402 (U to B), 0.213249 (U to G),
// 0.532909 (V to G), 1.792741 (V to R) x 64 / 256, all x 32768.
constexpr int kY = 19077, kBU = 17305, kGU = 1747, kGV = 4366, kRV = 14686;
constexpr int kTopQ6 = 255 * 64;

// One matrix's coefficients in that form (the luma term is the same for both).
struct Coefficients {
  int y, bu, gu, gv, rv;
};
inline constexpr Coefficients kBt709{kY, kBU, kGU, kGV, kRV};
// BT.601: 2.017232, 0.391762, 0.812968, 1.596027.
inline constexpr Coefficients kBt601{kY, 16525, 3209, 6660, 13075};

inline int fp15(int a, int b) { return (a * b + (1 << 14)) >> 15; }
inline int sat16(int v) { return std::clamp(v, -32768, 32767); }
inline int lumaQ6(int y) { return fp15((y - 16) * 128, kY); }
// A Q6 level rounded to 8 bits.
inline std::uint8_t level(int q6) { return static_cast<std::uint8_t>(std::clamp(sat16(q6 + 32) >> 6, 0, 255)); }

struct ChromaQ6 {
  int b, g, r;  // added (saturating) to the luma term
};
inline ChromaQ6 chromaQ6(int u, int v, const Coefficients& k = kBt709) {
  const int us = (u - 128) * 256, vs = (v - 128) * 256;
  return {fp15(us, k.bu), -sat16(fp15(us, k.gu) + fp15(vs, k.gv)), fp15(vs, k.rv)};
}

}  // namespace vantrel::media::yuvq6
