#include "core/audio/log_mel.h"

#include <fftw3.h>

#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string>

namespace le::motion {

namespace {

// FFTW's planner is not thread-safe; one plan is made once and then executed
// on per-thread arrays (fftwf_malloc gives them the plan's alignment).
fftwf_plan sharedPlan() {
  static std::once_flag once;
  static fftwf_plan plan = nullptr;
  std::call_once(once, [] {
    float* in = fftwf_alloc_real(LogMel::kFft);
    fftwf_complex* out = fftwf_alloc_complex(LogMel::kBins);
    if (in && out) plan = fftwf_plan_dft_r2c_1d(LogMel::kFft, in, out, FFTW_ESTIMATE);
    fftwf_free(in);
    fftwf_free(out);
  });
  if (!plan) throw std::runtime_error("LogMel: FFTW could not plan a 512-point real FFT");
  return plan;
}

struct Scratch {
  float* in = fftwf_alloc_real(LogMel::kFft);
  fftwf_complex* out = fftwf_alloc_complex(LogMel::kBins);
  Scratch() = default;
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    fftwf_free(in);
    fftwf_free(out);
  }
};

}  // namespace

LogMel::LogMel(std::vector<float> window, std::vector<float> binmat)
    : window_(std::move(window)), binmat_(std::move(binmat)) {
  if (window_.size() != size_t(kFft))
    throw std::runtime_error("LogMel: the window holds " + std::to_string(window_.size()) + " values, expected 512");
  if (binmat_.size() != size_t(kBins) * kMels)
    throw std::runtime_error("LogMel: the mel matrix holds " + std::to_string(binmat_.size()) +
                             " values, expected 20560");
  sharedPlan();
}

void LogMel::compute(const float* samples, float* out) const {
  thread_local Scratch scratch;
  if (!scratch.in || !scratch.out) throw std::runtime_error("LogMel: out of memory for the FFT scratch");
  const fftwf_plan plan = sharedPlan();
  float padded[kSpan + 2 * kPad];
  for (int i = 0; i < kPad; ++i) padded[i] = samples[kPad - i];
  for (int i = 0; i < kSpan; ++i) padded[kPad + i] = samples[i];
  for (int i = 0; i < kPad; ++i) padded[kPad + kSpan + i] = samples[kSpan - 2 - i];
  float mag[kBins];
  for (int b = 0; b < kFrames; ++b) {
    const float* src = padded + b * kHop;
    for (int i = 0; i < kFft; ++i) scratch.in[i] = src[i] * window_[i];
    fftwf_execute_dft_r2c(plan, scratch.in, scratch.out);
    for (int k = 0; k < kBins; ++k) mag[k] = std::hypot(scratch.out[k][0], scratch.out[k][1]);
    float acc[kMels] = {};
    for (int k = 0; k < kBins; ++k) {
      const float* row = binmat_.data() + size_t(k) * kMels;
      for (int m = 0; m < kMels; ++m) acc[m] += mag[k] * row[m];
    }
    for (int m = 0; m < kMels; ++m) out[m * kFrames + b] = std::log(acc[m] + 1e-8f);
  }
}

}  // namespace le::motion
