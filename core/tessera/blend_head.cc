#include "core/tessera/blend_head.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "core/foundation/pool.h"
#include "core/foundation/simd.h"

namespace le::tessera {
namespace {

constexpr int kHidden = 16;
constexpr uint64_t kSoftmaxGrain = 256;

// Average of the in-image pixels of each 2 x 2 block, channel c of packed RGB
// bytes, on the 0..1 scale.
void poolHalf(const uint8_t* rgb, int h, int w, int c, float* out, size_t outRow) {
  const int h2 = (h + 1) / 2, w2 = (w + 1) / 2;
  const size_t stride = static_cast<size_t>(w) * 3;
  for (int y = 0; y < h2; ++y) {
    const uint8_t* r0 = rgb + static_cast<size_t>(2 * y) * stride + static_cast<size_t>(c);
    const uint8_t* r1 = r0 + stride;
    const bool two = 2 * y + 1 < h;
    for (int x = 0; x < w2; ++x) {
      const size_t at = static_cast<size_t>(6 * x);
      float* o = out + static_cast<size_t>(y) * outRow + static_cast<size_t>(x);
      if (two && 2 * x + 1 < w) {  // a whole block, summed in the same order
        float sum = 0;
        sum += r0[at];
        sum += r0[at + 3];
        sum += r1[at];
        sum += r1[at + 3];
        *o = sum / (255.0f * 4.0f);
        continue;
      }
      float sum = 0;
      int count = 0;
      for (int dy = 0; dy < 2; ++dy)
        for (int dx = 0; dx < 2; ++dx) {
          const int yy = 2 * y + dy, xx = 2 * x + dx;
          if (yy < h && xx < w) {
            sum += rgb[(static_cast<size_t>(yy) * static_cast<size_t>(w) + static_cast<size_t>(xx)) * 3 +
                       static_cast<size_t>(c)];
            ++count;
          }
        }
      *o = sum / (255.0f * static_cast<float>(count));
    }
  }
}

// One convolution layer over `batch` images in the padded layout (rows rw
// apart), items spread with grain 1, optionally with ReLU applied as each
// value is stored. The output is padded the same way, or plain h x w planes.
void conv(const std::vector<float>& in, int batch, int cin, int h, int w, size_t rw, const std::vector<float>& weight,
          const std::vector<float>& bias, int cout, std::vector<float>& out, bool relu, bool paddedOut) {
  const size_t planes = static_cast<size_t>(batch) * static_cast<size_t>(cout);
  const size_t outRow = paddedOut ? rw : static_cast<size_t>(w);
  out.resize(planes * static_cast<size_t>(h) * outRow + (paddedOut ? simd::kConv3x3Slack : 0));
  le::pool::parallelRange(planes, 1, [&](uint64_t begin, uint64_t end) {
    simd::conv3x3PaddedRange(in.data(), cin, h, w, rw, weight.data(), bias.data(), cout, relu, out.data(), outRow,
                             paddedOut ? 1 : 0, static_cast<int>(begin), static_cast<int>(end));
  });
}

// Byte values on the 0..1 scale, b / 255 exactly as the division gives it.
const std::array<float, 256>& byteScale() {
  static const std::array<float, 256> table = [] {
    std::array<float, 256> t{};
    for (int b = 0; b < 256; ++b) t[static_cast<size_t>(b)] = static_cast<float>(b) / 255.0f;
    return t;
  }();
  return table;
}

// Bilinear x2 upsampling with half-pixel centres: source (i + 0.5) * 0.5 - 0.5,
// clamped to the map. Separable: each source row is interpolated across once
// (the value a pixel's "top" or "bottom" term needs), then rows are mixed.
class Upsampler {
 public:
  Upsampler(int h2, int w2, int h, int w) : h2_(h2), w2_(w2), h_(h), w_(w) {
    x0_.resize(static_cast<size_t>(w));
    x1_.resize(static_cast<size_t>(w));
    fx_.resize(static_cast<size_t>(w));
    for (int x = 0; x < w; ++x) {
      const float sx = std::clamp((static_cast<float>(x) + 0.5f) * 0.5f - 0.5f, 0.0f, static_cast<float>(w2 - 1));
      x0_[static_cast<size_t>(x)] = static_cast<int>(sx);
      x1_[static_cast<size_t>(x)] = std::min(x0_[static_cast<size_t>(x)] + 1, w2 - 1);
      fx_[static_cast<size_t>(x)] = sx - static_cast<float>(x0_[static_cast<size_t>(x)]);
    }
  }

