#include "core/tessera/teeth_pass.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <stdexcept>

#include "core/foundation/half.h"
#include "core/foundation/pool.h"
#include "core/foundation/simd.h"
#include "core/foundation/simd_reference.h"
#include "core/tessera/members.h"

namespace le::tessera {
namespace {

constexpr uint64_t kRowGrain = 4;

// Nearest whole pixel, ties to even; bundle values far outside any pad are
// clamped first so the conversion stays defined.
int roundShift(double v) {
  if (!(v == v)) return 0;
  return static_cast<int>(std::nearbyint(std::clamp(v, -1.0e6, 1.0e6)));
}

std::vector<int> stableAscending(const std::vector<float>& score, std::vector<int> items) {
  std::stable_sort(items.begin(), items.end(), [&](int a, int b) {
    return score[static_cast<size_t>(a)] < score[static_cast<size_t>(b)];
  });
  return items;
}

bool contains(const std::vector<int>& v, int x) { return std::find(v.begin(), v.end(), x) != v.end(); }

// Seconds since `t`, and `t` moved to now.
double lap(std::chrono::steady_clock::time_point& t) {
  const auto now = std::chrono::steady_clock::now();
  const double s = std::chrono::duration<double>(now - t).count();
  t = now;
  return s;
}

}  // namespace

const float* TeethPass::dTable() {
  static const std::vector<float> table = [] {
    std::vector<float> t(256 * 256);
    for (int a = 0; a < 256; ++a)
      for (int b = 0; b < 256; ++b) {
        const float ha = simd::reference::roundHalf(static_cast<float>(a) / 255.0f);
        const float hb = simd::reference::roundHalf(static_cast<float>(b) / 255.0f);
        t[static_cast<size_t>(a) * 256 + static_cast<size_t>(b)] = std::fabs(simd::reference::roundHalf(hb - ha));
      }
    return t;
  }();
  return table.data();
}

void TeethPass::checkStamp(const GeometryStamp& stamp) {
  stamp.validate();
  if (stamp.canvas_w > kMaxCanvas || stamp.canvas_h > kMaxCanvas)
    throw std::runtime_error("teeth: canvas " + std::to_string(stamp.canvas_w) + "x" +
                             std::to_string(stamp.canvas_h) + " is over the " + std::to_string(kMaxCanvas) +
                             " px limit — refusing to size a pass for it");
}

TeethPass::TeethPass(const BankData& bank, const HeadWeights& head, const ServeConfig& config)
    : stamp_(bank.stamp), config_(config), head_(head) {
  checkStamp(stamp_);
  n_ = bank.n;
  if (n_ < 1 || bank.aperture.size() != static_cast<size_t>(n_) || bank.cent.size() != 2 * static_cast<size_t>(n_))
    throw std::runtime_error("teeth: bank sidecar arrays disagree with n_donors");
  if (n_ > kTesseraMaxDonors)
    throw std::runtime_error("teeth: bank carries " + std::to_string(n_) + " donors, over the owner's cap of " +
                             std::to_string(kTesseraMaxDonors));
  storedH_ = stamp_.storedH();
  storedW_ = stamp_.storedW();
  const int64_t need = int64_t{n_} * storedH_ * storedW_ * 3;
  if (static_cast<int64_t>(bank.stored.size()) != need)
    throw std::runtime_error("teeth: reference track is " + std::to_string(bank.stored.size()) +
                             " bytes, the stamp requires " + std::to_string(need) +
                             " (n * stored_h * stored_w * 3) — a decoder that delivered a different pixel format "
                             "would land here");
  stored_ = bank.stored;
  aperture_ = bank.aperture;
  canon_ = bank.c_canon;
  dy_.resize(static_cast<size_t>(n_));
  dx_.resize(static_cast<size_t>(n_));
  for (int d = 0; d < n_; ++d) {
    dx_[static_cast<size_t>(d)] = roundShift(bank.cent[2 * static_cast<size_t>(d)] - canon_[0]);
    dy_[static_cast<size_t>(d)] = roundShift(bank.cent[2 * static_cast<size_t>(d) + 1] - canon_[1]);
  }
  pooledH_ = stamp_.window_h / 4;
  pooledW_ = stamp_.window_w / 4;
  buildIndex();
}

const uint8_t* TeethPass::bandPixel(int d, int i, int j, int sy, int sx) const {
  const int br = i + sy - stamp_.pad + stamp_.shift_margin - stamp_.band_r0;
  const int bc = j + sx - stamp_.pad + stamp_.shift_margin - stamp_.band_c0;
  if (br < 0 || br >= storedH_ || bc < 0 || bc >= storedW_) return nullptr;
  return stored_.data() +
         ((static_cast<size_t>(d) * static_cast<size_t>(storedH_) + static_cast<size_t>(br)) *
              static_cast<size_t>(storedW_) +
          static_cast<size_t>(bc)) *
             3;
}

void TeethPass::canonicalWindowF16Rows(int d, uint16_t* out, int r0, int r1) const {
  const int W = stamp_.window_w, H = stamp_.window_h, pad = stamp_.pad;
  const size_t plane = static_cast<size_t>(H) * static_cast<size_t>(W);
  const int sy = std::clamp(pad + dy_[static_cast<size_t>(d)], 0, 2 * pad);
  const int sx = std::clamp(pad + dx_[static_cast<size_t>(d)], 0, 2 * pad);
  // Columns j whose band column lies inside the band: one contiguous run.
  const int off = sx - pad + stamp_.shift_margin - stamp_.band_c0;
  const int j0 = std::max(0, -off), j1 = std::min(W, storedW_ - off);
  for (int i = std::max(r0, 0); i < std::min(r1, H); ++i) {
    for (int c = 0; c < 3; ++c)
      std::fill_n(out + static_cast<size_t>(c) * plane + static_cast<size_t>(i) * static_cast<size_t>(W),
                  static_cast<size_t>(W), uint16_t{0});
    if (j1 <= j0) continue;
    const uint8_t* src = bandPixel(d, i, j0, sy, sx);
    if (!src) continue;
    simd::rgb8ToPlanarF16(src, out + static_cast<size_t>(i) * static_cast<size_t>(W) + static_cast<size_t>(j0), plane,
                          static_cast<size_t>(j1 - j0));
  }
}

void TeethPass::canonicalWindowF16(int d, uint16_t* out) const { canonicalWindowF16Rows(d, out, 0, stamp_.window_h); }

void TeethPass::buildIndex() {
  const int W = stamp_.window_w, H = stamp_.window_h;
  const size_t plane = static_cast<size_t>(H) * static_cast<size_t>(W);
  const size_t pp = static_cast<size_t>(pooledH_) * static_cast<size_t>(pooledW_);
  // Donors interleaved in groups for the pooled kernel; the last group's
  // spare slots stay zero and their scores are dropped.
  const size_t G = simd::kPooledGroup;
  index_.assign((static_cast<size_t>(n_) + G - 1) / G * G * 3 * pp, 0);
  le::pool::parallelRange(static_cast<uint64_t>(n_), 1, [&](uint64_t begin, uint64_t end) {
    std::vector<uint16_t> win(3 * plane);
    std::vector<float> f(3 * plane);
    for (uint64_t d = begin; d < end; ++d) {
      canonicalWindowF16(static_cast<int>(d), win.data());
      simd::f16ToF32(win.data(), f.data(), win.size());
      uint16_t* dst = index_.data() + d / G * G * 3 * pp + d % G;
      for (size_t c = 0; c < 3; ++c)
        for (int py = 0; py < pooledH_; ++py)
          for (int px = 0; px < pooledW_; ++px) {
            float sum = 0;
            for (int y = 0; y < 4; ++y)
              for (int x = 0; x < 4; ++x)
                sum += f[c * plane + static_cast<size_t>(4 * py + y) * static_cast<size_t>(W) +
                         static_cast<size_t>(4 * px + x)];
            dst[(c * pp + static_cast<size_t>(py) * static_cast<size_t>(pooledW_) + static_cast<size_t>(px)) * G] =
                le::f32ToF16(sum / 16.0f);
          }
    }
  });
}

bool TeethPass::deriveShift(const uint8_t* mask, int& dy, int& dx, std::string& reason) const {
  double sr = 0, sc = 0;
  int64_t count = 0;
  for (int y = 0; y < stamp_.canvas_h; ++y)
    for (int x = 0; x < stamp_.canvas_w; ++x)
      if (mask[static_cast<size_t>(y) * static_cast<size_t>(stamp_.canvas_w) + static_cast<size_t>(x)] >= 128) {
        sr += y;
        sc += x;
        ++count;
      }
  if (count == 0) {
    reason = "empty-pi";
    return false;
  }
  dy = roundShift(sr / static_cast<double>(count) - canon_[1]);
  dx = roundShift(sc / static_cast<double>(count) - canon_[0]);
  return true;
}

void TeethPass::retrievePrepare(const uint8_t* canvas, const uint8_t* mask, int dy, int dx, Query& q) {
  const int W = stamp_.window_w, H = stamp_.window_h;
  const size_t plane = static_cast<size_t>(H) * static_cast<size_t>(W);
  q.rgb.assign(plane * 3, 0);
  std::vector<uint8_t> m(plane, 0);
  for (int i = 0; i < H; ++i) {
    const int y = stamp_.window_y0 + dy + i;
    if (y < 0 || y >= stamp_.canvas_h) continue;
    for (int j = 0; j < W; ++j) {
      const int x = stamp_.window_x0 + dx + j;
      if (x < 0 || x >= stamp_.canvas_w) continue;
      const size_t src = static_cast<size_t>(y) * static_cast<size_t>(stamp_.canvas_w) + static_cast<size_t>(x);
      const size_t dst = static_cast<size_t>(i) * static_cast<size_t>(W) + static_cast<size_t>(j);
      std::copy_n(canvas + src * 3, 3, q.rgb.data() + dst * 3);
      m[dst] = mask[src];
    }
  }
  // Teeth-like pixels inside the mask: bright and not red.
  q.weight.assign(plane, 0.0f);
  int64_t teeth = 0;
  for (size_t p = 0; p < plane; ++p) {
    const float r = q.rgb[3 * p], g = q.rgb[3 * p + 1], b = q.rgb[3 * p + 2];
    const float luma = 0.299f * r + 0.587f * g + 0.114f * b;
    if (m[p] / 255.0f > 0.5f && luma >= config_.teeth_luma_min && std::fabs(g - r) < config_.teeth_rg_limit) {
      q.weight[p] = 1.0f;
      ++teeth;
    }
  }
  if (teeth < config_.min_teeth_pixels)
    for (size_t p = 0; p < plane; ++p) q.weight[p] = m[p] / 255.0f > 0.5f ? 1.0f : 0.0f;
  if (prevWeight_.size() == plane)
    for (size_t p = 0; p < plane; ++p)
      q.weight[p] = std::max(q.weight[p], static_cast<float>(config_.weight_carry) * prevWeight_[p]);
  prevWeight_ = q.weight;

  double total = 0;
  q.first_row = H;
  q.last_row = -1;
  for (int i = 0; i < H; ++i)
    for (int j = 0; j < W; ++j) {
      const float v = q.weight[static_cast<size_t>(i) * static_cast<size_t>(W) + static_cast<size_t>(j)];
      total += v;
      if (v != 0.0f) {
        q.first_row = std::min(q.first_row, i);
        q.last_row = i;
      }
    }
  q.norm = std::max(total, 1.0);
  q.half.resize(3 * plane);
  simd::rgb8ToPlanarF16(q.rgb.data(), q.half.data(), plane, plane);
  q.span0.assign(static_cast<size_t>(H), 0);
  q.span1.assign(static_cast<size_t>(H), 0);
  for (int i = 0; i < H; ++i) {
    const float* w = q.weight.data() + static_cast<size_t>(i) * static_cast<size_t>(W);
    int a = stamp_.band_c0, b = stamp_.band_c1;
    while (a < b && w[a] == 0.0f) ++a;
    while (b > a && w[b - 1] == 0.0f) --b;
    q.span0[static_cast<size_t>(i)] = a;
    q.span1[static_cast<size_t>(i)] = b;
  }

  const size_t pp = static_cast<size_t>(pooledH_) * static_cast<size_t>(pooledW_);
  q.pooled.assign(3 * pp, 0);
  q.pooled_w.assign(pp, 0);
  for (int py = 0; py < pooledH_; ++py)
    for (int px = 0; px < pooledW_; ++px) {
      float sum[4] = {0, 0, 0, 0};
      for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
          const size_t p = static_cast<size_t>(4 * py + y) * static_cast<size_t>(W) + static_cast<size_t>(4 * px + x);
          for (int c = 0; c < 3; ++c) sum[c] += q.rgb[3 * p + static_cast<size_t>(c)] / 255.0f;
          sum[3] += q.weight[p];
        }
      const size_t o = static_cast<size_t>(py) * static_cast<size_t>(pooledW_) + static_cast<size_t>(px);
      for (size_t c = 0; c < 3; ++c) q.pooled[c * pp + o] = le::f32ToF16(sum[c] / 16.0f);
      q.pooled_w[o] = le::f32ToF16(sum[3] / 16.0f);
    }
}

