// 4:2:0 video rows to packed RGB24 with the BT.601 limited-range integer
// formula.
#include "core/foundation/simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/foundation/simd_yuv.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "core/foundation/simd_reference.h"

HWY_BEFORE_NAMESPACE();
namespace le {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR
// Chroma samples for `lanes` pixels, each sample repeated for the two pixels
// that share it, as 16-bit lanes.
template <class D16>
HWY_INLINE hn::Vec<D16> SharedChroma(D16 d16, const uint8_t* HWY_RESTRICT c, int step) {
  const hn::Repartition<int32_t, D16> d32;
  hn::Vec<decltype(d32)> c32;
  if (step == 1) {
    c32 = hn::PromoteTo(d32, hn::LoadU(hn::Rebind<uint8_t, decltype(d32)>(), c));
  } else {
    const hn::Rebind<uint16_t, decltype(d32)> dpair;
    const auto pairs = hn::LoadU(dpair, reinterpret_cast<const uint16_t*>(c));
    c32 = hn::And(hn::PromoteTo(d32, pairs), hn::Set(d32, 0xFF));
  }
  return hn::BitCast(d16, hn::Or(c32, hn::ShiftLeft<16>(c32)));
}
#endif

void Yuv420RowToRgb24(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u,
                      const uint8_t* HWY_RESTRICT v, int width, int chromaStep, uint8_t* HWY_RESTRICT rgb) {
  int i = 0;
#if HWY_TARGET != HWY_SCALAR
  // The reference formula, R = (298 (Y-16) + 128 + 409 E) >> 8 and so on,
  // needs 18 bits. Splitting 298 = 256 + 42, 409 = 256 + 153, -208 = -256 + 48
  // and 516 = 512 + 4 moves the multiples of 256 out of the shift, which
  // leaves every term within 16 bits and the result exact.
  const hn::ScalableTag<int16_t> d16;
  const hn::Rebind<uint8_t, decltype(d16)> d8;
  const int lanes = static_cast<int>(hn::Lanes(d16));
  // Interleaved chroma is read as byte pairs; the pair of the last sample
  // may lie past the row, so the final group is left to the scalar tail.
  const int limit = chromaStep == 1 ? width - lanes : width - lanes - 1;
  const auto k16 = hn::Set(d16, 16);
  const auto k128 = hn::Set(d16, 128);
  for (; i <= limit; i += lanes) {
    const auto yy = hn::Sub(hn::PromoteTo(d16, hn::LoadU(d8, y + i)), k16);
    const auto d = hn::Sub(SharedChroma(d16, u + chromaStep * (i / 2), chromaStep), k128);
    const auto e = hn::Sub(SharedChroma(d16, v + chromaStep * (i / 2), chromaStep), k128);
    const auto common = hn::Add(hn::Mul(yy, hn::Set(d16, 42)), k128);
    const auto r = hn::Add(hn::Add(yy, e), hn::ShiftRight<8>(hn::Add(common, hn::Mul(e, hn::Set(d16, 153)))));
    const auto g = hn::Add(hn::Sub(yy, e),
                           hn::ShiftRight<8>(hn::Sub(hn::Add(common, hn::Mul(e, hn::Set(d16, 48))),
                                                     hn::Mul(d, hn::Set(d16, 100)))));
    const auto b = hn::Add(hn::Add(yy, hn::Add(d, d)), hn::ShiftRight<8>(hn::Add(common, hn::ShiftLeft<2>(d))));
    hn::StoreInterleaved3(hn::DemoteTo(d8, r), hn::DemoteTo(d8, g), hn::DemoteTo(d8, b), d8, rgb + 3 * i);
  }
#endif
  reference::yuv420RowToRgb24(y, u, v, width, chromaStep, rgb, i);
}

}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {
namespace simd {

HWY_EXPORT(Yuv420RowToRgb24);

void yuv420RowToRgb24(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v, int width,
                      int chromaStep, std::uint8_t* rgb) {
  HWY_DYNAMIC_DISPATCH(Yuv420RowToRgb24)(y, u, v, width, chromaStep, rgb);
}

}  // namespace simd
}  // namespace le
#endif  // HWY_ONCE
