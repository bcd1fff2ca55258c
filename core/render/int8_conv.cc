#include "core/render/int8_conv.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace le {

Int8ActQuant int8ActivationQuant(float m, float M) {
  Int8ActQuant q;
  q.scale = (M - m) / 255.f;
  if (!(q.scale > 0.f)) q.scale = 1.f;
  const float z = std::nearbyint(-m / q.scale);
  q.zero = static_cast<int32_t>(std::min(255.f, std::max(0.f, z)));
  return q;
}

uint8_t int8Quantise(float x, const Int8ActQuant& q) {
  // Bound before converting so that infinities and NaN stay defined.
  float v = static_cast<float>(q.zero) + std::nearbyint(x / q.scale);
  if (!(v >= 0.f)) v = 0.f;
  if (v > 255.f) v = 255.f;
  return static_cast<uint8_t>(v);
}

Int8PackedWeights::Int8PackedWeights(const int8_t* w, int64_t cout, int64_t cinPerGroup, int64_t kh,
                                     int64_t kw)
    : cout_(cout), cinPerGroup_(cinPerGroup), kh_(kh), kw_(kw) {
  const int64_t k = cinPerGroup * kh * kw;
  // 255 * 128 per product: a longer row would overflow the exact 32-bit sums.
  if (k > kMaxRow)
    throw std::runtime_error("Int8ConvVNNI: a filter of " + std::to_string(k) + " weights is over the " +
                             std::to_string(kMaxRow) + " an exact 32-bit accumulator can sum.");
  rowLen_ = (k + 3) / 4 * 4;
  data_.assign(static_cast<size_t>(cout * rowLen_), 0);
  sums_.assign(static_cast<size_t>(cout), 0);
  for (int64_t co = 0; co < cout; ++co) {
    int32_t s = 0;
    for (int64_t i = 0; i < k; ++i) {
      const int8_t v = w[co * k + i];
      data_[static_cast<size_t>(co * rowLen_ + i)] = v;
      s += v;
    }
    sums_[static_cast<size_t>(co)] = s;
  }
}

int64_t int8ConvOutSize(int64_t in, int64_t k, int64_t stride, int64_t padBegin, int64_t padEnd,
                        int64_t dilation) {
  if (stride < 1 || dilation < 1 || padBegin < 0 || padEnd < 0)
    throw std::runtime_error("Int8ConvVNNI: strides and dilations must be at least 1 and pads non-negative.");
  // Model attributes: kept where the geometry's sums and products stay exact.
  constexpr int64_t kLimit = int64_t(1) << 30;
  if (stride > kLimit || dilation > kLimit || padBegin > kLimit || padEnd > kLimit || in > kLimit || k > kLimit)
    throw std::runtime_error("Int8ConvVNNI: a stride, dilation, pad or size is over 2^30.");
  const int64_t span = in + padBegin + padEnd - dilation * (k - 1) - 1;
  if (span < 0)
    throw std::runtime_error("Int8ConvVNNI: the kernel (extent " + std::to_string(dilation * (k - 1) + 1) +
                             ") does not fit the padded input of size " +
                             std::to_string(in + padBegin + padEnd) + ".");
  return span / stride + 1;
}

void int8ConvForward(const float* x, int64_t N, int64_t Cin, int64_t H, int64_t W,
                     const Int8PackedWeights& w, const float* wscale, int64_t wscaleCount,
                     const float* bias, int64_t biasCount, const Int8ConvGeometry& geo, float* y) {
  const int64_t G = geo.group, Cout = w.cout();
  if (G < 1 || Cout % G != 0 || Cin != G * w.cinPerGroup())
    throw std::runtime_error("Int8ConvVNNI: input has " + std::to_string(Cin) + " channels but the weights expect " +
                             std::to_string(G * w.cinPerGroup()) + " (group " + std::to_string(G) + ", " +
                             std::to_string(Cout) + " output channels).");
  if ((wscaleCount != 1 && wscaleCount != Cout) || (biasCount != 1 && biasCount != Cout))
    throw std::runtime_error("Int8ConvVNNI: the weight scale and bias need 1 or " + std::to_string(Cout) +
                             " values, got " + std::to_string(wscaleCount) + " and " + std::to_string(biasCount) +
                             ".");
  const int64_t KH = w.kh(), KW = w.kw();
  const int64_t Ho = int8ConvOutSize(H, KH, geo.strides[0], geo.pads[0], geo.pads[2], geo.dilations[0]);
  const int64_t Wo = int8ConvOutSize(W, KW, geo.strides[1], geo.pads[1], geo.pads[3], geo.dilations[1]);
  const int64_t total = N * Cin * H * W;
  if (total == 0) return;

  // Pass 1: activation range over the whole input.
  float m = std::numeric_limits<float>::infinity(), M = -m;
  for (int64_t i = 0; i < total; ++i) {
    m = std::min(m, x[i]);
    M = std::max(M, x[i]);
  }
  const Int8ActQuant q = int8ActivationQuant(m, M);
  // Pass 2: quantise once.
  std::vector<uint8_t> qx(static_cast<size_t>(total));
  for (int64_t i = 0; i < total; ++i) qx[static_cast<size_t>(i)] = int8Quantise(x[i], q);

  // Pass 3: per (image, group), gather each output position's patch (padding
  // reads the zero point, the quantised 0.0) and dot it with every row.
  const int64_t cpg = w.cinPerGroup(), opg = Cout / G, rowLen = w.rowLen();
  const uint8_t zpad = static_cast<uint8_t>(q.zero);
  std::vector<uint8_t> patch(static_cast<size_t>(rowLen));
  for (int64_t n = 0; n < N; ++n)
    for (int64_t g = 0; g < G; ++g)
      for (int64_t oy = 0; oy < Ho; ++oy)
        for (int64_t ox = 0; ox < Wo; ++ox) {
          std::fill(patch.begin(), patch.end(), uint8_t(0));
          size_t k = 0;
          for (int64_t ci = 0; ci < cpg; ++ci) {
            const uint8_t* plane = qx.data() + ((n * Cin) + g * cpg + ci) * H * W;
            for (int64_t ky = 0; ky < KH; ++ky) {
              const int64_t iy = oy * geo.strides[0] - geo.pads[0] + ky * geo.dilations[0];
              for (int64_t kx = 0; kx < KW; ++kx, ++k) {
                const int64_t ix = ox * geo.strides[1] - geo.pads[1] + kx * geo.dilations[1];
                patch[k] = (iy < 0 || iy >= H || ix < 0 || ix >= W) ? zpad : plane[iy * W + ix];
              }
            }
          }
          for (int64_t j = 0; j < opg; ++j) {
            const int64_t co = g * opg + j;
            const int8_t* r = w.row(co);
            int32_t acc = 0;
            for (int64_t t = 0; t < rowLen; t += 4)
              acc += int32_t(patch[t]) * r[t] + int32_t(patch[t + 1]) * r[t + 1] + int32_t(patch[t + 2]) * r[t + 2] +
                     int32_t(patch[t + 3]) * r[t + 3];
            const float ws = wscale[wscaleCount == 1 ? 0 : co];
            const float b = bias[biasCount == 1 ? 0 : co];
            y[((n * Cout + co) * Ho + oy) * Wo + ox] =
                static_cast<float>(acc - q.zero * w.rowSum(co)) * q.scale * ws + b;
          }
        }
}

}  // namespace le
