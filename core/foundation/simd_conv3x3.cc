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

size_t PaddedRowWidth(int w) { return static_cast<size_t>((w + 15) / 16) * 16 + 2; }

// Zero-padded copy of one image: cin planes of h rows, each row_width wide
// with the data from column 1; every other column reads 0.
std::vector<float>& ScratchImage() {
  thread_local std::vector<float> scratch;
  return scratch;
}

// Writes each padded row once: the zero column, the data, the zero tail.
void PadImage(const float* HWY_RESTRICT img, int cin, int h, int w, size_t rowWidth, float* HWY_RESTRICT pad) {
  const size_t rows = static_cast<size_t>(cin) * h;
  for (size_t r = 0; r < rows; ++r) {
    float* dst = pad + r * rowWidth;
    dst[0] = 0.0f;
    std::memcpy(dst + 1, img + r * w, sizeof(float) * w);
    std::fill(dst + 1 + w, dst + rowWidth, 0.0f);
  }
}

// out = max(v, 0) as std::max(v, 0.0f) gives it: a NaN stays NaN.
template <class D, class V>
HWY_INLINE V Relu(D d, V v) {
  return hn::IfThenElse(hn::Lt(v, hn::Zero(d)), hn::Zero(d), v);
}

// Output columns x .. x + kChunks * lanes - 1 of row y (chunks past the
// row's end are skipped) for kChannels consecutive output channels, sharing
// every input read. Per pixel the sum runs over in-image kernel rows, then
// kernel columns, then input channels. One output channel computes several
// column chunks at once so that its additions do not wait on one another.
template <int kChannels, int kChunks, bool kRelu, class D>
HWY_INLINE void ConvColumns(D d, const float* HWY_RESTRICT pad, int cin, int h, int w, size_t rowWidth,
                            const float* HWY_RESTRICT weight, const float* HWY_RESTRICT bias, int co,
                            float* HWY_RESTRICT out, size_t outPlane, size_t outRow, int y, int x) {
  static_assert(kChannels == 4 || kChannels == 1, "four channels, or one");
  static_assert(kChunks == 1 || (kChannels == 1 && kChunks == 4), "several chunks for one channel only");
  const size_t lanes = hn::Lanes(d);
  auto acc0 = hn::Zero(d);
  auto acc1 = hn::Zero(d);
  auto acc2 = hn::Zero(d);
  auto acc3 = hn::Zero(d);
  const size_t wStride = static_cast<size_t>(cin) * 9;
  const float* w0 = weight + static_cast<size_t>(co) * wStride;
  const size_t planeStride = static_cast<size_t>(h) * rowWidth;
  for (int ky = 0; ky < 3; ++ky) {
    const int iy = y + ky - 1;
    if (iy < 0 || iy >= h) continue;  // rows outside are skipped, not added as zeros
    for (int kx = 0; kx < 3; ++kx) {
      const float* col = pad + static_cast<size_t>(iy) * rowWidth + static_cast<size_t>(x + kx);
      for (int ci = 0; ci < cin; ++ci) {
        const float* src = col + static_cast<size_t>(ci) * planeStride;
        const size_t tap = static_cast<size_t>(ci) * 9 + ky * 3 + kx;
        const auto k0 = hn::Set(d, w0[tap]);
        const auto in = hn::LoadU(d, src);
        acc0 = hn::Add(acc0, hn::Mul(k0, in));
        if (kChannels > 1) {
          acc1 = hn::Add(acc1, hn::Mul(hn::Set(d, w0[wStride + tap]), in));
          acc2 = hn::Add(acc2, hn::Mul(hn::Set(d, w0[2 * wStride + tap]), in));
          acc3 = hn::Add(acc3, hn::Mul(hn::Set(d, w0[3 * wStride + tap]), in));
        } else if (kChunks > 1) {
          // The padded row holds whole chunks plus the border, so these
          // reads stay inside it even for chunks past the row's end.
          acc1 = hn::Add(acc1, hn::Mul(k0, hn::LoadU(d, src + lanes)));
          acc2 = hn::Add(acc2, hn::Mul(k0, hn::LoadU(d, src + 2 * lanes)));
          acc3 = hn::Add(acc3, hn::Mul(k0, hn::LoadU(d, src + 3 * lanes)));
        }
      }
    }
  }
  const size_t at = static_cast<size_t>(y) * outRow;
  auto put = [&](int c, size_t cx, decltype(acc0) acc) {
    if (cx >= static_cast<size_t>(w)) return;
    auto v = hn::Add(hn::Set(d, bias[co + c]), acc);
    if (kRelu) v = Relu(d, v);
    float* dst = out + static_cast<size_t>(c) * outPlane + at + cx;
    const size_t valid = std::min(lanes, static_cast<size_t>(w) - cx);
    if (valid == lanes) {
      hn::StoreU(v, d, dst);
    } else {
      HWY_ALIGN float tmp[hn::MaxLanes(d)];
      hn::Store(v, d, tmp);
      std::memcpy(dst, tmp, valid * sizeof(float));
    }
  };
  const size_t cx = static_cast<size_t>(x);
  put(0, cx, acc0);
  if (kChannels > 1) {
    put(1, cx, acc1);
    put(2, cx, acc2);
    put(3, cx, acc3);
  } else if (kChunks > 1) {
    put(0, cx + lanes, acc1);
    put(0, cx + 2 * lanes, acc2);
    put(0, cx + 3 * lanes, acc3);
  }
}