void TeethPass::exactTermFromBand(const int* donors, const Query& q, float* out) const {
  const int W = stamp_.window_w, pad = stamp_.pad;
  const size_t plane = static_cast<size_t>(stamp_.window_h) * static_cast<size_t>(W);
  // Band row / column of window row / column 0, per donor.
  int rowOff[kExactGroup], colOff[kExactGroup];
  for (int g = 0; g < kExactGroup; ++g) {
    const size_t d = static_cast<size_t>(donors[g]);
    rowOff[g] = std::clamp(pad + dy_[d], 0, 2 * pad) - pad + stamp_.shift_margin - stamp_.band_r0;
    colOff[g] = std::clamp(pad + dx_[d], 0, 2 * pad) - pad + stamp_.shift_margin - stamp_.band_c0;
  }
  thread_local std::vector<float> prod;
  thread_local std::vector<uint8_t> zeros;  // stands for pixels outside a donor's stored band
  prod.resize(static_cast<size_t>(kExactGroup) * static_cast<size_t>(W));
  if (zeros.size() < 3 * static_cast<size_t>(W)) zeros.assign(3 * static_cast<size_t>(W), 0);
  float sum[kExactGroup] = {};
  // Rows without weight add nothing; skip them.
  const int r0 = std::max(stamp_.band_r0, q.first_row), r1 = std::min(stamp_.band_r1, q.last_row + 1);
  for (int i = r0; i < r1; ++i) {
    // Outside the span every weight is 0: its terms are +0, which leave the
    // (never negative) sums as they are.
    const int k0 = q.span0[static_cast<size_t>(i)], k1 = q.span1[static_cast<size_t>(i)];
    if (k0 >= k1) continue;
    const size_t at = static_cast<size_t>(i) * static_cast<size_t>(W);
    const float* w = q.weight.data() + at;
    const uint16_t* qh = q.half.data() + at;
    for (int g = 0; g < kExactGroup; ++g) {
      float* pg = prod.data() + static_cast<size_t>(g) * static_cast<size_t>(W);
      const auto terms = [&](int from, int to, const uint8_t* src) {
        if (from < to)
          simd::retrieveBandRow(qh + from, plane, src, w + from, static_cast<size_t>(to - from), pg + from);
      };
      const int br = i + rowOff[g];
      if (br < 0 || br >= storedH_) {
        terms(k0, k1, zeros.data());
        continue;
      }
      // Window columns [a, b) read inside the stored band.
      const int a = std::clamp(-colOff[g], k0, k1), b = std::clamp(storedW_ - colOff[g], a, k1);
      const uint8_t* row = stored_.data() + (static_cast<size_t>(donors[g]) * static_cast<size_t>(storedH_) +
                                             static_cast<size_t>(br)) *
                                                static_cast<size_t>(storedW_) * 3;
      terms(k0, a, zeros.data());
      terms(a, b, row + static_cast<ptrdiff_t>(a + colOff[g]) * 3);
      terms(b, k1, zeros.data());
    }
    const float* p0 = prod.data();
    const float* p1 = p0 + W;
    const float* p2 = p1 + W;
    const float* p3 = p2 + W;
    for (int k = k0; k < k1; ++k) {
      sum[0] += p0[k];
      sum[1] += p1[k];
      sum[2] += p2[k];
      sum[3] += p3[k];
    }
  }
  std::copy_n(sum, kExactGroup, out);
}

