#include "core/tessera/teeth_pass.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <thread>

#include "core/foundation/pool.h"
#include "core/foundation/simd.h"
#include "core/foundation/simd_reference.h"
#include "core/foundation/simd_test_targets.h"
#include "core/tessera/member_fixture.h"
#include "tests/test_support.h"

namespace {

using namespace le::tessera;
using le::simd::reference::halfBits;
using le::simd::reference::roundHalf;
using Bytes = std::vector<uint8_t>;

// canvas 64, window 32 x 24 at (16, 28), pad 3, band rows 4..20, cols 4..28,
// shift margin 2: stored bands of 20 x 28.
const int32_t kStamp[12] = {64, 64, 16, 28, 32, 24, 3, 4, 20, 4, 28, 2};
constexpr double kCanonX = 32, kCanonY = 40;

uint32_t hash(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  return x ^ (x >> 16);
}

// n donors of distinct colour and texture; even donors show a bright,
// teeth-like block. Donors 5 and 6 are identical (ties).
BankData makeBank(int n) {
  BankData b;
  b.stamp = GeometryStamp::fromArray(kStamp);
  b.n = n;
  const int H = b.stamp.storedH(), W = b.stamp.storedW();
  b.stored.resize(size_t(n) * H * W * 3);
  for (int d = 0; d < n; ++d) {
    const int src = d == 6 ? 5 : d;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        uint8_t* p = &b.stored[((size_t(d) * H + y) * W + x) * 3];
        const bool teeth = src % 2 == 0 && y >= 6 && y < 14 && x >= 6 && x < 22;
        for (int c = 0; c < 3; ++c)
          p[c] = teeth ? uint8_t(200 + (hash(src * 7919 + y * 131 + x * 17 + c) % 40))
                       : uint8_t((60 + 37 * src + 23 * c + (hash(src * 31 + y * 7 + x + c) % 50)) % 256);
      }
    b.cent.push_back(kCanonX + (src % 5) - 2);         // x
    b.cent.push_back(kCanonY + (src % 3) - 1 + 0.5);   // y; .5 ties round to even
    b.aperture.push_back(src >= 9 ? 1.0 : 0.30 + 0.01 * src);
  }
  b.c_canon = {kCanonX, kCanonY};
  return b;
}

const HeadWeights& head() {
  static const HeadWeights w = [] {
    auto v = le::test::readFile(le::test::tesseraVariant("heads") + "/ok.pt");
    return loadHeadPt(v.data(), v.size());
  }();
  return w;
}

ServeConfig config(int kshort, int cut, int K, int hysteresis = 8, int lookahead = 8, double tol = 0.3) {
  ServeConfig c;
  c.kshort = kshort, c.cut = cut, c.K = K, c.hysteresis = hysteresis, c.lookahead = lookahead, c.aperture_tol = tol;
  return c;
}

struct Frame {
  Bytes canvas = Bytes(64 * 64 * 3);
  Bytes mask = Bytes(64 * 64, 0);
};

// A frame whose window, at shift (dy, dx), shows donor `donor`'s mouth
// brightened by `lift`, under an elliptical mask centred on the mouth.
Frame makeFrame(const BankData& b, int donor, int dy, int dx, int lift, uint32_t seed, bool bright = true) {
  Frame f;
  for (size_t i = 0; i < f.canvas.size(); ++i) f.canvas[i] = uint8_t(hash(seed * 1000003u + uint32_t(i)) % 256);
  const GeometryStamp& s = b.stamp;
  const int H = s.storedH(), W = s.storedW();
  const int ddy = int(std::nearbyint(b.cent[2 * donor + 1] - kCanonY)), ddx = int(std::nearbyint(b.cent[2 * donor] - kCanonX));
  const int sy = std::clamp(s.pad + ddy, 0, 2 * s.pad), sx = std::clamp(s.pad + ddx, 0, 2 * s.pad);
  for (int i = 0; i < s.window_h; ++i)
    for (int j = 0; j < s.window_w; ++j) {
      const int br = i + sy - s.pad + s.shift_margin - s.band_r0, bc = j + sx - s.pad + s.shift_margin - s.band_c0;
      uint8_t* p = &f.canvas[(size_t(s.window_y0 + dy + i) * 64 + size_t(s.window_x0 + dx + j)) * 3];
      for (int c = 0; c < 3; ++c) {
        const int v = (br >= 0 && br < H && bc >= 0 && bc < W) ? b.stored[((size_t(donor) * H + br) * W + bc) * 3 + c] : 0;
        p[c] = uint8_t(std::clamp(bright ? v + lift : v / 3, 0, 255));
      }
    }
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) {
      const double ex = (x - (kCanonX + dx)) / 11.0, ey = (y - (kCanonY + dy)) / 6.0;
      f.mask[size_t(y) * 64 + x] = ex * ex + ey * ey <= 1 ? 255 : (ex * ex + ey * ey <= 1.3 ? 100 : 0);
    }
  return f;
}