// The items [begin, end): item k writes output plane k at out + k *
// outPlane (rows outRow apart); padOf(n) gives image n padded, rows
// rowWidth apart.
template <bool kRelu, class PadOf>
void ConvItems(PadOf padOf, int cin, int h, int w, size_t rowWidth, const float* HWY_RESTRICT weight,
               const float* HWY_RESTRICT bias, int cout, float* HWY_RESTRICT out, size_t outPlane, size_t outRow,
               int begin, int end) {
  const hn::CappedTag<float, 16> d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  for (int k = begin; k < end;) {
    const int co = k % cout;
    const float* pad = padOf(k / cout);
    float* dst = out + static_cast<size_t>(k) * outPlane;
    const bool four = co + 4 <= cout && k + 4 <= end;
    for (int y = 0; y < h; ++y) {
      if (four) {
        for (int x = 0; x < w; x += lanes)
          ConvColumns<4, 1, kRelu>(d, pad, cin, h, w, rowWidth, weight, bias, co, dst, outPlane, outRow, y, x);
      } else {
        for (int x = 0; x < w; x += 4 * lanes)
          ConvColumns<1, 4, kRelu>(d, pad, cin, h, w, rowWidth, weight, bias, co, dst, outPlane, outRow, y, x);
      }
    }
    k += four ? 4 : 1;
  }
}

template <bool kRelu>
void ConvRange(const float* HWY_RESTRICT in, int cin, int h, int w, const float* HWY_RESTRICT weight,
               const float* HWY_RESTRICT bias, int cout, float* HWY_RESTRICT out, int begin, int end) {
  if (begin >= end || h <= 0 || w <= 0 || cout <= 0) return;
  const size_t rowWidth = PaddedRowWidth(w);
  const size_t planeSize = static_cast<size_t>(h) * w;
  const size_t imageSize = static_cast<size_t>(cin) * planeSize;
  std::vector<float>& scratch = ScratchImage();
  const size_t need = static_cast<size_t>(cin) * h * rowWidth + kConv3x3Slack;
  if (scratch.size() < need) scratch.resize(need, 0.0f);
  float* pad = scratch.data();
  int padded = -1;
  const auto padOf = [&](int n) {
    if (n != padded) {
      PadImage(in + static_cast<size_t>(n) * imageSize, cin, h, w, rowWidth, pad);
      padded = n;
    }
    return static_cast<const float*>(pad);
  };
  ConvItems<kRelu>(padOf, cin, h, w, rowWidth, weight, bias, cout, out, planeSize, static_cast<size_t>(w), begin,
                   end);
}

}  // namespace

void Conv3x3Range(const float* HWY_RESTRICT in, int /*batch*/, int cin, int h, int w,
                  const float* HWY_RESTRICT weight, const float* HWY_RESTRICT bias, int cout,
                  float* HWY_RESTRICT out, int begin, int end) {
  ConvRange<false>(in, cin, h, w, weight, bias, cout, out, begin, end);
}

void Conv3x3PaddedRange(const float* HWY_RESTRICT in, int cin, int h, int w, size_t inRowWidth,
                        const float* HWY_RESTRICT weight, const float* HWY_RESTRICT bias, int cout, bool relu,
                        float* HWY_RESTRICT out, size_t outRowWidth, size_t outOffset, int begin, int end) {
  if (begin >= end || h <= 0 || w <= 0 || cout <= 0) return;
  const size_t imageSize = static_cast<size_t>(cin) * h * inRowWidth;
  const auto padOf = [&](int n) { return in + static_cast<size_t>(n) * imageSize; };
  const size_t outPlane = static_cast<size_t>(h) * outRowWidth;
  if (relu) {
    ConvItems<true>(padOf, cin, h, w, inRowWidth, weight, bias, cout, out + outOffset, outPlane, outRowWidth, begin,
                    end);
  } else {
    ConvItems<false>(padOf, cin, h, w, inRowWidth, weight, bias, cout, out + outOffset, outPlane, outRowWidth, begin,
                     end);
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
HWY_EXPORT(Conv3x3PaddedRange);

void conv3x3Range(const float* in, int batch, int cin, int h, int w, const float* weight, const float* bias,
                  int cout, float* out, int begin, int end) {
  HWY_DYNAMIC_DISPATCH(Conv3x3Range)(in, batch, cin, h, w, weight, bias, cout, out, begin, end);
}

void conv3x3PaddedRange(const float* in, int cin, int h, int w, std::size_t inRowWidth, const float* weight,
                        const float* bias, int cout, bool relu, float* out, std::size_t outRowWidth,
                        std::size_t outOffset, int begin, int end) {
  HWY_DYNAMIC_DISPATCH(Conv3x3PaddedRange)(in, cin, h, w, inRowWidth, weight, bias, cout, relu, out, outRowWidth,
                                           outOffset, begin, end);
}


}  // namespace simd
}  // namespace le
#endif  // HWY_ONCE
