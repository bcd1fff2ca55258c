// Entry points forwarding to the scalar kernels.
#include "core/foundation/simd.h"
#include "core/foundation/simd_reference.h"

namespace le::simd {
void f32ToF16(const float* s, std::uint16_t* d, std::size_t n) { reference::f32ToF16(s, d, n); }
void f16ToF32(const std::uint16_t* s, float* d, std::size_t n) { reference::f16ToF32(s, d, n); }
void roundF16Mul(const float* a, const float* b, float* o, std::size_t n) { reference::roundF16Mul(a, b, o, n); }
float retrieveTermPooled(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* w, std::size_t n) {
  return reference::retrieveTermPooled(a, b, w, n);
}
float retrieveTermExact(const std::uint16_t* a, const std::uint16_t* b, const float* w, std::size_t n) {
  return reference::retrieveTermExactRange(a, b, w, n, 0, n);
}
float retrieveTermExactRange(const std::uint16_t* a, const std::uint16_t* b, const float* w, std::size_t n,
                             std::size_t begin, std::size_t end) {
  return reference::retrieveTermExactRange(a, b, w, n, begin, end);
}
void rgb8ToPlanarF16(const std::uint8_t* rgb, std::uint16_t* dst, std::size_t ps, std::size_t n) {
  reference::rgb8ToPlanarF16(rgb, dst, ps, n);
}
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
