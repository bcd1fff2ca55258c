// The engine seen from the live server: a source of finished 25 fps frames
// that takes speech in real time. The real one wraps the utterance pipeline;
// tests and --synthetic use a scripted stand-in with the same behaviour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace le::live {

// Samples of 16 kHz speech per 25 fps video frame.
constexpr int kSamplesPerFrame = 640;
constexpr int kSampleRate = 16000;
constexpr int kFps = 25;

// Frame kinds as the pipeline labels them.
enum FrameKind : int32_t { kIdle = 0, kSpeech = 1, kRamp = 2 };

struct FrameInfo {
  int64_t seq = 0;
  int32_t kind = kIdle;
  int32_t srcIndex = 0;
  int32_t speechIndex = -1;  // frame within its utterance; -1 for idle and ramp
};

// The pipeline's statistics (state: 0 idle, 1 started, 2 speech, 3 ramp).
struct SourceStats {
  int64_t framesPulled = 0;
  int64_t speechFramesPulled = 0;
  int64_t utterances = 0;
  double firstFrameLatencyMs = 0;
  double renderMsAvg = 0;
  int32_t state = 0;
};

// Every method may be called from one host thread at a time; the source
// runs its own threads behind it.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual int width() const = 0;
  virtual int height() const = 0;
  // 1 when speech is accepted, 0 while warming up (idle frames flow), -1
  // when the source failed; failure() then says why.
  virtual int ready() = 0;
  virtual std::string failure() = 0;
  virtual void pushAudio(const int16_t* pcm, int n) = 0;
  virtual void endUtterance() = 0;
  virtual void interrupt() = 0;
  // Copies the next finished frame (width × height × 3 RGB) into rgb; false
  // when none is waiting.
  virtual bool pullFrame(uint8_t* rgb, std::size_t len, FrameInfo& info) = 0;
  virtual SourceStats stats() = 0;
  // Frames of speech beyond a frame's own that the source must have before
  // it yields that frame, at worst. A host holding speech before it is due
  // pushes at least this far ahead so that the wait is not paid in wall time.
  virtual int lookAheadFrames() { return 0; }
};

// Makes one source per session; throws std::runtime_error when it cannot.
using SourceFactory = std::function<std::unique_ptr<FrameSource>()>;

}  // namespace le::live
