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

void RetrieveTermPooledInterleaved(const uint16_t* HWY_RESTRICT a, size_t groups, const float* HWY_RESTRICT b,
                                   const float* HWY_RESTRICT w, size_t n, float* HWY_RESTRICT out) {
  // One lane per image: each lane's sum runs over the pixels in order, as
  // the one-image kernel's does.
  const hn::CappedTag<float, kPooledGroup> df;
  const size_t lanes = hn::Lanes(df);
  const auto three = hn::Set(df, 3.0f);
  for (size_t g = 0; g < groups; ++g) {
    for (size_t part = 0; part < kPooledGroup; part += lanes) {
      const uint16_t* ag = a + g * 3 * n * kPooledGroup + part;
      auto sum = hn::Zero(df);
      for (size_t j = 0; j < n; ++j) {
        auto d = hn::Zero(df);
        for (size_t c = 0; c < 3; ++c) {
          const auto diff = hn::Sub(LoadHalfFinite(df, ag + (c * n + j) * kPooledGroup), hn::Set(df, b[c * n + j]));
          d = hn::Add(d, hn::Abs(RoundHalf(df, diff)));
        }
        const auto m = RoundHalf(df, hn::Div(d, three));
        sum = hn::Add(sum, RoundHalf(df, hn::Mul(hn::Set(df, w[j]), m)));
      }
      hn::StoreU(sum, df, out + g * kPooledGroup + part);
    }
  }
}

// prod[k] for the lanes pixels from k; q holds the query halves at
// q[c * planeStride].
template <class DF>
HWY_INLINE void BandTerms(DF df, const uint16_t* HWY_RESTRICT q, size_t planeStride, const uint8_t* HWY_RESTRICT s,
                          const float* HWY_RESTRICT w, float* HWY_RESTRICT prod) {
  const hn::RebindToSigned<DF> di;
  const hn::Rebind<uint8_t, DF> d8;
  const auto k255 = hn::Set(df, 255.0f);
  hn::Vec<decltype(d8)> r, g, b;
  hn::LoadInterleaved3(d8, s, r, g, b);
  const auto term = [&](hn::Vec<decltype(d8)> bytes, size_t c) HWY_ATTR {
    const auto hs = RoundHalf(df, hn::Div(hn::ConvertTo(df, hn::PromoteTo(di, bytes)), k255));
    return hn::Abs(RoundHalf(df, hn::Sub(LoadHalf(df, q + c * planeStride), hs)));
  };
  auto d = hn::Add(hn::Zero(df), term(r, 0));
  d = hn::Add(d, term(g, 1));
  d = hn::Add(d, term(b, 2));
  const auto m = RoundHalf(df, hn::Div(d, hn::Set(df, 3.0f)));
  hn::StoreU(hn::Mul(hn::LoadU(df, w), m), df, prod);
}

void RetrieveBandRow(const uint16_t* HWY_RESTRICT q, size_t planeStride, const uint8_t* HWY_RESTRICT s,
                     const float* HWY_RESTRICT w, size_t n, float* HWY_RESTRICT prod) {
  const hn::ScalableTag<float> df;
  const size_t lanes = hn::Lanes(df);
  size_t k = 0;
  for (; k + lanes <= n; k += lanes) BandTerms(df, q + k, planeStride, s + 3 * k, w + k, prod + k);
  if (k == n) return;
  // The leftover pixels through one more vector over zero-filled copies:
  // rows are often short, and the lanes do not interact.
  constexpr size_t kMax = hn::MaxLanes(df);
  const size_t rest = n - k;
  uint16_t qt[3 * kMax] = {};
  uint8_t st[3 * kMax] = {};
  float wt[kMax] = {}, pt[kMax];
  // Element loops: a library copy call costs more than these few moves.
  for (size_t i = 0; i < rest; ++i) {
    for (size_t c = 0; c < 3; ++c) {
      qt[c * lanes + i] = q[c * planeStride + k + i];
      st[3 * i + c] = s[3 * (k + i) + c];
    }
    wt[i] = w[k + i];
  }
  BandTerms(df, qt, lanes, st, wt, pt);
  for (size_t i = 0; i < rest; ++i) prod[k + i] = pt[i];
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
HWY_EXPORT(RetrieveBandRow);
HWY_EXPORT(RetrieveTermPooledInterleaved);

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

void retrieveTermPooledInterleaved(const std::uint16_t* a, std::size_t groups, const float* b, const float* w,
                                   std::size_t n, float* out) {
  HWY_DYNAMIC_DISPATCH(RetrieveTermPooledInterleaved)(a, groups, b, w, n, out);
}

void retrieveBandRow(const std::uint16_t* q, std::size_t planeStride, const std::uint8_t* s, const float* w,
                     std::size_t n, float* prod) {
  HWY_DYNAMIC_DISPATCH(RetrieveBandRow)(q, planeStride, s, w, n, prod);
}

}  // namespace simd
}  // namespace le
#endif  // HWY_ONCE