// ---- Brute-force retrieval, written from the rules ----
struct Ref {
  std::vector<float> pooled, exact;
  std::vector<int> order, cands;
  std::vector<float> weight;
};

Ref reference(const BankData& b, const ServeConfig& c, const Frame& f, int dy, int dx,
              const std::vector<float>* prev = nullptr) {
  const GeometryStamp& s = b.stamp;
  const int WH = s.window_h, WW = s.window_w, SH = s.storedH(), SW = s.storedW(), PH = WH / 4, PW = WW / 4;
  auto donorPixel = [&](int d, int i, int j, int c) -> int {
    const int ddy = int(std::nearbyint(b.cent[2 * d + 1] - b.c_canon[1]));
    const int ddx = int(std::nearbyint(b.cent[2 * d] - b.c_canon[0]));
    const int br = i + std::clamp(s.pad + ddy, 0, 2 * s.pad) - s.pad + s.shift_margin - s.band_r0;
    const int bc = j + std::clamp(s.pad + ddx, 0, 2 * s.pad) - s.pad + s.shift_margin - s.band_c0;
    if (br < 0 || br >= SH || bc < 0 || bc >= SW) return 0;
    return b.stored[((size_t(d) * SH + br) * SW + bc) * 3 + c];
  };
  auto q = [&](int i, int j, int c) { return int(f.canvas[(size_t(s.window_y0 + dy + i) * 64 + s.window_x0 + dx + j) * 3 + c]); };
  auto m = [&](int i, int j) { return int(f.mask[size_t(s.window_y0 + dy + i) * 64 + s.window_x0 + dx + j]); };

  Ref r;
  r.weight.assign(size_t(WH) * WW, 0);
  int teeth = 0;
  for (int i = 0; i < WH; ++i)
    for (int j = 0; j < WW; ++j) {
      const float R = float(q(i, j, 0)), G = float(q(i, j, 1)), B = float(q(i, j, 2));
      if (m(i, j) / 255.0f > 0.5f && 0.299f * R + 0.587f * G + 0.114f * B >= 100 && std::fabs(G - R) < 25) {
        r.weight[size_t(i) * WW + j] = 1;
        ++teeth;
      }
    }
  if (teeth < 32)
    for (int i = 0; i < WH; ++i)
      for (int j = 0; j < WW; ++j) r.weight[size_t(i) * WW + j] = m(i, j) >= 128 ? 1.0f : 0.0f;
  if (prev)
    for (size_t p = 0; p < r.weight.size(); ++p) r.weight[p] = std::max(r.weight[p], 0.6f * (*prev)[p]);
  double norm = 0;
  for (float w : r.weight) norm += w;
  norm = std::max(norm, 1.0);

  const size_t PP = size_t(PH) * PW;
  std::vector<uint16_t> qp(3 * PP), wp(PP), dp(3 * PP);
  for (int py = 0; py < PH; ++py)
    for (int px = 0; px < PW; ++px) {
      float sq[3] = {0, 0, 0}, sw = 0;
      for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
          for (int c = 0; c < 3; ++c) sq[c] += q(4 * py + y, 4 * px + x, c) / 255.0f;
          sw += r.weight[size_t(4 * py + y) * WW + 4 * px + x];
        }
      for (int c = 0; c < 3; ++c) qp[c * PP + py * PW + px] = halfBits(sq[c] / 16.0f);
      wp[py * PW + px] = halfBits(sw / 16.0f);
    }
  for (int d = 0; d < b.n; ++d) {
    for (int c = 0; c < 3; ++c)
      for (int py = 0; py < PH; ++py)
        for (int px = 0; px < PW; ++px) {
          float sum = 0;
          for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) sum += roundHalf(donorPixel(d, 4 * py + y, 4 * px + x, c) / 255.0f);
          dp[c * PP + py * PW + px] = halfBits(sum / 16.0f);
        }
    r.pooled.push_back(roundHalf(le::simd::reference::retrieveTermPooled(dp.data(), qp.data(), wp.data(), PP)));
  }
  std::vector<int> all(size_t(b.n));
  std::iota(all.begin(), all.end(), 0);
  std::stable_sort(all.begin(), all.end(), [&](int a, int z) { return r.pooled[a] < r.pooled[z]; });
  all.resize(std::min<size_t>(all.size(), size_t(c.kshort)));
  std::vector<float> ex(size_t(b.n), 0);
  for (int d : all) {
    float sum = 0;
    for (int i = s.band_r0; i < s.band_r1; ++i)
      for (int j = s.band_c0; j < s.band_c1; ++j) {
        const float w = r.weight[size_t(i) * WW + j];
        if (w == 0) continue;
        float dist = 0;
        for (int c = 0; c < 3; ++c)
          dist += std::fabs(roundHalf(roundHalf(donorPixel(d, i, j, c) / 255.0f) - roundHalf(q(i, j, c) / 255.0f)));
        sum += w * roundHalf(dist / 3.0f);
      }
    ex[size_t(d)] = float(sum / norm);
  }
  std::stable_sort(all.begin(), all.end(), [&](int a, int z) { return ex[a] < ex[z]; });
  r.order = all;
  for (int d : all) r.exact.push_back(ex[size_t(d)]);
  const double ap = b.aperture[size_t(all[0])];
  for (size_t k = 0; k < std::min<size_t>(all.size(), size_t(c.cut)) && r.cands.size() < size_t(c.K); ++k)
    if (std::fabs(b.aperture[size_t(all[k])] - ap) <= std::max(ap, 1e-6) * c.aperture_tol) r.cands.push_back(all[k]);
  if (r.cands.empty()) r.cands.push_back(all[0]);
  while (r.cands.size() < size_t(c.K)) r.cands.push_back(r.cands.back());
  return r;
}