void TeethPass::retrieveSelect(Retrieval& r) const {
  const size_t s = r.exact_order.size();
  std::vector<int> pos(s);
  std::iota(pos.begin(), pos.end(), 0);
  pos = stableAscending(r.exact, pos);
  std::vector<int> order(s);
  std::vector<float> exact(s);
  for (size_t k = 0; k < s; ++k) {
    order[k] = r.exact_order[static_cast<size_t>(pos[k])];
    exact[k] = r.exact[static_cast<size_t>(pos[k])];
  }
  r.exact_order = std::move(order);
  r.exact = std::move(exact);

  const int best = r.exact_order.front();
  const double c = aperture_[static_cast<size_t>(best)];
  const size_t walk = std::min(s, static_cast<size_t>(config_.cut));
  const size_t K = static_cast<size_t>(config_.K);
  r.candidates.clear();
  for (size_t k = 0; k < walk && r.candidates.size() < K; ++k) {
    const int d = r.exact_order[k];
    if (std::fabs(aperture_[static_cast<size_t>(d)] - c) <= std::max(c, 1e-6) * config_.aperture_tol)
      r.candidates.push_back(d);
  }
  if (r.candidates.empty()) r.candidates.push_back(best);
  while (r.candidates.size() < K) r.candidates.push_back(r.candidates.back());
}

