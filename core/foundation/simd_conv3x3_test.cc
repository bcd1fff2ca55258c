#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/foundation/pool.h"
#include "core/foundation/simd.h"
#include "core/foundation/simd_reference.h"
#include "core/foundation/simd_test_targets.h"

namespace le::simd {
namespace {

struct Shape {
  int batch, cin, h, w, cout;
};

struct Problem {
  Shape s;
  std::vector<float> in, weight, bias;
  explicit Problem(Shape shape, unsigned seed) : s(shape) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    in.resize(static_cast<std::size_t>(s.batch) * s.cin * s.h * s.w);
    weight.resize(static_cast<std::size_t>(s.cout) * s.cin * 9);
    bias.resize(s.cout);
    for (float& x : in) x = dist(rng);
    for (float& x : weight) x = dist(rng);
    for (float& x : bias) x = dist(rng);
  }
  std::size_t outSize() const { return static_cast<std::size_t>(s.batch) * s.cout * s.h * s.w; }
  std::vector<float> run(bool ref, int begin, int end) const {
    std::vector<float> out(outSize(), -99.0f);
    auto f = ref ? &reference::conv3x3Range : &conv3x3Range;
    f(in.data(), s.batch, s.cin, s.h, s.w, weight.data(), bias.data(), s.cout, out.data(), begin, end);
    return out;
  }
};

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(Conv3x3, EveryTargetMatchesReferenceBits) {
  const Shape shapes[] = {{1, 1, 1, 1, 1}, {1, 3, 1, 5, 2},  {2, 2, 7, 17, 6}, {1, 5, 4, 33, 9},
                          {3, 4, 3, 16, 5}, {1, 1, 9, 2, 4},  {2, 3, 5, 1, 7},  {3, 16, 4, 64, 1},
                          {2, 4, 3, 70, 2}, {1, 2, 2, 129, 5}};
  unsigned seed = 1;
  for (const Shape& s : shapes) {
    const Problem p(s, seed++);
    const int items = s.batch * s.cout;
    // Whole range, and ranges that start inside an image, cross into the
    // next one, or leave fewer than four channels at the end.
    const int ranges[][2] = {{0, items}, {1, items}, {s.cout > 1 ? s.cout - 1 : 0, items}, {0, items - 1}};
    for (const auto& r : ranges) {
      if (r[0] >= r[1]) continue;
      const std::vector<float> want = p.run(true, r[0], r[1]);
      test::forEachTarget([&](int64_t) {
        EXPECT_TRUE(sameBits(p.run(false, r[0], r[1]), want))
            << s.batch << "x" << s.cin << "x" << s.h << "x" << s.w << " cout " << s.cout << " [" << r[0] << ","
            << r[1] << ")";
      });
    }
  }
}

TEST(Conv3x3, PaddedInputGivesTheSameBitsAndWritesOnlyTheDataColumns) {
  // The teeth head's shapes (one output channel over 16 inputs among them),
  // rows wider than a few vectors, and a NaN input that must survive ReLU;
  // outputs plain and padded, with and without ReLU.
  const Shape shapes[] = {{2, 16, 5, 64, 1}, {2, 7, 4, 64, 6}, {1, 3, 3, 70, 16}, {3, 2, 2, 9, 3}, {1, 1, 1, 1, 1}};
  unsigned seed = 100;
  constexpr float kSentinel = -12345.0f;
  for (const Shape& s : shapes) {
    Problem p(s, seed++);
    p.in[p.in.size() / 2] = std::numeric_limits<float>::quiet_NaN();
    const size_t rw = conv3x3RowWidth(s.w), plane = static_cast<size_t>(s.h) * s.w;
    std::vector<float> padded(static_cast<size_t>(s.batch) * s.cin * s.h * rw + kConv3x3Slack, 0.0f);
    for (size_t r = 0; r < static_cast<size_t>(s.batch) * s.cin * s.h; ++r)
      std::copy_n(p.in.data() + r * s.w, s.w, padded.data() + r * rw + 1);
    const int items = s.batch * s.cout;
    for (const auto& r : {std::pair<int, int>{0, items}, std::pair<int, int>{items / 2, items}}) {
      if (r.first >= r.second) continue;
      const std::vector<float> plain = p.run(true, r.first, r.second);
      for (bool relu : {false, true}) {
        for (bool padOut : {false, true}) {
          const size_t outRow = padOut ? rw : static_cast<size_t>(s.w), offset = padOut ? 1 : 0;
          std::vector<float> want(static_cast<size_t>(items) * s.h * outRow, kSentinel);
          for (size_t k = r.first; k < static_cast<size_t>(r.second); ++k)
            for (int y = 0; y < s.h; ++y)
              for (int x = 0; x < s.w; ++x) {
                const float v = plain[k * plane + static_cast<size_t>(y) * s.w + x];
                want[(k * s.h + y) * outRow + offset + x] = relu ? std::max(v, 0.0f) : v;
              }
          test::forEachTarget([&](int64_t) {
            std::vector<float> got(want.size(), kSentinel);
            conv3x3PaddedRange(padded.data(), s.cin, s.h, s.w, rw, p.weight.data(), p.bias.data(), s.cout, relu,
                               got.data(), outRow, offset, r.first, r.second);
            EXPECT_TRUE(sameBits(got, want)) << s.batch << "x" << s.cin << "x" << s.h << "x" << s.w << " cout "
                                             << s.cout << (relu ? " relu" : "") << (padOut ? " padded" : "");
          });
        }
      }
      test::forEachTarget([&](int64_t) { EXPECT_TRUE(sameBits(p.run(false, r.first, r.second), plain)); });
    }
  }
}

TEST(Conv3x3, SingleRowSkipsRowsOutsideButPadsColumnsWithZero) {
  // 1 x 1 image: only the centre tap contributes.
  const float in1 = 2.0f;
  float w9[9] = {100, 100, 100, 100, 3, 100, 100, 100, 100};
  const float bias = 0.5f;
  float out = 0;
  conv3x3Range(&in1, 1, 1, 1, 1, w9, &bias, 1, &out, 0, 1);
  EXPECT_EQ(out, 6.5f);

  // h = 1: infinite weights on the kernel rows above and below never touch
  // the sum, since those input rows are skipped rather than read as zeros.
  const float inf = std::numeric_limits<float>::infinity();
  const float row[3] = {1.0f, 2.0f, 4.0f};
  float w9b[9] = {inf, inf, inf, 1, 10, 100, inf, inf, inf};
  test::forEachTarget([&](int64_t) {
    float o[3];
    conv3x3Range(row, 1, 1, 1, 3, w9b, &bias, 1, o, 0, 1);
    EXPECT_EQ(o[0], 0.5f + 210.0f);  // 1*0 (padding) + 10*1 + 100*2
    EXPECT_EQ(o[1], 0.5f + 421.0f);
    EXPECT_EQ(o[2], 0.5f + 42.0f);
  });
}

TEST(Conv3x3, ParallelItemsGiveTheSameBitsAsOneCall) {
  const Problem p({4, 3, 6, 20, 8}, 42);
  const int items = 4 * 8;
  const std::vector<float> want = p.run(true, 0, items);
  std::vector<float> got(p.outSize(), -1.0f);
  pool::parallelRange(items, 1, [&](std::uint64_t b, std::uint64_t e) {
    conv3x3Range(p.in.data(), 4, 3, 6, 20, p.weight.data(), p.bias.data(), 8, got.data(), static_cast<int>(b),
                 static_cast<int>(e));
  });
  EXPECT_TRUE(sameBits(got, want));
}

}  // namespace
}  // namespace le::simd
