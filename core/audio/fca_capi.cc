// The le_fca_* C functions over le::FaceCoeffAdapter.
#include <stdexcept>
#include <string>

#include "core/audio/fca.h"
#include "core/foundation/c_boundary.h"
#include "le/le.h"

using le::capi::Family;
using le::capi::guarded;

struct le_fca {
  le_fca(const char* encoder, const char* adapter, int threads) : f(encoder, adapter, threads) {}
  le::FaceCoeffAdapter f;
};

extern "C" {

LE_API const char* le_fca_last_error(void) { return le::capi::lastError(Family::kFca).c_str(); }

LE_API le_fca* le_fca_create(const char* encoder_path, const char* adapter_path, int threads) {
  return guarded(Family::kFca, "le_fca_create", static_cast<le_fca*>(nullptr), [&]() -> le_fca* {
    if (!encoder_path || !adapter_path) throw std::runtime_error("NULL encoder_path/adapter_path");
    return new le_fca(encoder_path, adapter_path, threads);
  });
}

LE_API int le_fca_deltas(le_fca* f, const float* samples, int n, float* out, int cap) {
  return guarded(Family::kFca, "le_fca_deltas", -1, [&] {
    if (n < 1) return 0;
    if (!f || !samples || !out) throw std::runtime_error("bad args");
    const int frames = le::FaceCoeffAdapter::framesOf(size_t(n));
    if (cap < frames)
      throw std::runtime_error("room for " + std::to_string(cap) + " frames where " + std::to_string(frames) +
                               " are needed");
    f->f.deltas(samples, size_t(n), out);
    return frames;
  });
}

LE_API void le_fca_destroy(le_fca* f) {
  guarded(Family::kFca, "le_fca_destroy", 0, [&] {
    delete f;
    return 0;
  });
}

}  // extern "C"
