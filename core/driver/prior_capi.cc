// C functions over a bundle's warp-prior video.
#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/bundle/manifest.h"
#include "core/driver/driver_cursor.h"
#include "core/foundation/c_boundary.h"
#include "le/le.h"

struct le_prior {
  le::Manifest manifest;
  std::unique_ptr<le::DriverCursor> cursor;
  std::string backend;
};

namespace {
using le::capi::Family;
using le::capi::guarded;
}  // namespace

extern "C" {

LE_API le_prior* le_prior_open(const char* bundle_dir, int look_ahead, int history) {
  return guarded(Family::kCore, "le_prior_open", static_cast<le_prior*>(nullptr), [&]() -> le_prior* {
    if (!bundle_dir) throw std::runtime_error("NULL bundle_dir");
    auto prior = std::make_unique<le_prior>();
    prior->manifest = le::loadManifest(bundle_dir);
    prior->cursor =
        le::DriverCursor::openPrior(prior->manifest, look_ahead < 1 ? 2 : look_ahead, std::max(history, 0));
    prior->backend = prior->cursor->backend();
    return prior.release();
  });
}

// The getters and close report nothing, so they leave the last error as it is.
LE_API uint64_t le_prior_row_bytes(const le_prior* prior) {
  return guarded(
      Family::kCore, "le_prior_row_bytes", uint64_t{0},
      [&] { return prior ? prior->cursor->frameBytes() : uint64_t{0}; }, /*clear=*/false);
}

LE_API int le_prior_row(le_prior* prior, int si, void* out, uint64_t cap) {
  return guarded(Family::kCore, "le_prior_row", 0, [&] {
    if (!prior || !out) throw std::runtime_error("NULL prior/out");
    const uint64_t need = prior->cursor->frameBytes();
    if (cap < need) {
      throw std::runtime_error("cap " + std::to_string(cap) + " < row bytes " + std::to_string(need));
    }
    prior->cursor->pullAt(si, static_cast<uint8_t*>(out));
    return 1;
  });
}

LE_API const char* le_prior_backend(const le_prior* prior) {
  return guarded(
      Family::kCore, "le_prior_backend", "", [&] { return prior ? prior->backend.c_str() : ""; }, /*clear=*/false);
}

LE_API void le_prior_close(le_prior* prior) {
  guarded(
      Family::kCore, "le_prior_close", 0,
      [&] {
        delete prior;
        return 0;
      },
      /*clear=*/false);
}

}  // extern "C"
