// The engine-backend table: the host's first way into the backend object.
#include "backend/backend_export.h"
#include "backend/backend_object.h"
#include "backend/guard.h"

namespace mirelund::engine {
namespace {

Backend* self(void* obj) { return static_cast<Backend*>(obj); }

int tableOpen(const char* path, const unsigned char* /*blob*/, size_t /*blob_len*/,
              const be_engine_open_options* options, void** out) {
  return guarded(BE_STATUS_RESOURCE, [&] {
    Backend* b = nullptr;
    const int rc = Backend::open(path, options, out ? &b : nullptr, nullptr);
    if (out) *out = b;
    return rc;
  });
}

int tableGetInfo(void* obj, be_engine_info* info) {
  if (!obj || !info) return BE_STATUS_BAD_ARGS;
  self(obj)->info(info);
  return BE_STATUS_OK;
}

int tablePullFrame(void* obj, int index, unsigned char* dst, size_t dst_len, be_engine_frame_result* result) {
  if (!obj) return BE_STATUS_BAD_ARGS;
  return guarded(BE_STATUS_RENDER_FAILED, [&] { return self(obj)->pullFrame(index, dst, dst_len, result); });
}

void tableClose(void* obj) {
  guardedVoid([&] { delete self(obj); });
}

int tableFeedAudio(void* obj, const int16_t* pcm, size_t n) {
  if (!obj) return BE_STATUS_BAD_ARGS;
  return guarded(BE_STATUS_RESOURCE, [&] { return self(obj)->feedAudio(pcm, n); });
}

const be_engine_backend kBackendTable = {
    1, "corvane2-light", nullptr, tableOpen, tableGetInfo, tablePullFrame, tableClose, tableFeedAudio,
    {nullptr, nullptr, nullptr}};

}  // namespace

}  // namespace mirelund::engine

LB_EXPORT const be_engine_backend* be_engine_backend_entry(void) { return &mirelund::engine::kBackendTable; }
