// The borrowed-teeth pass as the utterance pipeline drives it: every rendered
// crop goes in with its driving keypoints, and each comes back one frame
// later as a mouth window to compose into that earlier crop.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace le {

// Thrown by push() and flush() of a port whose stop check answered true
// part way: the frames the pass held are dropped, as discard() drops them.
struct TeethStopped : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class TeethPort {
 public:
  virtual ~TeethPort() = default;
  // Asked during push() and flush() whether their frames are still wanted;
  // a port that cannot stop part way ignores it.
  virtual void setStopCheck(std::function<bool()> /*check*/) {}
  // Pushes a crop (three crop x crop planes in 0..1) and its 63 driving
  // keypoint values. True when the previous frame's result came out; it is
  // then what failed(), compose() and synthWeight() speak of.
  virtual bool push(const float* crop, const float* kp) = 0;
  // Emits the held frame's result; false when no frame was held.
  virtual bool flush() = 0;
  // Drops the held frame unserved (it will not be shown); false when none
  // was held.
  virtual bool discard() = 0;
  // Whether the last result is marked failed, with its message.
  virtual bool failed(std::string* message) const = 0;
  // Writes the last result's mouth window into crop; false when the result
  // was skipped (the crop keeps its own mouth).
  virtual bool compose(float* crop) = 0;
  // The last result's synthesis weight; false when it has none.
  virtual bool synthWeight(double* weight) const = 0;
};

}  // namespace le
