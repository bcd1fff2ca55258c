// How far an animation source's frames trail the speech that makes them.
// A source yields frame k only once some later audio is in (look-ahead,
// encoder context, whole streaming blocks); the worst such lag decides how
// long a real-time player must wait after the first pushed audio before it
// can show frame 0 and then every later frame on time.
#pragma once

#include "core/session/animation_source.h"

namespace le {

// Samples of speech in one frame period (16 kHz, 25 frames per second).
constexpr int kSamplesPerFrame = 640;

// Feeds `source` silence one frame of samples at a time, as a real-time host
// would, and returns the largest number of further frames of audio that had
// to follow a frame's own before the source yielded it (frame k first
// available after push p counts p - k). Stops once `settleFrames` frames have
// come out, or returns -1 when none came out within `maxPushes` pushes (a
// source that yields only after finishing). The source is reset to start 0
// before and after, so no utterance is disturbed.
int measureLagFrames(AnimationSource& source, int settleFrames = 32, int maxPushes = 200);

}  // namespace le
