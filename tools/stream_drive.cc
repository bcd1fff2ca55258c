#include "tools/stream_drive.h"

#include <dlfcn.h>

#include <chrono>
#include <stdexcept>

namespace le::tools {
namespace {

// The runner's C signatures, as le/le.h declares them.
using FrameFn = void (*)(void* user, int index, const uint8_t* rgb, int width, int height);
using CreateFn = void* (*)(const char* bundle_dir, const char* encoder_path, int threads, int skip, float scale);
using RunFn = int (*)(void* s, const float* pcm, int n, FrameFn fn, void* user);
using SizeFn = int (*)(void* s);
using DestroyFn = void (*)(void* s);
using ErrorFn = const char* (*)();

template <class F>
F lookup(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

std::string lastError() {
  const auto fn = lookup<ErrorFn>("le_stream_last_error");
  return fn ? fn() : "unknown failure";
}

struct RunState {
  SpeechVideo* video;
  const std::function<void()>* progress;
  std::chrono::steady_clock::time_point t0;
  double firstMs = -1.0;
  std::string error;  // the first failure inside the callback; no exception crosses the C call
};

void onFrame(void* user, int index, const uint8_t* rgb, int, int) {
  auto* st = static_cast<RunState*>(user);
  if (!st->error.empty()) return;
  try {
    if (st->firstMs < 0)
      st->firstMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - st->t0).count();
    st->video->add(rgb, 1, index);
    (*st->progress)();
  } catch (const std::exception& e) {
    st->error = e.what();
  }
}

}  // namespace

bool StreamHost::available() {
  return lookup<CreateFn>("le_stream_create") && lookup<RunFn>("le_stream_run") &&
         lookup<SizeFn>("le_stream_width") && lookup<SizeFn>("le_stream_height") &&
         lookup<DestroyFn>("le_stream_destroy");
}

StreamHost::StreamHost(const std::string& bundle, const std::string& encoder, int threads) {
  if (!available()) throw std::runtime_error("the stream runner is not part of this build");
  stream_ = lookup<CreateFn>("le_stream_create")(bundle.c_str(), encoder.c_str(), threads, 0, 1.0f);
  if (!stream_) throw std::runtime_error(lastError());
  width_ = lookup<SizeFn>("le_stream_width")(stream_);
  height_ = lookup<SizeFn>("le_stream_height")(stream_);
}

StreamHost::~StreamHost() {
  if (stream_) lookup<DestroyFn>("le_stream_destroy")(stream_);
}

UttDriveResult StreamHost::drive(const std::vector<int16_t>& speech, SpeechVideo& video,
                                 const std::function<void()>& progress) {
  std::vector<float> pcm(speech.size());
  for (size_t i = 0; i < speech.size(); ++i) pcm[i] = float(speech[i]) * (1.0f / 32768.0f);
  RunState st{&video, &progress, std::chrono::steady_clock::now(), -1.0, {}};
  const int n = lookup<RunFn>("le_stream_run")(stream_, pcm.data(), int(pcm.size()), onFrame, &st);
  if (!st.error.empty()) throw std::runtime_error(st.error);
  if (n < 0) throw std::runtime_error("the stream runner failed: " + lastError());
  UttDriveResult r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - st.t0).count();
  r.firstFrameLatencyMs = st.firstMs;
  return r;
}

}  // namespace le::tools
