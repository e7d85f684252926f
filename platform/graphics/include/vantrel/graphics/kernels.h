#pragma once
// Raster kernels on premultiplied BGRA8 rows (uint32_t per pixel, B in the low
// byte) and A8 coverage rows. Each kernel exists twice: the function in
// `kernels` dispatches at run time to the best SIMD target of this CPU, and
// the one in `kernels::scalar` is the plain reference it is tested against.
// Integer kernels give bit-identical results; float kernels agree to one step
// of the 8-bit output (fused multiply-add differs in the last bit of a float).
// All kernels are pure functions of their inputs and may run concurrently on
// disjoint outputs.

#include <cstddef>
#include <cstdint>

namespace vantrel::graphics::kernels {

// One output row of a projective warp with antialiased edges. The source is
// width x height pixels, top row first, `stride` bytes apart; its space has the
// origin at its bottom-left corner. Output pixel i has its centre at x = x0 + i
// on the row, and maps to sx = (ax x + bx) / w, sy = (ay x + by) / w with
// w = aw x + bw (nothing where w <= 1e-6). Pixels fade out over one output pixel
// at the source's edges, the local scale being sqrt(|det H| / w^3).
struct WarpRow {
  const uint8_t* src = nullptr;
  std::ptrdiff_t stride = 0;
  int width = 0, height = 0;
  float ax = 0, bx = 0, ay = 0, by = 0, aw = 0, bw = 1;
  float absDet = 1;
  float x0 = 0.5f;
};

// One output row of a bilinear affine warp (a rotated picture). Output pixel i
// samples the source (width x height, top row first, `stride` bytes apart) at
// u = (u0 + i du) / 65536 columns and v = (v0 + i dv) / 65536 rows from the
// top-left pixel's centre (16.16 fixed point, so every target computes the same
// positions); taps outside the source read as clear. The caller keeps |u| and
// |v| below 2^14 pixels over the row.
struct AffineRow {
  const uint8_t* src = nullptr;
  std::ptrdiff_t stride = 0;
  int width = 0, height = 0;
  int32_t u0 = 0, du = 0, v0 = 0, dv = 0;
};
void affineRowBilinear(const AffineRow& p, uint32_t* out, int n);

// dst = src + dst * (1 - src.alpha), per pixel.
void sourceOverRow(uint32_t* dst, const uint32_t* src, int n);
// dst = src * mask + dst * (1 - src.alpha * mask); mask is A8.
void sourceOverMaskedRow(uint32_t* dst, const uint32_t* src, const uint8_t* mask, int n);
// dst = src * mask + dst * (1 - mask): mixes foreground and background by the mask.
void blendWithMaskRow(uint32_t* dst, const uint32_t* src, const uint8_t* mask, int n);
// dst = src * factor / 255 on every channel (premultiplied alpha scaling).
void scaleRow(uint32_t* dst, const uint32_t* src, uint8_t factor, int n);
// out[i] = sum_k weights[k] * rows[k][i] over n bytes (one resampler pass down the columns).
void weightedRowSum(const uint8_t* const* rows, const float* weights, int taps, float* out, int n);
// The same pass in 16-bit fixed point: rows scaled by 64, weights in Q15
// (rounded products, as a rounding high multiply gives); out holds the sums in
// 1/64 levels. Partial sums must stay below 2^15 / 64 = 512 levels (weights
// summing to about 1).
void weightedRowSumQ15(const uint8_t* const* rows, const int16_t* weights, int taps, int16_t* out, int n);
// Lays out n pixel positions for the fixed-point pass across a row: out[8p + 2c + h] =
// in[4(p + h) + c], i.e. each channel of pixels p and p + 1 side by side, so
// that one multiply-add of pairs takes two taps. `in` holds n + 1 pixels of 4 values.
void pairPixels(const int16_t* in, int16_t* out, int n);
// One horizontal resampler pass in fixed point over `pairs` (from pairPixels,
// values in 1/64 levels): out pixel x, channel c = sum over k < taps of
// w(x, k) * level(start[x] + k, c), with w in Q14, rounded, clamped to [0, 255]
// with colour <= alpha. `taps` is even; weights are laid out pair-major with
// each pair repeated for the four channels: w(x, 2j + h) = weights[8 (j n + x) + h]
// = weights[8 (j n + x) + 2c + h] for every c. Sums stay far inside 32 bits
// for weights whose magnitudes add up to less than 3.9.
void resampleRowQ14(const int16_t* pairs, const int* start, const int16_t* weights, int taps, uint32_t* out, int n);
// Sliding box sum down the columns of a byte plane: out row y = round(sum of in rows
// y-radius..y+radius / (2*radius+1)), rows outside [0, height) counting as zero.
// `in` rows are inStride apart and `out` rows outStride apart; each is n bytes wide.
// `sums` is scratch of n int32 values.
void boxBlurColumns(const uint8_t* in, std::ptrdiff_t inStride, uint8_t* out, std::ptrdiff_t outStride,
                    int n, int height, int radius, int32_t* sums);
// Linear gradient along a row: t = clamp(t0 + i * dt, 0, 1), colour = c0 + (c1 - c0) * t with
// c0/c1 premultiplied in 0..255 floats ordered B, G, R, A.
void gradientRow(uint32_t* dst, int n, float t0, float dt, const float c0[4], const float c1[4]);
// acc[i] += in[i] over n bytes (column sums for box downsampling; the caller keeps sums < 65536).
void accumulateRow(uint16_t* acc, const uint8_t* in, int n);
// out[i] = round((a[i] * (256 - w) + b[i] * w) / 65536): mixes two rows of 8.8 fixed-point values, w in 0...256.
void lerpRows(const uint16_t* a, const uint16_t* b, uint32_t w, uint8_t* out, int n);
// Colour matrix in place on straight components: with (r, g, b, a) the pixel
// unpremultiplied to 0...1 (colour 0 where alpha is 0), each output channel c
// is clamp(m[4c] r + m[4c+1] g + m[4c+2] b + m[4c+3] a + m[16+c], 0, 1), rows
// c ordered r, g, b, a; the result is premultiplied and rounded to 8 bits.
void colorMatrixRow(uint32_t* row, int n, const float m[20]);
// sums[c] += the sum of channel c (B, G, R, A) over n pixels (pixellation's cell means).
void addChannelSums(const uint32_t* p, int n, uint64_t sums[4]);
// out row x, pixel y = in row y, pixel x for a width x height block of pixels;
// strides in bytes (the blur runs its row passes as column passes on the transpose).
void transposePixels(const uint8_t* in, std::ptrdiff_t inStride, uint8_t* out, std::ptrdiff_t outStride, int width,
                     int height);

namespace scalar {
void sourceOverRow(uint32_t* dst, const uint32_t* src, int n);
void sourceOverMaskedRow(uint32_t* dst, const uint32_t* src, const uint8_t* mask, int n);
void blendWithMaskRow(uint32_t* dst, const uint32_t* src, const uint8_t* mask, int n);
void scaleRow(uint32_t* dst, const uint32_t* src, uint8_t factor, int n);
void weightedRowSum(const uint8_t* const* rows, const float* weights, int taps, float* out, int n);
void weightedRowSumQ15(const uint8_t* const* rows, const int16_t* weights, int taps, int16_t* out, int n);
void pairPixels(const int16_t* in, int16_t* out, int n);
void resampleRowQ14(const int16_t* pairs, const int* start, const int16_t* weights, int taps, uint32_t* out, int n);
void boxBlurColumns(const uint8_t* in, std::ptrdiff_t inStride, uint8_t* out, std::ptrdiff_t outStride,
                    int n, int height, int radius, int32_t* sums);
void gradientRow(uint32_t* dst, int n, float t0, float dt, const float c0[4], const float c1[4]);
void accumulateRow(uint16_t* acc, const uint8_t* in, int n);
void lerpRows(const uint16_t* a, const uint16_t* b, uint32_t w, uint8_t* out, int n);
void warpRowAntialiased(const WarpRow& p, uint32_t* out, int n);
void affineRowBilinear(const AffineRow& p, uint32_t* out, int n);
void colorMatrixRow(uint32_t* row, int n, const float m[20]);
void addChannelSums(const uint32_t* p, int n, uint64_t sums[4]);
void transposePixels(const uint8_t* in, std::ptrdiff_t inStride, uint8_t* out, std::ptrdiff_t outStride, int width,
                     int height);
}  // namespace scalar

void warpRowAntialiased(const WarpRow& p, uint32_t* out, int n);

// Names of the SIMD targets this build can dispatch to, and a hook for tests to
// restrict dispatch to one of them (0 restores the CPU's best).
const char* currentTargetName();
void restrictTargetsForTest(int64_t targetBits);
int64_t availableTargetBits();

}  // namespace vantrel::graphics::kernels
