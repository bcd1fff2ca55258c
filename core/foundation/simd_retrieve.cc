// Half-precision retrieval scores: weighted mean absolute differences of
// planar three-channel images, summed strictly in pixel order.
#include "core/foundation/simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/foundation/simd_retrieve.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "core/foundation/simd_half-inl.h"
#include "core/foundation/simd_reference.h"

HWY_BEFORE_NAMESPACE();
namespace le {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// roundHalf(d / 3) of pixels j .. j + lanes - 1.
template <class DF>
HWY_INLINE hn::Vec<DF> PooledDifference(DF df, const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                                        size_t n, size_t j) {
  auto d = hn::Zero(df);
  for (size_t c = 0; c < 3; ++c) {
    const auto diff = hn::Sub(LoadHalf(df, a + c * n + j), LoadHalf(df, b + c * n + j));
    d = hn::Add(d, hn::Abs(RoundHalf(df, diff)));
  }
  return RoundHalf(df, hn::Div(d, hn::Set(df, 3.0f)));
}

float RetrieveTermPooled(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                         const uint16_t* HWY_RESTRICT w, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t lanes = hn::Lanes(df);
  HWY_ALIGN float terms[hn::MaxLanes(df)];
  float sum = 0.0f;
  size_t j = 0;
  for (; j + lanes <= n; j += lanes) {
    const auto m = PooledDifference(df, a, b, n, j);
    hn::Store(RoundHalf(df, hn::Mul(LoadHalf(df, w + j), m)), df, terms);
    for (size_t k = 0; k < lanes; ++k) sum = sum + terms[k];  // index order, never a tree
  }
  for (; j < n; ++j) {
    sum = sum + reference::roundHalf(reference::halfValue(w[j]) * reference::pooledDifference(a, b, n, j));
  }
  return sum;
}

float RetrieveTermExactRange(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                             const float* HWY_RESTRICT w, size_t n, size_t begin, size_t end) {
  const hn::ScalableTag<float> df;
  const size_t lanes = hn::Lanes(df);
  HWY_ALIGN float terms[hn::MaxLanes(df)];
  float sum = 0.0f;
  size_t j = begin;
  for (; j < end && end - j >= lanes; j += lanes) {
    const auto wv = hn::LoadU(df, w + j);
    const auto m = PooledDifference(df, a, b, n, j);
    // A zero weight drops the pixel; adding +0 to the (never negative-zero)
    // running sum is the same as skipping it.
    hn::Store(hn::IfThenZeroElse(hn::Eq(wv, hn::Zero(df)), hn::Mul(wv, m)), df, terms);
    for (size_t k = 0; k < lanes; ++k) sum = sum + terms[k];
  }
  for (; j < end; ++j) {
    if (w[j] == 0.0f) continue;
    sum = sum + w[j] * reference::pooledDifference(a, b, n, j);
  }
  return sum;
}

float RetrieveTermExact(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                        const float* HWY_RESTRICT w, size_t n) {
  return RetrieveTermExactRange(a, b, w, n, 0, n);
}

}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {
namespace simd {

HWY_EXPORT(RetrieveTermPooled);
HWY_EXPORT(RetrieveTermExact);
HWY_EXPORT(RetrieveTermExactRange);

float retrieveTermPooled(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* w,
                         std::size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermPooled)(a, b, w, n);
}

float retrieveTermExact(const std::uint16_t* a, const std::uint16_t* b, const float* w, std::size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExact)(a, b, w, n);
}

float retrieveTermExactRange(const std::uint16_t* a, const std::uint16_t* b, const float* w, std::size_t n,
                             std::size_t begin, std::size_t end) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRange)(a, b, w, n, begin, end);
}

}  // namespace simd
}  // namespace le
#endif  // HWY_ONCE
