// Per-target binary16 conversions shared by the kernels. Included once per
// target from each kernel file after foreach_target.h.
#if defined(LE_FOUNDATION_SIMD_HALF_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LE_FOUNDATION_SIMD_HALF_INL_H_
#undef LE_FOUNDATION_SIMD_HALF_INL_H_
#else
#define LE_FOUNDATION_SIMD_HALF_INL_H_
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace le {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// x86 from AVX2 on has F16C, whose conversions round to nearest even and keep
// NaN payloads (quiet bit set) the same way as the integer path below; elsewhere (and on
// Highway's emulation, which truncates) we convert with integer operations.
#undef LE_SIMD_HARDWARE_F16
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
#define LE_SIMD_HARDWARE_F16 1
#else
#define LE_SIMD_HARDWARE_F16 0
#endif

// Half bit patterns (one per 32-bit lane) of the single-precision lanes of v.
template <class DF>
HWY_INLINE hn::Vec<hn::RebindToSigned<DF>> HalfBitsI32(DF df, hn::Vec<DF> v) {
  const hn::RebindToSigned<DF> di;
  const auto bits = hn::BitCast(di, v);
  const auto sign = hn::And(hn::ShiftRight<16>(bits), hn::Set(di, 0x8000));
  const auto mag = hn::And(bits, hn::Set(di, 0x7FFFFFFF));
  // Normal halves: rebias the exponent and round the 13 dropped bits to
  // nearest even (the carry may reach the exponent, which is right).
  const auto odd = hn::And(hn::ShiftRight<13>(mag), hn::Set(di, 1));
  const auto normal = hn::ShiftRight<13>(hn::Add(hn::Add(mag, hn::Set(di, static_cast<int32_t>(0xC8000FFFu))), odd));
  // Subnormal halves: adding 0.5 leaves exactly 2^-24 per unit in the low
  // mantissa bits, rounded to nearest even by the addition itself.
  const auto shifted = hn::BitCast(di, hn::Add(hn::BitCast(df, mag), hn::Set(df, 0.5f)));
  const auto sub = hn::Sub(shifted, hn::Set(di, 0x3F000000));
  const auto nan = hn::Or(hn::Set(di, 0x7E00), hn::And(hn::ShiftRight<13>(mag), hn::Set(di, 0x3FF)));
  auto r = hn::IfThenElse(hn::Lt(mag, hn::Set(di, 0x38800000)), sub, normal);
  r = hn::IfThenElse(hn::Lt(mag, hn::Set(di, 0x477FF000)), r, hn::Set(di, 0x7C00));
  r = hn::IfThenElse(hn::Gt(mag, hn::Set(di, 0x7F800000)), nan, r);
  return hn::Or(r, sign);
}

// Exact single-precision values of half bit patterns held in 32-bit lanes.
template <class DF>
HWY_INLINE hn::Vec<DF> HalfValuesFromI32(DF df, hn::Vec<hn::RebindToSigned<DF>> h) {
  const hn::RebindToSigned<DF> di;
  const auto sign = hn::ShiftLeft<16>(hn::And(h, hn::Set(di, 0x8000)));
  const auto e = hn::And(h, hn::Set(di, 0x7C00));
  const auto body = hn::ShiftLeft<13>(hn::And(h, hn::Set(di, 0x7FFF)));
  const auto normal = hn::Add(body, hn::Set(di, 0x38000000));
  const auto special = hn::Or(body, hn::Set(di, 0x7F800000));
  // Subnormal: mantissa * 2^-24, exact and free of single-precision denormals.
  const auto subF = hn::Mul(hn::ConvertTo(df, hn::And(h, hn::Set(di, 0x3FF))), hn::Set(df, 5.9604644775390625e-8f));
  auto r = hn::IfThenElse(hn::Eq(e, hn::Set(di, 0x7C00)), special, normal);
  r = hn::IfThenElse(hn::Eq(e, hn::Zero(di)), hn::BitCast(di, subF), r);
  return hn::BitCast(df, hn::Or(r, sign));
}

// Stores the half conversion of v's lanes to p.
template <class DF>
HWY_INLINE void StoreHalf(DF df, hn::Vec<DF> v, uint16_t* HWY_RESTRICT p) {
#if LE_SIMD_HARDWARE_F16
  const hn::Rebind<hwy::float16_t, DF> dh;
  hn::StoreU(hn::DemoteTo(dh, v), dh, reinterpret_cast<hwy::float16_t*>(p));
#else
  const hn::Rebind<uint16_t, DF> du16;
  hn::StoreU(hn::DemoteTo(du16, HalfBitsI32(df, v)), du16, p);
#endif
}

// Loads Lanes(df) halves from p, widened exactly. Always the integer path:
// F16C would quiet a signalling NaN, which exact widening must not do.
template <class DF>
HWY_INLINE hn::Vec<DF> LoadHalf(DF df, const uint16_t* HWY_RESTRICT p) {
  const hn::Rebind<uint16_t, DF> du16;
  const hn::RebindToSigned<DF> di;
  return HalfValuesFromI32(df, hn::BitCast(di, hn::PromoteTo(hn::RebindToUnsigned<DF>(), hn::LoadU(du16, p))));
}

// LoadHalf for halves known not to be NaN, where the hardware widening is
// exact.
template <class DF>
HWY_INLINE hn::Vec<DF> LoadHalfFinite(DF df, const uint16_t* HWY_RESTRICT p) {
#if LE_SIMD_HARDWARE_F16
  const hn::Rebind<hwy::float16_t, DF> dh;
  return hn::PromoteTo(df, hn::LoadU(dh, reinterpret_cast<const hwy::float16_t*>(p)));
#else
  return LoadHalf(df, p);
#endif
}

// v rounded to binary16 and back.
template <class DF>
HWY_INLINE hn::Vec<DF> RoundHalf(DF df, hn::Vec<DF> v) {
#if LE_SIMD_HARDWARE_F16
  const hn::Rebind<hwy::float16_t, DF> dh;
  return hn::PromoteTo(df, hn::DemoteTo(dh, v));
#else
  return HalfValuesFromI32(df, HalfBitsI32(df, v));
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace le
HWY_AFTER_NAMESPACE();

#endif  // include guard toggle
