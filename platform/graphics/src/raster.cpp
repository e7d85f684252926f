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
};

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
  // The pass down the columns runs in 16-bit fixed point: Q15 weights. Lobes
  // that sum beyond the 16-bit headroom (extreme enlargements never do) fall back to floats.
  std::vector<int16_t> q15(ty.weights.size());
  bool fixedPoint = true;
  for (size_t i = 0; i < ty.weights.size(); ++i)
    q15[i] = static_cast<int16_t>(std::clamp(std::lround(ty.weights[i] * 32768.0), -32768L, 32767L));
  for (int i = 0; i < outRect.height && fixedPoint; ++i) {
    double positive = 0, negative = 0;
    for (int k = 0; k < ty.taps; ++k) {
      const double w = ty.weights[static_cast<size_t>(i) * ty.taps + k];
      (w > 0 ? positive : negative) += w;
    }
    fixedPoint = positive < 1.9 && negative > -0.9;
  }
  pool.parallelFor(outRect.height, [&](int k0, int k1) {
    std::vector<float> mid(static_cast<size_t>(srcW) * 4 + 16);
    std::vector<const uint8_t*> rows(ty.taps);
    for (int k = k0; k < k1; ++k) {
      const int y = outRect.maxY() - 1 - k;   // drawing-space output row
      const int i = y - outRect.y;            // index into the y table
      for (int t = 0; t < ty.taps; ++t) {
        const int j = src.rect.y + ty.start[i] + t;  // drawing-space source row
        rows[t] = reinterpret_cast<const uint8_t*>(src.pixel(src.rect.x, j));
      }
      if (fixedPoint)
        kernels::weightedRowSumQ15(rows.data(), q15.data() + static_cast<size_t>(i) * ty.taps, ty.taps, mid.data(),
                                   srcW * 4);
      else
        kernels::weightedRowSum(rows.data(), ty.weights.data() + static_cast<size_t>(i) * ty.taps, ty.taps,
                                mid.data(), srcW * 4);
      kernels::resampleRow(mid.data(), tx.start.data(), tx.weights.data(), tx.taps, out.pixel(outRect.x, y),
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

namespace {

// Bilinear tap in 8-bit fixed point; (u, v) are continuous column and row indices
// from the top-left pixel centre. Outside taps read as clear.
inline uint32_t bilinearFixed(const RasterView& src, float u, float v) {
  const int W = src.rect.width, H = src.rect.height;
  const float fu = std::floor(u), fv = std::floor(v);
  if (!(fu > -2.f && fv > -2.f && fu < W + 1.f && fv < H + 1.f)) return 0;
  const int x0 = static_cast<int>(fu), y0 = static_cast<int>(fv);
  const uint32_t wx = static_cast<uint32_t>((u - fu) * 256.f + 0.5f), wy = static_cast<uint32_t>((v - fv) * 256.f + 0.5f);
  auto at = [&](int x, int y) -> uint32_t {
    if (x < 0 || y < 0 || x >= W || y >= H) return 0;
    return reinterpret_cast<const uint32_t*>(src.data + y * src.stride)[x];
  };
  uint32_t p00, p10, p01, p11;
  if (x0 >= 0 && y0 >= 0 && x0 + 1 < W && y0 + 1 < H) {
    const auto* r0 = reinterpret_cast<const uint32_t*>(src.data + y0 * src.stride) + x0;
    const auto* r1 = reinterpret_cast<const uint32_t*>(src.data + (y0 + 1) * src.stride) + x0;
    p00 = r0[0]; p10 = r0[1]; p01 = r1[0]; p11 = r1[1];
  } else {
    p00 = at(x0, y0); p10 = at(x0 + 1, y0); p01 = at(x0, y0 + 1); p11 = at(x0 + 1, y0 + 1);
  }
  uint32_t o = 0;
  for (int c = 0; c < 32; c += 8) {
    const uint32_t top = ((p00 >> c) & 255) * (256 - wx) + ((p10 >> c) & 255) * wx;
    const uint32_t bottom = ((p01 >> c) & 255) * (256 - wx) + ((p11 >> c) & 255) * wx;
    o |= ((top * (256 - wy) + bottom * wy + 32768) >> 16) << c;
  }
  return o;
}

}  // namespace

void warpProjective(ThreadPool& pool, const RasterView& src, const double h[9], const IRect& outRect, Tile& out,
                    bool antialias) {
  const IRect s = src.rect;
  // For p' = H p / w the area scale is det(H) / w^3: source units per output pixel
  // is its square root, which sets the width of the antialiased edge.
  const double det = h[0] * (h[4] * h[8] - h[5] * h[7]) - h[1] * (h[3] * h[8] - h[5] * h[6]) +
                     h[2] * (h[3] * h[7] - h[4] * h[6]);
  const float absDet = static_cast<float>(std::abs(det));
  const float f[9] = {float(h[0]), float(h[1]), float(h[2]), float(h[3]), float(h[4]),
                      float(h[5]), float(h[6]), float(h[7]), float(h[8])};
  const float left = float(s.x), right = float(s.maxX()), bottomEdge = float(s.y), topEdge = float(s.maxY());
  if (antialias) {
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
    return;
  }
  pool.parallelFor(outRect.height, [&](int k0, int k1) {
    for (int k = k0; k < k1; ++k) {
      const int yi = outRect.maxY() - 1 - k;
      uint32_t* o = out.pixel(outRect.x, yi);
      const float y = static_cast<float>(yi) + 0.5f;
      const float cx = f[1] * y + f[2], cy = f[4] * y + f[5], cw = f[7] * y + f[8];
      for (int i = 0; i < outRect.width; ++i) {
        const float x = static_cast<float>(outRect.x + i) + 0.5f;
        const float w = f[6] * x + cw;
        if (!(w > 1e-6f)) continue;
        const float inv = 1.f / w;
        float sx = (f[0] * x + cx) * inv, sy = (f[3] * x + cy) * inv;
        uint32_t coverage = 256;
        if (antialias) {
          const float unit = std::sqrt(std::max(absDet * inv * inv * inv, 1e-12f));
          const float inside = std::min(std::min(sx - left, right - sx), std::min(sy - bottomEdge, topEdge - sy));
          const float c = std::clamp(inside / unit + 0.5f, 0.f, 1.f);
          if (!(c > 0.f)) continue;
          coverage = static_cast<uint32_t>(c * 256.f + 0.5f);
          sx = std::clamp(sx, left + 0.5f, right - 0.5f);
          sy = std::clamp(sy, bottomEdge + 0.5f, topEdge - 0.5f);
        }
        uint32_t v = bilinearFixed(src, sx - 0.5f - left, topEdge - sy - 0.5f);
        if (coverage < 256) {
          uint32_t scaled = 0;
          for (int c = 0; c < 32; c += 8) scaled |= ((((v >> c) & 255) * coverage + 128) >> 8) << c;
          v = scaled;
        }
        o[i] = v;
      }
    }
  });
}

namespace {

void transpose(const PixelBuffer& in, PixelBuffer& out, ThreadPool& pool) {
  // out(x, y) = in(y, x); out is in.height x in.width.
  pool.parallelFor((in.width() + 15) / 16, [&](int b0, int b1) {
    for (int bx = b0 * 16; bx < std::min(b1 * 16, in.width()); bx += 16)
      for (int by = 0; by < in.height(); by += 16)
        for (int x = bx; x < std::min(bx + 16, in.width()); ++x) {
          uint32_t* o = out.pixelRow(x);
          for (int y = by; y < std::min(by + 16, in.height()); ++y) o[y] = in.pixelRow(y)[x];
        }
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

void applyColorMatrixRow(uint32_t* row, int n, const ColorMatrix& m) {
  for (int i = 0; i < n; ++i) {
    const uint32_t p = row[i];
    const double a = ((p >> 24) & 255) / 255.0;
    double in[4] = {0, 0, 0, a};
    if (a > 0) {
      in[0] = ((p >> 16) & 255) / 255.0 / a;
      in[1] = ((p >> 8) & 255) / 255.0 / a;
      in[2] = (p & 255) / 255.0 / a;
    }
    auto dot = [&](const double v[4], double bias) {
      return std::clamp(v[0] * in[0] + v[1] * in[1] + v[2] * in[2] + v[3] * in[3] + bias, 0.0, 1.0);
    };
    const double r = dot(m.r, m.bias[0]), g = dot(m.g, m.bias[1]), b = dot(m.b, m.bias[2]), al = dot(m.a, m.bias[3]);
    row[i] = Color{r, g, b, al}.premultipliedBGRA();
  }
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
