// The frame source over the engine's public C functions: a context on a
// bundle and an utterance pipeline over it (the bundle directory doubles as
// the motion directory).
#pragma once

#include <string>

#include "live/frame_source.h"

struct le_ctx;
struct le_utt;

namespace le::live {

class UttSource : public FrameSource {
 public:
  // Opens `bundle` with director `modelKey` on `threads` workers and starts
  // its utterance pipeline; throws std::runtime_error with the engine's
  // message when either fails.
  UttSource(const std::string& bundle, const std::string& modelKey, int threads);
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

 private:
  le_ctx* ctx_ = nullptr;
  le_utt* utt_ = nullptr;
  int width_ = 0, height_ = 0;
  std::string failure_;
};

}  // namespace le::live
