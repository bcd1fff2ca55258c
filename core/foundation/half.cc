#include "core/foundation/half.h"

#include <cstring>

#include "core/foundation/simd_reference.h"

namespace le {

void halfToFloat(const std::uint16_t* src, float* dst, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = simd::reference::halfValue(src[i]);
}

std::uint16_t f32ToF16(float x) {
  std::uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  // Unlike the vector conversion, NaN is not carried: it becomes infinity.
  if ((bits & 0x7F800000u) == 0x7F800000u) {
    return static_cast<std::uint16_t>(((bits >> 16) & 0x8000u) | 0x7C00u);
  }
  return simd::reference::halfBits(x);
}

}  // namespace le
