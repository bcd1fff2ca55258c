// C boundary of the teeth pass's batch runners.
// Failures go to the caller's buffer; no exception crosses.
#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "core/foundation/c_boundary.h"
#include "core/tessera/head_weights.h"
#include "core/tessera/serve_config.h"
#include "core/tessera/stream_borrow.h"
#include "core/tessera/teeth_pass.h"
#include "le/le.h"

namespace {

using le::capi::guardedToBuffer;
using le::capi::writeCallerBuffer;

// Exception texts go to the buffer as they are: they are full sentences.
template <class Body>
int intoBuffer(const char* fn, const char* unknown, char* err, size_t cap, Body&& body) {
  return guardedToBuffer(err, cap, fn, 1, [&]() -> int {
    try {
      return body();
    } catch (const std::bad_alloc&) {
      writeCallerBuffer(err, cap, std::string(fn) + ": out of memory");
    } catch (const std::exception& e) {
      writeCallerBuffer(err, cap, e.what());
    } catch (...) {
      writeCallerBuffer(err, cap, unknown);
    }
    return 1;
  });
}

int run(const char* fn, const uint8_t* bands, int n_donors, const double* cent, const double* c_canon,
        const double* aperture, const int32_t* stamp, const char* head_json, const uint8_t* head_pt,
        size_t head_pt_len, const uint8_t* canvases, const uint8_t* masks, const int32_t* shifts, bool withShift,
        int n_frames, uint8_t* windows_out, uint8_t* skipped_out, char* err, size_t err_cap) {
  if (!bands || !cent || !c_canon || !aperture || !stamp || !head_json || !head_pt || (withShift && !shifts) ||
      (n_frames > 0 && (!canvases || !masks || !windows_out))) {
    writeCallerBuffer(err, err_cap, std::string(fn) + ": null argument");
    return 1;
  }
  return intoBuffer(fn, "teeth: unknown failure", err, err_cap, [&]() -> int {
    if (n_frames < 0) throw std::runtime_error(std::string(fn) + ": n_frames " + std::to_string(n_frames) + " < 0");
    using namespace le::tessera;
    const BankData bank = makeBankData(bands, n_donors, cent, c_canon, aperture, stamp);
    const ServeConfig config = ServeConfig::fromHeadMemberJson(head_json);
    const HeadWeights head = loadHeadPt(head_pt, head_pt_len);
    TeethPass pass(bank, head, config);
    const GeometryStamp& s = bank.stamp;
    const size_t canvasPx = static_cast<size_t>(s.canvas_w) * static_cast<size_t>(s.canvas_h);
    const size_t window = static_cast<size_t>(s.window_w) * static_cast<size_t>(s.window_h) * 3;
    int emitted = 0;
    auto take = [&](const FrameResult& r) {
      const size_t k = static_cast<size_t>(r.frame_index);
      uint8_t* dst = windows_out + k * window;
      if (r.skipped) {
        // The caller keeps the frame's own mouth.
        const uint8_t* canvas = canvases + k * canvasPx * 3;
        for (int y = 0; y < s.window_h; ++y)
          std::memcpy(dst + static_cast<size_t>(y) * static_cast<size_t>(s.window_w) * 3,
                      canvas + ((static_cast<size_t>(s.window_y0 + y) * static_cast<size_t>(s.canvas_w)) +
                                static_cast<size_t>(s.window_x0)) * 3,
                      static_cast<size_t>(s.window_w) * 3);
      } else {
        std::memcpy(dst, r.window.data(), window);
      }
      if (skipped_out) skipped_out[k] = r.skipped ? 1 : 0;
      ++emitted;
    };
    FrameResult r;
    for (int f = 0; f < n_frames; ++f) {
      const size_t k = static_cast<size_t>(f);
      const int shift[2] = {withShift ? shifts[2 * k] : 0, withShift ? shifts[2 * k + 1] : 0};
      if (pass.push(f, canvases + k * canvasPx * 3, masks + k * canvasPx, withShift ? shift : nullptr, &r)) take(r);
    }
    if (pass.flush(&r)) take(r);
    if (emitted != n_frames)
      throw std::runtime_error("teeth: emitted " + std::to_string(emitted) + " of " + std::to_string(n_frames) +
                               " frames");
    return 0;
  });
}

}  // namespace

extern "C" {

LE_API int le_tessera_run(const uint8_t* bands, int n_donors, const double* cent, const double* c_canon,
                          const double* aperture, const int32_t* stamp, const char* head_json,
                          const uint8_t* head_pt, size_t head_pt_len, const uint8_t* canvases,
                          const uint8_t* masks, int n_frames, uint8_t* windows_out, uint8_t* skipped_out,
                          char* err, size_t err_cap) {
  return run("le_tessera_run", bands, n_donors, cent, c_canon, aperture, stamp, head_json, head_pt, head_pt_len,
             canvases, masks, nullptr, false, n_frames, windows_out, skipped_out, err, err_cap);
}

LE_API int le_tessera_run_shift(const uint8_t* bands, int n_donors, const double* cent, const double* c_canon,
                                const double* aperture, const int32_t* stamp, const char* head_json,
                                const uint8_t* head_pt, size_t head_pt_len, const uint8_t* canvases,
                                const uint8_t* masks, const int32_t* shifts, int n_frames,
                                uint8_t* windows_out, uint8_t* skipped_out, char* err, size_t err_cap) {
  return run("le_tessera_run_shift", bands, n_donors, cent, c_canon, aperture, stamp, head_json, head_pt,
             head_pt_len, canvases, masks, shifts, true, n_frames, windows_out, skipped_out, err, err_cap);
}

}  // extern "C"
