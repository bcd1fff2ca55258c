#include "core/audio/fca.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/foundation/half.h"
#include "core/foundation/pool.h"

namespace le {

namespace {

// Zero mean, unit variance over the whole window (missing audio as zeros),
// statistics in double precision.
void normaliseWindow(std::vector<float>& x) {
  double sum = 0, sq = 0;
  for (float v : x) sum += v;
  const double mean = sum / double(x.size());
  for (float v : x) sq += (v - mean) * (v - mean);
  const double var = sq / double(x.size());
  const float inv = 1.f / std::sqrt(float(var + 1e-7));
  for (float& v : x) v = float((v - mean) * inv);
}

// x rounded to binary16 (nearest even) and widened back.
float viaHalf(float x) {
  const std::uint16_t h = f32ToF16(x);
  float f;
  halfToFloat(&h, &f, 1);
  return f;
}

}  // namespace

FaceCoeffAdapter::FaceCoeffAdapter(const std::string& encoderPath, const std::string& adapterPath, int threads) {
  env_ = Ort::Env(ORT_LOGGING_LEVEL_WARNING, "le_fca");
  options_ = Ort::SessionOptions();
  options_.SetIntraOpNumThreads(threads >= 1 ? threads : pool::threads());
  options_.SetInterOpNumThreads(1);
  options_.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  encoder_ = std::make_unique<OnnxNet>(env_, options_, encoderPath, 1, -1);
  encoder_->inputIndex("input_values");
  encoder_->inputShape(0, kWindow);
  embIndex_ = encoder_->outputIndex("audio_emb");
  adapter_ = std::make_unique<OnnxNet>(env_, options_, adapterPath, 3, 2);
  condIndex_ = adapter_->inputIndex("cond");
  prevIndex_ = adapter_->inputIndex("prev");
  hIndex_ = adapter_->inputIndex("h");
  mIndex_ = adapter_->outputIndex("m");
  hnIndex_ = adapter_->outputIndex("hn");
  adapter_->inputShape(condIndex_, size_t(kOffsets.size()) * kFeat);
  adapter_->inputShape(prevIndex_, kValues);
  adapter_->inputShape(hIndex_, kState);
}

FaceCoeffAdapter::~FaceCoeffAdapter() = default;

std::vector<float> FaceCoeffAdapter::features(const float* samples, size_t n) {
  const int frames = framesOf(n);
  std::vector<float> feat(size_t(frames) * kFeat, 0.f);
  std::vector<float> window(kWindow);
  std::vector<float> emb(size_t(kLayers) * kWindowFrames * kFeat);
  int filled = 0;  // frames 0..filled-1 have their feature
  for (int w = 0; filled < frames; w += kWindowStep) {
    const size_t first = size_t(w) * kHop;
    for (size_t i = 0; i < size_t(kWindow); ++i) window[i] = first + i < n ? samples[first + i] : 0.f;
    normaliseWindow(window);
    encoder_->run({window.data()}, {window.size()}, {{embIndex_, emb.data(), emb.size()}});
    const int from = std::max(filled, w == 0 ? 0 : w + kWindowSkip);
    const int to = std::min(frames, w + kWindowFrames);
    for (int f = from; f < to; ++f) {
      float* dst = feat.data() + size_t(f) * kFeat;
      const int i = f - w;
      for (int layer : kLayerSet) {
        const float* src = emb.data() + (size_t(layer) * kWindowFrames + size_t(i)) * kFeat;
        for (int c = 0; c < kFeat; ++c) dst[c] += viaHalf(src[c]);
      }
      for (int c = 0; c < kFeat; ++c) dst[c] /= float(kLayerSet.size());
    }
    filled = std::max(filled, to);
  }
  return feat;
}

void voicedMeanNormalise(std::vector<float>& feat, int frames, int dim) {
  std::vector<double> norms(static_cast<size_t>(frames));
  std::vector<double> sorted;
  for (int j = 0; j < frames; ++j) {
    double s = 0;
    for (int c = 0; c < dim; ++c) s += double(feat[size_t(j) * dim + c]) * feat[size_t(j) * dim + c];
    norms[size_t(j)] = std::sqrt(s);
  }
  std::vector<double> sum(size_t(dim), 0.0);
  int voiced = 0;
  for (int j = 0; j < frames; ++j) {
    double threshold = 0;
    if (j > 6) {
      sorted.assign(norms.begin(), norms.begin() + j + 1);
      std::sort(sorted.begin(), sorted.end());
      const double p = 0.2 * j;
      const size_t lo = size_t(p);
      threshold = sorted[lo] + (sorted[lo + 1] - sorted[lo]) * (p - double(lo));
    }
    float* x = feat.data() + size_t(j) * dim;
    if (norms[size_t(j)] > threshold) {
      for (int c = 0; c < dim; ++c) sum[size_t(c)] += x[c];
      ++voiced;
    }
    const double k = std::max(voiced, 1);
    for (int c = 0; c < dim; ++c) x[c] = float(x[c] - sum[size_t(c)] / k);
  }
}

void FaceCoeffAdapter::deltas(const float* samples, size_t n, float* out) {
  const int frames = framesOf(n);
  if (frames == 0) return;
  std::vector<float> feat = features(samples, n);
  voicedMeanNormalise(feat, frames, kFeat);
  std::vector<float> cond(kOffsets.size() * size_t(kFeat));
  std::vector<float> prev(kValues, 0.f), h(kState, 0.f), hn(kState);
  std::vector<const float*> ins(3);
  std::vector<size_t> counts(3);
  ins[condIndex_] = cond.data();
  counts[condIndex_] = cond.size();
  ins[prevIndex_] = prev.data();
  counts[prevIndex_] = prev.size();
  ins[hIndex_] = h.data();
  counts[hIndex_] = h.size();
  for (int l = 0; l < frames; ++l) {
    for (size_t o = 0; o < kOffsets.size(); ++o) {
      const int f = std::clamp(l + kOffsets[o], 0, frames - 1);
      std::copy_n(feat.data() + size_t(f) * kFeat, kFeat, cond.data() + o * kFeat);
    }
    float* m = out + size_t(l) * kValues;
    adapter_->run(ins, counts, {{mIndex_, m, size_t(kValues)}, {hnIndex_, hn.data(), hn.size()}});
    std::copy_n(m, kValues, prev.data());
    h.swap(hn);
    ins[hIndex_] = h.data();
  }
}

}  // namespace le
