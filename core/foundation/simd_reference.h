// Plain scalar versions of every vector kernel, one element at a time in the
// documented order of operations. They define the bits each vector variant
// must reproduce and serve the leftovers after the last whole vector.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le::simd::reference {

// binary16 of x, nearest even; NaN kept as a quiet NaN with its top
// mantissa bits.
std::uint16_t halfBits(float x);
// Exact single-precision value of a half.
float halfValue(std::uint16_t h);
// x rounded to binary16 and back.
inline float roundHalf(float x) { return halfValue(halfBits(x)); }

void f32ToF16(const float* src, std::uint16_t* dst, std::size_t n);
void f16ToF32(const std::uint16_t* src, float* dst, std::size_t n);
void roundF16Mul(const float* a, const float* b, float* out, std::size_t n);

// roundHalf(d / 3) for pixel j, d summed over the three channels.
float pooledDifference(const std::uint16_t* a, const std::uint16_t* b,
                       std::size_t n, std::size_t j);
float retrieveTermPooled(const std::uint16_t* a, const std::uint16_t* b,
                         const std::uint16_t* w, std::size_t n);
float retrieveTermExactRange(const std::uint16_t* a, const std::uint16_t* b,
                             const float* w, std::size_t n, std::size_t begin,
                             std::size_t end);
void retrieveBandRow(const std::uint16_t* q, std::size_t planeStride,
                     const std::uint8_t* s, const float* w, std::size_t n,
                     float* prod);
void softmaxMax(float* mx, const float* p, std::size_t n);
void softmaxShare(float* p, const float* sum, float even,
                  const std::uint8_t* rgb, float* acc, std::size_t accStride,
                  std::size_t n);
void rgb8ToPlanarF16(const std::uint8_t* rgb, std::uint16_t* dst,
                     std::size_t planeStride, std::size_t n);
void conv3x3Range(const float* in, int batch, int cin, int h, int w,
                  const float* weight, const float* bias, int cout, float* out,
                  int begin, int end);
void yuv420RowToRgb24(const std::uint8_t* y, const std::uint8_t* u,
                      const std::uint8_t* v, int width, int chromaStep,
                      std::uint8_t* rgb, int begin = 0);

// Mask alpha (0..1) of a source position given in 1/1024 units; 0 when the
// position lies outside the crop.
float pasteAlpha(const std::uint8_t* mask, int s, const float* bilinear,
                 int sx, int sy);
// Lanczos-8 resample of channels R, G, B at the source position, skipping
// rows and columns outside the crop.
void pasteResample(const float* src, int s, const float* lanczos, int sx,
                   int sy, float acc[3]);
// out = dst * (1 - alpha) + acc * alpha, clamped to 0..255 and truncated;
// a NaN blend writes 0.
void pasteBlend(const float acc[3], float alpha, std::uint8_t* px);
void pasteLanczos8Row(const float* src, int s, const std::uint8_t* mask,
                      const float* lanczos, const float* bilinear,
                      const int* xs, const int* ys, int ax, int ay, int x0,
                      int x1, std::uint8_t* dstRow);

}  // namespace le::simd::reference
