#include "core/session/speech_handover.h"

#include <algorithm>

#include "core/session/source_lag.h"

namespace le {
namespace {

// Frames of audio beyond the source's lag that an utterance waits for
// before its first speech frame goes out: slack for rendering and pasting
// the frames of each block the source yields.
constexpr int kPlayoutMargin = 1;

int wrap(int64_t i, int n) { return n <= 0 ? 0 : int(((i % n) + n) % n); }

}  // namespace

void SpeechHandover::configure(int lagFrames, int heldFrames, bool movable, int nt) {
  lag_ = lagFrames;
  held_ = std::max(0, heldFrames);
  movable_ = movable;
  nt_ = std::max(1, nt);
}

int SpeechHandover::gateFrames() const { return lag_ < 0 ? 0 : lag_ + 1 + kPlayoutMargin + held_; }

int SpeechHandover::begin(int idleCursor, int64_t samplesIn) {
  begun_ = true;
  // One idle frame goes out per frame period of audio until the gate opens.
  const int64_t gate = int64_t(gateFrames()) * kSamplesPerFrame;
  const int64_t ahead = std::max<int64_t>(0, (gate - samplesIn + kSamplesPerFrame - 1) / kSamplesPerFrame);
  owed_ = movable_ ? 0 : int(ahead);
  landing_ = wrap(int64_t(idleCursor) + ahead, nt_);
  return landing_;
}

void SpeechHandover::clear() {
  begun_ = false;
  owed_ = 0;
}

bool SpeechHandover::gateOpen(int64_t samples, bool ended) const {
  return lag_ < 0 || ended || samples >= int64_t(gateFrames()) * kSamplesPerFrame;
}

bool SpeechHandover::speechMayStart(int64_t samples, bool ended) const {
  if (lag_ < 0) return true;
  // Before the source was started nothing is known of where it lands.
  if (!begun_) return false;
  return owed_ == 0 && gateOpen(samples, ended);
}

bool SpeechHandover::idleDue(int64_t samples, bool ended) const {
  if (lag_ < 0) return false;
  if (!begun_) return true;
  // A source held to its start frame waits there: the loop stops at it.
  return movable_ ? !gateOpen(samples, ended) : owed_ > 0;
}

int SpeechHandover::idleLead(int64_t samples, bool ended, bool speechReady, int usual, int most) const {
  if (!begun_ || lag_ < 0) return usual;
  if (owed_ > 0 && gateOpen(samples, ended)) return most;
  if (movable_ && speechReady && gateOpen(samples + kSamplesPerFrame, ended)) return std::min(usual, 1);
  return usual;
}

void SpeechHandover::idleProduced() {
  if (begun_ && owed_ > 0) --owed_;
}

}  // namespace le
