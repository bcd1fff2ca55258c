// Head pose and keypoint formulas of keypoint motion: 66-bin angle logits,
// the rotation matrix, and a frame's 21 keypoints from its information row.
#pragma once

#include <array>

namespace le::motion {

// Layout of a 328-value frame information row.
constexpr int kInfoValues = 328;
constexpr int kInfoExpr = 0;       // 63 expression offsets
constexpr int kInfoCanonical = 63; // 63 canonical keypoint values
constexpr int kInfoPitch = 126;    // 66 logits of the first angle
constexpr int kInfoRoll = 192;     // 66 logits of the third angle
constexpr int kInfoScale = 258;
constexpr int kInfoTrans = 259;    // 3 values; the third is not applied
constexpr int kInfoYaw = 262;      // 66 logits of the second angle

// Keypoint rows whose expression follows the generated motion.
constexpr std::array<int, 6> kLipRows = {6, 12, 14, 17, 19, 20};

using Mat3 = std::array<float, 9>;  // row-major

// Angle in degrees from 66 logits: 3 * (expected bin under their softmax) - 97.5.
float bin66(const float* logits);

// Row-major rotation for pitch x, yaw y, roll z in degrees.
Mat3 poseToR(float x, float y, float z);

// The 63 keypoint values s * (c R + e) + (t0, t1, 0) of an information row
// `row`, with rotation `r` and expression `expr` (63 values) in place of the
// row's own.
void keypoints(const float* row, const Mat3& r, const float* expr, float* out);

}  // namespace le::motion
