// The utterance pipeline's C functions. Each runs inside the utterance
// family's error boundary and takes the pipeline's lock only briefly.
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/foundation/c_boundary.h"
#include "core/session/context.h"
#include "core/session/utterance_pipeline.h"
#include "core/session/utterance_teeth.h"
#include "le/le.h"

struct le_utt {
  explicit le_utt(le_ctx* ctx, const le_utt_opts& opts) : pipeline(ctx, opts) {}
  le::UtterancePipeline pipeline;
};

namespace {

using le::capi::Family;

template <class R, class Body>
R utt(const char* fn, R fail, Body&& body, bool clear = true) noexcept {
  return le::capi::guarded(Family::kUtt, fn, fail, std::forward<Body>(body), clear);
}

void copyMessage(const std::string& text, char* dst, int len) {
  if (dst && len > 0) le::capi::writeCallerBuffer(dst, size_t(len), text);
}

}  // namespace

extern "C" {

LE_API le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts) {
  le::capi::lastError(Family::kUtt).clear();
  if (!ctx || !opts) {
    le::capi::lastError(Family::kUtt) = "le_utt_create: NULL ctx/opts";
    return nullptr;
  }
  return utt("le_utt_create", static_cast<le_utt*>(nullptr), [&]() -> le_utt* {
    le::ensureRenderer(*ctx);
    return new le_utt(ctx, *opts);
  });
}

LE_API le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir) {
  le_utt_opts opts{};
  opts.motion_dir = motion_dir;
  return le_utt_create(ctx, &opts);
}

LE_API void le_utt_destroy(le_utt* u) { delete u; }

LE_API const char* le_utt_last_error(void) { return le::capi::lastError(Family::kUtt).c_str(); }

LE_API int le_utt_ready(le_utt* u) {
  return utt("le_utt_ready", -1, [&]() -> int {
    if (!u) return -1;
    std::string error;
    const int r = u->pipeline.ready(&error);
    if (r < 0) le::capi::lastError(Family::kUtt) = error;
    return r;
  }, false);
}

LE_API int le_utt_push_audio(le_utt* u, const int16_t* pcm, int n) {
  return utt("le_utt_push_audio", 0, [&]() -> int {
    if (!u || !pcm || n < 0) {
      le::capi::lastError(Family::kUtt) = "le_utt_push_audio: bad args";
      return 0;
    }
    std::string error;
    if (!u->pipeline.pushAudio(pcm, n, &error)) {
      le::capi::lastError(Family::kUtt) = "le_utt_push_audio: the animation source failed: " + error;
      return 0;
    }
    return 1;
  });
}

// The functions below report nothing through the last error, so they leave
// it as it is; the boundary still keeps any exception out of C.
LE_API void le_utt_end_utterance(le_utt* u) {
  utt("le_utt_end_utterance", 0, [&] {
    if (u) u->pipeline.endUtterance();
    return 0;
  }, false);
}

LE_API void le_utt_interrupt(le_utt* u) {
  utt("le_utt_interrupt", 0, [&] {
    if (u) u->pipeline.interrupt();
    return 0;
  }, false);
}

LE_API int le_utt_frames_available(le_utt* u) {
  return utt("le_utt_frames_available", 0, [&] { return u ? u->pipeline.framesAvailable() : 0; }, false);
}

LE_API int le_utt_pull_frame(le_utt* u, uint8_t* dst, size_t dst_len, le_utt_frame_info* info) {
  // An empty ring is no error: the last error is left as it is.
  return utt("le_utt_pull_frame", 0, [&]() -> int {
    if (!u || !dst) {
      le::capi::lastError(Family::kUtt) = "le_utt_pull_frame: bad args";
      return 0;
    }
    const int r = u->pipeline.pullFrame(dst, dst_len, info);
    if (r < 0) {
      le::capi::lastError(Family::kUtt) = "le_utt_pull_frame: buffer too small";
      return 0;
    }
    return r;
  }, false);
}

LE_API void le_utt_get_stats(le_utt* u, le_utt_stats* out) {
  utt("le_utt_get_stats", 0, [&] {
    if (u && out) *out = u->pipeline.stats();
    return 0;
  }, false);
}

LE_API int le_utt_render_status(le_utt* u, int64_t* failures, char* msg, int msg_len) {
  return utt("le_utt_render_status", 0, [&] {
    if (!u) return 0;
    std::string text;
    const int r = u->pipeline.renderStatus(failures, &text);
    copyMessage(text, msg, msg_len);
    return r;
  }, false);
}

LE_API int le_utt_tessera_attach(le_utt* u, const uint8_t* bands, int n_donors, const double* cent,
                                 const double* c_canon, const double* aperture, const int32_t* stamp,
                                 const uint8_t* head_pt, int head_pt_len, const char* head_json,
                                 const char* manifest_json, char* err, int err_len) {
  try {
    if (!u) throw std::runtime_error("le_utt_tessera_attach: null session");
    if (!bands || !cent || !c_canon || !aperture || !stamp || !head_pt || !head_json || !manifest_json)
      throw std::runtime_error(
          "le_utt_tessera_attach: a required member is null — this ABI has no partial-attach state");
    if (n_donors < 1) throw std::runtime_error("le_utt_tessera_attach: n_donors <= 0");
    // A negative length would read far past the caller's bytes.
    if (head_pt_len < 1) throw std::runtime_error("le_utt_tessera_attach: head_pt_len <= 0");
    le::TeethAttachInputs in{bands, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json,
                             manifest_json};
    std::string geometry;
    std::unique_ptr<le::TeethPort> pass = le::makeUtteranceTeeth(u->pipeline, in, &geometry);
    u->pipeline.attachTeeth(std::move(pass), std::move(geometry));
    return 0;
  } catch (const std::exception& e) {
    copyMessage(e.what(), err, err_len);
  } catch (...) {
    copyMessage("le_utt_tessera_attach: unknown failure", err, err_len);
  }
  return 1;
}

LE_API int le_utt_tessera_stats(le_utt* u, int64_t* a, int64_t* b, char* msg, int msg_len) {
  return utt("le_utt_tessera_stats", 0, [&] {
    if (!u) return 0;
    std::string text;
    const int r = u->pipeline.teethStats(a, b, &text);
    copyMessage(text, msg, msg_len);
    return r;
  }, false);
}

LE_API int le_utt_tessera_synth_w(le_utt* u, double* mean, double* last, int64_t* count) {
  return utt("le_utt_tessera_synth_w", 0, [&] { return u && u->pipeline.teethSynthW(mean, last, count) ? 1 : 0; },
             false);
}

LE_API int le_utt_tessera_geometry(le_utt* u, char* dst, int len) {
  return utt("le_utt_tessera_geometry", 0, [&] {
    if (!dst || len < 1) return 0;
    std::string text;
    const bool attached = u && u->pipeline.teethGeometry(&text);
    copyMessage(text, dst, len);
    return attached ? 1 : 0;
  }, false);
}

}  // extern "C"