void expectSame(const Retrieval& got, const Ref& want) {
  EXPECT_EQ(got.pooled, want.pooled);
  EXPECT_EQ(got.exact_order, want.order);
  EXPECT_EQ(got.exact, want.exact);
  EXPECT_EQ(got.candidates, want.cands);
}

TEST(TeethPassRetrieval, MatchesABruteForceReference) {
  const BankData bank = makeBank(12);
  const ServeConfig cfg = config(/*kshort*/ 9, /*cut*/ 7, /*K*/ 10);
  struct Q {
    int donor, dy, dx, lift;
    bool bright;
  };
  for (const Q& q : {Q{2, 0, 0, 10, true}, Q{4, 2, -1, 0, true}, Q{7, -3, 3, 5, true}, Q{5, 1, 2, 0, false}}) {
    SCOPED_TRACE(q.donor);
    const Frame f = makeFrame(bank, q.donor, q.dy, q.dx, q.lift, 11, q.bright);
    TeethPass pass(bank, head(), cfg);
    const Ref want = reference(bank, cfg, f, q.dy, q.dx);
    expectSame(pass.retrieve(f.canvas.data(), f.mask.data(), q.dy, q.dx), want);
    // Identical donors 5 and 6 keep their index order wherever they rank.
    const auto a = std::find(want.order.begin(), want.order.end(), 5);
    const auto z = std::find(want.order.begin(), want.order.end(), 6);
    if (a != want.order.end() && z != want.order.end()) {
      EXPECT_LT(a, z);
    }
    // The second query carries 0.6 of the first's weights.
    const Frame g = makeFrame(bank, (q.donor + 3) % 12, 0, 0, 0, 12);
    expectSame(pass.retrieve(g.canvas.data(), g.mask.data(), 0, 0), reference(bank, cfg, g, 0, 0, &want.weight));
  }
}

