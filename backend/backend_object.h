// The "corvane2-light" backend object behind both entry tables: one opened
// avatar bundle, its frame producer and the host-facing bookkeeping.
//
// Producers: in direct mode the object drives an audio-to-expression stream
// itself and renders each frame on the caller's thread; in utterance mode it
// feeds the core's utterance pipeline and copies out the frames it publishes.
// The object has no lock: a host calls one object from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backend/lightbackend.h"
#include "le/le.h"
#include "le/le_a2x.h"

namespace mirelund::engine {

class Backend {
 public:
  // Opens the bundle or container at path. On success *out owns the object;
  // on failure *out is null, the refusal is printed and everything the open
  // created (temporary directory, context, environment variables) is gone.
  // `reason` (may be null) receives the refusal text.
  static int open(const char* path, const be_engine_open_options* options, Backend** out, std::string* reason);

  ~Backend();
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  // n > 0 appends speech; n = 0 ends the utterance.
  int feedAudio(const int16_t* pcm, size_t n);
  // One frame into dst as packed RGB; index >= 0 picks the idle drive frame.
  int pullFrame(int index, unsigned char* dst, size_t dstLen, be_engine_frame_result* result);
  // Drops the current utterance and any held-back audio.
  void interrupt();
  void info(be_engine_info* info) const;

  int width() const { return width_; }
  int height() const { return height_; }
  size_t frameBytes() const { return static_cast<size_t>(width_) * height_ * 3; }
  bool utteranceMode() const { return utterance_; }
  bool hasProducer() const { return utterance_ ? utt_ != nullptr : a2x_ != nullptr; }
  const std::string& tempDir() const { return tempDir_; }

 private:
  Backend() = default;

  int feedUtterance(const int16_t* pcm, size_t n);
  int feedDirect(const int16_t* pcm, size_t n);
  void endUtterance();
  // Pushes audio held back while the pipeline warmed up, once it is ready.
  bool flushHeld();
  int pushA2x(const int16_t* pcm, size_t n);
  int pullUtterance(unsigned char* dst, size_t dstLen, be_engine_frame_result* result);
  int pullDirect(int index, unsigned char* dst, size_t dstLen, be_engine_frame_result* result);
  int copyFrame(unsigned char* dst, int frameIndex, int kind, be_engine_frame_result* result);

  le_ctx* ctx_ = nullptr;
  le_a2x* a2x_ = nullptr;  // direct mode
  le_utt* utt_ = nullptr;  // utterance mode
  bool utterance_ = false;
  std::vector<int16_t> held_;  // audio given before the pipeline was ready
  int width_ = 0, height_ = 0, nt_ = 0, driveFrames_ = 0;
  uint64_t idleCounter_ = 0;
  bool speechActive_ = false, finishSent_ = false;  // direct mode
  std::vector<int16_t> postFinish_;                 // direct-mode audio after a finish
  int64_t pulledInUtterance_ = 0;
  std::vector<uint8_t> rgba_;  // scratch frame of the direct renders
  std::string tempDir_;        // removed at close; empty when none
};

}  // namespace mirelund::engine
