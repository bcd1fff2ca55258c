// Resampling and blur tables of the paste compositor. Built once per
// compositor in double precision and stored as floats, so every target and
// thread count reads the same weights.
#pragma once

#include <vector>

namespace le::paste {

// Sub-pixel phases per source pixel: positions carry 1/1024 pixel, and the
// top five bits of the fraction select the phase.
constexpr int kPhases = 32;

// 32 phases x 8 taps of the Lanczos kernel with a = 4, each phase normalised
// to sum 1; tap i weighs source sample ix - 3 + i. Phase 0 is the identity.
std::vector<float> lanczos8Table();

// 32 phases x 2 weights (1 - t, t) for samples ix and ix + 1.
std::vector<float> bilinearTable();

// 32 phases x 4 weights of the Keys cubic (a = -0.75) for samples
// ix - 1 .. ix + 2; the last weight makes each phase sum to 1.
std::vector<float> bicubicTable();

// The normalised 1-D Gaussian of `ksize` taps centred on the middle tap.
// A sigma of 0 or less is the limit of a vanishing blur: one tap of 1.
std::vector<float> gaussianKernel(float sigma, int ksize);

}  // namespace le::paste
