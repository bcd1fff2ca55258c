// One audio-to-expression stream: 16 kHz speech in, 63 expression offsets per
// 40 ms video frame out, each paired with a frame of the avatar's driving
// loop. Features come from the shared speech encoders; the avatar's banded
// streaming encoder turns them into context vectors and its autoregressive
// decoder into coefficients.
//
// Work is incremental: features, context vectors and offsets are computed
// once per frame and kept until no later frame can need them, so a stream
// that never finishes holds a bounded amount. A live (unfinished) stream only
// keeps what the audio received so far fully determines, so its frames do
// not depend on how the audio was split into pushes. On the 8-second path
// that means: a frame's features come from its 8 s window run on the audio
// up to the block boundary after the frame's right context (zeros beyond),
// as soon as that audio is in; once the stream is finished the remaining
// frames come from whole windows, exactly as le_a2x_deltas computes them.
// The streaming encoder runs on chunks of 8 frames on a fixed grid, each seen
// through a window of one fixed shape (the chunk, its past context and its
// look-ahead; frames before the start or past the end are zero rows masked
// out), so the frames are bit-identical whatever the push sizes, on every
// CPU.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/audio/a2x_tables.h"
#include "core/audio/encoder_sessions.h"
#include "core/audio/speech_features.h"

namespace le::a2x {

class Stream {
 public:
  // Opens the stream of the bundle at `bundle` (a directory or container)
  // with `threads` intra-op threads (outside 1..pool threads - 1: the pool's
  // count). Needs $W2V_ONNX. Throws std::runtime_error with the reason.
  // `windowPair` false keeps the stream on the 8-second path even when the
  // short-window pair is open (benchmarks compare the two in one process).
  static std::unique_ptr<Stream> create(const std::string& bundle, int threads, bool windowPair = true);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Drops all audio and results; driving frames restart at `start` (negative:
  // the index the next pulled frame would have had), walking by +1 (step >=
  // 0) or -1, wrapping when `loop` is set and bouncing otherwise.
  void reset(int start, int step, int loop);
  void push(const float* samples, int n);
  void finish();
  // ceil(samples / 640) once finished, else -1.
  int total() const;
  // Computes ahead (at most 8 frames in the windowed mode, 64 otherwise) and
  // returns the frames ready to pull. A model failure sets the calling
  // thread's a2x error ("le_a2x extend: ...") and leaves what was computed.
  int avail();
  // Writes up to max frames (wn may be null); returns how many.
  int pull(int32_t* idx, float* base, float* expr, float* wn, int max);
  // Offsets of a whole utterance, independent of the streaming state: frames
  // written, 0 for n < 1, -2 when cap is too small. Throws on failure.
  int deltas(const float* samples, int n, float* out, float* wn, int cap);

  int nt() const { return nt_; }
  int width() const { return width_; }
  void setEager(int eager) { eager_ = eager; }
  bool windowed() const { return windowed_; }
  // Frames a live stream lags its whole blocks of audio.
  int lagFrames() const;

 private:
  // Features, context vectors and offsets of one utterance. A live stream
  // drops what no later frame can need, so each array holds a window of
  // frames starting at its base.
  struct Track {
    std::vector<float> feat;  // frames [featBase, featCount) x 9216
    int64_t featBase = 0;
    int64_t featCount = 0;
    std::vector<float> ctx;   // frames [ctxBase, ctxCount) x h
    int64_t ctxBase = 0;
    std::vector<float> wn;    // frames [outBase, ctxCount) when the encoder has them
    int64_t ctxCount = 0;
    std::vector<float> deltas;  // frames [outBase, deltaCount) x 63
    int64_t outBase = 0;
    int64_t deltaCount = 0;
    std::vector<float> prev;  // decoder's previous (normalised) output
    std::vector<float> hid;   // decoder's hidden state
  };

  Stream() = default;
  void load(const std::string& bundle, int threads, bool windowPair);
  void prime(int frames);
  void startTrack(Track& t) const;
  int64_t ready() const;  // frames the received audio allows (F)
  void extend(int64_t k);
  void extendTrack(Track& t, const AudioSpan& audio, bool finished, bool windowed, int64_t k);
  void features(Track& t, const AudioSpan& audio, bool finished, bool windowed, int64_t need);
  // Frees the audio, context vectors and offsets no later frame can need.
  void release();
  int64_t samples() const { return audioBase_ + static_cast<int64_t>(audio_.size()); }
  void appendFeatures(Track& t, const float* src, int64_t frames);
  // Context vectors up to frame `upto` (further to the end of its chunk) of
  // the `end` frames that exist (INT64_MAX while live), as far as the features
  // reach. Each encoder run is one chunk of a fixed grid (see chunkStart)
  // seen through a window of fixed shape, so a frame's context never depends
  // on when it was computed.
  void contexts(Track& t, int64_t upto, int64_t end);
  // First frame of the grid chunk holding `frame` (may be negative).
  int64_t chunkStart(int64_t frame) const;
  void decode(Track& t, int64_t upto);
  int32_t drivingIndex(int64_t frame) const;

  std::unique_ptr<Ort::Env> env_;
  std::unique_ptr<Ort::Session> enc_;
  std::unique_ptr<Ort::Session> dec_;
  Ort::RunOptions run_{nullptr};
  Ort::Session* w2v_ = nullptr;  // shared, never freed
  WindowPair pair_;

  Meta meta_;
  int h_ = 0, nt_ = 0, past_ = 0, ahead_ = 0, right_ = 12, effRight_ = 12;
  int gridOffset_ = 0;  // chunks start at frames gridOffset_ + 8j
  bool windowed_ = false;
  std::vector<float> mean_, dev_;  // 63 each
  std::vector<float> xs_;          // nt_ x 63 driving coefficients
  std::vector<float> pos_;         // posRows_ x h
  int64_t posRows_ = 0;
  int width_ = 0;
  std::string ctxName_, wnName_;

  std::vector<float> audio_;  // samples [audioBase_, samples())
  int64_t audioBase_ = 0;
  bool finished_ = false;
  int64_t pulled_ = 0;
  int64_t start_ = 0;
  int step_ = 1;
  bool loop_ = true;
  int eager_ = 0;
  Track track_;
  bool primed_ = false;
  std::vector<float> primedPrev_, primedHid_;
};

namespace detail {
// The calling process's silence features (200 frames of 8 s of silence from
// the shared encoder), computed on first use.
const std::vector<float>& silenceFeatures(Ort::Session& w2v);
}  // namespace detail

}  // namespace le::a2x
