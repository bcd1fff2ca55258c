#include "core/foundation/simd.h"
// Conversions between single precision, binary16 and 8-bit RGB.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/foundation/simd_half.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "core/foundation/simd_half-inl.h"
#include "core/foundation/simd_reference.h"

HWY_BEFORE_NAMESPACE();
namespace le {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void F32ToF16(const float* HWY_RESTRICT src, uint16_t* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t lanes = hn::Lanes(df);
  size_t i = 0;
  for (; i + lanes <= n; i += lanes) StoreHalf(df, hn::LoadU(df, src + i), dst + i);
  reference::f32ToF16(src + i, dst + i, n - i);
}

void F16ToF32(const uint16_t* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t lanes = hn::Lanes(df);
  size_t i = 0;
  for (; i + lanes <= n; i += lanes) hn::StoreU(LoadHalf(df, src + i), df, dst + i);
  reference::f16ToF32(src + i, dst + i, n - i);
}

void RoundF16Mul(const float* HWY_RESTRICT a, const float* HWY_RESTRICT b, float* HWY_RESTRICT out,
                 size_t n) {
  const hn::ScalableTag<float> df;
  const size_t lanes = hn::Lanes(df);
  size_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    hn::StoreU(hn::Mul(hn::LoadU(df, b + i), RoundHalf(df, hn::LoadU(df, a + i))), df, out + i);
  }
  reference::roundF16Mul(a + i, b + i, out + i, n - i);
}

void Rgb8ToPlanarF16(const uint8_t* HWY_RESTRICT rgb, uint16_t* HWY_RESTRICT dst, size_t planeStride,
                     size_t n) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const hn::Rebind<uint8_t, decltype(df)> d8;
  const size_t lanes = hn::Lanes(df);
  const auto k255 = hn::Set(df, 255.0f);
  size_t i = 0;
  // Named vectors, not an array: SVE vectors are sizeless and cannot be
  // array elements.
  const auto store = [&](hn::Vec<decltype(d8)> c, size_t ch, size_t at) HWY_ATTR {
    StoreHalf(df, hn::Div(hn::ConvertTo(df, hn::PromoteTo(di, c)), k255), dst + ch * planeStride + at);
  };
  for (; i + lanes <= n; i += lanes) {
    hn::Vec<decltype(d8)> r, g, b;
    hn::LoadInterleaved3(d8, rgb + 3 * i, r, g, b);
    store(r, 0, i);
    store(g, 1, i);
    store(b, 2, i);
  }
  if (i < n) {
    for (size_t ch = 0; ch < 3; ++ch) {
      for (size_t j = i; j < n; ++j) {
        dst[ch * planeStride + j] = reference::halfBits(static_cast<float>(rgb[3 * j + ch]) / 255.0f);
      }
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {
namespace simd {

HWY_EXPORT(F32ToF16);
HWY_EXPORT(F16ToF32);
HWY_EXPORT(RoundF16Mul);
HWY_EXPORT(Rgb8ToPlanarF16);

void f32ToF16(const float* src, std::uint16_t* dst, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(F32ToF16)(src, dst, n);
}

void f16ToF32(const std::uint16_t* src, float* dst, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(F16ToF32)(src, dst, n);
}

void roundF16Mul(const float* a, const float* b, float* out, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(RoundF16Mul)(a, b, out, n);
}

void rgb8ToPlanarF16(const std::uint8_t* rgb, std::uint16_t* dst, std::size_t planeStride,
                     std::size_t n) {
  HWY_DYNAMIC_DISPATCH(Rgb8ToPlanarF16)(rgb, dst, planeStride, n);
}

}  // namespace simd
}  // namespace le
#endif  // HWY_ONCE
