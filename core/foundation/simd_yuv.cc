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
// The multipliers go through a register the optimiser cannot see into: with
// visible constants it turns each vector multiply into a chain of shifts and
// adds, which costs several times more here.
HWY_INLINE int16_t Opaque(int16_t x) {
#if HWY_COMPILER_GCC  // GCC and Clang
  asm("" : "+r"(x));
#endif
  return x;
}

// Converts pixels [i, i + Lanes(d8)) of the row; i is even. Even and odd
// pixels are the low and high bytes of 16-bit lanes: both share the chroma
// sample of their lane, so the chroma terms are computed once per pair and
// nothing is duplicated across lanes.
//
// The reference formula, R = (298 (Y-16) + 128 + 409 E) >> 8 and so on,
// needs 18 bits. Splitting 298 = 256 + 42, 409 = 256 + 153, -208 = -256 + 48
// and 516 = 512 + 4 moves the multiples of 256 out of the shift, which
// leaves every term within 16 bits and the result exact.
template <int kChromaStep>
HWY_INLINE void ConvertRow(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u,
                           const uint8_t* HWY_RESTRICT v, int width, uint8_t* HWY_RESTRICT rgb, int& i) {
  const hn::ScalableTag<int16_t> d16;
  const hn::RebindToUnsigned<decltype(d16)> du16;
  const hn::Repartition<uint8_t, decltype(d16)> d8;  // two pixels a 16-bit lane
  const hn::Rebind<uint8_t, decltype(d16)> dc8;      // one chroma sample a lane
  const int pixels = static_cast<int>(hn::Lanes(d8));
  const auto lowByte = hn::Set(du16, 0xFF);
  const auto k16 = hn::Set(d16, 16);
  const auto k128 = hn::Set(d16, 128);
  const auto k255 = hn::Set(d16, 255);
  const auto zero = hn::Zero(d16);
  const auto k42 = hn::Set(d16, Opaque(42));
  const auto k153 = hn::Set(d16, Opaque(153));
  const auto k48 = hn::Set(d16, Opaque(48));
  const auto k100 = hn::Set(d16, Opaque(100));
  // The clamped even and odd results of one channel as bytes in pixel order.
  auto pack = [&](hn::Vec<decltype(d16)> even, hn::Vec<decltype(d16)> odd) {
    const auto e8 = hn::BitCast(du16, hn::Min(hn::Max(even, zero), k255));
    const auto o8 = hn::BitCast(du16, hn::Min(hn::Max(odd, zero), k255));
    return hn::BitCast(d8, hn::Or(e8, hn::ShiftLeft<8>(o8)));
  };
  for (; i + pixels <= width; i += pixels) {
    hn::Vec<decltype(d16)> d, e;
    if (kChromaStep == 1) {
      d = hn::Sub(hn::PromoteTo(d16, hn::LoadU(dc8, u + i / 2)), k128);
      e = hn::Sub(hn::PromoteTo(d16, hn::LoadU(dc8, v + i / 2)), k128);
    } else {
      // Interleaved chroma: each 16-bit lane holds the U,V pair of its pixels.
      const auto uv = hn::BitCast(du16, hn::LoadU(d8, u + i));
      d = hn::Sub(hn::BitCast(d16, hn::And(uv, lowByte)), k128);
      e = hn::Sub(hn::BitCast(d16, hn::ShiftRight<8>(uv)), k128);
    }
    const auto termR = hn::Mul(e, k153);
    const auto termG = hn::Sub(hn::Mul(e, k48), hn::Mul(d, k100));
    const auto termB = hn::ShiftLeft<2>(d);
    const auto d2 = hn::Add(d, d);
    const auto yw = hn::BitCast(du16, hn::LoadU(d8, y + i));
    // Scalable vectors cannot live in arrays, hence one name per parity.
    const auto yEven = hn::Sub(hn::BitCast(d16, hn::And(yw, lowByte)), k16);
    const auto yOdd = hn::Sub(hn::BitCast(d16, hn::ShiftRight<8>(yw)), k16);
    const auto commonEven = hn::Add(hn::Mul(yEven, k42), k128);
    const auto commonOdd = hn::Add(hn::Mul(yOdd, k42), k128);
    auto channel = [&](hn::Vec<decltype(d16)> additive, hn::Vec<decltype(d16)> term, bool subtract) {
      const auto even = hn::Add(subtract ? hn::Sub(yEven, additive) : hn::Add(yEven, additive),
                                hn::ShiftRight<8>(hn::Add(commonEven, term)));
      const auto odd = hn::Add(subtract ? hn::Sub(yOdd, additive) : hn::Add(yOdd, additive),
                               hn::ShiftRight<8>(hn::Add(commonOdd, term)));
      return pack(even, odd);
    };
    hn::StoreInterleaved3(channel(e, termR, false), channel(e, termG, true), channel(d2, termB, false), d8,
                          rgb + 3 * i);
  }
}
#endif

void Yuv420RowToRgb24(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u,
                      const uint8_t* HWY_RESTRICT v, int width, int chromaStep, uint8_t* HWY_RESTRICT rgb) {
  int i = 0;
#if HWY_TARGET != HWY_SCALAR
  if (chromaStep == 1) {
    ConvertRow<1>(y, u, v, width, rgb, i);
  } else {
    ConvertRow<2>(y, u, v, width, rgb, i);
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
