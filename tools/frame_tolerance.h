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
//                side / 2 pixels per unit. Their effect on the crop is
//                what the crop and frame checks gate (a worst-case image
//                gradient of one full range per pixel would ask for
//                delta / (side / 2), 3.2e-7, which real faces' gentler
//                gradients do not need: 3.6e-7 measured gives crops of
//                1.2e-6). The keypoints' own bound, for frames whose crop
//                is not recorded, is a displacement of 1/100 pixel,
//                0.01 / (side / 2): far below anything the frame check
//                would notice, far above rounding, and a wrong frame of
//                the loop or a lost block of audio moves keypoints by
//                1e-2 and more;
//   - speech features: the short-window encoder pair is a half-precision
//                graph, whose ops each ONNX Runtime build may evaluate in
//                half or in single precision; its output resolves no
//                more than one half-precision step (2^-11 relative) of its
//                largest values, and differences below that step of the
//                largest magnitude are below what it represents.
// Measured (x86-64 against arm64 under qemu, SVE 128/256/512 alike, tiny
// bundle, 0.64 s of speech): features 8.4e-5 at magnitudes up to 1.69
// (0.1 step), keypoints 3.6e-7, crops 1.2e-6, pasted frames byte-identical.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace le::tools {

// The frame budget above.
inline constexpr double kFrameEpsBudget = 0.02;

// Stage tolerances (see above): the crop's from the budget, the
// keypoints' from a 1/100-pixel displacement at crop side `side`.
double cropTolerance(double gain);
double keypointTolerance(int side);

// Features may differ by this share of their largest magnitude (one
// half-precision step).
inline constexpr double kFeatureRelative = 1.0 / 2048.0;
// Keypoint displacement allowed, in crop pixels.
inline constexpr double kKeypointPixels = 0.01;

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
