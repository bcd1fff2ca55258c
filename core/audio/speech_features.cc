#include "core/audio/speech_features.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "core/foundation/half.h"

namespace le::a2x {
namespace {

std::vector<int64_t> shapeOf(const Ort::Value& v) { return v.GetTensorTypeAndShapeInfo().GetShape(); }

}  // namespace

float roundHalf(float x) {
  const uint16_t h = le::f32ToF16(x);
  float y;
  le::halfToFloat(&h, &y, 1);
  return y;
}

Ort::MemoryInfo& cpuInfo() {
  static Ort::MemoryInfo info = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  return info;
}

void normaliseWindow(const AudioSpan& audio, int64_t start, int64_t len, float* out) {
  const int64_t first = std::max<int64_t>(start, 0);
  if (first < audio.base && first < std::min(audio.limit, start + len))
    throw std::runtime_error("speech window at sample " + std::to_string(start) + " reaches samples before " +
                             std::to_string(audio.base) + ", which were released");
  double sum = 0.0;
  for (int64_t j = 0; j < len; ++j) {
    const int64_t i = start + j;
    out[j] = i >= 0 && i < audio.limit ? audio.data[i - audio.base] : 0.0f;
    sum += out[j];
  }
  const double mean = sum / static_cast<double>(len);
  double sq = 0.0;
  for (int64_t j = 0; j < len; ++j) {
    const double d = out[j] - mean;
    sq += d * d;
  }
  const double var = sq / static_cast<double>(len);
  const float inv = 1.0f / std::sqrt(static_cast<float>(var + 1e-7));
  for (int64_t j = 0; j < len; ++j) out[j] = static_cast<float>((out[j] - mean) * inv);
}

int64_t longWindowOf(int64_t frame) {
  return frame < kLongWindowFrames ? 0 : frame / kLongWindowHop * kLongWindowHop - kLongWindowHop;
}

int64_t firstSampleNeeded(int64_t frame, bool windowed, int right) {
  const int64_t start = windowed ? (frame + kBlockFrames + right) * kFrameSamples - kTrunkSamples
                                 : longWindowOf(frame) * kFrameSamples;
  return std::max<int64_t>(0, start);
}

void appendSamples(std::vector<float>& audio, const float* samples, size_t n) {
  constexpr float kLimit = 1.0e6f;
  const size_t base = audio.size();
  audio.resize(base + n);
  for (size_t i = 0; i < n; ++i) {
    const float v = samples[i];
    audio[base + i] = std::isfinite(v) ? std::clamp(v, -kLimit, kLimit) : 0.0f;
  }
}

const float* floatData(const Ort::Value& v, const char* model, const char* output) {
  if (v.GetTensorTypeAndShapeInfo().GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
    throw std::runtime_error(std::string(model) + ": " + output + " is not single precision");
  return v.GetTensorData<float>();
}

void longWindowFeatures(Ort::Session& encoder, const AudioSpan& audio, int64_t w, int64_t from, int64_t to,
                        float* out) {
  if (from < w || to > w + kLongWindowFrames || from > to)
    throw std::runtime_error("frames " + std::to_string(from) + ".." + std::to_string(to) +
                             " are not inside the 8 s window at frame " + std::to_string(w));
  std::vector<float> input(kLongWindowSamples);
  normaliseWindow(audio, w * kFrameSamples, kLongWindowSamples, input.data());
  const int64_t inShape[2] = {1, kLongWindowSamples};
  Ort::Value in = Ort::Value::CreateTensor<float>(cpuInfo(), input.data(), input.size(), inShape, 2);
  const char* inName = "input_values";
  const char* outName = "audio_emb";
  std::vector<Ort::Value> res = encoder.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
  const std::vector<int64_t> s = shapeOf(res[0]);
  if (s.size() != 3 || s[0] != 12 || s[1] != kLongWindowFrames || s[2] != 768)
    throw std::runtime_error("w2v: audio_emb is not [12,200,768]");
  const float* emb = floatData(res[0], "w2v", "audio_emb");
  for (int64_t f = from; f < to; ++f) {
    const int64_t p = f - w;
    float* dst = out + (f - from) * kFeatureDim;
    for (int l = 0; l < 12; ++l) {
      const float* src = emb + (static_cast<int64_t>(l) * kLongWindowFrames + p) * 768;
      for (int c = 0; c < 768; ++c) dst[l * 768 + c] = roundHalf(src[c]);
    }
  }
}

void windowBlockFeatures(const WindowPair& pair, const AudioSpan& audio, int64_t b, int right, float* out) {
  const int64_t end = (b + kBlockFrames + right) * kFrameSamples;
  const int64_t start = end - kTrunkSamples;
  std::vector<float> input(kTrunkSamples);
  normaliseWindow(audio, start, kTrunkSamples, input.data());
  const int64_t inShape[2] = {1, kTrunkSamples};
  Ort::Value in = Ort::Value::CreateTensor<float>(cpuInfo(), input.data(), input.size(), inShape, 2);
  const char* inName = "input_values";
  const char* trunkOut = pair.trunkOutput.c_str();
  std::vector<Ort::Value> res = pair.trunk->Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &trunkOut, 1);
  const std::vector<int64_t> s = shapeOf(res[0]);
  if (s.size() != 3 || s[0] != 1 || s[1] != kTrunkChannels || s[2] < 1 ||
      res[0].GetTensorTypeAndShapeInfo().GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16)
    throw std::runtime_error("w2v_win: trunk output is not half precision [1,640,LT]");
  if (trunkLength() == 0) setTrunkLength(static_cast<int>(s[2]));
  const int64_t lt = trunkLength();
  if (s[2] != lt)
    throw std::runtime_error("w2v_win: trunk output length " + std::to_string(s[2]) + " differs from LT " +
                             std::to_string(lt));
  std::vector<float> trunk(static_cast<size_t>(kTrunkChannels * lt));
  le::halfToFloat(reinterpret_cast<const uint16_t*>(res[0].GetTensorData<Ort::Float16_t>()), trunk.data(),
                  trunk.size());

  std::vector<float> x(static_cast<size_t>(kBlockFrames) * kTrunkChannels);
  for (int k = 0; k < kBlockFrames; ++k) {
    // Where the 8-second path would have seen this frame on its window.
    const int64_t i = b + k;
    const int64_t p = i < kLongWindowFrames ? i : i % kLongWindowHop + kLongWindowHop;
    const int64_t q = i < kLongWindowFrames ? 0 : longWindowOf(i) * kFrameSamples;
    const double r = static_cast<double>(q - start) / 80.0 + static_cast<double>(p) * 1598.0 / 199.0;
    const double sf = std::floor(r);
    if (!(sf >= 0.0 && sf <= static_cast<double>(lt - 1))) throw std::runtime_error("w2v_win: trunk pos out of range");
    const int64_t s0 = static_cast<int64_t>(sf);
    const int64_t s1 = std::min<int64_t>(s0 + 1, lt - 1);
    const float fr = static_cast<float>(r - sf);
    for (int c = 0; c < kTrunkChannels; ++c) {
      const float* row = trunk.data() + c * lt;
      x[static_cast<size_t>(k) * kTrunkChannels + c] = roundHalf(row[s0] * (1.0f - fr) + row[s1] * fr);
    }
  }
  const int64_t xShape[2] = {kBlockFrames, kTrunkChannels};
  Ort::Value xv = Ort::Value::CreateTensor<float>(cpuInfo(), x.data(), x.size(), xShape, 2);
  const char* headIn = "x";
  const char* headOut = "emb";
  std::vector<Ort::Value> h = pair.head->Run(Ort::RunOptions{nullptr}, &headIn, &xv, 1, &headOut, 1);
  const std::vector<int64_t> hs = shapeOf(h[0]);
  if (hs.size() != 2 || hs[0] != kBlockFrames || hs[1] != kFeatureDim)
    throw std::runtime_error("w2v_win: head emb is not [8,9216]");
  std::copy_n(floatData(h[0], "w2v_win", "head emb"), static_cast<size_t>(kBlockFrames) * kFeatureDim, out);
}

}  // namespace le::a2x