TEST(TeethPassRetrieval, BandTermsEqualTheDifferenceTableOnEveryByteValue) {
  // Every (query, stored) byte pair in the first channel, mixed pairs in the
  // others: w * roundHalf((T[q0][s0] + T[q1][s1] + T[q2][s2]) / 3).
  const float* T = TeethPass::dTable();
  const size_t n = 256 * 256;
  std::vector<uint8_t> q(3 * n), s(3 * n);
  std::vector<float> w(n), prod(n);
  for (size_t k = 0; k < n; ++k) {
    const uint8_t a = uint8_t(k / 256), b = uint8_t(k % 256);
    const uint8_t qp[3] = {a, b, uint8_t(a ^ b)}, sp[3] = {b, uint8_t(255 - a), uint8_t(a + b)};
    std::copy_n(qp, 3, &q[3 * k]);
    std::copy_n(sp, 3, &s[3 * k]);
    w[k] = k % 3 == 0 ? 1.0f : 0.6f;
  }
  std::vector<uint16_t> half(3 * n);
  le::simd::rgb8ToPlanarF16(q.data(), half.data(), n, n);
  le::simd::retrieveBandRow(half.data(), n, s.data(), w.data(), n, prod.data());
  size_t wrong = 0;
  for (size_t k = 0; k < n; ++k) {
    const float d = (T[q[3 * k] * 256 + s[3 * k]] + T[q[3 * k + 1] * 256 + s[3 * k + 1]] +
                     T[q[3 * k + 2] * 256 + s[3 * k + 2]]) /
                    3.0f;
    wrong += prod[k] != w[k] * roundHalf(d);
  }
  EXPECT_EQ(wrong, 0u);
}

TEST(TeethPassRetrieval, DonorsShiftedPastTheStoredBandCompareAgainstZero) {
  // Shifts of +-pad move the placement past the shift margin: band rows and
  // columns at either edge then fall outside the stored band.
  BankData bank = makeBank(11);
  const double off[][2] = {{3, 3}, {-3, -3}, {3, -3}, {-3, 3}, {3, 0}, {0, -3}};
  for (size_t d = 0; d < 6; ++d) {
    bank.cent[2 * d] = kCanonX + off[d][0];
    bank.cent[2 * d + 1] = kCanonY + off[d][1];
  }
  const ServeConfig cfg = config(/*kshort*/ 11, /*cut*/ 11, /*K*/ 4);
  const Frame f = makeFrame(bank, 8, 1, -1, 0, 3);
  TeethPass pass(bank, head(), cfg);
  expectSame(pass.retrieve(f.canvas.data(), f.mask.data(), 1, -1), reference(bank, cfg, f, 1, -1));
}

TEST(TeethPassRetrieval, ApertureGateAndPaddingToK) {
  const BankData bank = makeBank(12);
  const Frame f = makeFrame(bank, 10, 0, 0, 0, 3);
  // Donors 9..11 have aperture 1.0, the rest about 0.3: a tight tolerance
  // keeps only the best donor's group, then repeats the last kept one.
  TeethPass pass(bank, head(), config(12, 12, 8, 8, 8, 0.05));
  const Retrieval r = pass.retrieve(f.canvas.data(), f.mask.data(), 0, 0);
  ASSERT_EQ(r.candidates.size(), 8u);
  EXPECT_EQ(r.exact_order.size(), 12u);
  std::vector<int> kept;
  for (int d : r.exact_order)
    if (d >= 9) kept.push_back(d);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(r.exact_order[0], 10);
  EXPECT_EQ(std::vector<int>(r.candidates.begin(), r.candidates.begin() + 3), kept);
  EXPECT_EQ(std::vector<int>(r.candidates.begin() + 3, r.candidates.end()), std::vector<int>(5, kept.back()));

  BankData one = makeBank(1);
  TeethPass single(one, head(), config(512, 96, 64));
  const Frame g = makeFrame(one, 0, 1, 1, 0, 4);
  EXPECT_EQ(single.retrieve(g.canvas.data(), g.mask.data(), 1, 1).candidates, std::vector<int>(64, 0));
}

