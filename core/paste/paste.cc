#include "core/paste/paste.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/foundation/pool.h"
#include "core/foundation/simd.h"
#include "core/paste/paste_tables.h"
#include "core/telemetry/telemetry.h"

namespace le {
namespace {

// Rows and flattened ranges are handed to the pool in slices of at least
// this many items.
constexpr std::uint64_t kGrain = 64;
// The vertical pass keeps one output row in a fixed buffer.
constexpr int kMaxSide = 1024;
// Widest Gaussian accepted: anything wider than twice the largest side only
// blurs reflections of reflections, and the padded buffers grow with it.
constexpr int kMaxKsize = 2 * kMaxSide + 1;
// Fixed-point coordinates (1/1024 pixel) are added as ints in the row
// kernels; each term stays within this bound so that the sum cannot overflow.
constexpr double kFixedLimit = double((1 << 30) - 64);

// The Lanczos footprint reaches 4 crop pixels past the crop on each side.
constexpr float kFootprintMargin = 4.0f;

// Mirror index about the edge pixels (edge not repeated); reflects as often
// as needed, so a kernel wider than the plane stays inside it.
int mirror(int k, int side) {
  if (side == 1) return 0;
  const int period = 2 * side - 2;
  k = std::abs(k) % period;
  return k < side ? k : period - k;
}

// Clamp to 0..255; NaN becomes 0 so that no later float-to-byte conversion
// sees it.
inline float clamp255(float v) { return v > 0.0f ? (v < 255.0f ? v : 255.0f) : 0.0f; }

inline std::uint8_t toByte(float v) { return static_cast<std::uint8_t>(clamp255(v)); }

// Base-10 integer value of an environment variable, leading part as strtol
// reads it; false when unset or without digits.
bool envInt(const char* name, long* out) {
  const char* text = std::getenv(name);
  if (!text) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE) return false;
  *out = v;
  return true;
}

inline int fixedPoint(double v) {
  return static_cast<int>(std::rint(std::clamp(v, -kFixedLimit, kFixedLimit)));
}

// out[j] = sum over taps t, in order from 0, of g[t] * src[t * stride + j],
// for j in [0, n). The outputs are worked on in register-sized chunks with
// the taps innermost; every output still sees the same operations in the
// same order, so the chunking never changes a bit.
constexpr int kChunk = 16;

inline void weightedChunk(const float* src, size_t stride, const float* g, int taps, float* out, int n) {
  float acc[kChunk];
  for (int j = 0; j < kChunk; ++j) acc[j] = 0.0f;
  for (int t = 0; t < taps; ++t) {
    const float gt = g[t];
    const float* s = src + t * stride;
    if (n == kChunk) {
      for (int j = 0; j < kChunk; ++j) acc[j] = acc[j] + gt * s[j];
    } else {
      for (int j = 0; j < n; ++j) acc[j] = acc[j] + gt * s[j];
    }
  }
  for (int j = 0; j < n; ++j) out[j] = acc[j];
}

// Wider vectors where the CPU has them; the arithmetic is element-wise and
// unfused, so each clone gives the same bits. Not under ThreadSanitizer: its
// runtime is not up yet when the clone resolver runs at load time.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("default", "avx2")))
#endif
void weightedSum(const float* src, size_t stride, const float* g, int taps, float* out, size_t n) {
  size_t j = 0;
  for (; j + kChunk <= n; j += kChunk) weightedChunk(src + j, stride, g, taps, out + j, kChunk);
  if (j < n) weightedChunk(src + j, stride, g, taps, out + j, int(n - j));
}

std::once_flag gExecutorLineOnce;

// Everything a row of the tail needs, handed to the pool by reference so that
// the pool's callable stays small enough not to allocate.
struct TailArgs {
  std::uint8_t* frame;
  int w, x0, x1, y0;
  double ru, rv, ou, ov;
};

inline int rowBaseX(const TailArgs& a, int y) {
  // Half a phase (1024 / 32 / 2 = 16 units) makes truncation to a phase round.
  return fixedPoint((y * a.ru + a.ou) * 1024.0) + 16;
}
inline int rowBaseY(const TailArgs& a, int y) {
  return fixedPoint((y * a.rv + a.ov) * 1024.0) + 16;
}

// Mask alpha at fixed-point position (ix, px; iy, py): the bilinearly sampled
// mask rounded to a whole level, over 255. Samples outside the crop are 0.
inline float maskAlpha(const std::uint8_t* mask, int s, const float* bilinear, int ix, int iy, int px,
                       int py) {
  auto m = [&](int r, int c) -> float {
    return (r >= 0 && r < s && c >= 0 && c < s) ? float(mask[size_t(r) * s + c]) : 0.0f;
  };
  const float bx0 = bilinear[2 * px], bx1 = bilinear[2 * px + 1];
  const float by0 = bilinear[2 * py], by1 = bilinear[2 * py + 1];
  const float row0 = bx1 * m(iy, ix + 1) + bx0 * m(iy, ix);
  const float row1 = bx1 * m(iy + 1, ix + 1) + bx0 * m(iy + 1, ix);
  const float a8 = row1 * by1 + row0 * by0;
  return float(std::nearbyint(a8)) / 255.0f;
}

// The scalar samplers of the fast modes: 1 bicubic, 2 bilinear. Same source
// positions, border test and mask alpha as the Lanczos kernel.
template <int kMode>
void blendRowScalar(const float* planes, int s, const std::uint8_t* mask, const float* bilinear,
                    const float* bicubic, const int* xs, const int* ys, int ax, int ay, int x0, int x1,
                    std::uint8_t* row) {
  const size_t plane = size_t(s) * s;
  for (int x = x0; x <= x1; ++x) {
    const int k = x - x0;
    const int sx = ax + xs[k], sy = ay + ys[k];
    const int ix = sx >> 10, iy = sy >> 10;
    if (!(sx >= -1024 && ix < s && sy >= -1024 && iy < s)) continue;
    const int px = (sx & 1023) >> 5, py = (sy & 1023) >> 5;
    const float alpha = maskAlpha(mask, s, bilinear, ix, iy, px, py);
    if (alpha <= 0.0f) continue;
    const float keep = 1.0f - alpha;
    std::uint8_t* out = row + 3 * size_t(x);
    for (int c = 0; c < 3; ++c) {
      const float* p = planes + c * plane;
      const float dst = float(out[c]);
      if (kMode == 1) {
        const float* wx = bicubic + 4 * px;
        const float* wy = bicubic + 4 * py;
        float sum = 0.0f;
        for (int t = 0; t < 4; ++t) {
          const int r = iy - 1 + t;
          if (r < 0 || r >= s) continue;
          float rowSum = 0.0f;
          for (int q = 0; q < 4; ++q) {
            const int col = ix - 1 + q;
            if (col < 0 || col >= s) continue;
            rowSum = rowSum + p[size_t(r) * s + col] * wx[q];
          }
          sum = sum + rowSum * wy[t];
        }
        out[c] = toByte(dst * keep + alpha * sum);
      } else {
        auto at = [&](int r, int col) -> float {
          return (r >= 0 && r < s && col >= 0 && col < s) ? p[size_t(r) * s + col] : 0.0f;
        };
        const float bx0 = bilinear[2 * px], bx1 = bilinear[2 * px + 1];
        const float by0 = bilinear[2 * py], by1 = bilinear[2 * py + 1];
        const float value = (bx0 * at(iy, ix) + bx1 * at(iy, ix + 1)) * by0 +
                            (bx0 * at(iy + 1, ix) + bx1 * at(iy + 1, ix + 1)) * by1;
        out[c] = toByte(value * alpha + dst * keep);
      }
    }
  }
}

}  // namespace

