// The per-pixel softmax steps of the teeth head's blend: the running maximum
// of the logit planes, and normalising a plane while adding its share of the
// blended colour.
#include "core/foundation/simd.h"

#include <algorithm>
#include <cmath>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/foundation/simd_softmax.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "core/foundation/simd_reference.h"

HWY_BEFORE_NAMESPACE();
namespace le {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void SoftmaxMax(float* HWY_RESTRICT mx, const float* HWY_RESTRICT p, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t lanes = hn::Lanes(df);
  size_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    const auto m = hn::LoadU(df, mx + i);
    const auto v = hn::LoadU(df, p + i);
    hn::StoreU(hn::IfThenElse(hn::Lt(m, v), v, m), df, mx + i);  // std::max(m, v), NaN included
  }
  if (i < n) reference::softmaxMax(mx + i, p + i, n - i);
}

void SoftmaxShare(float* HWY_RESTRICT p, const float* HWY_RESTRICT sum, float even, const uint8_t* HWY_RESTRICT rgb,
                  float* HWY_RESTRICT acc, size_t accStride, size_t n) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const hn::Rebind<uint8_t, decltype(df)> d8;
  const size_t lanes = hn::Lanes(df);
  const auto zero = hn::Zero(df);
  const auto k255 = hn::Set(df, 255.0f);
  size_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    const auto s = hn::LoadU(df, sum + i);
    const auto ok = hn::And(hn::IsFinite(s), hn::Gt(s, zero));
    const auto share = hn::IfThenElse(ok, hn::Div(hn::LoadU(df, p + i), s), hn::Set(df, even));
    hn::StoreU(share, df, p + i);
    if (!rgb) continue;
    hn::Vec<decltype(d8)> r, g, b;
    hn::LoadInterleaved3(d8, rgb + 3 * i, r, g, b);
    const auto add = [&](hn::Vec<decltype(d8)> bytes, size_t c) HWY_ATTR {
      float* a = acc + c * accStride + i;
      const auto value = hn::Div(hn::ConvertTo(df, hn::PromoteTo(di, bytes)), k255);
      hn::StoreU(hn::Add(hn::LoadU(df, a), hn::Mul(share, value)), df, a);
    };
    add(r, 0);
    add(g, 1);
    add(b, 2);
  }
  if (i < n) {
    reference::softmaxShare(p + i, sum + i, even, rgb ? rgb + 3 * i : nullptr, acc + i, accStride, n - i);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {
namespace simd {

HWY_EXPORT(SoftmaxMax);
HWY_EXPORT(SoftmaxShare);

void softmaxMax(float* mx, const float* p, std::size_t n) { HWY_DYNAMIC_DISPATCH(SoftmaxMax)(mx, p, n); }

void softmaxShare(float* p, const float* sum, float even, const std::uint8_t* rgb, float* acc, std::size_t accStride,
                  std::size_t n) {
  HWY_DYNAMIC_DISPATCH(SoftmaxShare)(p, sum, even, rgb, acc, accStride, n);
}

}  // namespace simd
}  // namespace le
#endif  // HWY_ONCE