TEST(TeethPass, ReadsTheCanvasOnlyWithinPadOfTheWindow) {
  // Garbling every canvas byte outside the read region changes nothing,
  // at shifts up to +-pad in both directions.
  const BankData bank = makeBank(12);
  TeethPass plain(bank, head(), config(12, 12, 6)), garbled(bank, head(), config(12, 12, 6));
  const auto [y0, y1] = plain.readRows();
  const auto [x0, x1] = plain.readCols();
  EXPECT_EQ(y0, 25);  // window rows 28..52, columns 16..48, pad 3
  EXPECT_EQ(y1, 55);
  EXPECT_EQ(x0, 13);
  EXPECT_EQ(x1, 51);
  const int shifts[][2] = {{3, -3}, {-3, 3}, {0, 0}};
  FrameResult a, b;
  for (int f = 0; f < 3; ++f) {
    const Frame in = makeFrame(bank, 2 * f, shifts[f][0], shifts[f][1], 0, 20 + f);
    std::vector<uint8_t> canvas = in.canvas;
    for (int y = 0; y < 64; ++y)
      for (int x = 0; x < 64; ++x)
        if (y < y0 || y >= y1 || x < x0 || x >= x1)
          for (int c = 0; c < 3; ++c) canvas[(size_t(y) * 64 + x) * 3 + c] = uint8_t(hash(uint32_t(y * 64 + x + c)));
    const bool ea = plain.push(f, in.canvas.data(), in.mask.data(), shifts[f], &a);
    const bool eb = garbled.push(f, canvas.data(), in.mask.data(), shifts[f], &b);
    ASSERT_EQ(ea, eb);
    if (ea) {
      EXPECT_EQ(a.window, b.window);
      EXPECT_EQ(a.donors, b.donors);
    }
  }
  ASSERT_TRUE(plain.flush(&a) && garbled.flush(&b));
  EXPECT_FALSE(a.skipped);
  EXPECT_EQ(a.window, b.window);
}

TEST(TeethPass, HoldsOneFrameBackAndSkipsFramesWithoutAShift) {
  const BankData bank = makeBank(12);
  TeethPass pass(bank, head(), config(12, 12, 6));
  const Frame f = makeFrame(bank, 2, 0, 0, 0, 5);
  FrameResult r;
  EXPECT_FALSE(pass.flush(&r));
  EXPECT_FALSE(pass.push(0, f.canvas.data(), f.mask.data(), nullptr, &r));
  EXPECT_TRUE(pass.flush(&r));
  EXPECT_FALSE(r.skipped);
  EXPECT_EQ(r.frame_index, 0);
  EXPECT_EQ(r.candidates, 6);
  EXPECT_EQ(r.window.size(), size_t(32 * 24 * 3));
  EXPECT_FALSE(pass.flush(&r));

  Frame empty = f;
  std::fill(empty.mask.begin(), empty.mask.end(), 127);  // nothing reaches 128
  const Frame far = makeFrame(bank, 2, 0, 0, 0, 5);
  const int tooFar[2] = {0, 4};
  EXPECT_FALSE(pass.push(1, empty.canvas.data(), empty.mask.data(), nullptr, &r));
  EXPECT_TRUE(pass.push(2, far.canvas.data(), far.mask.data(), tooFar, &r));
  EXPECT_TRUE(r.skipped);
  EXPECT_EQ(r.reason, "empty-pi");
  EXPECT_EQ(r.candidates, 0);
  EXPECT_TRUE(r.window.empty());
  // A mask whose centroid lies 4 px off (pad 3) is out of range as well.
  const Frame off = makeFrame(bank, 2, 0, 0, 0, 6);
  Frame moved = off;
  std::fill(moved.mask.begin(), moved.mask.end(), 0);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 60; ++x) moved.mask[size_t(y) * 64 + x + 4] = off.mask[size_t(y) * 64 + x];
  EXPECT_TRUE(pass.push(3, moved.canvas.data(), moved.mask.data(), nullptr, &r));
  EXPECT_EQ(r.reason, "shift-out-of-range");
  EXPECT_TRUE(pass.flush(&r));
  EXPECT_EQ(r.reason, "shift-out-of-range");
  EXPECT_EQ(pass.stats().frames, 1);
}