Retrieval TeethPass::retrieveFrom(const Query& q) {
  auto t = std::chrono::steady_clock::now();
  Retrieval r;
  const size_t pp = static_cast<size_t>(pooledH_) * static_cast<size_t>(pooledW_);
  const size_t G = simd::kPooledGroup, groups = (static_cast<size_t>(n_) + G - 1) / G;
  std::vector<float> qf(3 * pp), wf(pp), scores(groups * G);
  simd::f16ToF32(q.pooled.data(), qf.data(), qf.size());
  simd::f16ToF32(q.pooled_w.data(), wf.data(), wf.size());
  le::pool::parallelRange(groups, 1, [&](uint64_t begin, uint64_t end) {
    simd::retrieveTermPooledInterleaved(index_.data() + begin * G * 3 * pp, end - begin, qf.data(), wf.data(), pp,
                                        scores.data() + begin * G);
  });
  r.pooled.resize(static_cast<size_t>(n_));
  for (size_t d = 0; d < r.pooled.size(); ++d) r.pooled[d] = simd::reference::roundHalf(scores[d]);
  std::vector<int> all(static_cast<size_t>(n_));
  std::iota(all.begin(), all.end(), 0);
  all = stableAscending(r.pooled, std::move(all));
  stats_.pooled_s += lap(t);
  const size_t shortlist = std::min(static_cast<size_t>(n_), static_cast<size_t>(config_.kshort));
  r.exact_order.assign(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(shortlist));
  r.exact.assign(shortlist, 0.0f);
  const uint64_t exactGroups = (shortlist + kExactGroup - 1) / kExactGroup;
  le::pool::parallelRange(exactGroups, 1, [&](uint64_t begin, uint64_t end) {
    for (uint64_t grp = begin; grp < end; ++grp) {
      const size_t k0 = grp * kExactGroup, n = std::min<size_t>(kExactGroup, shortlist - k0);
      int donors[kExactGroup];
      float sums[kExactGroup];
      // A short last group repeats its last donor and drops the copies.
      for (size_t g = 0; g < kExactGroup; ++g) donors[g] = r.exact_order[k0 + std::min(g, n - 1)];
      exactTermFromBand(donors, q, sums);
      for (size_t g = 0; g < n; ++g) r.exact[k0 + g] = static_cast<float>(sums[g] / q.norm);
    }
  });
  retrieveSelect(r);
  stats_.exact_s += lap(t);
  return r;
}

