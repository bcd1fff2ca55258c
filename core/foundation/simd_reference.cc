#include "core/foundation/simd_reference.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace le::simd::reference {

std::uint16_t halfBits(float x) {
  std::uint32_t f;
  std::memcpy(&f, &x, sizeof f);
  const std::uint32_t sign = (f >> 16) & 0x8000u;
  const std::uint32_t mag = f & 0x7FFFFFFFu;
  if (mag > 0x7F800000u) return static_cast<std::uint16_t>(sign | 0x7E00u | ((mag >> 13) & 0x3FFu));
  // 65520 is the tie between 65504 and 2^16; it and everything above round
  // to infinity.
  if (mag >= 0x477FF000u) return static_cast<std::uint16_t>(sign | 0x7C00u);
  if (mag < 0x38800000u) {
    // Below the smallest normal half: count units of 2^-24.
    if (mag <= 0x33000000u) return static_cast<std::uint16_t>(sign);  // <= 2^-25
    const std::uint32_t e = mag >> 23;
    const std::uint32_t m = (mag & 0x7FFFFFu) | 0x800000u;
    const std::uint32_t shift = 126u - e;
    std::uint32_t q = m >> shift;
    const std::uint32_t rem = m & ((1u << shift) - 1u);
    const std::uint32_t halfway = 1u << (shift - 1u);
    if (rem > halfway || (rem == halfway && (q & 1u))) ++q;
    return static_cast<std::uint16_t>(sign | q);
  }
  const std::uint32_t r = mag - 0x38000000u;  // rebias the exponent 127 -> 15
  std::uint32_t q = r >> 13;
  const std::uint32_t rem = r & 0x1FFFu;
  if (rem > 0x1000u || (rem == 0x1000u && (q & 1u))) ++q;  // may carry into the exponent
  return static_cast<std::uint16_t>(sign | q);
}

float halfValue(std::uint16_t h) {
  const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
  std::uint32_t e = (h >> 10) & 0x1Fu;
  std::uint32_t m = h & 0x3FFu;
  std::uint32_t bits;
  if (e == 0) {
    if (m == 0) {
      bits = sign;
    } else {
      e = 113;
      while (!(m & 0x400u)) {
        m <<= 1;
        --e;
      }
      bits = sign | (e << 23) | ((m & 0x3FFu) << 13);
    }
  } else if (e == 31) {
    bits = sign | 0x7F800000u | (m << 13);
  } else {
    bits = sign | ((e + 112u) << 23) | (m << 13);
  }
  float out;
  std::memcpy(&out, &bits, sizeof out);
  return out;
}

void f32ToF16(const float* src, std::uint16_t* dst, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = halfBits(src[i]);
}

void f16ToF32(const std::uint16_t* src, float* dst, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = halfValue(src[i]);
}

void roundF16Mul(const float* a, const float* b, float* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = b[i] * roundHalf(a[i]);
}

float pooledDifference(const std::uint16_t* a, const std::uint16_t* b,
                       std::size_t n, std::size_t j) {
  float d = 0.0f;
  for (std::size_t c = 0; c < 3; ++c) {
    d = d + std::fabs(roundHalf(halfValue(a[c * n + j]) - halfValue(b[c * n + j])));
  }
  return roundHalf(d / 3.0f);
}

float retrieveTermPooled(const std::uint16_t* a, const std::uint16_t* b,
                         const std::uint16_t* w, std::size_t n) {
  float sum = 0.0f;
  for (std::size_t j = 0; j < n; ++j) {
    sum = sum + roundHalf(halfValue(w[j]) * pooledDifference(a, b, n, j));
  }
  return sum;
}

float retrieveTermExactRange(const std::uint16_t* a, const std::uint16_t* b,
                             const float* w, std::size_t n, std::size_t begin,
                             std::size_t end) {
  float sum = 0.0f;
  for (std::size_t j = begin; j < end; ++j) {
    if (w[j] == 0.0f) continue;
    sum = sum + w[j] * pooledDifference(a, b, n, j);
  }
  return sum;
}

void retrieveBandRow(const std::uint16_t* q, std::size_t planeStride,
                     const std::uint8_t* s, const float* w, std::size_t n,
                     float* prod) {
  for (std::size_t k = 0; k < n; ++k) {
    float d = 0.0f;
    for (std::size_t c = 0; c < 3; ++c) {
      const float hs = roundHalf(static_cast<float>(s[3 * k + c]) / 255.0f);
      d = d + std::fabs(roundHalf(halfValue(q[c * planeStride + k]) - hs));
    }
    prod[k] = w[k] * roundHalf(d / 3.0f);
  }
}

void softmaxMax(float* mx, const float* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) mx[i] = std::max(mx[i], p[i]);
}

void softmaxShare(float* p, const float* sum, float even,
                  const std::uint8_t* rgb, float* acc, std::size_t accStride,
                  std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    p[i] = std::isfinite(sum[i]) && sum[i] > 0.0f ? p[i] / sum[i] : even;
    if (!rgb) continue;
    for (std::size_t c = 0; c < 3; ++c) {
      acc[c * accStride + i] = acc[c * accStride + i] + p[i] * (static_cast<float>(rgb[3 * i + c]) / 255.0f);
    }
  }
}

void rgb8ToPlanarF16(const std::uint8_t* rgb, std::uint16_t* dst,
                     std::size_t planeStride, std::size_t n) {
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::size_t i = 0; i < n; ++i) {
      dst[c * planeStride + i] = halfBits(static_cast<float>(rgb[3 * i + c]) / 255.0f);
    }
  }
}

