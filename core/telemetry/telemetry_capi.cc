// The telemetry family's C functions, inside the core family's error boundary.
#include <cstring>
#include <stdexcept>

#include "core/foundation/c_boundary.h"
#include "core/telemetry/telemetry.h"
#include "core/telemetry/telemetry_document.h"
#include "le/le.h"

extern "C" {

LE_API int64_t le_telemetry_json(char* buf, size_t cap) {
  return le::capi::guarded(le::capi::Family::kCore, "le_telemetry_json", int64_t(-1), [&]() -> int64_t {
    const std::string doc = le::telemetry::document();
    // A cut document is not JSON: either all of it fits or the buffer gets "".
    if (buf && cap >= 1) {
      if (doc.size() < cap)
        std::memcpy(buf, doc.c_str(), doc.size() + 1);
      else
        buf[0] = '\0';
    }
    return int64_t(doc.size());
  });
}

LE_API void le_telemetry_reset(void) {
  le::capi::guarded(le::capi::Family::kCore, "le_telemetry_reset", 0, [] {
    le::telemetry::resetAll();
    return 0;
  }, false);
}

LE_API int le_telemetry_record(const char* name, double sample) {
  return le::capi::guarded(le::capi::Family::kCore, "le_telemetry_record", -1, [&] {
    if (!name) throw std::runtime_error("the value name is NULL.");
    le::telemetry::value(name).record(sample);
    return 0;
  });
}

LE_API int le_telemetry_value(const char* name, int64_t* count, double* sum) {
  return le::capi::guarded(le::capi::Family::kCore, "le_telemetry_value", 0, [&] {
    if (!name) return 0;
    for (const auto& [n, v] : le::telemetry::values()) {
      if (n != name) continue;
      if (count) *count = v.count;
      if (sum) *sum = v.sum;
      return 1;
    }
    return 0;
  });
}

}  // extern "C"
