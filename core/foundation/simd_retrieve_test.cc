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

std::uint32_t bitsOf(float f) {
  std::uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

void expectSameBits(float got, float want, const char* what) {
  if (std::isnan(want)) {
    EXPECT_TRUE(std::isnan(got)) << what;
  } else {
    EXPECT_EQ(bitsOf(got), bitsOf(want)) << what << " got " << got << " want " << want;
  }
}

struct Images {
  std::vector<std::uint16_t> a, b, wHalf;
  std::vector<float> w;
};

Images makeImages(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> pix(0.0f, 1.0f);
  std::uniform_real_distribution<float> wt(0.0f, 3.0f);
  Images im;
  for (std::size_t i = 0; i < 3 * n; ++i) {
    im.a.push_back(le::f32ToF16(pix(rng)));
    im.b.push_back(le::f32ToF16(pix(rng)));
  }
  for (std::size_t j = 0; j < n; ++j) {
    const float x = (j % 7 == 3) ? 0.0f : wt(rng);
    im.w.push_back(x);
    im.wHalf.push_back(le::f32ToF16(x));
  }
  return im;
}

TEST(RetrieveReference, PooledIsWeightedMeanAbsoluteDifference) {
  // Pixel 0: |1-0| in every channel -> mean 1, weight 0.5.
  // Pixel 1: differences 0.25, 0.5, 0.75 -> mean 0.5, weight 2.
  const std::uint16_t one = 0x3C00, zero = 0;
  std::vector<std::uint16_t> a = {one, le::f32ToF16(0.25f), one, le::f32ToF16(0.5f), one, le::f32ToF16(0.75f)};
  std::vector<std::uint16_t> b = {zero, zero, zero, zero, zero, zero};
  std::vector<std::uint16_t> w = {le::f32ToF16(0.5f), le::f32ToF16(2.0f)};
  EXPECT_EQ(retrieveTermPooled(a.data(), b.data(), w.data(), 2), 1.5f);
  std::vector<float> wf = {0.5f, 2.0f};
  EXPECT_EQ(retrieveTermExact(a.data(), b.data(), wf.data(), 2), 1.5f);
  EXPECT_EQ(retrieveTermExactRange(a.data(), b.data(), wf.data(), 2, 1, 2), 1.0f);
  EXPECT_EQ(retrieveTermExactRange(a.data(), b.data(), wf.data(), 2, 1, 1), 0.0f);
  EXPECT_EQ(retrieveTermPooled(a.data(), b.data(), w.data(), 0), 0.0f);
  // d / 3 is a true division rounded to half: 1/3 of 3 * 0.1 is not 0.1 in floats.
  const float tenth = reference::roundHalf(0.1f);
  EXPECT_EQ(reference::pooledDifference(std::vector<std::uint16_t>(3, le::f32ToF16(0.1f)).data(),
                                        std::vector<std::uint16_t>(3, 0).data(), 1, 0),
            reference::roundHalf((tenth + tenth + tenth) / 3.0f));
}

TEST(RetrieveKernels, EveryTargetMatchesReferenceBits) {
  const std::size_t lengths[] = {1, 2, 3, 5, 8, 15, 16, 17, 33, 1000};
  test::forEachTarget([&](int64_t) {
    for (std::size_t n : lengths) {
      const Images im = makeImages(n, static_cast<unsigned>(n));
      expectSameBits(retrieveTermPooled(im.a.data(), im.b.data(), im.wHalf.data(), n),
                     reference::retrieveTermPooled(im.a.data(), im.b.data(), im.wHalf.data(), n), "pooled");
      expectSameBits(retrieveTermExact(im.a.data(), im.b.data(), im.w.data(), n),
                     reference::retrieveTermExactRange(im.a.data(), im.b.data(), im.w.data(), n, 0, n), "exact");
      for (std::size_t begin : {std::size_t{0}, std::size_t{1}, n / 3}) {
        for (std::size_t end : {n, n - n / 4, begin}) {
          if (end < begin) continue;
          expectSameBits(
              retrieveTermExactRange(im.a.data(), im.b.data(), im.w.data(), n, begin, end),
              reference::retrieveTermExactRange(im.a.data(), im.b.data(), im.w.data(), n, begin, end), "range");
        }
      }
    }
  });
}

TEST(RetrieveKernels, ZeroWeightGuardsOnlyTheExactTerm) {
  const std::size_t n = 21;  // non-finite pixel in the vector part and in the tail
  Images im = makeImages(n, 11);
  for (std::size_t j : {std::size_t{2}, std::size_t{20}}) {
    im.a[j] = 0x7C00;            // +inf in channel 0
    im.b[j] = 0x7C00;            // inf - inf = NaN
    im.a[2 * n + j] = 0x7E00;    // NaN in channel 2
    im.w[j] = 0.0f;
    im.wHalf[j] = 0;
  }
  test::forEachTarget([&](int64_t) {
    const float exact = retrieveTermExact(im.a.data(), im.b.data(), im.w.data(), n);
    EXPECT_TRUE(std::isfinite(exact));
    EXPECT_EQ(bitsOf(exact),
              bitsOf(reference::retrieveTermExactRange(im.a.data(), im.b.data(), im.w.data(), n, 0, n)));
    EXPECT_TRUE(std::isnan(retrieveTermPooled(im.a.data(), im.b.data(), im.wHalf.data(), n)));
  });
}

TEST(RetrieveKernels, PooledInterleavedMatchesOneImageAtATimeOnEveryTarget) {
  // Subnormal and zero halves among the images; lengths with and without a
  // vector's worth of pixels.
  const std::size_t G = kPooledGroup;
  for (std::size_t n : {std::size_t{1}, std::size_t{5}, std::size_t{37}}) {
    const std::size_t groups = 3;
    std::mt19937 rng(static_cast<unsigned>(n));
    std::uniform_real_distribution<float> pix(0.0f, 1.0f);
    std::vector<std::vector<std::uint16_t>> images(groups * G, std::vector<std::uint16_t>(3 * n));
    std::vector<std::uint16_t> a(groups * G * 3 * n);
    for (std::size_t i = 0; i < images.size(); ++i)
      for (std::size_t e = 0; e < 3 * n; ++e) {
        const std::uint16_t h = e % 11 == 4 ? static_cast<std::uint16_t>(rng() % 0x400) : le::f32ToF16(pix(rng));
        images[i][e] = h;
        a[((i / G) * 3 * n + e) * G + i % G] = h;
      }
    const Images q = makeImages(n, 7);
    std::vector<float> b(3 * n), w(n), want(groups * G);
    reference::f16ToF32(q.a.data(), b.data(), 3 * n);
    reference::f16ToF32(q.wHalf.data(), w.data(), n);
    for (std::size_t i = 0; i < images.size(); ++i)
      want[i] = reference::retrieveTermPooled(images[i].data(), q.a.data(), q.wHalf.data(), n);
    test::forEachTarget([&](int64_t) {
      std::vector<float> got(groups * G, -1.0f);
      retrieveTermPooledInterleaved(a.data(), groups, b.data(), w.data(), n, got.data());
      EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0) << "n " << n;
    });
  }
}

