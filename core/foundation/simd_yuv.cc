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
  const hn::Twice<decltype(d8)> d8x2;
  const int lanes = static_cast<int>(hn::Lanes(d16));
  const auto k16 = hn::Set(d16, 16);
  const auto k128 = hn::Set(d16, 128);
  const auto k42 = hn::Set(d16, 42);
  const auto k153 = hn::Set(d16, 153);
  const auto k48 = hn::Set(d16, 48);
  const auto k100 = hn::Set(d16, 100);
  // R, G, B bytes of pixels i .. i + lanes - 1.
  auto convert = [&](int i, hn::Vec<decltype(d8)>& r8, hn::Vec<decltype(d8)>& g8, hn::Vec<decltype(d8)>& b8) {
    const auto yy = hn::Sub(hn::PromoteTo(d16, hn::LoadU(d8, y + i)), k16);
    const auto d = hn::Sub(SharedChroma(d16, u + chromaStep * (i / 2), chromaStep), k128);
    const auto e = hn::Sub(SharedChroma(d16, v + chromaStep * (i / 2), chromaStep), k128);
    const auto common = hn::Add(hn::Mul(yy, k42), k128);
    const auto r = hn::Add(hn::Add(yy, e), hn::ShiftRight<8>(hn::Add(common, hn::Mul(e, k153))));
    const auto g = hn::Add(hn::Sub(yy, e), hn::ShiftRight<8>(hn::Sub(hn::Add(common, hn::Mul(e, k48)), hn::Mul(d, k100))));
    const auto b = hn::Add(hn::Add(yy, hn::Add(d, d)), hn::ShiftRight<8>(hn::Add(common, hn::ShiftLeft<2>(d))));
    r8 = hn::DemoteTo(d8, r);  // saturating: the clamp to 0..255
    g8 = hn::DemoteTo(d8, g);
    b8 = hn::DemoteTo(d8, b);
  };
  // Interleaved chroma is read as byte pairs; the pair of the last sample
  // may lie past the row, so the final group is left to the scalar tail.
  const int slack = chromaStep == 1 ? 0 : 1;
  // Two groups per store so that the interleaving works on whole vectors.
  for (; i + 2 * lanes + slack <= width; i += 2 * lanes) {
    hn::Vec<decltype(d8)> r0, g0, b0, r1, g1, b1;
    convert(i, r0, g0, b0);
    convert(i + lanes, r1, g1, b1);
    hn::StoreInterleaved3(hn::Combine(d8x2, r1, r0), hn::Combine(d8x2, g1, g0), hn::Combine(d8x2, b1, b0), d8x2,
                          rgb + 3 * i);
  }
  for (; i + lanes + slack <= width; i += lanes) {
    hn::Vec<decltype(d8)> r0, g0, b0;
    convert(i, r0, g0, b0);
    hn::StoreInterleaved3(r0, g0, b0, d8, rgb + 3 * i);
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
