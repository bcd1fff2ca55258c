// The core context behind le_ctx: one opened avatar bundle and everything
// rendered or pasted through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/bundle/drive.h"
#include "core/bundle/identity.h"
#include "core/bundle/manifest.h"
#include "core/driver/driver_cursor.h"
#include "core/paste/paste.h"
#include "core/render/renderer.h"
#include "le/le.h"

// Members are destroyed in reverse order: scratch frame, cursor, strings,
// compositor, renderer (which reads the identity), drive, identity, manifest.
struct le_ctx {
  le::Manifest manifest;
  std::unique_ptr<le::Identity> identity;
  le::Drive drive;
  std::unique_ptr<le::Renderer> renderer;  // created on first use
  std::unique_ptr<le::Paste> paste;
  int threads = 0;
  std::string ep;
  bool threadsExplicit = false;
  std::string modelKey;
  std::unique_ptr<le::DriverCursor> cursor;
  std::vector<uint8_t> frameBuf;     // W x H x 3, what le_paste_last returns
  const float* lastCrop = nullptr;   // the most recent successful render
};

namespace le {

// Builds a context; throws std::runtime_error naming what is wrong.
std::unique_ptr<le_ctx> createContext(const std::string& bundleDir, const std::string& modelKey, int threads,
                                      const char* ep);

// The intra-op thread count the context gives its director: the caller's
// count when it chose one (threads > 0 or an ep), else at most 2, leaving the
// rest of the pool to the utterance pipeline's other stages.
int directorThreads(const le_ctx& ctx);

// The context's renderer, created on first use. Not thread-safe: the first
// render must not race with any other call on the context.
Renderer& ensureRenderer(le_ctx& ctx);

// Driving frame `index` from the context's cursor: copied into dst when dst
// is given (W x H x 3 bytes), else in place (valid until the cursor next
// moves). Throws the cursor's failure; the context then replaces the failed
// cursor, so one undecodable frame fails its own calls and not every later
// one (pointers from before the failure are then gone).
const uint8_t* pullDriving(le_ctx& ctx, int index, uint8_t* dst);

// Reads exactly side x side bytes of the paste mask; a longer file is
// accepted, a shorter one throws "mask read failed".
std::vector<uint8_t> readPasteMask(const std::string& path, int side);

// The RGBA output of the render-and-paste calls: the frame that le_paste_last
// composites for `index`, widened to R, G, B, 255 into out. Returns 1, or 0
// with the core last error set.
int pasteToRGBA(le_ctx* ctx, int index, uint8_t* out, std::size_t len);

}  // namespace le