TEST(TeethPass, LookaheadLeadsAndMemoryCarriesAcrossConsecutiveFramesOnly) {
  const BankData bank = makeBank(12);
  const Frame a = makeFrame(bank, 2, 0, 0, 0, 7), b = makeFrame(bank, 9, 1, 0, 0, 8);
  // Candidate lists of both frames, with the same carried weights.
  TeethPass probe(bank, head(), config(12, 12, 6, 0, 3));
  const std::vector<int> ca = probe.retrieve(a.canvas.data(), a.mask.data(), 0, 0).candidates;
  const std::vector<int> cb = probe.retrieve(b.canvas.data(), b.mask.data(), 1, 0).candidates;

  // No memory (hysteresis 0): frame 0 = b's first 3, then a's not among them.
  TeethPass look(bank, head(), config(12, 12, 6, 0, 3));
  FrameResult r;
  look.push(0, a.canvas.data(), a.mask.data(), nullptr, &r);
  ASSERT_TRUE(look.push(1, b.canvas.data(), b.mask.data(), nullptr, &r));
  std::vector<int> want(cb.begin(), cb.begin() + 3);
  for (int d : ca)
    if (std::find(want.begin(), want.begin() + 3, d) == want.begin() + 3) want.push_back(d);
  want.resize(std::min<size_t>(want.size(), 6));
  EXPECT_EQ(r.donors, want);

  // Memory of 2, no lookahead: frame 1 starts with two of frame 0's donors;
  // after a gap in the indices it starts from its own list.
  for (int second : {1, 2}) {
    SCOPED_TRACE(second);
    TeethPass mem(bank, head(), config(12, 12, 6, 2, 0));
    FrameResult r0, r1;
    mem.push(0, a.canvas.data(), a.mask.data(), nullptr, &r0);
    ASSERT_TRUE(mem.push(second, b.canvas.data(), b.mask.data(), nullptr, &r0));
    ASSERT_TRUE(mem.flush(&r1));
    if (second == 1) {
      ASSERT_GE(r1.donors.size(), 2u);
      for (int k = 0; k < 2; ++k)
        EXPECT_NE(std::find(r0.donors.begin(), r0.donors.end(), r1.donors[k]), r0.donors.end());
      EXPECT_NE(r1.donors, cb);
    } else {
      EXPECT_EQ(r1.donors, cb);
    }
  }
}

