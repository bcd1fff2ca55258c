// Speech features per video frame from the shared encoders: the 8-second
// window path (full encoder) and the short-window path (trunk and head).
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <vector>

#include "core/audio/encoder_sessions.h"

namespace le::a2x {

constexpr int kFrameSamples = 640;      // one video frame at 16 kHz, 25 fps
constexpr int kBlockFrames = 8;         // one streaming block
constexpr int kBlockSamples = kFrameSamples * kBlockFrames;
constexpr int kFeatureDim = 12 * 768;   // features of one frame
constexpr int kLongWindowSamples = 128000;
constexpr int kLongWindowFrames = 200;
constexpr int kLongWindowHop = 100;     // frames between 8-second windows
constexpr int kTrunkSamples = 32000;
constexpr int kTrunkChannels = 640;

// x rounded to half precision (nearest even) and widened back.
float roundHalf(float x);

// Appends n samples to audio; a value that is not finite becomes 0 and the
// rest are held to +-1e6, so one bad sample cannot turn a whole window's
// normalisation or spectrum, and every frame after it, into NaN.
void appendSamples(std::vector<float>& audio, const float* samples, size_t n);

// The values of output `output` of model `model`, which must be single
// precision: a bundle's model may declare any type, and the values are read
// as floats. The refusal names both.
const float* floatData(const Ort::Value& v, const char* model, const char* output);

// The CPU memory description tensors over host buffers are made with.
Ort::MemoryInfo& cpuInfo();

// Received speech of which only the tail may be held: `data` points at
// sample `base`, and samples at/after `limit` count as not received.
struct AudioSpan {
  const float* data = nullptr;
  int64_t base = 0;
  int64_t limit = 0;
};

// The samples [start, start + len) of `audio`, zero where the index is
// negative or at/after `limit`, normalised over the whole window: mean and
// variance in double precision, each value (x - mean) / sqrt(var + 1e-7)
// with the square root in single precision. Throws when the window reaches
// received samples before `base`, which were released.
void normaliseWindow(const AudioSpan& audio, int64_t start, int64_t len, float* out);

// The 8-second window a frame's features come from: 0 for the first 200
// frames, then floor(frame / 100) * 100 - 100.
int64_t longWindowOf(int64_t frame);

// Walks the 8-second windows over frames [0, frames) in order: for each
// window, visit(w, from, to) takes the frames [from, to) whose features
// come from the window starting at frame w.
template <typename Visit>
void walkLongWindows(int64_t frames, Visit&& visit) {
  for (int64_t i = 0; i < frames;) {
    const int64_t w = longWindowOf(i);
    const int64_t to = frames < w + kLongWindowFrames ? frames : w + kLongWindowFrames;
    visit(w, i, to);
    i = to;
  }
}

// Runs the full encoder on the window starting at frame w over the samples
// below `limit`, and writes the features of frames [from, to) (all inside
// that window) to out, (to - from) x 9216 values rounded to half precision.
void longWindowFeatures(Ort::Session& encoder, const AudioSpan& audio, int64_t w, int64_t from, int64_t to,
                        float* out);

// Runs the trunk on the 2 s ending at sample (b + 8 + right) * 640 (samples
// at/after `limit` read as zero) and the head on the 8 frames of block b;
// writes 8 x 9216 values to out. Throws "w2v_win: trunk pos out of range".
void windowBlockFeatures(const WindowPair& pair, const AudioSpan& audio, int64_t b, int right, float* out);

// The first sample a later feature computation can read: the trunk window of
// the block at frame `frame` (windowed) or the 8-second window of that frame.
int64_t firstSampleNeeded(int64_t frame, bool windowed, int right);

}  // namespace le::a2x