Retrieval TeethPass::retrieve(const uint8_t* canvasRgb, const uint8_t* mask, int dy, int dx) {
  auto t = std::chrono::steady_clock::now();
  Query q;
  retrievePrepare(canvasRgb, mask, dy, dx, q);
  stats_.pooled_s += lap(t);
  return retrieveFrom(q);
}

std::vector<uint8_t> TeethPass::gatherWindowsU8(const std::vector<int>& candidates, int dy, int dx) const {
  const int W = stamp_.window_w, H = stamp_.window_h, pad = stamp_.pad;
  const size_t window = static_cast<size_t>(H) * static_cast<size_t>(W) * 3;
  std::vector<uint8_t> out(window * candidates.size(), 0);
  le::pool::parallelRange(candidates.size(), 1, [&](uint64_t begin, uint64_t end) {
    for (uint64_t k = begin; k < end; ++k) {
      const int d = candidates[k];
      const int sy = std::clamp(pad + dy_[static_cast<size_t>(d)] - dy, 0, 2 * pad);
      const int sx = std::clamp(pad + dx_[static_cast<size_t>(d)] - dx, 0, 2 * pad);
      uint8_t* dst = out.data() + k * window;
      // Columns j whose band column lies inside the band: one contiguous run.
      const int off = sx - pad + stamp_.shift_margin - stamp_.band_c0;
      const int j0 = std::max(0, -off), j1 = std::min(W, storedW_ - off);
      if (j1 <= j0) continue;
      for (int i = 0; i < H; ++i)
        if (const uint8_t* s = bandPixel(d, i, j0, sy, sx))
          std::copy_n(s, static_cast<size_t>(j1 - j0) * 3,
                      dst + (static_cast<size_t>(i) * static_cast<size_t>(W) + static_cast<size_t>(j0)) * 3);
    }
  });
  return out;
}

