// Plain sampling kernels behind the GridSampleFast and WarpDirector
// operators, usable without ONNX Runtime. Buffers are one planar float image
// each; the grid holds H*W (gx, gy) pairs in [-1, 1], one per output pixel,
// with align_corners 0 and border padding.
#pragma once

#include <cstdint>

namespace le {

// Bilinear/border sample of all C channels of src [C,H,W] at each grid point.
void gridsample_fast(const float* src, const float* grid, float* out, int64_t C, int64_t H, int64_t W);
// The same over output rows [row0, min(row1, H)).
void gridsample_fast_band(const float* src, const float* grid, float* out, int64_t C, int64_t H, int64_t W,
                          int64_t row0, int64_t row1);

// The director's source warp on a 3-channel image: the bilinear sample
// corrected by the second differences of the source,
// B(c) - hx*B(Dxx) - hy*B(Dyy) + hx*hy*B(Dxxyy).
void warpDirector(const float* src, const float* grid, float* out, int64_t W, int64_t H);
void warpDirectorBand(const float* src, const float* grid, float* out, int64_t W, int64_t H, int64_t row0,
                      int64_t row1);

// Throws the WarpDirector refusal unless C is 3.
void checkWarpDirectorChannels(int64_t C);

}  // namespace le
