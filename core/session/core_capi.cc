// The core context's C functions. Each body runs inside the core family's
// error boundary; fixed refusals are thrown as their short text so that the
// boundary prefixes the function's name.
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

#include <sys/stat.h>

#include "core/bundle/bundle_path.h"
#include "core/bundle/member_names.h"
#include "core/foundation/c_boundary.h"
#include "core/session/context.h"
#include "le/le.h"

namespace {

using le::capi::Family;

template <class R, class Body>
R core(const char* fn, R fail, Body&& body) noexcept {
  return le::capi::guarded(Family::kCore, fn, fail, std::forward<Body>(body));
}

bool frameInLoop(const le_ctx* ctx, int i) { return ctx && i >= 0 && i < ctx->manifest.NT; }

// Copies path and its terminator into out when it fits; else writes "".
bool copyOut(const std::string& path, char* out, size_t len) {
  if (path.size() + 1 > len) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, path.c_str(), path.size() + 1);
  return true;
}

// A regular file that opens for reading: a directory opens as a stream on
// Linux, and is no member.
bool readableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && std::ifstream(path, std::ios::binary).good();
}

const float* renderCrop(le_ctx* ctx, int src, const float* xs, const float* xd) {
  const float* crop = le::ensureRenderer(*ctx).render(&src, xs, xd, 1);
  ctx->lastCrop = crop;
  return crop;
}

}  // namespace

extern "C" {

LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep) {
  return core("le_create", static_cast<le_ctx*>(nullptr), [&]() -> le_ctx* {
    if (!bundle_dir || !model_key) throw std::runtime_error("NULL bundle_dir/model_key");
    return le::createContext(bundle_dir, model_key, threads, ep).release();
  });
}

// Destroy and the getters report nothing, so they leave the last error as it is.
LE_API void le_destroy(le_ctx* ctx) {
  le::capi::guarded(Family::kCore, "le_destroy", 0, [&] {
    delete ctx;
    return 0;
  }, /*clear=*/false);
}

LE_API int le_nt(le_ctx* ctx) { return ctx ? ctx->manifest.NT : 0; }
LE_API int le_width(le_ctx* ctx) { return ctx ? ctx->manifest.W : 0; }
LE_API int le_height(le_ctx* ctx) { return ctx ? ctx->manifest.H : 0; }
LE_API int le_crop(le_ctx* ctx) { return ctx ? ctx->manifest.crop : 0; }
LE_API int le_drive_frames(le_ctx* ctx) { return ctx ? ctx->drive.frames : 0; }

LE_API const float* le_render_kp_crop(le_ctx* ctx, int src_index, const float* xs, const float* xd) {
  return core("le_render_kp_crop", static_cast<const float*>(nullptr), [&] {
    if (!xs || !xd || !frameInLoop(ctx, src_index)) throw std::runtime_error("bad args");
    return renderCrop(ctx, src_index, xs, xd);
  });
}

LE_API const float* le_render_drive_crop(le_ctx* ctx, int drive_index) {
  return core("le_render_drive_crop", static_cast<const float*>(nullptr), [&]() -> const float* {
    if (!ctx || drive_index < 0 || drive_index >= ctx->drive.frames) throw std::runtime_error("bad frame index");
    const size_t row = size_t(drive_index) * size_t(le::kHostKpRows) * 3;
    return renderCrop(ctx, ctx->drive.si[size_t(drive_index)], ctx->drive.xs.data() + row,
                      ctx->drive.xd.data() + row);
  });
}

LE_API int le_render_kp_rgba(le_ctx* ctx, int src_index, const float* xs, const float* xd, uint8_t* out,
                             size_t out_len) {
  // The render and the paste set their own messages; nothing here throws.
  return le::capi::guarded(
      Family::kCore, "le_render_kp_rgba", 0,
      [&] { return le_render_kp_crop(ctx, src_index, xs, xd) ? le::pasteToRGBA(ctx, src_index, out, out_len) : 0; },
      /*clear=*/false);
}

LE_API int le_render_drive_rgba(le_ctx* ctx, int drive_index, uint8_t* out, size_t out_len) {
  return le::capi::guarded(
      Family::kCore, "le_render_drive_rgba", 0,
      [&] {
        if (!le_render_drive_crop(ctx, drive_index)) return 0;
        return le::pasteToRGBA(ctx, ctx->drive.si[size_t(drive_index)], out, out_len);
      },
      /*clear=*/false);
}

LE_API int le_paste_crop(le_ctx* ctx, int frame_index, const float* crop, uint8_t* out, size_t out_len) {
  return core("le_paste_crop", 0, [&] {
    if (!crop || !out || !frameInLoop(ctx, frame_index) ||
        out_len < size_t(ctx->manifest.W) * size_t(ctx->manifest.H) * 3)
      throw std::runtime_error("bad args / out too small");
    le::pullDriving(*ctx, frame_index, out);
    ctx->paste->composite(crop, 255.f, ctx->identity->M(frame_index), out, ctx->manifest.W, ctx->manifest.H);
    return 1;
  });
}

LE_API const uint8_t* le_paste_last(le_ctx* ctx, int frame_index) {
  return core("le_paste_last", static_cast<const uint8_t*>(nullptr), [&]() -> const uint8_t* {
    if (!frameInLoop(ctx, frame_index) || !ctx->lastCrop) throw std::runtime_error("bad args / no prior render");
    le::pullDriving(*ctx, frame_index, ctx->frameBuf.data());
    ctx->paste->composite(ctx->lastCrop, 255.f, ctx->identity->M(frame_index), ctx->frameBuf.data(),
                          ctx->manifest.W, ctx->manifest.H);
    return ctx->frameBuf.data();
  });
}

LE_API const uint8_t* le_target_frame(le_ctx* ctx, int frame_index) {
  return core("le_target_frame", static_cast<const uint8_t*>(nullptr), [&] {
    if (!frameInLoop(ctx, frame_index)) throw std::runtime_error("bad args");
    return le::pullDriving(*ctx, frame_index, nullptr);
  });
}

LE_API int le_bundle_resolve_handle(const char* handle, char* out, size_t out_len) {
  return core("le_bundle_resolve_handle", -1, [&] {
    if (!handle || !out || out_len == 0) return -1;
    if (!copyOut(le::resolveBundlePath(handle), out, out_len)) throw std::runtime_error("buffer too small");
    return 1;
  });
}

LE_API int le_bundle_resolve_member(const char* handle, const char* member, char* out, size_t out_len) {
  return le::capi::guarded(
      Family::kCore, "le_bundle_resolve_member", -1,
      [&] {
        if (!handle || !member || !out || out_len == 0) return -1;
        const std::string path = le::resolveMember(le::resolveBundlePath(handle), member);
        if (!copyOut(path, out, out_len)) return -1;
        return readableFile(path) ? 1 : 0;
      },
      /*clear=*/false);
}

}  // extern "C"
