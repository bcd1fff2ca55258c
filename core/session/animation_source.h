// The animation source an utterance pipeline drives: speech in, frames of
// (driving-loop index, source keypoints, driving keypoints) out. Two streams
// can play the part, the audio-to-expression stream and keypoint motion; the
// pipeline sees them through this one face.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace le {

class AnimationSource {
 public:
  virtual ~AnimationSource() = default;
  virtual void setEager(int eager) = 0;
  // Starts a new utterance whose frames continue the driving loop at `start`.
  virtual void reset(int start) = 0;
  // False when the source refused the samples (error() says why).
  virtual bool push(const float* samples, int n) = 0;
  virtual void finish() = 0;
  // Frames ready to pull now.
  virtual int avail() = 0;
  // Writes up to max frames (index, 63 source and 63 driving keypoint values
  // a frame); returns how many.
  virtual int pull(int32_t* idx, float* xs, float* xd, int max) = 0;
  // Frames of the utterance in all; negative while unknown.
  virtual int total() = 0;
  // The source family's last error on the calling thread.
  virtual std::string error() const { return {}; }
};

// Whether motionDir holds an audio-to-expression stream (else keypoint motion).
bool motionDirIsA2x(const std::string& motionDir);

// Opens the source of motionDir. Returns null and sets *error to the source
// family's own last error when it cannot be created.
std::unique_ptr<AnimationSource> openAnimationSource(bool a2x, const std::string& motionDir, int workers,
                                                     const std::string& ep, std::string* error);

}  // namespace le
