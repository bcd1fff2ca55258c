// Scalar binary16 helpers used outside the vector kernels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le {

// Exact widening of n binary16 values to single precision.
void halfToFloat(const std::uint16_t* src, float* dst, std::size_t n);

// binary16 of x, round to nearest even. Infinity and NaN alike give signed
// infinity (0x7C00 / 0xFC00); magnitudes up to 2^-25 give signed zero.
std::uint16_t f32ToF16(float x);

}  // namespace le