bool TeethPass::push(int frameIndex, const uint8_t* canvasRgb, const uint8_t* mask, const int* shift,
                     FrameResult* out) {
  // The carried weight map follows one run of consecutive frames: after a
  // flush or a gap it would steer this frame by another mouth.
  if (!hasPending_ || frameIndex != pending_.frame_index + 1) prevWeight_.clear();
  Pending p;
  p.frame_index = frameIndex;
  // Emitting needs only the frame's window, and its mask there.
  const int W = stamp_.window_w, H = stamp_.window_h, S = stamp_.canvas_w;
  p.window.resize(static_cast<size_t>(H) * static_cast<size_t>(W) * 3);
  p.map.resize(static_cast<size_t>(H) * static_cast<size_t>(W));
  for (int i = 0; i < H; ++i) {
    const size_t row = static_cast<size_t>(stamp_.window_y0 + i) * static_cast<size_t>(S) +
                       static_cast<size_t>(stamp_.window_x0);
    const size_t at = static_cast<size_t>(i) * static_cast<size_t>(W);
    std::copy_n(canvasRgb + row * 3, static_cast<size_t>(W) * 3, p.window.data() + at * 3);
    std::copy_n(mask + row, static_cast<size_t>(W), p.map.data() + at);
  }
  if (shift) {
    p.dy = shift[0];
    p.dx = shift[1];
    p.shift_ok = true;
  } else {
    p.shift_ok = deriveShift(mask, p.dy, p.dx, p.reason);
  }
  // In 64 bits: the magnitude of the most negative int does not fit an int.
  const auto beyondPad = [&](int v) { return std::llabs(static_cast<long long>(v)) > stamp_.pad; };
  if (p.shift_ok && (beyondPad(p.dy) || beyondPad(p.dx))) {
    p.shift_ok = false;
    p.reason = "shift-out-of-range";
  }
  if (p.shift_ok) p.candidates = retrieve(canvasRgb, mask, p.dy, p.dx).candidates;
  stopIfAsked();
  bool emitted = false;
  if (hasPending_) {
    FrameResult scratch;
    emit(pending_, p.shift_ok ? &p.candidates : nullptr, out ? out : &scratch);
    emitted = true;
  }
  pending_ = std::move(p);
  hasPending_ = true;
  return emitted;
}

