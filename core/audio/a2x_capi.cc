// The le_a2x_* C functions: thin guards around le::a2x::Stream.
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/audio/a2x_stream.h"
#include "core/foundation/c_boundary.h"
#include "core/foundation/pool.h"
#include "le/le_a2x.h"

struct le_a2x {
  std::unique_ptr<le::a2x::Stream> stream;
};

namespace {

using le::capi::Family;
using le::capi::guarded;

le::a2x::Stream& streamOf(le_a2x* a) {
  if (!a || !a->stream) throw std::runtime_error("NULL stream");
  return *a->stream;
}

}  // namespace

extern "C" {

LE_API le_a2x* le_a2x_create(const char* bundle, int threads) {
  return guarded<le_a2x*>(Family::kA2x, "le_a2x_create", nullptr, [&]() -> le_a2x* {
    if (!bundle || !*bundle) throw std::runtime_error("NULL or empty bundle path");
    auto a = std::make_unique<le_a2x>();
    a->stream = le::a2x::Stream::create(bundle, threads);
    return a.release();
  });
}

LE_API void le_a2x_destroy(le_a2x* a) {
  guarded<int>(Family::kA2x, "le_a2x_destroy", 0, [&] {
    delete a;
    return 0;
  });
}

LE_API const char* le_a2x_last_error(void) {
  return guarded<const char*>(
      Family::kA2x, "le_a2x_last_error", "", [] { return le::capi::lastError(Family::kA2x).c_str(); }, false);
}

LE_API void le_a2x_reset(le_a2x* a, int start, int step, int loop) {
  guarded<int>(Family::kA2x, "le_a2x_reset", 0, [&] {
    streamOf(a).reset(start, step, loop);
    return 0;
  });
}

LE_API int le_a2x_push(le_a2x* a, const float* samples, int n) {
  return guarded<int>(Family::kA2x, "le_a2x_push", 0, [&] {
    le::a2x::Stream& s = streamOf(a);
    if (n > 0 && !samples) throw std::runtime_error("NULL samples");
    s.push(samples, n);
    return 1;
  });
}

LE_API void le_a2x_finish(le_a2x* a) {
  guarded<int>(Family::kA2x, "le_a2x_finish", 0, [&] {
    streamOf(a).finish();
    return 0;
  });
}

LE_API int le_a2x_total(le_a2x* a) {
  return guarded<int>(Family::kA2x, "le_a2x_total", -1, [&] { return streamOf(a).total(); });
}

LE_API int le_a2x_avail(le_a2x* a) {
  return guarded<int>(Family::kA2x, "le_a2x_avail", 0, [&] { return streamOf(a).avail(); });
}

LE_API int le_a2x_pull(le_a2x* a, int32_t* idx, float* base, float* expr, int max) {
  return guarded<int>(Family::kA2x, "le_a2x_pull", 0, [&] {
    le::a2x::Stream& s = streamOf(a);
    if (max > 0 && (!idx || !base || !expr)) throw std::runtime_error("NULL output array");
    return s.pull(idx, base, expr, nullptr, max);
  });
}

LE_API int le_a2x_pull_wn(le_a2x* a, int32_t* idx, float* base, float* expr, float* wn, int max) {
  return guarded<int>(Family::kA2x, "le_a2x_pull_wn", 0, [&] {
    le::a2x::Stream& s = streamOf(a);
    if (max > 0 && (!idx || !base || !expr || !wn)) throw std::runtime_error("NULL output array");
    return s.pull(idx, base, expr, wn, max);
  });
}

LE_API int le_a2x_deltas(le_a2x* a, const float* samples, int n, float* out, int cap) {
  return guarded<int>(Family::kA2x, "le_a2x_deltas", -1, [&] {
    const int r = streamOf(a).deltas(samples, n, out, nullptr, cap);
    if (r == -2) le::capi::setError(Family::kA2x, "le_a2x_deltas", "cap smaller than the utterance's frames");
    return r;
  });
}

LE_API int le_a2x_deltas_wn(le_a2x* a, const float* samples, int n, float* out, float* wn, int cap) {
  return guarded<int>(Family::kA2x, "le_a2x_deltas", -1, [&] {
    le::a2x::Stream& s = streamOf(a);
    if (!s.width()) {
      le::capi::lastError(Family::kA2x) = "le_a2x_deltas_wn: encoder declares no wn output";
      return -3;
    }
    if (n > 0 && !wn) throw std::runtime_error("NULL wn array");
    const int r = s.deltas(samples, n, out, wn, cap);
    if (r == -2) le::capi::setError(Family::kA2x, "le_a2x_deltas", "cap smaller than the utterance's frames");
    return r;
  });
}

// The getters keep the last error: they cannot fail.
LE_API int le_a2x_nt(le_a2x* a) {
  return guarded<int>(Family::kA2x, "le_a2x_nt", 0, [&] { return a && a->stream ? a->stream->nt() : 0; }, false);
}

LE_API int le_a2x_width(le_a2x* a) {
  return guarded<int>(
      Family::kA2x, "le_a2x_width", 0, [&] { return a && a->stream ? a->stream->width() : 0; }, false);
}

LE_API void le_a2x_set_eager(le_a2x* a, int eager) {
  guarded<int>(
      Family::kA2x, "le_a2x_set_eager", 0,
      [&] {
        if (a && a->stream) a->stream->setEager(eager);
        return 0;
      },
      false);
}

LE_API int le_a2x_preload_w2v(const char* path) {
  return guarded<int>(Family::kA2x, "le_a2x_preload_w2v", 0, [&] {
    std::string p = path ? path : "";
    if (p.empty()) {
      const char* env = std::getenv("W2V_ONNX");
      if (env) p = env;
    }
    if (p.empty()) {
      le::capi::lastError(Family::kA2x) = "le_a2x_preload_w2v: no path and $W2V_ONNX unset";
      return 0;
    }
    le::a2x::sharedW2v(p, le::pool::threads());
    return 1;
  });
}

}  // extern "C"
