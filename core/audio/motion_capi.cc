// The le_motion_* C functions over le::Motion.
#include <memory>
#include <stdexcept>

#include "core/audio/motion.h"
#include "core/foundation/c_boundary.h"
#include "le/le.h"

using le::capi::Family;
using le::capi::guarded;

struct le_motion {
  explicit le_motion(const char* dir, int threads, const char* ep) : m(dir, threads, ep ? ep : "") {}
  le::Motion m;
};

extern "C" {

LE_API const char* le_motion_last_error(void) { return le::capi::lastError(Family::kMotion).c_str(); }

LE_API le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep) {
  return guarded(Family::kMotion, "le_motion_create", static_cast<le_motion*>(nullptr), [&]() -> le_motion* {
    if (!motion_dir) throw std::runtime_error("NULL motion_dir");
    return new le_motion(motion_dir, threads, ep);
  });
}

LE_API void le_motion_destroy(le_motion* m) {
  guarded(Family::kMotion, "le_motion_destroy", 0, [&] {
    delete m;
    return 0;
  });
}

LE_API int le_motion_push(le_motion* m, const float* samples, int n) {
  return guarded(Family::kMotion, "le_motion_push", 0, [&] {
    if (!m || n < 0 || (n > 0 && !samples) || !m->m.push(samples, size_t(n)))
      throw std::runtime_error("bad args / already finished");
    return 1;
  });
}

LE_API void le_motion_finish(le_motion* m) {
  guarded(Family::kMotion, "le_motion_finish", 0, [&] {
    if (m) m->m.finish();
    return 0;
  });
}

LE_API int le_motion_total(le_motion* m) {
  return guarded(Family::kMotion, "le_motion_total", -1, [&] { return m ? m->m.total() : -1; });
}

LE_API int le_motion_avail(le_motion* m) {
  return guarded(Family::kMotion, "le_motion_avail", 0, [&] { return m ? m->m.avail() : 0; });
}

LE_API int le_motion_pull(le_motion* m, int32_t* idx, float* xs, float* xd, int max) {
  return guarded(Family::kMotion, "le_motion_pull", 0, [&] {
    if (!m || !xs || !xd || max <= 0) throw std::runtime_error("bad args");
    return m->m.pull(idx, xs, xd, max);
  });
}

LE_API void le_motion_reset(le_motion* m, int start, int step, int loop) {
  guarded(Family::kMotion, "le_motion_reset", 0, [&] {
    if (m) m->m.reset(start, step, loop != 0);
    return 0;
  });
}

LE_API void le_motion_set_eager(le_motion* m, int eager) {
  guarded(Family::kMotion, "le_motion_set_eager", 0, [&] {
    if (m) m->m.setEager(eager);
    return 0;
  });
}

LE_API int le_motion_nt(le_motion* m) {
  return guarded(Family::kMotion, "le_motion_nt", 0, [&] { return m ? m->m.nt() : 0; });
}

}  // extern "C"