TEST(TeethPass, TheCarriedWeightMapDoesNotOutliveItsRun) {
  // After a flush or a gap in the indices, a frame is served as a fresh pass
  // would serve it: the last run's mouth does not steer its retrieval.
  const BankData bank = makeBank(12);
  // Frame b shows donor 9's mouth inside a small mask and donor 4's around it.
  Frame b = makeFrame(bank, 9, 1, 0, 0, 8);
  const Frame around = makeFrame(bank, 4, 1, 0, 0, 8);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) {
      const size_t p = size_t(y) * 64 + size_t(x);
      const bool inside = std::abs(x - int(kCanonX)) <= 4 && std::abs(y - int(kCanonY) - 1) <= 3;
      b.mask[p] = inside ? 255 : 0;
      if (!inside) std::copy_n(around.canvas.data() + 3 * p, 3, b.canvas.data() + 3 * p);
    }
  // The earlier run's mask covers the whole canvas: carried on, it would
  // weight donor 4's pixels too.
  Frame a = b;
  std::fill(a.mask.begin(), a.mask.end(), 255);
  const int shift[2] = {1, 0};
  TeethPass fresh(bank, head(), config(12, 12, 6, 0, 0));
  FrameResult want;
  fresh.push(4, b.canvas.data(), b.mask.data(), shift, &want);
  ASSERT_TRUE(fresh.flush(&want));
  for (const bool flushBetween : {true, false}) {
    SCOPED_TRACE(flushBetween ? "flush" : "gap");
    TeethPass pass(bank, head(), config(12, 12, 6, 0, 0));
    FrameResult r;
    for (int i = 0; i < 3; ++i) pass.push(i, a.canvas.data(), a.mask.data(), shift, &r);
    if (flushBetween) pass.flush(&r);
    pass.push(4, b.canvas.data(), b.mask.data(), shift, &r);
    ASSERT_TRUE(pass.flush(&r));
    EXPECT_EQ(r.donors, want.donors);
    EXPECT_TRUE(r.window == want.window);
  }
}

// What a fresh pass makes of frame 1.
FrameResult servedFresh(const BankData& bank, const Frame& f) {
  TeethPass fresh(bank, head(), config(12, 12, 6, 2, 3));
  FrameResult r;
  fresh.push(1, f.canvas.data(), f.mask.data(), nullptr, &r);
  EXPECT_TRUE(fresh.flush(&r));
  return r;
}

TEST(TeethPass, ADiscardedFrameIsNeverComputedAndSteersNothing) {
  // The held frame of an abandoned run is dropped unserved; the frame after
  // it, even at the index that would continue the run, is served as a fresh
  // pass serves it (no donor memory, no carried weights).
  const BankData bank = makeBank(12);
  const Frame a = makeFrame(bank, 2, 0, 0, 0, 7), b = makeFrame(bank, 9, 1, 0, 0, 8);
  const FrameResult want = servedFresh(bank, b);

  TeethPass pass(bank, head(), config(12, 12, 6, 2, 3));
  EXPECT_FALSE(pass.discard());
  FrameResult r;
  pass.push(0, a.canvas.data(), a.mask.data(), nullptr, &r);
  ASSERT_TRUE(pass.push(1, a.canvas.data(), a.mask.data(), nullptr, &r));
  EXPECT_TRUE(pass.discard());
  EXPECT_EQ(pass.stats().frames, 1) << "the discarded frame was computed";
  EXPECT_FALSE(pass.flush(&r));
  EXPECT_FALSE(pass.push(1, b.canvas.data(), b.mask.data(), nullptr, &r));
  ASSERT_TRUE(pass.flush(&r));
  EXPECT_EQ(r.donors, want.donors);
  EXPECT_TRUE(r.window == want.window);
}

TEST(TeethPass, AStoppedPassDropsItsFramesAtEveryStageAndServesTheNextAfresh) {
  const BankData bank = makeBank(12);
  const Frame a = makeFrame(bank, 2, 0, 0, 0, 7), b = makeFrame(bank, 9, 1, 0, 0, 8);
  const FrameResult want = servedFresh(bank, b);

  // The check answers true on its stopAt-th question: after the retrieval,
  // before the head and after it.
  for (int stopAt = 1; stopAt <= 3; ++stopAt) {
    TeethPass pass(bank, head(), config(12, 12, 6, 2, 3));
    FrameResult r;
    pass.push(0, a.canvas.data(), a.mask.data(), nullptr, &r);
    int asked = 0;
    pass.setStopCheck([&] { return ++asked == stopAt; });
    EXPECT_THROW(pass.push(1, a.canvas.data(), a.mask.data(), nullptr, &r), TeethPass::Stopped) << stopAt;
    pass.setStopCheck(nullptr);
    EXPECT_FALSE(pass.flush(&r)) << stopAt;
    EXPECT_FALSE(pass.push(1, b.canvas.data(), b.mask.data(), nullptr, &r));
    ASSERT_TRUE(pass.flush(&r));
    EXPECT_EQ(r.donors, want.donors) << stopAt;
    EXPECT_TRUE(r.window == want.window) << stopAt;
  }
}

