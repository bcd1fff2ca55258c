// The log-mel front end of the keypoint-motion speech model: 21 frames of 80
// mel values from one 6480-sample window of 16 kHz audio.
#pragma once

#include <vector>

namespace le::motion {

class LogMel {
 public:
  static constexpr int kFft = 512;        // analysis window and FFT length
  static constexpr int kBins = 257;       // magnitude bins 0..256
  static constexpr int kMels = 80;
  static constexpr int kFrames = 21;
  static constexpr int kHop = 320;
  static constexpr int kPad = 256;        // mirrored samples added at each end
  static constexpr int kSpan = 6480;      // samples one call reads

  // `window` holds kFft values, `binmat` kBins x kMels (row per FFT bin).
  // Throws when either has the wrong size.
  LogMel(std::vector<float> window, std::vector<float> binmat);

  // Reads kSpan samples, pads them by reflection (kPad at each end, the edge
  // sample not repeated) and writes kMels x kFrames values, mel-major:
  // log(sum_k |FFT(frame b * window)|_k * binmat[k][m] + 1e-8). Safe to call
  // from several threads at once (the FFT scratch is per thread).
  void compute(const float* samples, float* out) const;

 private:
  std::vector<float> window_;
  std::vector<float> binmat_;
};

}  // namespace le::motion
