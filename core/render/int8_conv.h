// Dynamically quantised int8 convolution: activations are quantised to u8
// per run over the whole input's range, weights are int8 with one float scale
// per output channel, and products accumulate exactly in 32-bit integers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace le {

struct Int8ConvGeometry {
  int64_t strides[2] = {1, 1};
  int64_t pads[4] = {0, 0, 0, 0};  // top, left, bottom, right
  int64_t dilations[2] = {1, 1};
  int64_t group = 1;
};

// Activation quantisation of a value range [m, M]: scale and zero point.
struct Int8ActQuant {
  float scale = 1.f;
  int32_t zero = 0;
};
Int8ActQuant int8ActivationQuant(float m, float M);
// clamp(z + round_half_even(x / s), 0, 255).
uint8_t int8Quantise(float x, const Int8ActQuant& q);

// Weights [Cout, Cin/group, kh, kw], each output channel's row padded to a
// multiple of 4 bytes for 4-way dot products, with the row sums kept.
class Int8PackedWeights {
 public:
  Int8PackedWeights() = default;
  // Longest filter (cinPerGroup * kh * kw) whose sums stay exact in 32 bits.
  static constexpr int64_t kMaxRow = 65793;
  Int8PackedWeights(const int8_t* w, int64_t cout, int64_t cinPerGroup, int64_t kh, int64_t kw);
  int64_t cout() const { return cout_; }
  int64_t cinPerGroup() const { return cinPerGroup_; }
  int64_t kh() const { return kh_; }
  int64_t kw() const { return kw_; }
  int64_t rowLen() const { return rowLen_; }
  const int8_t* row(int64_t co) const { return data_.data() + co * rowLen_; }
  int32_t rowSum(int64_t co) const { return sums_[static_cast<size_t>(co)]; }
  bool empty() const { return cout_ == 0; }

 private:
  int64_t cout_ = 0, cinPerGroup_ = 0, kh_ = 0, kw_ = 0, rowLen_ = 0;
  std::vector<int8_t> data_;
  std::vector<int32_t> sums_;
};

// Output spatial size of one axis; throws when it is not positive.
int64_t int8ConvOutSize(int64_t in, int64_t k, int64_t stride, int64_t padBegin, int64_t padEnd,
                        int64_t dilation);

// x [N,Cin,H,W] -> y [N,Cout,Ho,Wo]. wscale and bias hold Cout values (or
// one value for every channel when their count is 1). Throws on shapes that
// do not fit together.
void int8ConvForward(const float* x, int64_t N, int64_t Cin, int64_t H, int64_t W,
                     const Int8PackedWeights& w, const float* wscale, int64_t wscaleCount,
                     const float* bias, int64_t biasCount, const Int8ConvGeometry& geo, float* y);

}  // namespace le