Paste::Paste(std::vector<std::uint8_t> mask, int side, const Unsharp& unsharp)
    : side_(side), ksize_(unsharp.ksize), padded_(0), amount_(unsharp.amount) {
  if (side < 1)
    throw std::runtime_error("paste: crop side " + std::to_string(side) + " is not positive.");
  const size_t need = size_t(side) * size_t(side);
  if (mask.size() != need)
    throw std::runtime_error("paste: mask size: the mask holds " + std::to_string(mask.size()) +
                             " bytes but a crop side of " + std::to_string(side) + " needs " +
                             std::to_string(need) + ".");
  if (ksize_ % 2 == 0)
    throw std::runtime_error("paste: ksize must be odd: the unsharp ksize is " + std::to_string(ksize_) +
                             ".");
  if (ksize_ < 1 || ksize_ > kMaxKsize)
    throw std::runtime_error("paste: the unsharp ksize " + std::to_string(ksize_) +
                             " is out of range; expected an odd width from 1 to " +
                             std::to_string(kMaxKsize) + ".");
  if (!std::isfinite(unsharp.amount) || !std::isfinite(unsharp.sigma))
    throw std::runtime_error("paste: the unsharp amount (" + std::to_string(unsharp.amount) +
                             ") and sigma (" + std::to_string(unsharp.sigma) +
                             ") must be finite numbers.");
  mask_ = std::move(mask);

  long v = 0;
  if (envInt("LE_PASTE_FAST", &v) && (v == 1 || v == 2)) fast_ = int(v);
  if (envInt("LE_PASTE_KSIZE", &v) && v > 2 && v % 2 == 1 && v <= ksize_) ksize_ = int(v);
  padded_ = side_ + ksize_ - 1;

  gauss_ = paste::gaussianKernel(unsharp.sigma, ksize_);
  lanczos_ = paste::lanczos8Table();
  bilinear_ = paste::bilinearTable();
  bicubic_ = paste::bicubicTable();
  planes_.assign(3 * need, 0.0f);
  // The horizontal pass never writes the last ksize - 1 entries; they stay 0.
  pad_.assign(size_t(padded_) * padded_, 0.0f);
  hblur_.assign(size_t(padded_) * padded_, 0.0f);
  rgba_.assign(4 * need, 0.0f);
}

