#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/foundation/half.h"
#include "core/foundation/simd.h"
#include "core/foundation/simd_reference.h"
#include "core/foundation/simd_test_targets.h"

namespace le::simd {
namespace {

float fromBits(std::uint32_t b) {
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}
std::uint32_t bitsOf(float f) {
  std::uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

// Values around every rounding boundary: all halves widened, the midpoints
// between neighbours (ties) and one unit either side, plus random patterns.
std::vector<float> probeFloats() {
  std::vector<float> v;
  for (std::uint32_t h = 0; h < 0x10000; ++h) {
    const float f = reference::halfValue(static_cast<std::uint16_t>(h));
    v.push_back(f);
    const std::uint32_t b = bitsOf(f);
    if ((b & 0x7F800000u) != 0x7F800000u) {
      v.push_back(fromBits(b + 0x1000u));  // tie to the next half, or a subnormal-range value
      v.push_back(fromBits(b + 0x0FFFu));
      v.push_back(fromBits(b + 0x1001u));
    }
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 100000; ++i) v.push_back(fromBits(static_cast<std::uint32_t>(rng())));
  for (float f : {65519.0f, 65520.0f, 65504.0f, 65536.0f, std::ldexp(1.0f, -25),
                  std::nextafter(std::ldexp(1.0f, -25), 1.0f), std::ldexp(1.0f, -24),
                  std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::denorm_min(),
                  std::numeric_limits<float>::quiet_NaN(), fromBits(0x7F800001u), fromBits(0xFFC12345u),
                  std::numeric_limits<float>::infinity(), -0.0f}) {
    v.push_back(f);
  }
  return v;
}

TEST(HalfReference, EdgeValuesRoundAsBinary16) {
  using reference::halfBits;
  EXPECT_EQ(halfBits(65519.0f), 0x7BFF);
  EXPECT_EQ(halfBits(65520.0f), 0x7C00);
  EXPECT_EQ(halfBits(-65520.0f), 0xFC00);
  EXPECT_EQ(halfBits(std::ldexp(1.0f, -25)), 0x0000);
  EXPECT_EQ(halfBits(-std::ldexp(1.0f, -25)), 0x8000);
  EXPECT_EQ(halfBits(std::nextafter(std::ldexp(1.0f, -25), 1.0f)), 0x0001);
  EXPECT_EQ(halfBits(std::ldexp(3.0f, -25)), 0x0002);  // tie between 1 and 2 units: even
  EXPECT_EQ(halfBits(std::ldexp(5.0f, -25)), 0x0002);  // tie between 2 and 3 units: even
  EXPECT_EQ(halfBits(1.0f + std::ldexp(1.0f, -11)), 0x3C00);  // tie: even
  EXPECT_EQ(halfBits(1.0f + std::ldexp(3.0f, -11)), 0x3C02);
  EXPECT_EQ(halfBits(std::ldexp(1023.5f, -24)), 0x0400);  // rounds up into the normals
  EXPECT_EQ(halfBits(fromBits(0x7FC00000u)), 0x7E00);
  EXPECT_EQ(halfBits(fromBits(0x7F812345u)), 0x7E00 | (0x012345u >> 13));  // payload kept, quiet set
  EXPECT_EQ(reference::halfValue(0x0001), std::ldexp(1.0f, -24));
  EXPECT_EQ(reference::halfValue(0x03FF), std::ldexp(1023.0f, -24));
  EXPECT_EQ(reference::halfValue(0x7BFF), 65504.0f);
  EXPECT_EQ(bitsOf(reference::halfValue(0x8000)), 0x80000000u);
  EXPECT_TRUE(std::isnan(reference::halfValue(0x7C01)));
  for (std::uint32_t h = 0; h < 0x10000; ++h) {
    const bool nan = (h & 0x7C00) == 0x7C00 && (h & 0x3FF);
    const std::uint16_t back = halfBits(reference::halfValue(static_cast<std::uint16_t>(h)));
    ASSERT_EQ(back, nan ? (h | 0x200) : h) << std::hex << h;
  }
}

TEST(HalfScalarHelpers, NanBecomesInfinityAndWideningIsExact) {
  EXPECT_EQ(le::f32ToF16(std::numeric_limits<float>::quiet_NaN()), 0x7C00);
  EXPECT_EQ(le::f32ToF16(fromBits(0xFFC00001u)), 0xFC00);
  EXPECT_EQ(le::f32ToF16(-std::numeric_limits<float>::infinity()), 0xFC00);
  EXPECT_EQ(le::f32ToF16(65519.0f), 0x7BFF);
  EXPECT_EQ(le::f32ToF16(std::ldexp(1.0f, -25)), 0x0000);
  EXPECT_EQ(le::f32ToF16(1.5f), 0x3E00);
  const std::uint16_t in[3] = {0x3C00, 0x8001, 0xFBFF};
  float out[3];
  le::halfToFloat(in, out, 3);
  EXPECT_EQ(out[0], 1.0f);
  EXPECT_EQ(out[1], -std::ldexp(1.0f, -24));
  EXPECT_EQ(out[2], -65504.0f);
}

// Lengths that leave every possible tail after whole vectors of 4, 8 or 16.
const std::size_t kLengths[] = {0, 1, 2, 3, 5, 15, 16, 17, 35};

TEST(HalfKernels, EveryTargetMatchesReferenceBits) {
  const std::vector<float> probes = probeFloats();
  std::vector<std::uint16_t> expectHalf(probes.size());
  reference::f32ToF16(probes.data(), expectHalf.data(), probes.size());
  std::vector<std::uint16_t> allHalves(0x10000);
  for (std::uint32_t h = 0; h < 0x10000; ++h) allHalves[h] = static_cast<std::uint16_t>(h);
  std::vector<float> expectWide(allHalves.size());
  reference::f16ToF32(allHalves.data(), expectWide.data(), allHalves.size());
  std::vector<float> b(probes.size());
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> dist(-4.0f, 4.0f);
  for (float& x : b) x = dist(rng);
  std::vector<float> expectMul(probes.size());
  reference::roundF16Mul(probes.data(), b.data(), expectMul.data(), probes.size());

  test::forEachTarget([&](int64_t) {
    std::vector<std::uint16_t> half(probes.size());
    f32ToF16(probes.data(), half.data(), probes.size());
    for (std::size_t i = 0; i < probes.size(); ++i) {
      ASSERT_EQ(half[i], expectHalf[i]) << "input bits " << std::hex << bitsOf(probes[i]);
    }
    std::vector<float> wide(allHalves.size());
    f16ToF32(allHalves.data(), wide.data(), allHalves.size());
    for (std::size_t h = 0; h < allHalves.size(); ++h) {
      ASSERT_EQ(bitsOf(wide[h]), bitsOf(expectWide[h])) << "half " << std::hex << h;
    }
    std::vector<float> mul(probes.size());
    roundF16Mul(probes.data(), b.data(), mul.data(), probes.size());
    for (std::size_t i = 0; i < probes.size(); ++i) {
      const bool bothNan = std::isnan(mul[i]) && std::isnan(expectMul[i]);
      ASSERT_TRUE(bothNan || bitsOf(mul[i]) == bitsOf(expectMul[i])) << "input bits " << std::hex << bitsOf(probes[i]);
    }
    // Short lengths: the tail must neither be skipped nor overrun.
    for (std::size_t n : kLengths) {
      std::vector<std::uint16_t> out(n + 1, 0xABCD);
      f32ToF16(probes.data() + 1000, out.data(), n);
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], expectHalf[1000 + i]) << n;
      EXPECT_EQ(out[n], 0xABCD);
      std::vector<float> w(n + 1, -7.0f);
      f16ToF32(allHalves.data() + 0x3C00, w.data(), n);
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(w[i], expectWide[0x3C00 + i]) << n;
      EXPECT_EQ(w[n], -7.0f);
    }
  });
}

TEST(HalfKernels, Rgb8ToPlanarMatchesOnEveryTarget) {
  std::vector<std::uint8_t> rgb(3 * 300);
  for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>(i * 7 + i / 3);
  rgb[0] = 0;
  rgb[1] = 255;
  test::forEachTarget([&](int64_t) {
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5},
                          std::size_t{17}, std::size_t{300}}) {
      const std::size_t stride = n + 3;
      std::vector<std::uint16_t> got(3 * stride, 0xEEEE), want(3 * stride, 0xEEEE);
      rgb8ToPlanarF16(rgb.data(), got.data(), stride, n);
      reference::rgb8ToPlanarF16(rgb.data(), want.data(), stride, n);
      ASSERT_EQ(got, want) << n;
    }
  });
  std::uint16_t px[3];
  reference::rgb8ToPlanarF16(rgb.data(), px, 1, 1);
  EXPECT_EQ(px[0], 0x0000);
  EXPECT_EQ(px[1], 0x3C00);  // 255 / 255 = 1
}

}  // namespace
}  // namespace le::simd
