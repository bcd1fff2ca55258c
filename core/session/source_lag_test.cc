// The lag measured on scripted sources whose availability is known, and on
// the audio-to-expression stream of the tiny bundle against its own account
// of its look-ahead.
#include "core/session/source_lag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "core/audio/a2x_stream.h"
#include "tests/test_support.h"

namespace {

using le::AnimationSource;
using le::kSamplesPerFrame;

// Yields frames once `lag` further frames of audio are in, counted in whole
// blocks of `block` frames (block 1: every push); with `finishOnly` nothing
// comes out before finish.
class GridSource final : public AnimationSource {
 public:
  GridSource(int lag, int block, bool finishOnly = false) : lag_(lag), block_(block), finishOnly_(finishOnly) {}
  void setEager(int) override {}
  void reset(int start) override {
    start_ = start;
    samples_ = pulled_ = 0;
    ++resets_;
  }
  bool push(const float*, int n) override {
    samples_ += n;
    return true;
  }
  void finish() override {}
  int frames() const {
    if (finishOnly_) return 0;
    const long whole = samples_ / kSamplesPerFrame / block_ * block_;
    return std::max<int>(0, int(whole) - lag_);
  }
  int avail() override { return frames() - pulled_; }
  int pull(int32_t* idx, float* xs, float* xd, int max) override {
    const int n = std::min(max, avail());
    for (int i = 0; i < n; ++i) {
      idx[i] = start_ + pulled_ + i;
      std::fill_n(xs + i * 63, 63, 0.0f);
      std::fill_n(xd + i * 63, 63, 0.0f);
    }
    pulled_ += n;
    return n;
  }
  int total() override { return -1; }

  int resets_ = 0, start_ = -1;
  long samples_ = 0;

 private:
  int lag_, block_;
  bool finishOnly_;
  int pulled_ = 0;
};

TEST(SourceLag, CountsTheFramesOfAudioEachFrameWaitsFor) {
  // Frame k of a frame-by-frame source comes out with push k + lag.
  GridSource steady(5, 1);
  EXPECT_EQ(le::measureLagFrames(steady), 5);
  // Whole blocks: the first frame of a block waits for the block's end too.
  GridSource blocks(20, 8);
  EXPECT_EQ(le::measureLagFrames(blocks), 27);
  GridSource none(0, 1);
  EXPECT_EQ(le::measureLagFrames(none), 0);
}

TEST(SourceLag, LeavesTheSourceResetAndGivesUpOnSourcesThatWaitForTheEnd) {
  GridSource s(3, 1);
  le::measureLagFrames(s);
  EXPECT_EQ(s.samples_, 0);
  EXPECT_EQ(s.start_, 0);
  EXPECT_EQ(s.resets_, 2);
  GridSource late(0, 1, true);
  EXPECT_EQ(le::measureLagFrames(late, 32, 50), -1);
}

// The tiny bundle's stream, seen as a pipeline sees its source.
class StreamSource final : public AnimationSource {
 public:
  explicit StreamSource(le::a2x::Stream& s) : s_(s) {}
  void setEager(int) override {}
  void reset(int start) override { s_.reset(start, 1, 1); }
  bool push(const float* samples, int n) override {
    s_.push(samples, n);
    return true;
  }
  void finish() override { s_.finish(); }
  int avail() override { return s_.avail(); }
  int pull(int32_t* idx, float* xs, float* xd, int max) override { return s_.pull(idx, xs, xd, nullptr, max); }
  int total() override { return s_.total(); }

 private:
  le::a2x::Stream& s_;
};

TEST(SourceLag, AudioToExpressionLagsItsLookAheadPlusAtMostOneBlock) {
  std::unique_ptr<le::a2x::Stream> stream = le::a2x::Stream::create(le::test::bundlePath("tiny"), 1);
  StreamSource source(*stream);
  const int lag = le::measureLagFrames(source);
  EXPECT_GE(lag, stream->lagFrames());
  // A block of 8 frames is computed once its last sample is in.
  EXPECT_LT(lag, stream->lagFrames() + (stream->windowed() ? 8 : 200));
}

}  // namespace
