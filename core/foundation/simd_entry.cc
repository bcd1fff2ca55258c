// Entry points forwarding to the scalar kernels.
#include "core/foundation/simd.h"
#include "core/foundation/simd_reference.h"

namespace le::simd {
void pasteLanczos8Row(const float* src, int s, const std::uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* xs, const int* ys, int ax, int ay, int x0, int x1,
                      std::uint8_t* dstRow) {
  reference::pasteLanczos8Row(src, s, mask, lanczos, bilinear, xs, ys, ax, ay, x0, x1, dstRow);
}
}  // namespace le::simd
