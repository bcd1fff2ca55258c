#include "core/audio/motion_pose.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace le::motion {
namespace {

TEST(Bin66, DominantBinGivesItsAngle) {
  std::vector<float> logits(66, 0.f);
  logits[32] = 100.f;
  EXPECT_NEAR(bin66(logits.data()), -1.5f, 1e-4f);
  // Large logits do not overflow the softmax.
  std::vector<float> big(66, 1000.f);
  big[0] = 2000.f;
  EXPECT_NEAR(bin66(big.data()), -97.5f, 1e-4f);
  // Flat logits: the middle of the range, 3 * 32.5 - 97.5 = 0.
  std::vector<float> flat(66, -3.f);
  EXPECT_NEAR(bin66(flat.data()), 0.f, 1e-4f);
}

TEST(PoseToR, OrthonormalAndMatchesHandComputedAngles) {
  for (float x : {-30.f, 0.f, 17.f})
    for (float y : {-45.f, 5.f, 60.f})
      for (float z : {-10.f, 0.f, 90.f}) {
        const Mat3 r = poseToR(x, y, z);
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) {
            float dot = 0.f;
            for (int k = 0; k < 3; ++k) dot += r[3 * i + k] * r[3 * j + k];
            EXPECT_NEAR(dot, i == j ? 1.f : 0.f, 1e-6f) << x << " " << y << " " << z;
          }
        const float det = r[0] * (r[4] * r[8] - r[5] * r[7]) - r[1] * (r[3] * r[8] - r[5] * r[6]) +
                          r[2] * (r[3] * r[7] - r[4] * r[6]);
        EXPECT_NEAR(det, 1.f, 1e-5f);
      }
  // Pitch alone, 90 degrees: rows (1,0,0), (0,0,1), (0,-1,0).
  const Mat3 p = poseToR(90.f, 0.f, 0.f);
  const float wantP[9] = {1, 0, 0, 0, 0, 1, 0, -1, 0};
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(p[i], wantP[i], 1e-6f) << i;
  // Yaw alone, 30 degrees: c2 on the diagonal corners, -s2 top right.
  const Mat3 y = poseToR(0.f, 30.f, 0.f);
  const float c = std::cos(M_PI / 6), s = std::sin(M_PI / 6);
  const float wantY[9] = {c, 0, -s, 0, 1, 0, s, 0, c};
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(y[i], wantY[i], 1e-6f) << i;
  // Roll alone, 90 degrees.
  const Mat3 z = poseToR(0.f, 0.f, 90.f);
  const float wantZ[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(z[i], wantZ[i], 1e-6f) << i;
}

TEST(Keypoints, ScaleRotateExpressAndTranslateTwoAxes) {
  std::vector<float> row(kInfoValues, 0.f);
  row[kInfoScale] = 2.f;
  row[kInfoTrans] = 0.5f;
  row[kInfoTrans + 1] = -0.25f;
  row[kInfoTrans + 2] = 9.f;  // never applied
  row[kInfoCanonical + 3] = 1.f;  // keypoint 1 at (1, 0, 0)
  std::vector<float> expr(63, 0.f);
  expr[3 * 1 + 2] = 0.1f;
  float out[63];
  keypoints(row.data(), poseToR(0.f, 0.f, 90.f), expr.data(), out);
  // (1,0,0) R = first row of R = (0, 1, 0); plus e = (0, 0, 0.1); times 2; plus t.
  EXPECT_NEAR(out[3], 0.5f, 1e-6f);
  EXPECT_NEAR(out[4], 2.f - 0.25f, 1e-6f);
  EXPECT_NEAR(out[5], 0.2f, 1e-6f);
  // Keypoint 0 sits at the origin: only the translation.
  EXPECT_NEAR(out[0], 0.5f, 1e-6f);
  EXPECT_NEAR(out[1], -0.25f, 1e-6f);
  EXPECT_NEAR(out[2], 0.f, 1e-6f);
}

}  // namespace
}  // namespace le::motion
