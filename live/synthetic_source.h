// A scripted stand-in for the utterance pipeline: flat-coloured frames whose
// kinds follow the pipeline's rules (idle from the start, speech frames a
// fixed lag behind the pushed audio, ramps after an end or an interrupt).
// Used by the tests and by `le_live --synthetic` to try the server without
// a bundle.
#pragma once

#include <chrono>
#include <mutex>

#include "live/frame_source.h"

namespace le::live {

class SyntheticSource : public FrameSource {
 public:
  // Frames of width × height (even, positive); speech frame i is ready once
  // the audio of frames 0..i+lagFrames has been pushed, or the utterance ended.
  SyntheticSource(int width, int height, int lagFrames = 2);

  int width() const override { return width_; }
  int height() const override { return height_; }
  int ready() override { return 1; }
  std::string failure() override { return {}; }
  void pushAudio(const int16_t* pcm, int n) override;
  void endUtterance() override;
  void interrupt() override;
  bool pullFrame(uint8_t* rgb, std::size_t len, FrameInfo& info) override;
  SourceStats stats() override;
  int lookAheadFrames() override { return lag_; }

  static constexpr int kLoopFrames = 50;
  static constexpr int kEndRamp = 6;
  static constexpr int kInterruptRamp = 4;

 private:
  using Clock = std::chrono::steady_clock;
  void begin();  // starts an utterance with the pending audio; mu_ held
  void paint(uint8_t* rgb, const FrameInfo& info) const;

  const int width_, height_, lag_;
  std::mutex mu_;  // guards every field below
  bool speaking_ = false, ended_ = false;
  int64_t pushed_ = 0;    // samples of the current utterance
  int64_t pending_ = 0;   // samples pushed during a ramp, taken when it ends
  bool pendingEnd_ = false;  // the end of that pending utterance was asked for
  int32_t nextSpeech_ = 0;
  int rampLeft_ = 0;
  int32_t cursor_ = 0;
  int64_t seq_ = 0;
  int32_t lastKind_ = kIdle;
  Clock::time_point firstPush_;
  SourceStats stats_;
};

}  // namespace le::live