bool TeethPass::flush(FrameResult* out) {
  if (!hasPending_) return false;
  FrameResult scratch;
  emit(pending_, nullptr, out ? out : &scratch);
  hasPending_ = false;
  pending_ = Pending();
  return true;
}

void TeethPass::stopIfAsked() {
  if (!stopCheck_ || !stopCheck_()) return;
  discard();
  throw Stopped();
}

bool TeethPass::discard() {
  // Whatever the dropped frame carried (its weight map, the donors of the
  // frame before it) would steer the next frame by a mouth never shown.
  prevWeight_.clear();
  hasMemory_ = false;
  if (!hasPending_) return false;
  hasPending_ = false;
  pending_ = Pending();
  return true;
}

std::vector<int> TeethPass::candidateSet(const Pending& P, const std::vector<int>* lookahead) const {
  const size_t K = static_cast<size_t>(config_.K);
  std::vector<int> cur(P.candidates.begin(), P.candidates.begin() + static_cast<std::ptrdiff_t>(std::min(K, P.candidates.size())));
  std::vector<int> next;
  if (lookahead && config_.lookahead_enabled)
    next.assign(lookahead->begin(),
                lookahead->begin() + static_cast<std::ptrdiff_t>(std::min(lookahead->size(), static_cast<size_t>(config_.lookahead))));
  std::vector<int> rest;
  for (int d : cur)
    if (!contains(next, d)) rest.push_back(d);
  std::vector<int> set;
  if (!hasMemory_ || memoryFrame_ != P.frame_index - 1) {
    set = next;
    set.insert(set.end(), rest.begin(), rest.end());
  } else {
    set = memory_;
    for (int d : next)
      if (!contains(memory_, d)) set.push_back(d);
    for (int d : rest)
      if (!contains(memory_, d)) set.push_back(d);
  }
  if (set.size() > K) set.resize(K);
  return set;
}

void TeethPass::blend(const Pending& P, const std::vector<int>& set, const std::vector<uint8_t>& query,
                      const std::vector<uint8_t>& map) {
  const int m = static_cast<int>(set.size());
  // A donor listed twice (padding repeats the last one) is run once.
  std::vector<int> distinct, slotOf(static_cast<size_t>(m));
  for (int k = 0; k < m; ++k) {
    const auto at = std::find(distinct.begin(), distinct.end(), set[static_cast<size_t>(k)]);
    slotOf[static_cast<size_t>(k)] = static_cast<int>(at - distinct.begin());
    if (at == distinct.end()) distinct.push_back(set[static_cast<size_t>(k)]);
  }
  const std::vector<uint8_t> windows = gatherWindowsU8(distinct, P.dy, P.dx);
  blendHeadForward(head_, windows.data(), static_cast<int>(distinct.size()), slotOf.data(), m, query.data(),
                   map.data(), stamp_.window_h, stamp_.window_w, head_out_);
}

void TeethPass::recordKeep(int m, const std::vector<uint8_t>& map, FrameResult* out) {
  const size_t plane = map.size();
  const float* keep = head_out_.weights.data() + static_cast<size_t>(m) * plane;
  double keepSum = 0, keepMax = 0;
  int64_t masked = 0;
  for (size_t p = 0; p < plane; ++p)
    if (map[p] > 0) {
      keepSum += keep[p];
      keepMax = std::max(keepMax, static_cast<double>(keep[p]));
      ++masked;
    }
  out->keep_mean = masked ? keepSum / static_cast<double>(masked) : 0.0;
  out->keep_max = keepMax;
  ++stats_.frames;
  stats_.masked_pixels += masked;
  stats_.keep_mean_sum += out->keep_mean;
  stats_.keep_max = std::max(stats_.keep_max, keepMax);
}

