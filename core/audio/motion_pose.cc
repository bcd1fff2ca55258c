#include "core/audio/motion_pose.h"

#include <algorithm>
#include <cmath>

namespace le::motion {

float bin66(const float* logits) {
  const float mx = *std::max_element(logits, logits + 66);
  double sum = 0, weighted = 0;
  for (int i = 0; i < 66; ++i) {
    const double p = std::exp(double(logits[i]) - mx);
    sum += p;
    weighted += p * i;
  }
  return static_cast<float>(3.0 * (weighted / sum) - 97.5);
}

Mat3 poseToR(float x, float y, float z) {
  const double k = M_PI / 180.0;
  const double c1 = std::cos(x * k), s1 = std::sin(x * k);
  const double c2 = std::cos(y * k), s2 = std::sin(y * k);
  const double c3 = std::cos(z * k), s3 = std::sin(z * k);
  return {float(c2 * c3),
          float(c2 * s3),
          float(-s2),
          float(s1 * s2 * c3 - s3 * c1),
          float(c1 * c3 + s1 * s2 * s3),
          float(s1 * c2),
          float(s1 * s3 + c1 * s2 * c3),
          float(c1 * s2 * s3 - c3 * s1),
          float(c1 * c2)};
}

void keypoints(const float* row, const Mat3& r, const float* expr, float* out) {
  const float s = row[kInfoScale];
  for (int i = 0; i < 21; ++i) {
    const float* c = row + kInfoCanonical + 3 * i;
    for (int j = 0; j < 3; ++j) {
      const float rotated = c[0] * r[j] + c[1] * r[3 + j] + c[2] * r[6 + j];
      out[3 * i + j] = s * (rotated + expr[3 * i + j]);
    }
    out[3 * i] += row[kInfoTrans];
    out[3 * i + 1] += row[kInfoTrans + 1];
  }
}

}  // namespace le::motion
