// Hand-vectorised inner loops. Each entry point dispatches, on its first
// call, to the best variant compiled for the running CPU. Every variant gives
// the same bits: multiplies and adds are never fused, reductions run in index
// order and leftovers after the last whole vector use the same arithmetic.
//
// roundHalf(x) below: x rounded to binary16 (nearest even) and back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le::simd {

// dst[i] = binary16 of src[i], nearest even; NaN stays NaN (quiet bit set,
// top mantissa bits kept), overflow gives signed infinity.
void f32ToF16(const float* src, std::uint16_t* dst, std::size_t n);

// dst[i] = exact single-precision value of the half src[i].
void f16ToF32(const std::uint16_t* src, float* dst, std::size_t n);

// out[i] = b[i] * roundHalf(a[i]).
void roundF16Mul(const float* a, const float* b, float* out, std::size_t n);

// a, b: planar three-channel half images of n pixels (channel c of pixel j
// at c * n + j); w: n half weights. Sum over j in order of
// roundHalf(w[j] * roundHalf(d / 3)), d = sum over c of
// |roundHalf(a - b)|. Returns 0 for n = 0.
float retrieveTermPooled(const std::uint16_t* a, const std::uint16_t* b,
                         const std::uint16_t* w, std::size_t n);

// Images interleaved for retrieveTermPooledInterleaved.
inline constexpr std::size_t kPooledGroup = 8;

// retrieveTermPooled of groups * kPooledGroup images against one query, the
// images interleaved: channel c of pixel j of image i of group g is at
// a[((g * 3 + c) * n + j) * kPooledGroup + i], and every one is finite. b
// and w are the query's and the weights' halves widened to float.
// out[g * kPooledGroup + i] receives image i of group g.
void retrieveTermPooledInterleaved(const std::uint16_t* a, std::size_t groups,
                                   const float* b, const float* w,
                                   std::size_t n, float* out);

// As retrieveTermExactRange over [0, n).
float retrieveTermExact(const std::uint16_t* a, const std::uint16_t* b,
                        const float* w, std::size_t n);

// Sum over j in [begin, end) of w[j] * roundHalf(d / 3) (the product not
// rounded), with d as above; a pixel whose weight is exactly 0 contributes
// nothing, even when its difference is not finite.
float retrieveTermExactRange(const std::uint16_t* a, const std::uint16_t* b,
                             const float* w, std::size_t n, std::size_t begin,
                             std::size_t end);

// The per-pixel terms of a retrieval score against packed RGB bytes:
// prod[k] = w[k] * roundHalf(d / 3), d = sum over c of
// |roundHalf(q[c * planeStride + k] - roundHalf(s[3k + c] / 255))| with q in
// half. The caller sums them in its own order.
void retrieveBandRow(const std::uint16_t* q, std::size_t planeStride,
                     const std::uint8_t* s, const float* w, std::size_t n,
                     float* prod);

// dst[c * planeStride + i] = binary16 of rgb[3i + c] / 255.
void rgb8ToPlanarF16(const std::uint8_t* rgb, std::uint16_t* dst,
                     std::size_t planeStride, std::size_t n);

// Direct 3x3 convolution, stride 1, zero padding 1, over the work items
// k in [begin, end) (image k / cout, output channel k % cout), each writing
// the whole h x w output plane. in [batch][cin][h][w], weight
// [cout][cin][3][3], bias [cout], out [batch][cout][h][w]. Per output pixel
// the sum runs over in-image kernel rows ky, then kx, then ci; then
// out = bias + sum. Keeps a per-thread scratch copy of the current image.
void conv3x3Range(const float* in, int batch, int cin, int h, int w,
                  const float* weight, const float* bias, int cout, float* out,
                  int begin, int end);
// Layout of an image that conv3x3PaddedRange reads: each of the cin planes
// holds h rows of conv3x3RowWidth(w) floats, the data from column 1, zero in
// column 0 and from column w + 1 on; kConv3x3Slack readable floats follow
// the last image.
inline std::size_t conv3x3RowWidth(int w) {
  return static_cast<std::size_t>((w + 15) / 16) * 16 + 2;
}
inline constexpr std::size_t kConv3x3Slack = 64;

// conv3x3Range over input already in that layout, rows inRowWidth >=
// conv3x3RowWidth(w) apart, read in place; when relu is set, each value is
// stored as std::max(value, 0.0f) (a NaN stays NaN). Output plane k starts at out + k * h * outRowWidth + outOffset, its rows
// outRowWidth apart; nothing else of out is written, so a padded output
// keeps its zero columns and can feed the next layer.
void conv3x3PaddedRange(const float* in, int cin, int h, int w,
                        std::size_t inRowWidth, const float* weight,
                        const float* bias, int cout, bool relu, float* out,
                        std::size_t outRowWidth, std::size_t outOffset,
                        int begin, int end);

// mx[i] = std::max(mx[i], p[i]).
void softmaxMax(float* mx, const float* p, std::size_t n);

// One softmax plane made final, and its share of a blend: p[i] = p[i] /
// sum[i] where sum[i] is finite and positive, else `even`; then, when rgb is
// not null, acc[c * accStride + i] += p[i] * (rgb[3i + c] / 255) for c = 0..2.
void softmaxShare(float* p, const float* sum, float even,
                  const std::uint8_t* rgb, float* acc, std::size_t accStride,
                  std::size_t n);

// One row of 4:2:0 video to packed RGB24, BT.601 limited range integer
// formula. Pixel i uses chroma index chromaStep * (i / 2): 1 for separate U
// and V planes, 2 for interleaved U,V (v = u + 1).
void yuv420RowToRgb24(const std::uint8_t* y, const std::uint8_t* u,
                      const std::uint8_t* v, int width, int chromaStep,
                      std::uint8_t* rgb);

// Blends output pixels x0..x1 (inclusive) of one RGB24 row with the
// Lanczos-8 resampled s x s crop src (4 floats a pixel, RGB used) under the
// bilinearly sampled 8-bit mask. xs/ys: per-pixel source increments (1/1024
// units) from the row base (ax, ay), indexed from x0. lanczos: 32 phases x 8
// taps; bilinear: 32 phases x 2 weights. Pixels whose source lies outside
// the crop or whose mask alpha is 0 are left unchanged.
void pasteLanczos8Row(const float* src, int s, const std::uint8_t* mask,
                      const float* lanczos, const float* bilinear,
                      const int* xs, const int* ys, int ax, int ay, int x0,
                      int x1, std::uint8_t* dstRow);

// Highway's name of the best SIMD target the CPU supports, e.g. "AVX2".
const char* target();

}  // namespace le::simd
