// The director renderer: one batch of (source frame, source keypoints,
// driving keypoints) in, one batch of planar float face crops out. It owns the
// bundle's director network on ONNX Runtime, with every input and output
// bound once over its own buffers, so a render is copy-in, one inference,
// copy-out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace le {

struct Manifest;
class Identity;

// Guesses the source frame the next render will ask for, from the frames
// asked for so far: a loop plays forward and wraps, a ping-pong loop bounces
// off both ends.
class SourcePredictor {
 public:
  explicit SourcePredictor(int frames) : frames_(frames) {}
  // Records `cur` as the frame just asked for and returns the guess.
  int next(int cur);

 private:
  int frames_;
  int last_ = -1;
  int step_ = 1;
  bool wraps_ = false;
};

class Renderer {
 public:
  // Loads the director named `modelKey` in the manifest ("model_<key>.onnx").
  // threads < 1 takes the core's thread count. `ep` is "" (ONNX Runtime's CPU
  // provider), a "coreml..." label, or "neon" (native backend; falls back to
  // the CPU provider where unavailable). Throws std::runtime_error naming the
  // model and what is wrong with it. `identity` must outlive the renderer.
  Renderer(const Manifest& manifest, Identity& identity, const std::string& modelKey, int threads,
           const std::string& ep);
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // Renders n frames (1 <= n <= batch()): source frame srcIdx[i] driven from
  // kpSource (n x 63) to kpDriving (n x 63). Returns batch() crops of
  // 3 x crop x crop floats; only the first n are meaningful. The buffer is
  // the renderer's and is rewritten by the next call. One caller at a time.
  const float* render(const int* srcIdx, const float* kpSource, const float* kpDriving, int n);

  // Makes a render in progress on another thread stop early and throw, as
  // does every render started before resume(): for work whose frames will
  // not be shown. Safe from any thread; the native engine cannot be stopped
  // and renders to the end.
  void cancel();
  void resume();

  int batch() const;
  // "cpu", the caller's CoreML label, or "neon".
  const char* ep() const;
  // "neon" when the native engine renders, else "ort".
  const char* backend() const;
  const std::string& directorNote() const;

  // Whether the source cone runs ahead on the prep thread.
  bool hoisted() const;
  // Renders whose source frame was already prefetched, and synchronous fills.
  uint64_t ringHits() const;
  uint64_t ringMisses() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace le
