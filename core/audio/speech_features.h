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

// The samples [start, start + len) of `audio`, zero where the index is
// negative or at/after `limit`, normalised over the whole window: mean and
// variance in double precision, each value (x - mean) / sqrt(var + 1e-7)
// with the square root in single precision.
void normaliseWindow(const float* audio, int64_t limit, int64_t start, int64_t len, float* out);

// The 8-second window a frame's features come from: 0 for the first 200
// frames, then floor(frame / 100) * 100 - 100.
int64_t longWindowOf(int64_t frame);

// Runs the full encoder on the window starting at frame w over the samples
// below `limit`, and writes the features of frames [from, to) (all inside
// that window) to out, (to - from) x 9216 values rounded to half precision.
void longWindowFeatures(Ort::Session& encoder, const float* audio, int64_t limit, int64_t w, int64_t from,
                        int64_t to, float* out);

// Runs the trunk on the 2 s ending at sample (b + 8 + right) * 640 (samples
// at/after `limit` read as zero) and the head on the 8 frames of block b;
// writes 8 x 9216 values to out. Throws "w2v_win: trunk pos out of range".
void windowBlockFeatures(const WindowPair& pair, const float* audio, int64_t limit, int64_t b, int right,
                         float* out);

}  // namespace le::a2x
