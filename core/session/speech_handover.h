// When an utterance's first speech frame takes over from the idle loop.
//
// An animation source yields a frame only some frames of audio after the
// frame's own (its lag). Meanwhile the idle loop plays on, so the host is
// never starved, and the first speech frame goes out once enough audio is in
// that every later frame will be ready in its turn (the gate). The source is
// started at the loop frame where the idle frames are predicted to leave off
// (the landing), so speech continues the loop without a jump. Where the
// source's frames can be moved along the loop afterwards (movable), the
// prediction may be off; otherwise the loop is held to it: exactly the
// predicted number of idle frames go out before the first speech frame.
//
// Used by the run thread only.
#pragma once

#include <cstdint>

namespace le {

class SpeechHandover {
 public:
  // lagFrames: the source's lag (measureLagFrames), negative when unknown,
  // which makes speech start at once where the loop stands. heldFrames:
  // frames a later stage holds back before passing one on (a teeth pass
  // holds one). nt: frames in the loop.
  void configure(int lagFrames, int heldFrames, bool movable, int nt);

  // A new utterance begins with `samplesIn` samples of audio taken while the
  // idle cursor stood at `idleCursor`. Returns the loop frame to start the
  // source at.
  int begin(int idleCursor, int64_t samplesIn);
  // Forgets the utterance (ended, interrupted, or not begun yet).
  void clear();
  bool begun() const { return begun_; }
  int landing() const { return landing_; }

  // Frames of audio the first speech frame waits for; 0 when the lag is
  // unknown.
  int gateFrames() const;
  // Whether `samples` of audio (or an ended utterance) cover the gate.
  bool gateOpen(int64_t samples, bool ended) const;
  // Whether the first speech frame may go out now.
  bool speechMayStart(int64_t samples, bool ended) const;
  // Whether the loop should go on with another idle frame while the first
  // speech frame waits.
  bool idleDue(int64_t samples, bool ended) const;
  // How many finished frames the loop keeps ahead of the host meanwhile:
  // `usual`; `most` once the gate is open and only owed idle frames stand
  // before the speech; one when the speech is ready (speechReady) and a
  // movable source's gate opens with the next frame of audio, since every
  // idle frame queued ahead of the first speech frame delays it a period.
  int idleLead(int64_t samples, bool ended, bool speechReady, int usual, int most) const;
  // Counts an idle frame that went out while the utterance waited.
  void idleProduced();

 private:
  int lag_ = -1, held_ = 0, nt_ = 1;
  bool movable_ = false;
  bool begun_ = false;
  int landing_ = 0;
  int owed_ = 0;  // idle frames still to go before the landing (held to it only when not movable)
};

}  // namespace le
