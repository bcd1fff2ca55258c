#include "core/session/context.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "core/bundle/member_names.h"
#include "core/foundation/c_boundary.h"
#include "core/foundation/pool.h"

namespace le {

std::vector<uint8_t> readPasteMask(const std::string& path, int side) {
  const size_t want = size_t(side) * size_t(side);
  std::vector<uint8_t> mask(want);
  std::ifstream in(path, std::ios::binary);
  if (!in || !in.read(reinterpret_cast<char*>(mask.data()), std::streamsize(want)))
    throw std::runtime_error("mask read failed");
  return mask;
}

std::unique_ptr<le_ctx> createContext(const std::string& bundleDir, const std::string& modelKey, int threads,
                                      const char* ep) {
  auto ctx = std::make_unique<le_ctx>();
  ctx->threadsExplicit = threads > 0;
  ctx->threads = threads < 1 ? pool::threads() : threads;
  ctx->ep = ep ? ep : "";
  ctx->modelKey = modelKey;
  ctx->manifest = loadManifest(bundleDir);
  ctx->identity = std::make_unique<Identity>(ctx->manifest);
  ctx->drive = loadDrive(ctx->manifest);
  const Manifest& m = ctx->manifest;
  ctx->paste = std::make_unique<Paste>(readPasteMask(resolveMember(m.dir, "mask_512.u8"), m.crop), m.crop,
                                       m.unsharp);
  // Pastes decode straight into caller buffers sized from the manifest: the
  // frame sources are opened at the manifest's W x H and refuse any frame of
  // another size, so the cursor never hands out more than W x H x 3 bytes.
  ctx->cursor = DriverCursor::open(m, 2, 11);
  ctx->frameBuf.assign(size_t(m.W) * size_t(m.H) * 3, 0);
  return ctx;
}

int directorThreads(const le_ctx& ctx) {
  return ctx.threadsExplicit || !ctx.ep.empty() ? ctx.threads : std::min(ctx.threads, 2);
}

Renderer& ensureRenderer(le_ctx& ctx) {
  if (!ctx.renderer) {
    const int intra = directorThreads(ctx);
    if (!ctx.threadsExplicit && ctx.ep.empty())
      std::fprintf(stderr,
                   "[le] director intra-op %d of pool %d: the caller did not choose, the core sized it for the le_utt "
                   "pipeline\n",
                   intra, ctx.threads);
    ctx.renderer = std::make_unique<Renderer>(ctx.manifest, *ctx.identity, ctx.modelKey, intra, ctx.ep);
  }
  return *ctx.renderer;
}

const uint8_t* pullDriving(le_ctx& ctx, int index, uint8_t* dst) {
  try {
    if (dst) {
      ctx.cursor->pullAt(index, dst);
      return dst;
    }
    int slot = -1;
    return ctx.cursor->pullAt(index, &slot);
  } catch (const std::exception&) {
    // A failed cursor refuses every later pull; a fresh one serves the good
    // frames again. If even reopening fails, the next call tries once more.
    try {
      ctx.cursor = DriverCursor::open(ctx.manifest, 2, 11);
    } catch (const std::exception&) {
    }
    throw;
  }
}

int pasteToRGBA(le_ctx* ctx, int index, uint8_t* out, std::size_t len) {
  if (!ctx || !out || len < size_t(ctx->manifest.W) * size_t(ctx->manifest.H) * 4) {
    capi::lastError(capi::Family::kCore) = "le_render_*_rgba: out buffer too small";
    return 0;
  }
  const uint8_t* rgb = le_paste_last(ctx, index);
  if (!rgb) return 0;
  const size_t pixels = size_t(ctx->manifest.W) * size_t(ctx->manifest.H);
  for (size_t i = 0; i < pixels; ++i) {
    out[4 * i] = rgb[3 * i];
    out[4 * i + 1] = rgb[3 * i + 1];
    out[4 * i + 2] = rgb[3 * i + 2];
    out[4 * i + 3] = 255;
  }
  return 1;
}

}  // namespace le
