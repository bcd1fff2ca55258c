// Drives the real-time utterance pipeline (le_utt_*) through one utterance
// the way a live host does, handing every pulled frame to a SpeechVideo.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "le/le.h"
#include "tools/speech_video.h"

namespace le::tools {

struct UttDriveOptions {
  // Push 640 samples and pull one frame every 40 ms, as a live host with a
  // display does, instead of pushing all at once and pulling what is ready.
  bool realtime = false;
  int leadFrames = 10;     // idle frames pulled before the first push
  double readyTimeoutS = 300.0;
  double stallTimeoutS = 120.0;  // no progress for this long fails the run
};

struct UttDriveResult {
  double firstFrameLatencyMs = 0.0;  // first push to first speech frame published (the pipeline's own figure)
  double seconds = 0.0;              // first push to the last frame pulled
  double renderMsAvg = 0.0;
  // Real time only: speech frames a second over the display periods from
  // the first speech frame to the last (25 when every one was ready when
  // due), and the periods from the first speech frame until the face is
  // back on the loop that found no frame ready.
  double deliveredFps = 0.0;
  int lateFrames = 0;
};

// Waits until the pipeline is ready, pulls the lead frames, pushes `speech`
// in 640-sample chunks, ends the utterance and pulls until the face is back
// on the idle loop (in real time one pull per 40 ms period). `progress` is called after every frame taken. Throws
// std::runtime_error when the animation source fails ("source: ..."), a
// render fails fatally or the pipeline stalls.
UttDriveResult driveUtterance(le_utt* utt, size_t frameBytes, const std::vector<int16_t>& speech,
                              SpeechVideo& video, const UttDriveOptions& opts,
                              const std::function<void()>& progress);

}  // namespace le::tools
