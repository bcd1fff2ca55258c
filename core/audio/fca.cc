#include "core/audio/fca.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <queue>
#include <stdexcept>

#include "core/audio/encoder_sessions.h"
#include "core/audio/speech_features.h"

namespace le {


FaceCoeffAdapter::FaceCoeffAdapter(const std::string& encoderPath, const std::string& adapterPath, int threads) {
  env_ = Ort::Env(ORT_LOGGING_LEVEL_WARNING, "le_fca");
  // The audio sessions' options: above all no spinning, so that the
  // adapter's idle intra-op threads do not burn the cores the renderer
  // needs between its runs.
  options_ = a2x::audioSessionOptions(threads, "fca");
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
  const a2x::AudioSpan audio{samples, 0, static_cast<int64_t>(n)};
  a2x::walkLongWindows(frames, [&](int64_t w, int64_t from, int64_t to) {
    a2x::normaliseWindow(audio, w * kHop, kWindow, window.data());
    encoder_->run({window.data()}, {window.size()}, {{embIndex_, emb.data(), emb.size()}});
    for (int64_t f = from; f < to; ++f) {
      float* dst = feat.data() + size_t(f) * kFeat;
      const int64_t i = f - w;
      for (int layer : kLayerSet) {
        const float* src = emb.data() + (size_t(layer) * kWindowFrames + size_t(i)) * kFeat;
        for (int c = 0; c < kFeat; ++c) dst[c] += a2x::roundHalf(src[c]);
      }
      for (int c = 0; c < kFeat; ++c) dst[c] /= float(kLayerSet.size());
    }
  });
  return feat;
}

void voicedMeanNormalise(std::vector<float>& feat, int frames, int dim) {
  std::vector<double> norms(static_cast<size_t>(frames));
  for (int j = 0; j < frames; ++j) {
    double s = 0;
    for (int c = 0; c < dim; ++c) s += double(feat[size_t(j) * dim + c]) * feat[size_t(j) * dim + c];
    norms[size_t(j)] = std::sqrt(s);
  }
  std::vector<double> sum(size_t(dim), 0.0);
  int voiced = 0;
  // The norms so far split at the percentile's rank: the smallest
  // floor(0.2 j) + 1 in a max-heap, the rest in a min-heap, so each frame
  // costs a logarithm rather than a sort of everything before it.
  std::priority_queue<double> low;
  std::priority_queue<double, std::vector<double>, std::greater<double>> high;
  for (int j = 0; j < frames; ++j) {
    const double nj = norms[size_t(j)];
    if (!low.empty() && nj <= low.top()) low.push(nj);
    else high.push(nj);
    const double p = 0.2 * j;
    const size_t lo = size_t(p);
    while (low.size() > lo + 1) {
      high.push(low.top());
      low.pop();
    }
    while (low.size() < lo + 1) {
      low.push(high.top());
      high.pop();
    }
    double threshold = 0;
    if (j > 6) threshold = low.top() + (high.top() - low.top()) * (p - double(lo));
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