  // rows: scratch of h2 x w floats.
  void run(const float* src, float* rows, float* dst) const {
    for (int r = 0; r < h2_; ++r) {
      const float* s = src + static_cast<size_t>(r) * static_cast<size_t>(w2_);
      float* o = rows + static_cast<size_t>(r) * static_cast<size_t>(w_);
      for (int x = 0; x < w_; ++x) {
        const float fx = fx_[static_cast<size_t>(x)];
        o[x] = s[x0_[static_cast<size_t>(x)]] * (1 - fx) + s[x1_[static_cast<size_t>(x)]] * fx;
      }
    }
    for (int y = 0; y < h_; ++y) {
      const float sy =
          std::clamp((static_cast<float>(y) + 0.5f) * 0.5f - 0.5f, 0.0f, static_cast<float>(h2_ - 1));
      const int y0 = static_cast<int>(sy), y1 = std::min(y0 + 1, h2_ - 1);
      const float fy = sy - static_cast<float>(y0);
      const float* top = rows + static_cast<size_t>(y0) * static_cast<size_t>(w_);
      const float* bot = rows + static_cast<size_t>(y1) * static_cast<size_t>(w_);
      float* o = dst + static_cast<size_t>(y) * static_cast<size_t>(w_);
      for (int x = 0; x < w_; ++x) o[x] = top[x] * (1 - fy) + bot[x] * fy;
    }
  }

