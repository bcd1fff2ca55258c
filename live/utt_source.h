// The frame source over the engine's public C functions: a context on a
// bundle and an utterance pipeline over it, animated by the bundle's
// keypoint-motion or audio-to-expression source.
#pragma once

#include <memory>
#include <string>

#include "live/frame_source.h"
#include "tools/animation_choice.h"

struct le_ctx;
struct le_utt;

namespace le::live {

// Frames of speech beyond a frame's own that the audio-to-expression
// stream in `motionDir` needs: one streaming block of 8 frames plus the
// larger of the model's look-ahead (window × layers of its a2x_meta.json)
// and the speech encoder's right context (LE_A2X_W2V_RIGHT, 12 by default)
// with its own 8-frame block.
int a2xLookAheadFrames(const std::string& motionDir);

// The keypoint-motion source's: one feature window of 4480 samples.
constexpr int kMotionLookAheadFrames = 7;

// Sets, where the environment does not already, the engine variables the
// live server runs its pipelines with: paste pipelining on (the keypoint-
// motion source runs without it otherwise), so that one frame's teeth,
// decode and paste overlap the next one's render instead of following it
// on one thread; a viewer sharing the cores with the engine got a repeated
// frame for every few otherwise; and the director's arena kept between runs
// (LE_ORT_ARENA_SHRINK=0), which spares each frame faulting in its working
// set again. Call before any thread starts: the
// environment is not safe to change beside running threads.
void setLiveEngineDefaults();

class UttSource : public FrameSource {
 public:
  // Opens `bundle` with director `modelKey` on `threads` workers and starts
  // its utterance pipeline on animation source `kind` (keypoint motion runs
  // in hybrid eager mode), with the bundle's borrowed teeth when it carries
  // them and `teeth` is set; throws std::runtime_error with the engine's
  // message when any of it fails.
  UttSource(const std::string& bundle, const std::string& modelKey, int threads, bool teeth,
            tools::AnimationKind kind);
  // Stops the pipeline, then closes the context.
  ~UttSource() override;
  UttSource(const UttSource&) = delete;
  UttSource& operator=(const UttSource&) = delete;

  int width() const override { return width_; }
  int height() const override { return height_; }
  int ready() override;
  std::string failure() override { return failure_; }
  void pushAudio(const int16_t* pcm, int n) override;
  void endUtterance() override;
  void interrupt() override;
  bool pullFrame(uint8_t* rgb, std::size_t len, FrameInfo& info) override;
  SourceStats stats() override;
  int lookAheadFrames() override { return lookAhead_; }
  // What became of the teeth: "teeth: borrowed (...)", "teeth: none (...)" or "teeth: off".
  const std::string& teeth() const { return teeth_; }

 private:
  std::unique_ptr<tools::AnimationChoice> animation_;  // outlives the pipeline that reads its files
  le_ctx* ctx_ = nullptr;
  le_utt* utt_ = nullptr;
  int width_ = 0, height_ = 0;
  int lookAhead_ = 0;
  std::string failure_;
  std::string teeth_ = "teeth: off";
};

}  // namespace le::live