void TeethPass::rememberDonors(const std::vector<int>& set, int frameIndex, size_t plane) {
  // Hysteresis: the donors that carried the most weight lead the next frame.
  const int m = static_cast<int>(set.size());
  std::vector<double> total(static_cast<size_t>(m), 0.0);
  // Each total sums its plane in pixel order; four planes at a time so that
  // their additions overlap. Too little work to be worth the pool.
  constexpr int kPlanes = 4;
  for (int k0 = 0; k0 < m; k0 += kPlanes) {
    const int count = std::min(kPlanes, m - k0);
    const float* w[kPlanes];
    for (int i = 0; i < kPlanes; ++i)  // a short group repeats its last plane
      w[i] = head_out_.weights.data() + static_cast<size_t>(k0 + std::min(i, count - 1)) * plane;
    double t[kPlanes] = {};
    for (size_t p = 0; p < plane; ++p) {
      t[0] += w[0][p];
      t[1] += w[1][p];
      t[2] += w[2][p];
      t[3] += w[3][p];
    }
    std::copy_n(t, count, total.data() + k0);
  }
  std::vector<int> rank(static_cast<size_t>(m));
  std::iota(rank.begin(), rank.end(), 0);
  std::stable_sort(rank.begin(), rank.end(),
                   [&](int a, int b) { return total[static_cast<size_t>(a)] > total[static_cast<size_t>(b)]; });
  memory_.clear();
  for (int k = 0; k < std::min(config_.hysteresis, m); ++k) memory_.push_back(set[static_cast<size_t>(rank[static_cast<size_t>(k)])]);
  memoryFrame_ = frameIndex;
  hasMemory_ = true;
}

void TeethPass::composeWindow(const std::vector<uint8_t>& query, const std::vector<uint8_t>& map,
                              FrameResult* out) const {
  const int W = stamp_.window_w, H = stamp_.window_h;
  const size_t plane = map.size();
  out->window.resize(plane * 3);
  const float* blended = head_out_.blend.data();
  le::pool::parallelRange(static_cast<uint64_t>(H), kRowGrain, [&](uint64_t begin, uint64_t end) {
    for (uint64_t i = begin; i < end; ++i)
      for (int j = 0; j < W; ++j) {
        const size_t p = i * static_cast<size_t>(W) + static_cast<size_t>(j);
        const float a = map[p] / 255.0f;
        for (size_t c = 0; c < 3; ++c) {
          const float frame = query[3 * p + c] / 255.0f;
          const float v = std::clamp((1.0f - a) * frame + a * blended[c * plane + p], 0.0f, 1.0f);
          out->window[3 * p + c] = static_cast<uint8_t>(std::nearbyint(v * 255.0f));
        }
      }
  });
}

void TeethPass::emit(Pending& P, const std::vector<int>* lookahead, FrameResult* out) {
  *out = FrameResult();
  out->frame_index = P.frame_index;
  if (!P.shift_ok) {
    out->skipped = true;
    out->reason = P.reason;
    return;
  }
  std::vector<int> set = candidateSet(P, lookahead);
  const int m = static_cast<int>(set.size());
  stopIfAsked();

  const size_t plane = P.map.size();
  const std::vector<uint8_t>& query = P.window;
  const std::vector<uint8_t>& map = P.map;
  auto t = std::chrono::steady_clock::now();
  blend(P, set, query, map);
  stats_.head_s += lap(t);
  stopIfAsked();

  recordKeep(m, map, out);
  rememberDonors(set, P.frame_index, plane);
  composeWindow(query, map, out);
  out->candidates = m;
  out->donors = std::move(set);
  stats_.compose_s += lap(t);
}

}  // namespace le::tessera