void conv3x3Range(const float* in, int /*batch*/, int cin, int h, int w,
                  const float* weight, const float* bias, int cout, float* out,
                  int begin, int end) {
  const std::size_t plane = static_cast<std::size_t>(h) * static_cast<std::size_t>(w);
  for (int k = begin; k < end; ++k) {
    const int n = k / cout;
    const int co = k % cout;
    const float* img = in + static_cast<std::size_t>(n) * cin * plane;
    const float* wco = weight + static_cast<std::size_t>(co) * cin * 9;
    float* dst = out + static_cast<std::size_t>(k) * plane;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        float acc = 0.0f;
        for (int ky = 0; ky < 3; ++ky) {
          const int iy = y + ky - 1;
          if (iy < 0 || iy >= h) continue;
          for (int kx = 0; kx < 3; ++kx) {
            const int ix = x + kx - 1;
            for (int ci = 0; ci < cin; ++ci) {
              const float v = (ix < 0 || ix >= w) ? 0.0f : img[ci * plane + static_cast<std::size_t>(iy) * w + ix];
              acc = acc + wco[ci * 9 + ky * 3 + kx] * v;
            }
          }
        }
        dst[static_cast<std::size_t>(y) * w + x] = bias[co] + acc;
      }
    }
  }
}

namespace {
inline std::uint8_t clampByte(int v) {
  return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}
}  // namespace

void yuv420RowToRgb24(const std::uint8_t* y, const std::uint8_t* u,
                      const std::uint8_t* v, int width, int chromaStep,
                      std::uint8_t* rgb, int begin) {
  for (int i = begin; i < width; ++i) {
    const int k = chromaStep * (i / 2);
    const int c = 298 * (y[i] - 16) + 128;
    const int d = u[k] - 128;
    const int e = v[k] - 128;
    rgb[3 * i + 0] = clampByte((c + 409 * e) >> 8);
    rgb[3 * i + 1] = clampByte((c - 208 * e - 100 * d) >> 8);
    rgb[3 * i + 2] = clampByte((c + 516 * d) >> 8);
  }
}

float pasteAlpha(const std::uint8_t* mask, int s, const float* bilinear,
                 int sx, int sy) {
  const int ix = sx >> 10;
  const int iy = sy >> 10;
  if (!(sx >= -1024 && ix < s && sy >= -1024 && iy < s)) return 0.0f;
  const int px = (sx & 1023) >> 5;
  const int py = (sy & 1023) >> 5;
  auto m = [&](int r, int c) -> float {
    if (r < 0 || r >= s || c < 0 || c >= s) return 0.0f;
    return static_cast<float>(mask[r * s + c]);
  };
  const float bx0 = bilinear[2 * px], bx1 = bilinear[2 * px + 1];
  const float by0 = bilinear[2 * py], by1 = bilinear[2 * py + 1];
  const float row0 = bx1 * m(iy, ix + 1) + bx0 * m(iy, ix);
  const float row1 = bx1 * m(iy + 1, ix + 1) + bx0 * m(iy + 1, ix);
  const float a8 = row1 * by1 + row0 * by0;
  return static_cast<float>(std::nearbyint(a8)) / 255.0f;
}

void pasteResample(const float* src, int s, const float* lanczos, int sx,
                   int sy, float acc[3]) {
  const int ix = sx >> 10;
  const int iy = sy >> 10;
  const float* wx = lanczos + 8 * ((sx & 1023) >> 5);
  const float* wy = lanczos + 8 * ((sy & 1023) >> 5);
  for (int c = 0; c < 3; ++c) {
    float a = 0.0f;
    for (int t = 0; t < 8; ++t) {
      const int r = iy - 3 + t;
      if (r < 0 || r >= s) continue;
      const float* row = src + static_cast<std::size_t>(r) * s * 4;
      float rowSum = 0.0f;
      bool first = true;
      for (int q = 0; q < 8; ++q) {
        const int col = ix - 3 + q;
        if (col < 0 || col >= s) continue;
        const float p = row[col * 4 + c] * wx[q];
        rowSum = first ? p : rowSum + p;
        first = false;
      }
      a = a + rowSum * wy[t];
    }
    acc[c] = a;
  }
}

void pasteBlend(const float acc[3], float alpha, std::uint8_t* px) {
  const float keep = 1.0f - alpha;
  for (int c = 0; c < 3; ++c) {
    float o = static_cast<float>(px[c]) * keep + acc[c] * alpha;
    if (!(o > 0.0f)) o = 0.0f;  // also maps NaN to 0
    if (o > 255.0f) o = 255.0f;
    px[c] = static_cast<std::uint8_t>(o);
  }
}

void pasteLanczos8Row(const float* src, int s, const std::uint8_t* mask,
                      const float* lanczos, const float* bilinear,
                      const int* xs, const int* ys, int ax, int ay, int x0,
                      int x1, std::uint8_t* dstRow) {
  for (int x = x0; x <= x1; ++x) {
    const int k = x - x0;
    const int sx = ax + xs[k];
    const int sy = ay + ys[k];
    const float alpha = pasteAlpha(mask, s, bilinear, sx, sy);
    if (!(alpha > 0.0f)) continue;
    float acc[3];
    pasteResample(src, s, lanczos, sx, sy, acc);
    pasteBlend(acc, alpha, dstRow + 3 * static_cast<std::size_t>(x));
  }
}

}  // namespace le::simd::reference