TEST(TeethPass, TheHeadPrefersTheMatchingDonor) {
  const BankData bank = makeBank(12);
  const Frame f = makeFrame(bank, 4, 0, 0, 12, 9);
  auto run = [&](const HeadWeights& w) {
    TeethPass pass(bank, w, config(12, 12, 12, 8, 8, 10.0));
    FrameResult r;
    pass.push(0, f.canvas.data(), f.mask.data(), nullptr, &r);
    pass.flush(&r);
    // Mean distance to donor 4's own window over the fully masked pixels.
    const Frame clean = makeFrame(bank, 4, 0, 0, 0, 9);
    const GeometryStamp& s = bank.stamp;
    double err = 0;
    int n = 0;
    for (int i = 0; i < s.window_h; ++i)
      for (int j = 0; j < s.window_w; ++j) {
        const size_t at = size_t(s.window_y0 + i) * 64 + size_t(s.window_x0 + j);
        if (f.mask[at] != 255) continue;
        for (int c = 0; c < 3; ++c) err += std::abs(int(r.window[(size_t(i) * s.window_w + j) * 3 + c]) - clean.canvas[at * 3 + c]);
        ++n;
      }
    return err / n;
  };
  HeadWeights flat = head();
  std::fill(flat.cand4_w.begin(), flat.cand4_w.end(), 0.0f);  // every candidate alike
  const double good = run(head()), uniform = run(flat);
  EXPECT_LT(good, 12.0) << uniform;
  EXPECT_GT(uniform, 3 * good);
}

std::vector<Bytes> runSequence(const BankData& bank) {
  TeethPass pass(bank, head(), config(12, 12, 8, 3, 2));
  std::vector<Bytes> out;
  FrameResult r;
  for (int t = 0; t < 4; ++t) {
    const Frame f = makeFrame(bank, (3 * t) % 12, t % 2, -(t % 3), 5 * t, 20 + uint32_t(t));
    if (pass.push(t, f.canvas.data(), f.mask.data(), nullptr, &r)) out.push_back(r.window);
  }
  if (pass.flush(&r)) out.push_back(r.window);
  return out;
}

TEST(TeethPass, OutputBytesDoNotDependOnThreadsOrSimdTarget) {
  const BankData bank = makeBank(12);
  const std::vector<Bytes> base = runSequence(bank);
  ASSERT_EQ(base.size(), 4u);
  for (int threads : {1, 2, 4}) {
    SCOPED_TRACE(threads);
    // Each new thread builds its own worker pool at the overridden size.
    le::pool::detail::overrideThreadsForTest(threads);
    std::vector<Bytes> got;
    std::thread([&] { got = runSequence(bank); }).join();
    EXPECT_EQ(got, base);
  }
  le::pool::detail::overrideThreadsForTest(0);
  le::simd::test::forEachTarget([&](int64_t) { EXPECT_EQ(runSequence(bank), base); });
}

TEST(TeethPass, RefusesABankThatDisagreesWithItsStamp) {
  BankData bank = makeBank(3);
  bank.aperture.pop_back();
  EXPECT_EQ(le::test::thrownBy([&] { TeethPass(bank, head(), ServeConfig()); }),
            "teeth: bank sidecar arrays disagree with n_donors");
  bank = makeBank(3);
  bank.stored.resize(bank.stored.size() - 3);
  EXPECT_EQ(le::test::thrownBy([&] { TeethPass(bank, head(), ServeConfig()); }),
            "teeth: reference track is 5037 bytes, the stamp requires 5040 (n * stored_h * stored_w * 3) — a decoder "
            "that delivered a different pixel format would land here");
  bank = makeBank(3);
  bank.stamp.pad = 0;
  EXPECT_EQ(le::test::thrownBy([&] { TeethPass(bank, head(), ServeConfig()); }),
            "teeth: GeometryStamp incoherent: pad/shift_margin must be positive;");
}

}  // namespace