TEST(RetrieveKernels, BandRowMatchesReferenceBitsOnEveryTarget) {
  // Every byte value against every query half a byte can give, at lengths
  // that leave tails of every size, with a plane stride wider than the row.
  const std::size_t n = 256 * 3 + 5, stride = n + 7;
  std::mt19937 rng(11);
  std::vector<std::uint16_t> q(3 * stride);
  std::vector<std::uint8_t> s(3 * n);
  std::vector<float> w(n);
  for (std::size_t k = 0; k < n; ++k) {
    for (std::size_t c = 0; c < 3; ++c) {
      s[3 * k + c] = static_cast<std::uint8_t>((k + 85 * c) % 256);
      q[c * stride + k] = reference::halfBits(static_cast<float>(rng() % 256) / 255.0f);
    }
    w[k] = k % 5 == 0 ? 0.0f : static_cast<float>(rng() % 1000) / 7.0f;
  }
  for (std::size_t len : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{5}, std::size_t{17}, n}) {
    std::vector<float> want(len + 1, -1.0f);
    reference::retrieveBandRow(q.data(), stride, s.data(), w.data(), len, want.data());
    test::forEachTarget([&](int64_t) {
      std::vector<float> got(len + 1, -1.0f);
      retrieveBandRow(q.data(), stride, s.data(), w.data(), len, got.data());
      EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0) << "length " << len;
    });
  }
}

TEST(RetrieveReference, BandRowIsTheWeightedPooledDifferenceOfTheBytesAsHalves) {
  // Query 255 against stored 0 in every channel: difference 1, weight 2.
  const std::uint16_t one[3] = {0x3C00, 0x3C00, 0x3C00};
  const std::uint8_t zero[3] = {0, 0, 0};
  const float w = 2.0f;
  float prod = 0;
  reference::retrieveBandRow(one, 1, zero, &w, 1, &prod);
  EXPECT_EQ(prod, 2.0f);
}

}  // namespace
}  // namespace le::simd
