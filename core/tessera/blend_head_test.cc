#include "core/tessera/blend_head.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/foundation/pool.h"
#include "core/foundation/simd_reference.h"
#include "core/foundation/simd_test_targets.h"

namespace le::tessera {
namespace {

// The head's forward pass written plainly, one pixel at a time, with the
// same order of operations: the bits the fast path must reproduce.
struct Plain {
  std::vector<float> weights, blend;
};

std::vector<float> pool2(const uint8_t* rgb, int h, int w) {
  const int h2 = (h + 1) / 2, w2 = (w + 1) / 2;
  std::vector<float> out(size_t(3) * h2 * w2);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < h2; ++y)
      for (int x = 0; x < w2; ++x) {
        float sum = 0;
        int count = 0;
        for (int dy = 0; dy < 2; ++dy)
          for (int dx = 0; dx < 2; ++dx)
            if (2 * y + dy < h && 2 * x + dx < w) {
              sum += rgb[(size_t(2 * y + dy) * w + 2 * x + dx) * 3 + c];
              ++count;
            }
        out[(size_t(c) * h2 + y) * w2 + x] = sum / (255.0f * float(count));
      }
  return out;
}

std::vector<float> conv(const std::vector<float>& in, int batch, int cin, int h, int w, const std::vector<float>& wt,
                        const std::vector<float>& b, int cout, bool relu) {
  std::vector<float> out(size_t(batch) * cout * h * w);
  simd::reference::conv3x3Range(in.data(), batch, cin, h, w, wt.data(), b.data(), cout, out.data(), 0, batch * cout);
  if (relu)
    for (float& v : out) v = std::max(v, 0.0f);
  return out;
}

float upsampled(const float* src, int h2, int w2, int y, int x) {
  const float sy = std::clamp((float(y) + 0.5f) * 0.5f - 0.5f, 0.0f, float(h2 - 1));
  const float sx = std::clamp((float(x) + 0.5f) * 0.5f - 0.5f, 0.0f, float(w2 - 1));
  const int y0 = int(sy), y1 = std::min(y0 + 1, h2 - 1), x0 = int(sx), x1 = std::min(x0 + 1, w2 - 1);
  const float fy = sy - float(y0), fx = sx - float(x0);
  const float top = src[y0 * w2 + x0] * (1 - fx) + src[y0 * w2 + x1] * fx;
  const float bot = src[y1 * w2 + x0] * (1 - fx) + src[y1 * w2 + x1] * fx;
  return top * (1 - fy) + bot * fy;
}

Plain plain(const HeadWeights& hw, const std::vector<uint8_t>& cands, int unique, const std::vector<int>& slotOf,
            const std::vector<uint8_t>& query, const std::vector<uint8_t>& map, int h, int w) {
  const int h2 = (h + 1) / 2, w2 = (w + 1) / 2, m = int(slotOf.size());
  const size_t p2 = size_t(h2) * w2, plane = size_t(h) * w;
  const std::vector<float> q = pool2(query.data(), h, w);
  std::vector<float> x(size_t(unique) * 7 * p2);
  for (int k = 0; k < unique; ++k) {
    const std::vector<float> c = pool2(cands.data() + size_t(k) * plane * 3, h, w);
    float* in = x.data() + size_t(k) * 7 * p2;
    std::copy(c.begin(), c.end(), in);
    std::copy(q.begin(), q.end(), in + 3 * p2);
    for (size_t i = 0; i < p2; ++i)
      in[6 * p2 + i] = (std::fabs(c[i] - q[i]) + std::fabs(c[p2 + i] - q[p2 + i]) + std::fabs(c[2 * p2 + i] - q[2 * p2 + i])) / 3.0f;
  }
  const std::vector<float> a = conv(x, unique, 7, h2, w2, hw.cand0_w, hw.cand0_b, 16, true);
  const std::vector<float> b = conv(a, unique, 16, h2, w2, hw.cand2_w, hw.cand2_b, 16, true);
  const std::vector<float> logits = conv(b, unique, 16, h2, w2, hw.cand4_w, hw.cand4_b, 1, false);
  std::vector<float> keep;
  if (hw.hasSyn()) keep = conv(conv(q, 1, 3, h2, w2, hw.syn0_w, hw.syn0_b, 16, true), 1, 16, h2, w2, hw.syn2_w, hw.syn2_b, 1, false);
  Plain r;
  r.weights.resize(size_t(m + 1) * plane);
  r.blend.resize(3 * plane);
  for (size_t p = 0; p < plane; ++p) {
    const int y = int(p) / w, xx = int(p) % w;
    std::vector<float> v(size_t(m) + 1);
    for (int k = 0; k < m; ++k) v[size_t(k)] = upsampled(logits.data() + size_t(slotOf[size_t(k)]) * p2, h2, w2, y, xx);
    v[size_t(m)] = hw.hasSyn() ? upsampled(keep.data(), h2, w2, y, xx) : -std::numeric_limits<float>::infinity();
    float mx = -std::numeric_limits<float>::infinity(), sum = 0;
    for (float l : v) mx = std::max(mx, l);
    for (float& l : v) sum += (l = std::exp(l - mx));
    float acc[3] = {0, 0, 0};
    for (int k = 0; k <= m; ++k) {
      float& s = v[size_t(k)];
      s = std::isfinite(sum) && sum > 0 ? s / sum : (k < m ? 1.0f / float(m) : 0.0f);
      r.weights[size_t(k) * plane + p] = s;
      if (k < m)
        for (int c = 0; c < 3; ++c) acc[c] += s * (cands[(size_t(slotOf[size_t(k)]) * plane + p) * 3 + c] / 255.0f);
    }
    for (int c = 0; c < 3; ++c) r.blend[size_t(c) * plane + p] = map[p] == 0 ? query[p * 3 + c] / 255.0f : acc[c];
  }
  return r;
}

HeadWeights randomHead(bool syn, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> d(0.0f, 0.4f);
  auto fill = [&](size_t n) {
    std::vector<float> v(n);
    for (float& x : v) x = d(rng);
    return v;
  };
  HeadWeights hw;
  hw.cand0_w = fill(16 * 7 * 9), hw.cand0_b = fill(16);
  hw.cand2_w = fill(16 * 16 * 9), hw.cand2_b = fill(16);
  hw.cand4_w = fill(16 * 9), hw.cand4_b = fill(1);
  if (syn) hw.syn0_w = fill(16 * 3 * 9), hw.syn0_b = fill(16), hw.syn2_w = fill(16 * 9), hw.syn2_b = fill(1);
  return hw;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

TEST(BlendHead, MatchesAPlainForwardPassBitForBit) {
  // Odd sizes leave partial 2 x 2 blocks and a last half-resolution column;
  // the candidate list repeats windows; the same output object serves two
  // sizes in turn, as a pass would if its window changed.
  struct Case {
    int h, w, unique;
    std::vector<int> slotOf;
    bool syn;
  };
  const Case cases[] = {{13, 21, 3, {0, 1, 2, 1, 1}, true},
                        {16, 40, 2, {1, 0}, false},
                        {13, 21, 4, {3, 3, 0, 2, 1, 0}, false},
                        {7, 9, 1, {0, 0, 0}, true}};
  BlendOutput out;
  unsigned seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.h << "x" << c.w);
    const HeadWeights hw = randomHead(c.syn, seed);
    std::mt19937 rng(seed++);
    const size_t plane = size_t(c.h) * c.w;
    std::vector<uint8_t> cands(size_t(c.unique) * plane * 3), query(plane * 3), map(plane);
    for (auto& v : cands) v = uint8_t(rng());
    for (auto& v : query) v = uint8_t(rng());
    for (auto& v : map) v = rng() % 3 == 0 ? 0 : uint8_t(rng());
    const Plain want = plain(hw, cands, c.unique, c.slotOf, query, map, c.h, c.w);
    for (int threads : {1, 2}) {
      le::pool::detail::overrideThreadsForTest(threads);
      simd::test::forEachTarget([&](int64_t) {
        blendHeadForward(hw, cands.data(), c.unique, c.slotOf.data(), int(c.slotOf.size()), query.data(), map.data(),
                         c.h, c.w, out);
        EXPECT_TRUE(sameBits(out.weights, want.weights));
        EXPECT_TRUE(sameBits(out.blend, want.blend));
      });
    }
    le::pool::detail::overrideThreadsForTest(0);
  }
}

}  // namespace
}  // namespace le::tessera