void Paste::composite(const float* planes, float scale, const float* m, std::uint8_t* frame, int w,
                      int h) {
  static telemetry::Counter& pasted = telemetry::counter("paste.frames");
  static telemetry::Value& ms = telemetry::value("paste.ms");
  const telemetry::ScopedMs timer(ms);
  pasted.add();
  const float a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5];
  const double det = double(a) * double(e) - double(b) * double(d);
  if (det == 0.0 || !std::isfinite(det)) return;

  // Footprint of the crop plus the Lanczos margin, in single precision.
  const float lo = -kFootprintMargin, hi = float(side_) - 1.0f + kFootprintMargin;
  float minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
  for (float u : {lo, hi}) {
    for (float v : {lo, hi}) {
      const float X = (v * b + u * a) + c;
      const float Y = (v * e + u * d) + f;
      minX = std::min(minX, X);
      maxX = std::max(maxX, X);
      minY = std::min(minY, Y);
      maxY = std::max(maxY, Y);
    }
  }
  if (!std::isfinite(minX) || !std::isfinite(maxX) || !std::isfinite(minY) || !std::isfinite(maxY)) return;
  const float fx0 = std::max(0.0f, std::floor(minX)), fx1 = std::min(float(w) - 1.0f, std::ceil(maxX));
  const float fy0 = std::max(0.0f, std::floor(minY)), fy1 = std::min(float(h) - 1.0f, std::ceil(maxY));
  if (fx0 > fx1 || fy0 > fy1) return;
  const int x0 = int(fx0), x1 = int(fx1), y0 = int(fy0), y1 = int(fy1);

  // Inverse map, frame pixel -> crop pixel, in double precision.
  const double inv = 1.0 / det;
  const double cu = e * inv, cv = -d * inv;
  const double ru = -b * inv, rv = a * inv;
  const double ou = -(c * cu + f * ru), ov = -(c * cv + f * rv);
  if (!std::isfinite(inv) || !std::isfinite(ou) || !std::isfinite(ov)) return;

  // A map so close to singular that the fixed-point coordinates would not fit
  // in an int is treated like a singular one.
  auto fits = [](double v) { return std::fabs(v) <= kFixedLimit; };
  for (int y : {y0, y1}) {
    if (!fits((y * ru + ou) * 1024.0) || !fits((y * rv + ov) * 1024.0)) return;
  }
  const size_t cols = size_t(x1 - x0) + 1;
  if (xs_.size() < cols) {
    xs_.resize(cols);
    ys_.resize(cols);
  }
  for (int X = x0; X <= x1; ++X) {
    const double vx = X * cu * 1024.0, vy = X * cv * 1024.0;
    if (!fits(vx) || !fits(vy)) return;
    xs_[X - x0] = int(std::rint(vx));
    ys_[X - x0] = int(std::rint(vy));
  }

  std::call_once(gExecutorLineOnce, [&] {
    std::fprintf(stderr, "[le-paste] executor=%s (side=%d, ksize=%d, threads=%d) \xE2\x80\x94 1080p frame\n",
                 "cpu", side_, ksize_, pool::threads());
  });

  fillPlanes(planes, scale);
  for (int ch = 0; ch < 3; ++ch) unsharpPlane(plane(ch));
  compositeTail(frame, w, x0, x1, y0, y1, ru, rv, ou, ov);
}

void Paste::fillPlanes(const float* planes, float scale) {
  const size_t n = 3 * size_t(side_) * side_;
  float* __restrict dst = planes_.data();
  for (size_t i = 0; i < n; ++i) dst[i] = planes[i] * scale;
}

