// Turns the frames a pipeline delivers for one utterance into a finished
// video with the speech beside it.
//
// Sync rule: the speech frame with speech index i shows while speech samples
// [640 i, 640 i + 640) play (16 kHz, 25 fps). Every other frame (idle lead-in,
// ramp) plays silence. So the speech starts exactly at the first speech
// frame, and audio and video end together.
//
// Frame rule: of the idle frames that arrive before the first speech frame,
// only the last `leadFrames` are kept (the pipeline plays idle frames for as
// long as the host waits, which would make the length depend on timing);
// from the first speech frame on every frame is written. A run of the
// utterance pipeline therefore gives leadFrames + ceil(samples / 640) + the
// ramp frames after the speech.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "tools/video_sink.h"

namespace le::tools {

inline constexpr int kSamplesPerFrame = 640;

class SpeechVideo {
 public:
  // `out` must take audio at 16 kHz; `speech` is the whole utterance at
  // 16 kHz. Both must outlive this object.
  SpeechVideo(VideoSink& out, const std::vector<int16_t>& speech, int leadFrames, size_t frameBytes);

  // Takes one delivered frame (frameBytes of packed RGB) of kind 0 idle,
  // 1 speech or 2 ramp. Throws when a speech index lies outside the speech.
  void add(const uint8_t* rgb, int kind, int speechIndex);

  int64_t written() const { return written_; }
  int lead() const { return lead_; }
  int speechFrames() const { return speech_; }
  int rampFrames() const { return ramp_; }
  int otherFrames() const { return other_; }  // idle frames after speech began
  bool speechStarted() const { return started_; }
  // Frames the speech needs: ceil(samples / 640).
  int speechFramesNeeded() const;

 private:
  void write(const uint8_t* rgb, int kind, int speechIndex);

  VideoSink& out_;
  const std::vector<int16_t>& speech_pcm_;
  const int leadFrames_;
  const size_t frameBytes_;
  std::deque<std::vector<uint8_t>> pending_;  // idle frames waiting for the first speech frame
  std::vector<int16_t> chunk_;                // one frame's audio
  bool started_ = false;
  int64_t written_ = 0;
  int lead_ = 0, speech_ = 0, ramp_ = 0, other_ = 0;
};

}  // namespace le::tools
