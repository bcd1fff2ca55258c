#include "core/session/source_lag.h"

#include <algorithm>
#include <vector>

namespace le {

int measureLagFrames(AnimationSource& source, int settleFrames, int maxPushes) {
  constexpr int kKp = 63;
  constexpr int kPullMax = 64;
  const std::vector<float> silence(kSamplesPerFrame, 0.0f);
  std::vector<int32_t> idx(kPullMax);
  std::vector<float> xs(size_t(kPullMax) * kKp), xd(size_t(kPullMax) * kKp);
  source.reset(0);
  int lag = -1, out = 0;
  for (int p = 0; p < maxPushes && out < settleFrames; ++p) {
    if (!source.push(silence.data(), kSamplesPerFrame)) break;
    if (source.avail() <= 0) continue;
    int n;
    while ((n = source.pull(idx.data(), xs.data(), xd.data(), kPullMax)) > 0) {
      // The oldest frame of a batch waited longest.
      lag = std::max(lag, p - out);
      out += n;
    }
  }
  source.reset(0);
  return lag;
}

}  // namespace le