void Paste::unsharpPlane(float* plane) {
  const int S = side_, P = padded_, K = ksize_;

  // 1. Reflected border.
  pool::parallelRange(std::uint64_t(P), kGrain, [this, plane](std::uint64_t begin, std::uint64_t end) {
    const int S = side_, P = padded_, r = ksize_ / 2;
    for (int i = int(begin); i < int(end); ++i) {
      const float* src = plane + size_t(mirror(i - r, S)) * S;
      float* dst = pad_.data() + size_t(i) * P;
      for (int j = 0; j < r; ++j) dst[j] = src[mirror(j - r, S)];
      std::memcpy(dst + r, src, sizeof(float) * S);
      for (int j = r + S; j < P; ++j) dst[j] = src[mirror(j - r, S)];
    }
  });

  // 2. Horizontal blur over the flattened padded plane; entries whose window
  // wraps into the next row land in columns >= S and are never read.
  const std::uint64_t flat = std::uint64_t(P) * P - K + 1;
  pool::parallelRange(flat, kGrain, [this](std::uint64_t begin, std::uint64_t end) {
    weightedSum(pad_.data() + begin, 1, gauss_.data(), ksize_, hblur_.data() + begin, size_t(end - begin));
  });

  // 3. Nothing outside the scratch buffers has been touched yet.
  if (S > kMaxSide)
    throw std::runtime_error("paste: side > 1024: the crop side " + std::to_string(S) +
                             " is wider than the sharpening row buffer.");

  // 4. Vertical blur and the unsharp mask itself.
  pool::parallelRange(std::uint64_t(S), kGrain, [this, plane](std::uint64_t begin, std::uint64_t end) {
    const int S = side_, P = padded_, K = ksize_;
    const float amount = amount_;
    const float gain = amount + 1.0f;
    const float* g = gauss_.data();
    float row[kMaxSide];
    for (int y = int(begin); y < int(end); ++y) {
      weightedSum(hblur_.data() + size_t(y) * P, size_t(P), g, K, row, size_t(S));
      float* __restrict out = plane + size_t(y) * S;
      for (int x = 0; x < S; ++x) out[x] = clamp255(out[x] * gain - row[x] * amount);
    }
  });
}

void Paste::compositeTail(std::uint8_t* frame, int w, int x0, int x1, int y0, int y1, double ru,
                          double rv, double ou, double ov) {
  if (x1 < x0 || y1 < y0) return;
  if (fast_ == 0)
    tailLanczos(frame, w, x0, x1, y0, y1, ru, rv, ou, ov);
  else
    tailScalar(frame, w, x0, x1, y0, y1, ru, rv, ou, ov);
}

void Paste::tailLanczos(std::uint8_t* frame, int w, int x0, int x1, int y0, int y1, double ru, double rv,
                        double ou, double ov) {
  pool::parallelRange(std::uint64_t(side_), kGrain, [this](std::uint64_t begin, std::uint64_t end) {
    const size_t n = size_t(side_) * side_;
    const float* R = planes_.data();
    const float* G = R + n;
    const float* B = G + n;
    float* __restrict out = rgba_.data();
    for (size_t i = begin * side_; i < end * size_t(side_); ++i) {
      out[4 * i] = R[i];
      out[4 * i + 1] = G[i];
      out[4 * i + 2] = B[i];
      out[4 * i + 3] = 0.0f;
    }
  });

  const TailArgs args{frame, w, x0, x1, y0, ru, rv, ou, ov};
  pool::parallelRange(std::uint64_t(y1 - y0) + 1, kGrain,
                      [this, &args](std::uint64_t begin, std::uint64_t end) {
                        for (int y = args.y0 + int(begin); y < args.y0 + int(end); ++y) {
                          simd::pasteLanczos8Row(rgba_.data(), side_, mask_.data(), lanczos_.data(),
                                                 bilinear_.data(), xs_.data(), ys_.data(),
                                                 rowBaseX(args, y), rowBaseY(args, y), args.x0, args.x1,
                                                 args.frame + size_t(y) * 3 * size_t(args.w));
                        }
                      });
}

void Paste::tailScalar(std::uint8_t* frame, int w, int x0, int x1, int y0, int y1, double ru, double rv,
                       double ou, double ov) {
  const TailArgs args{frame, w, x0, x1, y0, ru, rv, ou, ov};
  pool::parallelRange(std::uint64_t(y1 - y0) + 1, kGrain,
                      [this, &args](std::uint64_t begin, std::uint64_t end) {
                        auto row = fast_ == 1 ? &blendRowScalar<1> : &blendRowScalar<2>;
                        for (int y = args.y0 + int(begin); y < args.y0 + int(end); ++y) {
                          row(planes_.data(), side_, mask_.data(), bilinear_.data(), bicubic_.data(),
                              xs_.data(), ys_.data(), rowBaseX(args, y), rowBaseY(args, y), args.x0,
                              args.x1, args.frame + size_t(y) * 3 * size_t(args.w));
                        }
                      });
}

}  // namespace le