 private:
  int h2_, w2_, h_, w_;
  std::vector<int> x0_, x1_;
  std::vector<float> fx_;
};

}  // namespace

void blendHeadForward(const HeadWeights& head, const uint8_t* cands, int unique, const int* slotOf, int m,
                      const uint8_t* query, const uint8_t* map, int h, int w, BlendOutput& out) {
  const int h2 = (h + 1) / 2, w2 = (w + 1) / 2;
  const size_t plane2 = static_cast<size_t>(h2) * static_cast<size_t>(w2);
  const size_t plane = static_cast<size_t>(h) * static_cast<size_t>(w);
  const size_t window = plane * 3;

  // Layers work on padded images (zero columns left and right, rows rw
  // apart) that the convolution reads in place. Nothing writes those zero
  // columns, so the buffers are cleared only when the layout changes.
  const size_t rw = simd::conv3x3RowWidth(w2);
  const size_t pplane = static_cast<size_t>(h2) * rw;
  if (out.layoutH != h2 || out.layoutW != w2) {
    for (std::vector<float>* v : {&out.query, &out.input, &out.hidden1, &out.hidden2, &out.syn1}) v->clear();
    out.layoutH = h2;
    out.layoutW = w2;
  }

  // Query at half resolution, shared by every candidate's input.
  std::vector<float>& q = out.query;
  q.resize(3 * pplane + simd::kConv3x3Slack);
  for (int c = 0; c < 3; ++c) poolHalf(query, h, w, c, q.data() + static_cast<size_t>(c) * pplane + 1, rw);

  // Per candidate: its RGB, the query's RGB, the mean absolute difference.
  std::vector<float>& x = out.input;
  x.resize(static_cast<size_t>(unique) * 7 * pplane + simd::kConv3x3Slack);
  le::pool::parallelRange(static_cast<uint64_t>(unique), 1, [&](uint64_t begin, uint64_t end) {
    for (uint64_t k = begin; k < end; ++k) {
      float* in = x.data() + k * 7 * pplane;
      for (int c = 0; c < 3; ++c) poolHalf(cands + k * window, h, w, c, in + static_cast<size_t>(c) * pplane + 1, rw);
      std::copy_n(q.data(), 3 * pplane, in + 3 * pplane);
      for (int y = 0; y < h2; ++y) {
        const size_t r = static_cast<size_t>(y) * rw + 1;
        for (size_t i = r; i < r + static_cast<size_t>(w2); ++i)
          in[6 * pplane + i] = (std::fabs(in[i] - q[i]) + std::fabs(in[pplane + i] - q[pplane + i]) +
                                std::fabs(in[2 * pplane + i] - q[2 * pplane + i])) /
                               3.0f;
      }
    }
  });

  std::vector<float>&a = out.hidden1, &b = out.hidden2, &logits = out.logits;
  conv(x, unique, 7, h2, w2, rw, head.cand0_w, head.cand0_b, kHidden, a, true, true);
  conv(a, unique, kHidden, h2, w2, rw, head.cand2_w, head.cand2_b, kHidden, b, true, true);
  conv(b, unique, kHidden, h2, w2, rw, head.cand4_w, head.cand4_b, 1, logits, false, false);
  logits.resize(static_cast<size_t>(unique + 1) * plane2);
  float* keep = logits.data() + static_cast<size_t>(unique) * plane2;
  if (head.hasSyn()) {
    std::vector<float>&s0 = out.syn1, &s1 = out.syn2;
    conv(q, 1, 3, h2, w2, rw, head.syn0_w, head.syn0_b, kHidden, s0, true, true);
    conv(s0, 1, kHidden, h2, w2, rw, head.syn2_w, head.syn2_b, 1, s1, false, false);
    std::copy(s1.begin(), s1.end(), keep);
  }

  // A slot listed twice has the same logits, hence the same exponentials:
  // each is computed for its first listing only and copied to the others.
  std::vector<int>& first = out.firstOf;
  first.assign(static_cast<size_t>(m), 0);
  for (int k = 0; k < m; ++k) {
    first[static_cast<size_t>(k)] = k;
    for (int j = 0; j < k; ++j)
      if (slotOf[j] == slotOf[k]) {
        first[static_cast<size_t>(k)] = j;
        break;
      }
  }

  // Full-resolution logits; without syn layers the keep channel is -inf and
  // so gets no weight.
  out.weights.resize(static_cast<size_t>(m + 1) * plane);
  const Upsampler up(h2, w2, h, w);
  le::pool::parallelRange(static_cast<uint64_t>(m + 1), 1, [&](uint64_t begin, uint64_t end) {
    std::vector<float> rows(static_cast<size_t>(h2) * static_cast<size_t>(w));
    for (uint64_t k = begin; k < end; ++k) {
      float* dst = out.weights.data() + k * plane;
      if (static_cast<int>(k) == m) {
        if (head.hasSyn())
          up.run(logits.data() + static_cast<size_t>(unique) * plane2, rows.data(), dst);
        else
          std::fill(dst, dst + plane, -std::numeric_limits<float>::infinity());
      } else if (first[k] == static_cast<int>(k)) {
        up.run(logits.data() + static_cast<size_t>(slotOf[k]) * plane2, rows.data(), dst);
      }
    }
  });

  out.blend.resize(3 * plane);
  float* wts = out.weights.data();
  const float* scale = byteScale().data();
  // Tiles of pixels, each pass streaming one plane at a time: walking all
  // m + 1 planes per pixel would hit one cache set per plane.
  le::pool::parallelRange(plane, kSoftmaxGrain, [&](uint64_t begin, uint64_t end) {
    constexpr size_t kTile = 256;
    float mx[kTile], sum[kTile], acc[3][kTile];
    for (size_t t0 = begin; t0 < end; t0 += kTile) {
      const size_t n = std::min<size_t>(kTile, end - t0);
      std::fill_n(mx, n, -std::numeric_limits<float>::infinity());
      for (int k = 0; k <= m; ++k) {
        if (k < m && first[static_cast<size_t>(k)] != k) continue;  // a copy cannot raise the maximum
        simd::softmaxMax(mx, wts + static_cast<size_t>(k) * plane + t0, n);
      }
      std::fill_n(sum, n, 0.0f);
      for (int k = 0; k <= m; ++k) {
        float* p = wts + static_cast<size_t>(k) * plane + t0;
        if (k < m && first[static_cast<size_t>(k)] != k)
          std::copy_n(wts + static_cast<size_t>(first[static_cast<size_t>(k)]) * plane + t0, n, p);
        else
          for (size_t i = 0; i < n; ++i) p[i] = std::exp(p[i] - mx[i]);
        for (size_t i = 0; i < n; ++i) sum[i] += p[i];
      }
      std::fill_n(&acc[0][0], 3 * kTile, 0.0f);
      // Normalise each plane and, for the candidates, add its share of the
      // blend while the plane is at hand. Overflowing logits share the
      // pixel evenly rather than spread NaN.
      for (int k = 0; k <= m; ++k) {
        const uint8_t* src = k < m ? cands + static_cast<size_t>(slotOf[k]) * window + t0 * 3 : nullptr;
        simd::softmaxShare(wts + static_cast<size_t>(k) * plane + t0, sum, k < m ? 1.0f / static_cast<float>(m) : 0.0f,
                           src, &acc[0][0], kTile, n);
      }
      for (size_t c = 0; c < 3; ++c)
        for (size_t i = 0; i < n; ++i)
          out.blend[c * plane + t0 + i] = map[t0 + i] == 0 ? scale[query[(t0 + i) * 3 + c]] : acc[c][i];
    }
  });
}

}  // namespace le::tessera
