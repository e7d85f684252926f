#include "raster.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>
#include <numbers>
#include <vector>

#include "vantrel/graphics/kernels.h"

namespace vantrel::graphics {

double lanczos3(double x) {
  x = std::abs(x);
  if (x < 1e-9) return 1.0;
  if (x >= 3.0) return 0.0;
  const double px = std::numbers::pi * x;
  return 3.0 * std::sin(px) * std::sin(px / 3.0) / (px * px);
}

namespace {

double triangle(double x) { return std::max(0.0, 1.0 - std::abs(x)); }

struct Table {
  int taps = 1;
  std::vector<int> start;     // relative to the source's first pixel
  std::vector<float> weights;  // count x taps
  // Fixed-point forms. Down the columns: Q15 per tap, for the output pixels
  // whose weights all lie in [-1, 1] and whose lobes keep partial sums inside
  // 16 bits (decided per pixel, so a pixel is computed the same way whatever
  // region it is rendered in).
  std::vector<int16_t> q15;
  std::vector<uint8_t> q15Usable;
  // Across the row: Q14, taps padded to an even count, laid out for resampleRowQ14.
  int pairTaps = 2;
  std::vector<int16_t> q14;
};

// Q14 weights of one output pixel that sum to exactly one, so flat areas stay flat:
// the rounding error goes to the largest weight.
void roundToQ14(const float* w, int taps, int16_t* q) {
  int sum = 0, largest = 0;
  for (int k = 0; k < taps; ++k) {
    q[k] = static_cast<int16_t>(std::clamp(std::lround(w[k] * 16384.0), -32767L, 32767L));
    sum += q[k];
    // Compared after rounding: symmetric taps tie exactly instead of by noise,
    // so the same output pixel gets the same weights whatever region asks for it.
    if (std::abs(q[k]) > std::abs(q[largest])) largest = k;
  }
  q[largest] = static_cast<int16_t>(std::clamp(q[largest] + 16384 - sum, -32767, 32767));
}

void addFixedPoint(Table& t, int count) {
  t.q15.resize(t.weights.size());
  t.q15Usable.assign(count, 1);
  for (int i = 0; i < count; ++i) {
    double positive = 0, negative = 0;
    for (int k = 0; k < t.taps; ++k) {
      const size_t at = static_cast<size_t>(i) * t.taps + k;
      const float w = t.weights[at];
      t.q15[at] = static_cast<int16_t>(std::clamp(std::lround(w * 32768.0), -32768L, 32767L));
      if (!(w >= -1.f && w <= 1.f)) t.q15Usable[i] = 0;  // 1 itself becomes 32767
      (w > 0 ? positive : negative) += w;
    }
    if (!(positive < 1.9 && negative > -0.9)) t.q15Usable[i] = 0;
  }
  // Lanczos3 and triangle weights add up (in magnitude) to well under the 3.9
  // the 32-bit sums of the row pass allow.
  t.pairTaps = (t.taps + 1) & ~1;
  const int pairs = t.pairTaps / 2;
  t.q14.assign(static_cast<size_t>(count) * t.pairTaps * 4, 0);
  std::vector<int16_t> q(t.pairTaps);
  for (int x = 0; x < count; ++x) {
    std::fill(q.begin(), q.end(), int16_t{0});
    roundToQ14(t.weights.data() + static_cast<size_t>(x) * t.taps, t.taps, q.data());
    for (int j = 0; j < pairs; ++j)
      for (int c = 0; c < 4; ++c)
        for (int h = 0; h < 2; ++h)
          t.q14[(static_cast<size_t>(j) * count + x) * 8 + 2 * c + h] = q[2 * j + h];
  }
}

// Output pixel i (absolute index outStart + i) samples source coordinate
// (outStart + i + 0.5 - offset) / scale; source pixels are srcStart ... srcStart + srcCount - 1.
Table buildTable(int outStart, int count, double scale, double offset, int srcStart, int srcCount, Filter filter) {
  const double support = filter == Filter::lanczos3 ? 3.0 : 1.0;
  const double s = std::min(1.0, std::abs(scale));
  const double reach = support / s;
  Table t;
  t.taps = std::max(1, std::min(static_cast<int>(std::ceil(2 * reach)) + 1, srcCount));
  t.start.resize(count);
  t.weights.assign(static_cast<size_t>(count) * t.taps, 0.f);
  std::vector<double> w(t.taps);
  for (int i = 0; i < count; ++i) {
    const double centre = (outStart + i + 0.5 - offset) / scale - 0.5 - srcStart;
    const int jlo = static_cast<int>(std::ceil(centre - reach)), jhi = static_cast<int>(std::floor(centre + reach));
    const int first = std::clamp(std::clamp(jlo, 0, srcCount - 1), 0, srcCount - t.taps);
    std::fill(w.begin(), w.end(), 0.0);
    double sum = 0;
    for (int j = jlo; j <= jhi; ++j) {
      const double k = filter == Filter::lanczos3 ? lanczos3((centre - j) * s) : triangle((centre - j) * s);
      const int idx = std::clamp(std::clamp(j, 0, srcCount - 1) - first, 0, t.taps - 1);
      w[idx] += k;
      sum += k;
    }
    if (std::abs(sum) < 1e-9) {
      std::fill(w.begin(), w.end(), 0.0);
      w[std::clamp(static_cast<int>(std::lround(centre)) - first, 0, t.taps - 1)] = 1.0;
      sum = 1.0;
    }
    t.start[i] = first;
    for (int k = 0; k < t.taps; ++k) t.weights[static_cast<size_t>(i) * t.taps + k] = static_cast<float>(w[k] / sum);
  }
  addFixedPoint(t, count);
  return t;
}

// Frames of an export usually repeat the same geometry: weight tables are kept
// per calling thread for the last few distinct requests.
std::shared_ptr<const Table> cachedTable(int outStart, int count, double scale, double offset, int srcStart,
                                         int srcCount, Filter filter) {
  using Key = std::tuple<int, int, double, double, int, int, Filter>;
  thread_local std::map<Key, std::shared_ptr<const Table>> cache;
  const Key key{outStart, count, scale, offset, srcStart, srcCount, filter};
  if (auto it = cache.find(key); it != cache.end()) return it->second;
  if (cache.size() >= 16) cache.clear();  // tables in use stay alive through their shared_ptr
  auto table = std::make_shared<const Table>(buildTable(outStart, count, scale, offset, srcStart, srcCount, filter));
  cache.emplace(key, table);
  return table;
}

}  // namespace

void resampleSeparable(ThreadPool& pool, const Tile& src, const Affine& m, Filter filter, const IRect& outRect,
                       Tile& out) {
  const auto txRef = cachedTable(outRect.x, outRect.width, m.a, m.tx, src.rect.x, src.rect.width, filter);
  const auto tyRef = cachedTable(outRect.y, outRect.height, m.d, m.ty, src.rect.y, src.rect.height, filter);
  const Table& tx = *txRef;
  const Table& ty = *tyRef;
  const int srcW = src.rect.width;
  // Both passes run in 16-bit fixed point: down the columns into levels of
  // 1/64 (Q15 weights; floats for the rare rows beyond the 16-bit headroom,
  // such as a border row whose taps pile up on the source's edge), then across
  // the row with Q14 weights and exact 32-bit sums.
  pool.parallelFor(outRect.height, [&](int k0, int k1) {
    // One clear pixel past the row: an odd tap count is padded by a zero weight that reads it.
    std::vector<int16_t> mid(static_cast<size_t>(srcW + 2) * 4, 0);
    std::vector<int16_t> pairs(static_cast<size_t>(srcW + 1) * 8);
    std::vector<float> levels;
    std::vector<const uint8_t*> rows(ty.taps);
    for (int k = k0; k < k1; ++k) {
      const int y = outRect.maxY() - 1 - k;   // drawing-space output row
      const int i = y - outRect.y;            // index into the y table
      for (int t = 0; t < ty.taps; ++t) {
        const int j = src.rect.y + ty.start[i] + t;  // drawing-space source row
        rows[t] = reinterpret_cast<const uint8_t*>(src.pixel(src.rect.x, j));
      }
      const size_t w0 = static_cast<size_t>(i) * ty.taps;
      if (ty.q15Usable[i]) {
        kernels::weightedRowSumQ15(rows.data(), ty.q15.data() + w0, ty.taps, mid.data(), srcW * 4);
      } else {
        levels.resize(static_cast<size_t>(srcW) * 4);
        kernels::weightedRowSum(rows.data(), ty.weights.data() + w0, ty.taps, levels.data(), srcW * 4);
        for (int b = 0; b < srcW * 4; ++b)
          mid[b] = static_cast<int16_t>(std::clamp(std::lround(levels[b] * 64.f), -32768L, 32767L));
      }
      kernels::pairPixels(mid.data(), pairs.data(), srcW);
      kernels::resampleRowQ14(pairs.data(), tx.start.data(), tx.q14.data(), tx.pairTaps, out.pixel(outRect.x, y),
                              outRect.width);
    }
  }, 4);
}

void applyEdgeCoverage(Tile& out, const IRect& r, const Rect& e) {
  auto cover = [](int p, double lo, double hi) { return std::clamp(std::min(p + 1.0, hi) - std::max<double>(p, lo), 0.0, 1.0); };
  auto scalePixel = [](uint32_t& px, double f) {
    uint32_t o = 0;
    for (int c = 0; c < 4; ++c) o |= static_cast<uint32_t>(std::lround(((px >> (8 * c)) & 255) * f)) << (8 * c);
    px = o;
  };
  std::vector<double> cx(r.width);
  for (int i = 0; i < r.width; ++i) cx[i] = cover(r.x + i, e.minX(), e.maxX());
  for (int y = r.y; y < r.maxY(); ++y) {
    const double cy = cover(y, e.minY(), e.maxY());
    uint32_t* p = out.pixel(r.x, y);
    if (cy < 1.0) {
      for (int i = 0; i < r.width; ++i) scalePixel(p[i], cy * cx[i]);
    } else {
      for (int i = 0; i < r.width && cx[i] < 1.0; ++i) scalePixel(p[i], cx[i]);
      for (int i = r.width - 1; i >= 0 && cx[i] < 1.0; --i) scalePixel(p[i], cx[i]);
    }
  }
}

void warpAffine(ThreadPool& pool, const RasterView& src, const Affine& inv, const IRect& outRect, Tile& out) {
  const IRect s = src.rect;
  const double W = s.width, H = s.height;
  // Positions are 16.16 fixed point: larger sources (never a cursor or an
  // overlay) would overflow it and stay clear.
  if (s.width > 16000 || s.height > 16000) {
    for (int y = outRect.y; y < outRect.maxY(); ++y) std::memset(out.pixel(outRect.x, y), 0, static_cast<size_t>(outRect.width) * 4);
    return;
  }
  pool.parallelFor(outRect.height, [&](int k0, int k1) {
    for (int k = k0; k < k1; ++k) {
      const int yi = outRect.maxY() - 1 - k;
      uint32_t* o = out.pixel(outRect.x, yi);
      // Column and row indices from the source's top-left pixel centre at output pixel i.
      const double x = outRect.x + 0.5, y = yi + 0.5;
      const double u0 = inv.a * x + inv.c * y + inv.tx - s.x - 0.5, du = inv.a;
      const double v0 = s.maxY() - (inv.b * x + inv.d * y + inv.ty) - 0.5, dv = -inv.b;
      // Pixels whose taps can reach the source: an interval of i along the row.
      double lo = 0, hi = outRect.width - 1;
      auto keep = [&](double p0, double dp, double limit) {
        if (dp == 0) {
          if (!(p0 > -2 && p0 < limit + 1)) hi = -1;
          return;
        }
        const double a = (-2 - p0) / dp, b = (limit + 1 - p0) / dp;
        lo = std::max(lo, std::ceil(std::min(a, b)));
        hi = std::min(hi, std::floor(std::max(a, b)));
      };
      keep(u0, du, W);
      keep(v0, dv, H);
      if (!(lo <= hi)) {
        std::memset(o, 0, static_cast<size_t>(outRect.width) * 4);
        continue;
      }
      const int i0 = static_cast<int>(lo), i1 = static_cast<int>(hi) + 1;
      std::memset(o, 0, static_cast<size_t>(i0) * 4);
      std::memset(o + i1, 0, static_cast<size_t>(outRect.width - i1) * 4);
      kernels::AffineRow row;
      row.src = src.data;
      row.stride = src.stride;
      row.width = s.width;
      row.height = s.height;
      row.u0 = static_cast<int32_t>(std::lround((u0 + i0 * du) * 65536));
      row.v0 = static_cast<int32_t>(std::lround((v0 + i0 * dv) * 65536));
      row.du = static_cast<int32_t>(std::lround(du * 65536));
      row.dv = static_cast<int32_t>(std::lround(dv * 65536));
      kernels::affineRowBilinear(row, o + i0, i1 - i0);
    }
  });
}

void warpProjective(ThreadPool& pool, const RasterView& src, const double h[9], const IRect& outRect, Tile& out) {
  const IRect s = src.rect;
  // For p' = H p / w the area scale is det(H) / w^3: source units per output pixel
  // is its square root, which sets the width of the antialiased edge.
  const double det = h[0] * (h[4] * h[8] - h[5] * h[7]) - h[1] * (h[3] * h[8] - h[5] * h[6]) +
                     h[2] * (h[3] * h[7] - h[4] * h[6]);
  const float absDet = static_cast<float>(std::abs(det));
  pool.parallelFor(outRect.height, [&](int k0, int k1) {
    for (int k = k0; k < k1; ++k) {
      const int yi = outRect.maxY() - 1 - k;
      const double y = yi + 0.5;
      // The row's map, in the source's own coordinates (origin at its bottom-left corner).
      const double bw = h[7] * y + h[8];
      kernels::WarpRow row;
      row.src = src.data;
      row.stride = src.stride;
      row.width = s.width;
      row.height = s.height;
      row.ax = static_cast<float>(h[0] - s.x * h[6]);
      row.bx = static_cast<float>(h[1] * y + h[2] - s.x * bw);
      row.ay = static_cast<float>(h[3] - s.y * h[6]);
      row.by = static_cast<float>(h[4] * y + h[5] - s.y * bw);
      row.aw = static_cast<float>(h[6]);
      row.bw = static_cast<float>(bw);
      row.absDet = absDet;
      row.x0 = static_cast<float>(outRect.x) + 0.5f;
      kernels::warpRowAntialiased(row, out.pixel(outRect.x, yi), outRect.width);
    }
  });
}

namespace {

void transpose(const PixelBuffer& in, PixelBuffer& out, ThreadPool& pool) {
  // out(x, y) = in(y, x); out is in.height x in.width.
  // Bands of 16 source columns, walked in 16-row blocks to stay in cache.
  pool.parallelFor((in.width() + 15) / 16, [&](int b0, int b1) {
    for (int bx = b0 * 16; bx < std::min(b1 * 16, in.width()); bx += 16)
      for (int by = 0; by < in.height(); by += 16)
        kernels::transposePixels(in.row(by) + bx * 4, in.stride(), out.row(bx) + by * 4, out.stride(),
                                 std::min(16, in.width() - bx), std::min(16, in.height() - by));
  }, 1);
}

// Three box passes down the columns of `a` (b is scratch of the same shape); result in a.
void boxColumns(PixelBuffer& a, PixelBuffer& b, const int radii[3], ThreadPool& pool) {
  const int n = a.width() * 4;
  const int chunk = 256;
  PixelBuffer* from = &a;
  PixelBuffer* to = &b;
  for (int p = 0; p < 3; ++p) {
    if (radii[p] <= 0) continue;
    pool.parallelFor((n + chunk - 1) / chunk, [&](int c0, int c1) {
      std::vector<int32_t> sums(chunk);
      for (int c = c0; c < c1; ++c) {
        const int off = c * chunk, len = std::min(chunk, n - off);
        kernels::boxBlurColumns(from->data() + off, from->stride(), to->data() + off, to->stride(), len, a.height(),
                                radii[p], sums.data());
      }
    }, 1);
    std::swap(from, to);
  }
  if (from != &a)
    for (int y = 0; y < a.height(); ++y) std::memcpy(a.row(y), b.row(y), static_cast<size_t>(n));
}

void blurInPlace(PixelBuffer& buf, BufferPool& buffers, const int radii[3], ThreadPool& pool) {
  auto scratch = buffers.acquire(buf.width(), buf.height(), PixelFormat::bgra8, false);
  boxColumns(buf, *scratch, radii, pool);
  auto t = buffers.acquire(buf.height(), buf.width(), PixelFormat::bgra8, false);
  auto t2 = buffers.acquire(buf.height(), buf.width(), PixelFormat::bgra8, false);
  transpose(buf, *t, pool);
  boxColumns(*t, *t2, radii, pool);
  transpose(*t, buf, pool);
}

int floorDiv(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

}  // namespace

void boxRadiiForGaussian(double sigma, int radii[3]) {
  const int n = 3;
  const double ideal = std::sqrt(12.0 * sigma * sigma / n + 1.0);
  int wl = static_cast<int>(std::floor(ideal));
  if (wl % 2 == 0) --wl;
  wl = std::max(wl, 1);
  const int wu = wl + 2;
  const double mIdeal = (12.0 * sigma * sigma - n * wl * wl - 4.0 * n * wl - 3.0 * n) / (-4.0 * wl - 4.0);
  const int m = static_cast<int>(std::lround(mIdeal));
  for (int i = 0; i < n; ++i) radii[i] = ((i < m ? wl : wu) - 1) / 2;
}

Tile blurTile(ThreadPool& pool, BufferPool& buffers, double sigma, const IRect& req,
              const std::function<Tile(const IRect&)>& child) {
  if (sigma < 0.4) return child(req);
  int f = 1;
  while (sigma / (f * 2) >= 3.0 && f < 16) f *= 2;
  int radii[3];
  if (f == 1) {
    boxRadiiForGaussian(sigma, radii);
    const int ext = radii[0] + radii[1] + radii[2];
    Tile src = child(req.outset(ext));
    if (!src.buf) return Tile{req, nullptr};
    if (src.shared) {
      Tile own{src.rect, buffers.acquire(src.rect.width, src.rect.height, PixelFormat::bgra8, false)};
      for (int k = 0; k < src.rect.height; ++k)
        std::memcpy(own.row(k), src.row(k), static_cast<size_t>(src.rect.width) * 4);
      src = std::move(own);
    }
    blurInPlace(*src.buf, buffers, radii, pool);
    Tile out{req, buffers.acquire(req.width, req.height, PixelFormat::bgra8, false)};
    for (int y = req.y; y < req.maxY(); ++y)
      std::memcpy(out.pixel(req.x, y), src.pixel(req.x, y), static_cast<size_t>(req.width) * 4);
    return out;
  }
  // Shrink by f with box averages, blur what is left of sigma there, and come back
  // up bilinearly; the variances of the three steps add up to sigma squared.
  const double ff = static_cast<double>(f);
  const double rest = sigma * sigma - (ff * ff - 1) / 12.0 - ff * ff / 6.0;
  boxRadiiForGaussian(std::sqrt(std::max(rest, 0.25)) / ff, radii);
  const int ext = radii[0] + radii[1] + radii[2] + 2;
  const int lx0 = floorDiv(req.x, f) - ext, ly0 = floorDiv(req.y, f) - ext;
  const int lx1 = floorDiv(req.maxX() + f - 1, f) + ext, ly1 = floorDiv(req.maxY() + f - 1, f) + ext;
  const int lw = lx1 - lx0, lh = ly1 - ly0;
  Tile src = child(IRect{lx0 * f, ly0 * f, lw * f, lh * f});
  if (!src.buf) return Tile{req, nullptr};
  auto low = buffers.acquire(lw, lh, PixelFormat::bgra8, false);
  // Column sums of f rows (f * f * 255 fits 16 bits for f <= 16), then groups of f columns.
  const int srcBytes = lw * f * 4;
  const uint32_t area = static_cast<uint32_t>(f * f);
  const int areaShift = 2 * std::countr_zero(static_cast<unsigned>(f));  // f is a power of two
  pool.parallelFor(lh, [&](int r0, int r1) {
    std::vector<uint16_t> acc(static_cast<size_t>(srcBytes) + 64);
    for (int r = r0; r < r1; ++r) {
      std::fill(acc.begin(), acc.end(), uint16_t{0});
      for (int k = r * f; k < (r + 1) * f; ++k)
        kernels::accumulateRow(acc.data(), reinterpret_cast<const uint8_t*>(src.row(k)), srcBytes);
      uint8_t* o = low->row(r);
      for (int i = 0; i < lw; ++i) {
        uint32_t sum[4] = {0, 0, 0, 0};
        const uint16_t* a = &acc[static_cast<size_t>(i) * f * 4];
        for (int k = 0; k < f; ++k)
          for (int c = 0; c < 4; ++c) sum[c] += a[k * 4 + c];
        for (int c = 0; c < 4; ++c) o[i * 4 + c] = static_cast<uint8_t>((sum[c] + area / 2) >> areaShift);
      }
    }
  }, 1);
  src.buf.reset();
  blurInPlace(*low, buffers, radii, pool);
  // Back up: each low row is first widened to the output's columns (8.8 fixed
  // point), then output rows mix the two widened rows around them.
  // Low pixel (i, j) has its centre at ((lx0 + i + 0.5) f, (ly0 + j + 0.5) f) in drawing space.
  std::vector<int> ix(req.width);
  std::vector<uint16_t> wx(req.width);
  for (int i = 0; i < req.width; ++i) {
    const double u = (req.x + i + 0.5) / ff - 0.5 - lx0;
    ix[i] = std::clamp(static_cast<int>(std::floor(u)), 0, lw - 2);
    wx[i] = static_cast<uint16_t>(std::clamp(std::lround((u - ix[i]) * 256.0), 0L, 256L));
  }
  const size_t wideN = static_cast<size_t>(req.width) * 4;
  // Rows of 16-bit values, kept in a pooled buffer (two BGRA pixels' bytes per output pixel).
  auto wideBuf = buffers.acquire(req.width * 2, lh, PixelFormat::bgra8, false);
  auto wideRow = [&](int r) { return reinterpret_cast<uint16_t*>(wideBuf->row(r)); };
  pool.parallelFor(lh, [&](int r0, int r1) {
    for (int r = r0; r < r1; ++r) {
      const uint8_t* l = low->row(r);
      uint16_t* o = wideRow(r);
      for (int i = 0; i < req.width; ++i) {
        const uint8_t* a = l + ix[i] * 4;
        const int w = wx[i];
        for (int c = 0; c < 4; ++c) o[i * 4 + c] = static_cast<uint16_t>(a[c] * (256 - w) + a[c + 4] * w);
      }
    }
  }, 1);
  Tile out{req, buffers.acquire(req.width, req.height, PixelFormat::bgra8, false)};
  pool.parallelFor(req.height, [&](int k0, int k1) {
    for (int k = k0; k < k1; ++k) {
      const int y = req.maxY() - 1 - k;
      const double v = (y + 0.5) / ff - 0.5 - ly0;  // low row index from the bottom
      const int j0 = std::clamp(static_cast<int>(std::floor(v)), 0, lh - 2);
      const auto w = static_cast<uint32_t>(std::clamp(std::lround((v - j0) * 256.0), 0L, 256L));
      kernels::lerpRows(wideRow(lh - 1 - j0), wideRow(lh - 2 - j0), w,
                        reinterpret_cast<uint8_t*>(out.row(k)), static_cast<int>(wideN));
    }
  });
  return out;
}

void sampleBilinear(const RasterView& v, double x, double y, float out[4]) {
  const double u = x - 0.5, w = y - 0.5;
  const double fu = std::floor(u), fw = std::floor(w);
  if (!std::isfinite(fu) || !std::isfinite(fw) || std::abs(fu) > 1e8 || std::abs(fw) > 1e8) {
    out[0] = out[1] = out[2] = out[3] = 0;
    return;
  }
  const int x0 = static_cast<int>(fu), y0 = static_cast<int>(fw);
  const float ax = static_cast<float>(u - fu), ay = static_cast<float>(w - fw);
  const uint32_t p00 = v.pixel(x0, y0), p10 = v.pixel(x0 + 1, y0), p01 = v.pixel(x0, y0 + 1), p11 = v.pixel(x0 + 1, y0 + 1);
  for (int c = 0; c < 4; ++c) {
    auto ch = [c](uint32_t p) { return static_cast<float>((p >> (8 * c)) & 255); };
    const float bottom = ch(p00) + (ch(p10) - ch(p00)) * ax, top = ch(p01) + (ch(p11) - ch(p01)) * ax;
    out[c] = bottom + (top - bottom) * ay;
  }
}

}  // namespace vantrel::graphics
