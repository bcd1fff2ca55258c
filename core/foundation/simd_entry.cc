// Entry points forwarding to the scalar kernels.
#include "core/foundation/simd.h"
#include "core/foundation/simd_reference.h"

namespace le::simd {
void conv3x3Range(const float* in, int batch, int cin, int h, int w, const float* weight, const float* bias,
                  int cout, float* out, int begin, int end) {
  reference::conv3x3Range(in, batch, cin, h, w, weight, bias, cout, out, begin, end);
}
void yuv420RowToRgb24(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v, int width,
                      int chromaStep, std::uint8_t* rgb) {
  reference::yuv420RowToRgb24(y, u, v, width, chromaStep, rgb);
}
void pasteLanczos8Row(const float* src, int s, const std::uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* xs, const int* ys, int ax, int ay, int x0, int x1,
                      std::uint8_t* dstRow) {
  reference::pasteLanczos8Row(src, s, mask, lanczos, bilinear, xs, ys, ax, ay, x0, x1, dstRow);
}
}  // namespace le::simd
