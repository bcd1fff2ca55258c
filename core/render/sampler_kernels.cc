#include "core/render/sampler_kernels.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace le {

namespace {

// Pixel coordinate of a grid value (align_corners 0), bounded so that the
// integer conversion below stays defined for wild grids: beyond [-1, size]
// both taps sit on the border anyway, so the sample does not change.
inline float toPixel(float g, int64_t size) {
  const float x = ((g + 1.f) * static_cast<float>(size) - 1.f) / 2.f;
  if (!(x >= -1.f)) return -1.f;  // also catches NaN
  if (x > static_cast<float>(size)) return static_cast<float>(size);
  return x;
}

inline int64_t clampi(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

}  // namespace

void gridsample_fast_band(const float* src, const float* grid, float* out, int64_t C, int64_t H, int64_t W,
                          int64_t row0, int64_t row1) {
  // Taps and weights for a run of pixels are computed once, then each channel
  // plane is swept over that run: reads stay near each other and writes
  // contiguous, however many channels the tip carries.
  constexpr int64_t kRun = 128;
  int64_t i00[kRun], i01[kRun], i10[kRun], i11[kRun];
  float fxs[kRun], fys[kRun];
  const int64_t end = std::min(row1, H);
  const int64_t plane = H * W;
  for (int64_t oy = std::max<int64_t>(row0, 0); oy < end; ++oy) {
    for (int64_t ox0 = 0; ox0 < W; ox0 += kRun) {
      const int64_t n = std::min(kRun, W - ox0);
      const float* g = grid + (oy * W + ox0) * 2;
      for (int64_t k = 0; k < n; ++k) {
        const float x = toPixel(g[2 * k], W);
        const float y = toPixel(g[2 * k + 1], H);
        const float xf = std::floor(x), yf = std::floor(y);
        fxs[k] = x - xf;
        fys[k] = y - yf;
        const int64_t x0 = static_cast<int64_t>(xf), y0 = static_cast<int64_t>(yf);
        const int64_t xa = clampi(x0, 0, W - 1), xb = clampi(x0 + 1, 0, W - 1);
        const int64_t ya = clampi(y0, 0, H - 1), yb = clampi(y0 + 1, 0, H - 1);
        i00[k] = ya * W + xa;
        i01[k] = ya * W + xb;
        i10[k] = yb * W + xa;
        i11[k] = yb * W + xb;
      }
      const float* s = src;
      float* d = out + oy * W + ox0;
      // The bilinear blend in interpolation form: the same value to
      // round-off, and exact wherever the taps agree (borders, 1x1 images).
      for (int64_t c = 0; c < C; ++c, s += plane, d += plane) {
        for (int64_t k = 0; k < n; ++k) {
          const float top = s[i00[k]] + fxs[k] * (s[i01[k]] - s[i00[k]]);
          const float bot = s[i10[k]] + fxs[k] * (s[i11[k]] - s[i10[k]]);
          d[k] = top + fys[k] * (bot - top);
        }
      }
    }
  }
}

void gridsample_fast(const float* src, const float* grid, float* out, int64_t C, int64_t H, int64_t W) {
  gridsample_fast_band(src, grid, out, C, H, W, 0, H);
}

namespace {

// Centre value and second differences at (r, q) with edge-clamped indices.
struct Quad {
  float c, dxx, dyy, dxxyy;
};

inline Quad quadAt(const float* s, int64_t W, int64_t H, int64_t r, int64_t q) {
  const int64_t rm = r > 0 ? r - 1 : 0, rp = r + 1 < H ? r + 1 : H - 1;
  const int64_t qm = q > 0 ? q - 1 : 0, qp = q + 1 < W ? q + 1 : W - 1;
  const float* up = s + rm * W;
  const float* mid = s + r * W;
  const float* dn = s + rp * W;
  const float c = mid[q];
  const float dyyL = up[qm] - 2.f * mid[qm] + dn[qm];
  const float dyyC = up[q] - 2.f * c + dn[q];
  const float dyyR = up[qp] - 2.f * mid[qp] + dn[qp];
  return Quad{c, mid[qm] - 2.f * c + mid[qp], dyyC, dyyL - 2.f * dyyC + dyyR};
}

}  // namespace

void warpDirectorBand(const float* src, const float* grid, float* out, int64_t W, int64_t H, int64_t row0,
                      int64_t row1) {
  const int64_t end = std::min(row1, H);
  const int64_t plane = H * W;
  const float wmax = static_cast<float>(W - 1), hmax = static_cast<float>(H - 1);
  for (int64_t oy = std::max<int64_t>(row0, 0); oy < end; ++oy) {
    const float* g = grid + oy * W * 2;
    for (int64_t ox = 0; ox < W; ++ox) {
      const float x = ((g[2 * ox] + 1.f) * static_cast<float>(W) - 1.f) / 2.f;
      const float y = ((g[2 * ox + 1] + 1.f) * static_cast<float>(H) - 1.f) / 2.f;
      // The correction's weights come from the unclamped fractions ...
      const float ux = x - std::floor(x), uy = y - std::floor(y);
      const float hx = ux * (1.f - ux) / 2.f, hy = uy * (1.f - uy) / 2.f;
      // ... the taps from the coordinate clamped to the image.
      const float xc = x >= 0.f ? std::min(x, wmax) : 0.f;  // NaN lands on 0 too
      const float yc = y >= 0.f ? std::min(y, hmax) : 0.f;
      const float xf = std::floor(xc), yf = std::floor(yc);
      const float fx = xc - xf, fy = yc - yf;
      const int64_t xa = static_cast<int64_t>(xf), ya = static_cast<int64_t>(yf);
      const int64_t xb = std::min(xa + 1, W - 1), yb = std::min(ya + 1, H - 1);
      const float w00 = (1.f - fx) * (1.f - fy), w01 = fx * (1.f - fy);
      const float w10 = (1.f - fx) * fy, w11 = fx * fy;
      const float hxy = hx * hy;
      for (int ch = 0; ch < 3; ++ch) {
        const float* s = src + ch * plane;
        const Quad a = quadAt(s, W, H, ya, xa), b = quadAt(s, W, H, ya, xb);
        const Quad c = quadAt(s, W, H, yb, xa), d = quadAt(s, W, H, yb, xb);
        const float bc = w00 * a.c + w01 * b.c + w10 * c.c + w11 * d.c;
        const float bxx = w00 * a.dxx + w01 * b.dxx + w10 * c.dxx + w11 * d.dxx;
        const float byy = w00 * a.dyy + w01 * b.dyy + w10 * c.dyy + w11 * d.dyy;
        const float bxxyy = w00 * a.dxxyy + w01 * b.dxxyy + w10 * c.dxxyy + w11 * d.dxxyy;
        out[ch * plane + oy * W + ox] = bc - hx * bxx - hy * byy + hxy * bxxyy;
      }
    }
  }
}

void warpDirector(const float* src, const float* grid, float* out, int64_t W, int64_t H) {
  warpDirectorBand(src, grid, out, W, H, 0, H);
}

void checkWarpDirectorChannels(int64_t C) {
  if (C != 3)
    throw std::runtime_error(
        "com.mirelund::WarpDirector: this node warps the director's 3-channel source and the graph handed "
        "it C=" +
        std::to_string(C) + ". REFUSING rather than writing a frame nobody asked for.");
}

}  // namespace le
