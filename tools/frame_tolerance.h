// How far an arm64 build's speech frame may lie from the x86-64 build's.
//
// The paste is byte-exact across machines for equal inputs (le_output_digest
// compares it), and so is the decoded driving frame; what differs is the
// float crop the director renders, because ONNX Runtime's arm64 kernels
// round differently (Softmax ~3e-8 relative, GridSample within the bilinear
// bound, convolutions summing in another order). A crop difference of at
// most delta (0..1 units) moves a pasted value before quantisation by at
// most
//     eps = 255 * (1 + 2 |amount|) * L^2 * delta
// (scale to 0..255; the unsharp mask p + a (p - blur p) has infinity-norm
// gain 1 + 2|a| because the blur is a convex combination; the separable
// Lanczos resampler's gain is the largest sum of absolute weights L of any
// phase, squared for two passes; the mask blend is convex and the clamp a
// contraction). Quantisation then changes a byte only where a step boundary
// lies between the two values:
//   - per byte: at most floor(eps) + 1 levels, so 1 LSB while eps < 1;
//   - share of bytes: a byte flips with probability at most its eps when
//     the pre-quantisation values' fractional parts are spread evenly
//     (they are: sharpened, resampled and blended face pixels), so the
//     share inside the footprint stays below eps, plus four binomial
//     standard deviations sqrt(eps / n) for the n bytes counted.
// Outside the paste footprint the crop has no say and bytes must be equal.
//
// The stage tolerances follow from a budget on the frame, eps <= 0.02: at
// most 1 LSB per byte on about 2% of the footprint's bytes. Then
//   - crop:      delta <= 0.02 / gain (1.0e-5 for the tiny bundle's
//                sharpening, gain 1949 LSB per unit);
//   - keypoints: the director samples its source through a warp that the
//                keypoints (normalised to [-1, 1] across the crop) move by
//                side / 2 pixels per unit, and one pixel of displacement
//                changes a 0..1 value by at most about 1, so keypoints
//                within delta / (side / 2) keep the crop within delta;
//   - speech features: the encoders' float output. Two float
//                implementations of one network (other summation orders,
//                fused multiply-adds, Softmax) differ by a few units of
//                roundoff u = 2^-24 of the largest values in play;
//                64 u times the largest feature magnitude allows that with
//                room, and stays a thousand times below what a lost or
//                repeated block of audio does (a change of the order of
//                the features themselves).
// Measured (x86-64 against arm64 under qemu, SVE 128/256/512 alike, tiny
// bundle, one second of speech): features 4.8e-7 at magnitudes up to 1.69
// (4.7 u), keypoints 6.0e-8, crops 9.8e-7, pasted frames byte-identical.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace le::tools {

// The frame budget above.
inline constexpr double kFrameEpsBudget = 0.02;

// Stage tolerances derived from the budget (see above).
double cropTolerance(double gain);
double keypointTolerance(double cropTolerance, int side);

// Features may differ by this share of their largest magnitude (64 u).
inline constexpr double kFeatureRelative = 64.0 / 16777216.0;

// Largest magnitude in v (0 for an empty array; NaN counts as infinite).
double maxMagnitude(const std::vector<float>& v);

// Largest absolute difference between two float arrays and where it is.
struct FloatDiff {
  double maxAbs = 0.0;
  size_t worst = 0;  // index of maxAbs
  size_t differing = 0;
};

// Compares a and b element by element; throws std::runtime_error naming
// `what` when the sizes differ. A NaN on one side only counts as infinite.
FloatDiff floatDiff(const std::string& what, const std::vector<float>& a, const std::vector<float>& b);

// The pasted byte's worst change per unit of crop difference (eps / delta
// above) for the unsharp `amount` and a resampling table of `taps` weights
// per phase.
double pasteGain(float amount, const std::vector<float>& table, int taps);

// What quantisation allows for crop difference `delta` over `bytes` bytes.
struct FrameBound {
  int maxLsb = 0;        // per byte
  size_t maxDiffering = 0;  // bytes inside the footprint
};
FrameBound frameBound(double delta, double gain, size_t bytes);

// Two RGB frames compared through a footprint of one byte a pixel (non-zero
// inside).
struct FrameDiff {
  int maxAbs = 0;            // largest byte difference anywhere
  size_t inside = 0;         // bytes inside the footprint
  size_t differingInside = 0;
  size_t differingOutside = 0;
};
// Throws std::runtime_error naming `what` when the sizes disagree
// (frames 3 bytes a pixel of the footprint's).
FrameDiff frameDiff(const std::string& what, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                    const std::vector<uint8_t>& footprint);

// Empty when `diff` keeps to `bound` and no byte outside the footprint
// moved; else a sentence naming `what` and the first rule broken.
std::string frameVerdict(const std::string& what, const FrameDiff& diff, const FrameBound& bound);

}  // namespace le::tools
