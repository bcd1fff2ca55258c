// The paste stage's row compositor: Lanczos-8 resampling of the rendered
// crop, blended into an RGB24 row under a bilinearly sampled mask.
#include "core/foundation/simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/foundation/simd_lanczos.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "core/foundation/simd_reference.h"

HWY_BEFORE_NAMESPACE();
namespace le {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void PasteLanczos8Row(const float* HWY_RESTRICT src, int s, const uint8_t* HWY_RESTRICT mask,
                      const float* HWY_RESTRICT lanczos, const float* HWY_RESTRICT bilinear,
                      const int* HWY_RESTRICT xs, const int* HWY_RESTRICT ys, int ax, int ay, int x0, int x1,
                      uint8_t* HWY_RESTRICT dstRow) {
#if HWY_TARGET == HWY_SCALAR
  reference::pasteLanczos8Row(src, s, mask, lanczos, bilinear, xs, ys, ax, ay, x0, x1, dstRow);
#else
  // One source pixel (R, G, B and an unused fourth value) per vector, so the
  // three channels' sums run side by side in the documented order.
  const hn::FixedTag<float, 4> d;
  HWY_ALIGN float acc[4];
  for (int x = x0; x <= x1; ++x) {
    const int k = x - x0;
    const int sx = ax + xs[k];
    const int sy = ay + ys[k];
    const float alpha = reference::pasteAlpha(mask, s, bilinear, sx, sy);
    if (!(alpha > 0.0f)) continue;  // outside the crop or fully transparent
    const int ix = sx >> 10;
    const int iy = sy >> 10;
    uint8_t* px = dstRow + 3 * static_cast<size_t>(x);
    if (ix - 3 < 0 || iy - 3 < 0 || ix + 4 >= s || iy + 4 >= s) {
      reference::pasteResample(src, s, lanczos, sx, sy, acc);
      reference::pasteBlend(acc, alpha, px);
      continue;
    }
    const float* wx = lanczos + 8 * ((sx & 1023) >> 5);
    const float* wy = lanczos + 8 * ((sy & 1023) >> 5);
    const auto wx0 = hn::Set(d, wx[0]), wx1 = hn::Set(d, wx[1]), wx2 = hn::Set(d, wx[2]), wx3 = hn::Set(d, wx[3]);
    const auto wx4 = hn::Set(d, wx[4]), wx5 = hn::Set(d, wx[5]), wx6 = hn::Set(d, wx[6]), wx7 = hn::Set(d, wx[7]);
    auto sum = hn::Zero(d);
    const float* row = src + (static_cast<size_t>(iy - 3) * s + static_cast<size_t>(ix - 3)) * 4;
    for (int t = 0; t < 8; ++t, row += static_cast<size_t>(s) * 4) {
      auto r = hn::Mul(hn::LoadU(d, row), wx0);
      r = hn::Add(r, hn::Mul(hn::LoadU(d, row + 4), wx1));
      r = hn::Add(r, hn::Mul(hn::LoadU(d, row + 8), wx2));
      r = hn::Add(r, hn::Mul(hn::LoadU(d, row + 12), wx3));
      r = hn::Add(r, hn::Mul(hn::LoadU(d, row + 16), wx4));
      r = hn::Add(r, hn::Mul(hn::LoadU(d, row + 20), wx5));
      r = hn::Add(r, hn::Mul(hn::LoadU(d, row + 24), wx6));
      r = hn::Add(r, hn::Mul(hn::LoadU(d, row + 28), wx7));
      sum = hn::Add(sum, hn::Mul(r, hn::Set(d, wy[t])));
    }
    hn::Store(sum, d, acc);
    reference::pasteBlend(acc, alpha, px);
  }
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {
namespace simd {

HWY_EXPORT(PasteLanczos8Row);

void pasteLanczos8Row(const float* src, int s, const std::uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* xs, const int* ys, int ax, int ay, int x0, int x1,
                      std::uint8_t* dstRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(src, s, mask, lanczos, bilinear, xs, ys, ax, ay, x0, x1, dstRow);
}

}  // namespace simd
}  // namespace le
#endif  // HWY_ONCE
