// Direct 3x3 convolution (stride 1, zero padding 1) over a range of
// (image, output channel) planes.
#include "core/foundation/simd.h"

#include <algorithm>
#include <cstring>
#include <vector>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/foundation/simd_conv3x3.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace le {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

// Zero-padded copy of one image: cin planes of h rows, each row_width wide
// with the data from column 1; every other column reads 0.
std::vector<float>& ScratchImage() {
  thread_local std::vector<float> scratch;
  return scratch;
}

void PadImage(const float* HWY_RESTRICT img, int cin, int h, int w, size_t rowWidth, float* HWY_RESTRICT pad) {
  std::fill(pad, pad + static_cast<size_t>(cin) * h * rowWidth, 0.0f);
  for (int ci = 0; ci < cin; ++ci) {
    for (int y = 0; y < h; ++y) {
      std::memcpy(pad + (static_cast<size_t>(ci) * h + y) * rowWidth + 1,
                  img + (static_cast<size_t>(ci) * h + y) * w, sizeof(float) * w);
    }
  }
}

// Output columns x .. x + lanes - 1 of row y for kChannels consecutive output
// channels, sharing every input read. Per pixel the sum runs over in-image
// kernel rows, then kernel columns, then input channels.
template <int kChannels, class D>
HWY_INLINE void ConvColumns(D d, const float* HWY_RESTRICT pad, int cin, int h, int w, size_t rowWidth,
                            const float* HWY_RESTRICT weight, const float* HWY_RESTRICT bias, int co,
                            float* HWY_RESTRICT out, size_t planeSize, int y, int x) {
  auto acc0 = hn::Zero(d);
  auto acc1 = hn::Zero(d);
  auto acc2 = hn::Zero(d);
  auto acc3 = hn::Zero(d);
  const size_t wStride = static_cast<size_t>(cin) * 9;
  const float* w0 = weight + static_cast<size_t>(co) * wStride;
  for (int ky = 0; ky < 3; ++ky) {
    const int iy = y + ky - 1;
    if (iy < 0 || iy >= h) continue;  // rows outside are skipped, not added as zeros
    for (int kx = 0; kx < 3; ++kx) {
      const float* col = pad + static_cast<size_t>(iy) * rowWidth + static_cast<size_t>(x + kx);
      for (int ci = 0; ci < cin; ++ci) {
        const auto in = hn::LoadU(d, col + static_cast<size_t>(ci) * h * rowWidth);
        const size_t tap = static_cast<size_t>(ci) * 9 + ky * 3 + kx;
        acc0 = hn::Add(acc0, hn::Mul(hn::Set(d, w0[tap]), in));
        if (kChannels > 1) {
          acc1 = hn::Add(acc1, hn::Mul(hn::Set(d, w0[wStride + tap]), in));
          acc2 = hn::Add(acc2, hn::Mul(hn::Set(d, w0[2 * wStride + tap]), in));
          acc3 = hn::Add(acc3, hn::Mul(hn::Set(d, w0[3 * wStride + tap]), in));
        }
      }
    }
  }
  const size_t lanes = hn::Lanes(d);
  const size_t valid = std::min(lanes, static_cast<size_t>(w - x));
  const size_t at = static_cast<size_t>(y) * w + x;
  auto put = [&](int c, decltype(acc0) acc) {
    const auto v = hn::Add(hn::Set(d, bias[co + c]), acc);
    float* dst = out + static_cast<size_t>(c) * planeSize + at;
    if (valid == lanes) {
      hn::StoreU(v, d, dst);
    } else {
      HWY_ALIGN float tmp[hn::MaxLanes(d)];
      hn::Store(v, d, tmp);
      std::memcpy(dst, tmp, valid * sizeof(float));
    }
  };
  put(0, acc0);
  if (kChannels > 1) {
    put(1, acc1);
    put(2, acc2);
    put(3, acc3);
  }
}

}  // namespace

void Conv3x3Range(const float* HWY_RESTRICT in, int /*batch*/, int cin, int h, int w,
                  const float* HWY_RESTRICT weight, const float* HWY_RESTRICT bias, int cout,
                  float* HWY_RESTRICT out, int begin, int end) {
  if (begin >= end || h <= 0 || w <= 0 || cout <= 0) return;
  const hn::CappedTag<float, 16> d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  const size_t rowWidth = static_cast<size_t>((w + 15) / 16) * 16 + 2;
  const size_t planeSize = static_cast<size_t>(h) * w;
  const size_t imageSize = static_cast<size_t>(cin) * planeSize;
  std::vector<float>& scratch = ScratchImage();
  const size_t need = static_cast<size_t>(cin) * h * rowWidth;
  if (scratch.size() < need) scratch.resize(need);
  float* pad = scratch.data();

  int padded = -1;
  for (int k = begin; k < end;) {
    const int n = k / cout;
    const int co = k % cout;
    if (n != padded) {
      PadImage(in + static_cast<size_t>(n) * imageSize, cin, h, w, rowWidth, pad);
      padded = n;
    }
    float* dst = out + static_cast<size_t>(k) * planeSize;
    const bool four = co + 4 <= cout && k + 4 <= end;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; x += lanes) {
        if (four) {
          ConvColumns<4>(d, pad, cin, h, w, rowWidth, weight, bias, co, dst, planeSize, y, x);
        } else {
          ConvColumns<1>(d, pad, cin, h, w, rowWidth, weight, bias, co, dst, planeSize, y, x);
        }
      }
    }
    k += four ? 4 : 1;
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {
namespace simd {

HWY_EXPORT(Conv3x3Range);

void conv3x3Range(const float* in, int batch, int cin, int h, int w, const float* weight, const float* bias,
                  int cout, float* out, int begin, int end) {
  HWY_DYNAMIC_DISPATCH(Conv3x3Range)(in, batch, cin, h, w, weight, bias, cout, out, begin, end);
}

}  // namespace simd
}  // namespace le
#endif  // HWY_ONCE
