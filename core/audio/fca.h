// Face-coefficient adapter: a whole utterance of speech in, 63 expression
// coefficients per video frame out, from a private copy of the 8-second
// speech encoder and an autoregressive adapter model ("fca_stream.onnx").
#pragma once

#include <onnxruntime_cxx_api.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "core/audio/onnx_net.h"

namespace le {

class FaceCoeffAdapter {
 public:
  static constexpr int kHop = 640;            // samples per video frame
  static constexpr int kWindow = 128000;      // encoder window, 8 s
  static constexpr int kWindowFrames = 200;
  static constexpr int kLayers = 12;
  static constexpr int kFeat = 768;
  static constexpr int kState = 384;
  static constexpr int kValues = 63;
  static constexpr std::array<int, 6> kLayerSet = {4, 5, 6, 7, 8, 9};   // averaged into a frame's feature
  static constexpr std::array<int, 7> kOffsets = {-1, 0, 1, 2, 3, 4, 5}; // conditioning window

  // Opens the encoder ("input_values" -> "audio_emb") and the adapter
  // ("cond", "prev", "h" -> "m", "hn") with `threads` intra-op threads
  // (below 1: le::pool::threads()). Throws when either cannot be used.
  FaceCoeffAdapter(const std::string& encoderPath, const std::string& adapterPath, int threads);
  ~FaceCoeffAdapter();
  FaceCoeffAdapter(const FaceCoeffAdapter&) = delete;
  FaceCoeffAdapter& operator=(const FaceCoeffAdapter&) = delete;

  // Frames of n samples: ceil(n / 640).
  static int framesOf(size_t n) { return static_cast<int>((n + kHop - 1) / kHop); }

  // Writes framesOf(n) x 63 coefficients into out; every call starts from a
  // zero adapter state. Throws on a failed model run.
  void deltas(const float* samples, size_t n, float* out);

  // Per-frame features (frames x 768): the encoder over the 8-second windows
  // the audio-to-expression stream walks,
  // the mean of the layers in kLayerSet, each value rounded to half
  // precision as the encoder's features are stored.
  std::vector<float> features(const float* samples, size_t n);

 private:
  Ort::Env env_{nullptr};
  Ort::SessionOptions options_{nullptr};
  std::unique_ptr<OnnxNet> encoder_, adapter_;
  size_t embIndex_ = 0;
  size_t condIndex_ = 0, prevIndex_ = 0, hIndex_ = 0, mIndex_ = 0, hnIndex_ = 0;
};

// Voiced-mean normalisation of `frames` features of `dim` values each, in
// place: frame j's feature minus the mean of the features so far (up to and
// including j) whose Euclidean norm exceeds the 20th percentile of the norms
// of frames 0..j (0 for the first seven frames).
void voicedMeanNormalise(std::vector<float>& feat, int frames, int dim);

}  // namespace le
