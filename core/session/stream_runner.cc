// The stream runner behind le_stream: a whole clip of speech in, every
// finished frame handed to the host in order. The face-coefficient adapter
// gives each frame's expression offsets up front; a render thread stays up
// to three frames ahead of the paste on the caller's thread through a ring
// of four crop copies (the renderer reuses its own output buffer).
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/audio/a2x_tables.h"
#include "core/bundle/member_names.h"
#include "core/foundation/c_boundary.h"
#include "le/le.h"

struct le_stream {
  le_ctx* ctx = nullptr;
  le_fca* fca = nullptr;
  std::vector<float> xsTarget;  // NT x 63
  int NT = 0, W = 0, H = 0, crop = 0;
  int skip = 0;
  float scale = 1.0f;
  ~le_stream() {
    le_fca_destroy(fca);
    le_destroy(ctx);
  }
};

namespace {

using le::capi::Family;
constexpr int kKp = 63;
constexpr int kRing = 4;

std::string& lastError() { return le::capi::lastError(Family::kStream); }

int run(le_stream* s, const float* pcm, int n, le_stream_frame_fn fn, void* user) {
  const int g = n > 0 ? int((int64_t(n) + 639) / 640) : 0;
  if (g == 0) return 0;
  std::vector<float> deltas(size_t(g) * kKp);
  if (le_fca_deltas(s->fca, pcm, n, deltas.data(), g) != g) {
    lastError() = std::string("le_fca_deltas: ") + le_fca_last_error();
    return -1;
  }
  const int m = g - s->skip;
  if (m <= 0) return 0;
  // Source frames walk the idle loop from frame 0.
  auto sourceOf = [&](int i) { return s->NT < 2 ? 0 : i % s->NT; };
  const size_t cropFloats = size_t(s->crop) * size_t(s->crop) * 3;
  std::vector<float> ring(cropFloats * kRing);

  std::mutex mu;
  std::condition_variable rendered, pasted;
  int renderedCount = 0, pastedCount = 0;  // guarded by mu
  bool renderDone = false;                 // guarded by mu
  std::atomic<bool> failed{false};
  // Everything is allocated before the render thread starts: an allocation
  // that throws while it runs would destroy a thread still joinable.
  std::vector<float> xd(kKp);  // render thread only
  std::vector<uint8_t> frame(size_t(s->W) * size_t(s->H) * 3);

  std::thread renderer([&] {
    for (int k = 0; k < m && !failed; ++k) {
      {
        std::unique_lock<std::mutex> lk(mu);
        pasted.wait(lk, [&] { return k - pastedCount < kRing || failed; });
      }
      if (failed) break;
      const int i = k + s->skip;
      const int src = sourceOf(i);
      const float* xs = &s->xsTarget[size_t(src) * kKp];
      for (int c = 0; c < kKp; ++c) xd[size_t(c)] = xs[c] + s->scale * deltas[size_t(i) * kKp + size_t(c)];
      const float* crop = le_render_kp_crop(s->ctx, src, xs, xd.data());
      if (!crop) {
        failed = true;
        break;
      }
      std::memcpy(&ring[size_t(k % kRing) * cropFloats], crop, cropFloats * sizeof(float));
      {
        std::lock_guard<std::mutex> lk(mu);
        renderedCount = k + 1;
      }
      rendered.notify_all();
    }
    {
      std::lock_guard<std::mutex> lk(mu);
      renderDone = true;
    }
    rendered.notify_all();
  });

  for (int k = 0; k < m; ++k) {
    {
      std::unique_lock<std::mutex> lk(mu);
      rendered.wait(lk, [&] { return renderedCount > k || failed || renderDone; });
      if (renderedCount <= k) break;
    }
    if (!le_paste_crop(s->ctx, sourceOf(k + s->skip), &ring[size_t(k % kRing) * cropFloats], frame.data(),
                       frame.size())) {
      failed = true;
    }
    {
      std::lock_guard<std::mutex> lk(mu);
      if (!failed) pastedCount = k + 1;
    }
    pasted.notify_all();
    if (failed) break;
    fn(user, k, frame.data(), s->W, s->H);
  }
  {
    // Whatever stopped the loop, the render thread must not wait for room.
    std::lock_guard<std::mutex> lk(mu);
    if (pastedCount < m) failed = true;
  }
  pasted.notify_all();
  renderer.join();
  if (failed) {
    lastError() = "le_stream_run: render/paste failed";
    return -1;
  }
  return m;
}

}  // namespace

extern "C" {

LE_API le_stream* le_stream_create(const char* bundle_dir, const char* encoder_path, int threads, int skip,
                                   float scale) {
  return le::capi::guarded(Family::kStream, "le_stream_create", static_cast<le_stream*>(nullptr),
                           [&]() -> le_stream* {
    if (!bundle_dir) throw std::runtime_error("NULL bundle_dir");
    // Frames before the clip do not exist: a negative skip would index the
    // deltas and the loop before their first row.
    if (skip < 0)
      throw std::runtime_error("skip " + std::to_string(skip) + " is negative; it counts leading frames to drop");
    auto s = std::make_unique<le_stream>();
    s->ctx = le_create(bundle_dir, "render", threads, "");
    if (!s->ctx) {
      lastError() = std::string("le_create: ") + le_last_error();
      return nullptr;
    }
    s->NT = le_nt(s->ctx);
    s->W = le_width(s->ctx);
    s->H = le_height(s->ctx);
    s->crop = le_crop(s->ctx);
    s->skip = skip;
    s->scale = scale;
    const std::string adapter = std::string(bundle_dir) + "/fca_stream.onnx";
    s->fca = le_fca_create(encoder_path, adapter.c_str(), threads);
    if (!s->fca) {
      lastError() = std::string("le_fca_create: ") + le_fca_last_error();
      return nullptr;
    }
    if (!le::a2x::readExactFloats(le::resolveMember(bundle_dir, "xs_target.bin"), size_t(s->NT) * kKp, &s->xsTarget)) {
      lastError() = "le_stream_create: cannot read xs_target.bin (NT*63 f32)";
      return nullptr;
    }
    return s.release();
  });
}

LE_API int le_stream_run(le_stream* s, const float* pcm, int n, le_stream_frame_fn fn, void* user) {
  return le::capi::guarded(Family::kStream, "le_stream_run", -1, [&]() -> int {
    if (!s || (n > 0 && !pcm) || !fn) throw std::runtime_error("bad args");
    return run(s, pcm, n, fn, user);
  });
}

LE_API int le_stream_width(le_stream* s) { return s ? s->W : 0; }
LE_API int le_stream_height(le_stream* s) { return s ? s->H : 0; }
LE_API void le_stream_destroy(le_stream* s) { delete s; }
LE_API const char* le_stream_last_error(void) { return lastError().c_str(); }

}  // extern "C"
