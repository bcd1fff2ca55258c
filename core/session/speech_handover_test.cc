// Where and when the first speech frame takes over from the idle loop, for
// sources whose frames can be moved along the loop and for those held to
// the frame they were started at.
#include "core/session/speech_handover.h"

#include <gtest/gtest.h>

#include "core/session/source_lag.h"

namespace {

using le::kSamplesPerFrame;
using le::SpeechHandover;

constexpr int64_t kFrame = kSamplesPerFrame;

TEST(SpeechHandover, UnknownLagStartsSpeechAtOnceWhereTheLoopStands) {
  SpeechHandover h;
  h.configure(-1, 1, false, 10);
  EXPECT_EQ(h.gateFrames(), 0);
  EXPECT_TRUE(h.speechMayStart(0, false));
  EXPECT_FALSE(h.idleDue(0, false));
  EXPECT_EQ(h.begin(7, kFrame), 7);
}

TEST(SpeechHandover, GateCoversLagMarginAndHeldFrames) {
  SpeechHandover h;
  h.configure(3, 0, true, 100);
  EXPECT_EQ(h.gateFrames(), 5);
  h.configure(3, 1, true, 100);
  EXPECT_EQ(h.gateFrames(), 6);
  EXPECT_FALSE(h.gateOpen(6 * kFrame - 1, false));
  EXPECT_TRUE(h.gateOpen(6 * kFrame, false));
  EXPECT_TRUE(h.gateOpen(0, true)) << "an ended utterance has all its audio in";
}

TEST(SpeechHandover, MovableSourceWaitsForTheGateOnly) {
  SpeechHandover h;
  h.configure(2, 0, true, 100);  // gate 4 frames
  EXPECT_FALSE(h.speechMayStart(0, false)) << "not begun: the source's start is unknown";
  EXPECT_TRUE(h.idleDue(0, false));
  // First audio: one frame; three more idle frames go out until the gate opens.
  EXPECT_EQ(h.begin(10, kFrame), 13);
  EXPECT_TRUE(h.idleDue(2 * kFrame, false));
  EXPECT_FALSE(h.speechMayStart(3 * kFrame, false));
  EXPECT_TRUE(h.speechMayStart(4 * kFrame, false));
  EXPECT_FALSE(h.idleDue(4 * kFrame, false));
}

TEST(SpeechHandover, LeadShrinksToOneFrameOnlyBeforeReadySpeechOfAMovableSource) {
  SpeechHandover h;
  h.configure(2, 0, true, 100);  // gate 4 frames
  EXPECT_EQ(h.idleLead(3 * kFrame, false, true, 2, 7), 2) << "not begun";
  h.begin(0, kFrame);
  EXPECT_EQ(h.idleLead(2 * kFrame, false, true, 2, 7), 2) << "the gate is two frames of audio away";
  EXPECT_EQ(h.idleLead(3 * kFrame, false, false, 2, 7), 2) << "the speech is not ready";
  EXPECT_EQ(h.idleLead(3 * kFrame, false, true, 2, 7), 1);
  // A source held to its start frame owes its idle frames whatever the lead.
  h.configure(2, 0, false, 100);
  h.begin(0, kFrame);
  EXPECT_EQ(h.idleLead(3 * kFrame, false, true, 2, 7), 2);
  h.configure(-1, 0, true, 100);
  EXPECT_EQ(h.idleLead(3 * kFrame, false, true, 2, 7), 2) << "unknown lag";
}

TEST(SpeechHandover, HeldSourceWaitsForEveryOwedIdleFrame) {
  SpeechHandover h;
  h.configure(1, 0, false, 100);  // gate 3 frames
  EXPECT_EQ(h.begin(50, kFrame), 52);
  // The audio is in early (a large push), but the loop still owes two frames.
  EXPECT_FALSE(h.speechMayStart(10 * kFrame, false));
  EXPECT_TRUE(h.idleDue(10 * kFrame, false));
  EXPECT_EQ(h.idleLead(10 * kFrame, false, true, 2, 7), 7) << "owed frames stand before ready speech";
  EXPECT_EQ(h.idleLead(kFrame, false, true, 2, 7), 2) << "before the gate the usual lead holds";
  h.idleProduced();
  EXPECT_FALSE(h.speechMayStart(10 * kFrame, false));
  h.idleProduced();
  EXPECT_TRUE(h.speechMayStart(10 * kFrame, false));
  EXPECT_FALSE(h.idleDue(10 * kFrame, false));
  // Owed frames out but the audio not: the loop waits at the landing frame.
  EXPECT_FALSE(h.speechMayStart(2 * kFrame, false));
  EXPECT_FALSE(h.idleDue(2 * kFrame, false));
  h.idleProduced();  // more idle frames than owed never go negative
  EXPECT_TRUE(h.speechMayStart(3 * kFrame, false));
}

TEST(SpeechHandover, LandingWrapsAroundTheLoopAndCountsFramesNotPositions) {
  SpeechHandover h;
  // A gate of 12 frames on a loop of 5: the cursor passes the landing frame
  // twice before the speech is due, so only the count of idle frames decides.
  h.configure(10, 0, false, 5);
  EXPECT_EQ(h.begin(3, kFrame), (3 + 11) % 5);
  for (int i = 0; i < 10; ++i) {
    h.idleProduced();
    EXPECT_FALSE(h.speechMayStart(20 * kFrame, false)) << "after " << i + 1 << " idle frames";
  }
  h.idleProduced();
  EXPECT_TRUE(h.speechMayStart(20 * kFrame, false));
}

TEST(SpeechHandover, APushCoveringTheGateLandsWhereTheLoopStands) {
  SpeechHandover h;
  h.configure(2, 1, false, 30);
  EXPECT_EQ(h.begin(29, 40 * kFrame), 29);
  EXPECT_TRUE(h.speechMayStart(40 * kFrame, false));
  EXPECT_FALSE(h.idleDue(40 * kFrame, false));
}

TEST(SpeechHandover, ClearForgetsTheUtterance) {
  SpeechHandover h;
  h.configure(1, 0, false, 30);
  h.begin(0, kFrame);
  h.clear();
  EXPECT_FALSE(h.begun());
  EXPECT_FALSE(h.speechMayStart(10 * kFrame, false));
  EXPECT_TRUE(h.idleDue(10 * kFrame, false));
  EXPECT_EQ(h.idleLead(10 * kFrame, false, true, 2, 7), 2);
}

}  // namespace
