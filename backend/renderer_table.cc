// The renderer table: the same backend object behind the renderer interface,
// with its own records and return codes.
#include <cstring>
#include <string>

#include "backend/backend_export.h"
#include "backend/backend_object.h"
#include "backend/guard.h"
#include "backend/options_scan.h"

namespace mirelund::engine {
namespace {

constexpr int kLogError = 3;

// Renderer code of each backend status 0..13.
constexpr int kRendererCode[14] = {0, 2, 3, 4, 14, 15, 2, 2, 14, 16, 10, 8, 8, 12};

int rendererCode(int status) {
  return (status >= 0 && status < 14) ? kRendererCode[status] : MIRELUND_RC_BAD_ARGS;
}

Backend* self(void* obj) { return static_cast<Backend*>(obj); }

int rendererOpen(const mirelund_host_services* services, const char* path, const char* /*blob*/,
                 const char* options_json, void** out) {
  return guarded(rendererCode(BE_STATUS_RESOURCE), [&] {
    const RendererOptions scanned = scanRendererOptions(options_json);
    be_engine_open_options options;
    std::memset(&options, 0, sizeof options);
    options.prefer_gpu = scanned.preferGpu ? 1 : 0;
    options.model_key = scanned.modelKey.empty() ? nullptr : scanned.modelKey.c_str();
    options.threads = scanned.threads;
    Backend* b = nullptr;
    std::string reason;
    const int status = Backend::open(path, &options, out ? &b : nullptr, &reason);
    if (out) *out = b;
    if (status != BE_STATUS_OK && services && services->log) {
      // The refusal's own line, which carries the core's text when the core
      // refused: the thread's last core error may be older than this open.
      const std::string line = reason.empty() ? "[corvane2-light] open refused, status " + std::to_string(status) : reason;
      services->log(services->user, kLogError, line.c_str());
    }
    return rendererCode(status);
  });
}

int rendererInfo(void* obj, mirelund_renderer_info* info) {
  if (!obj || !info) return MIRELUND_RC_BAD_ARGS;
  std::memset(info, 0, sizeof *info);
  info->size = sizeof *info;
  info->width = self(obj)->width();
  info->height = self(obj)->height();
  info->fps = 25;
  info->sample_rate = 16000;
  info->samples_per_frame = 640;
  info->channels = 1;
  return MIRELUND_RC_OK;
}

int rendererPushAudio(void* obj, const int16_t* pcm, size_t n) {
  if (n == 0) return MIRELUND_RC_OK;
  if (!obj || !pcm) return MIRELUND_RC_BAD_ARGS;
  return guarded(rendererCode(BE_STATUS_RESOURCE), [&] { return rendererCode(self(obj)->feedAudio(pcm, n)); });
}

int rendererPullFrame(void* obj, unsigned char* dst, size_t dst_len, mirelund_renderer_frame* frame) {
  if (!obj) return rendererCode(BE_STATUS_BAD_ARGS);
  return guarded(rendererCode(BE_STATUS_RENDER_FAILED), [&] {
    be_engine_frame_result r;
    const int status = self(obj)->pullFrame(-1, dst, dst_len, &r);
    if (status != BE_STATUS_OK) return rendererCode(status);
    if (!r.has_frame) return static_cast<int>(MIRELUND_RC_NO_FRAME);
    if (frame) {
      std::memset(frame, 0, sizeof *frame);
      frame->size = sizeof *frame;
      frame->frame_index = static_cast<uint64_t>(static_cast<uint32_t>(r.frame_index));
      frame->kind = static_cast<uint32_t>(r.kind);
      frame->one = 1;
      frame->byte_count = static_cast<uint64_t>(r.byte_count);
    }
    return static_cast<int>(MIRELUND_RC_OK);
  });
}

int rendererFinish(void* obj) {
  if (!obj) return MIRELUND_RC_BAD_ARGS;
  guarded(0, [&] { return self(obj)->feedAudio(nullptr, 0); });
  return MIRELUND_RC_OK;
}

int rendererPerform(void* /*obj*/, const char* /*action*/, const char* /*args*/) { return MIRELUND_RC_NOT_SUPPORTED; }

int rendererInterrupt(void* obj) {
  if (!obj) return MIRELUND_RC_BAD_ARGS;
  guardedVoid([&] { self(obj)->interrupt(); });
  return MIRELUND_RC_OK;
}

void rendererClose(void* obj) {
  guardedVoid([&] { delete self(obj); });
}

const mirelund_renderer kRendererTable = {
    sizeof(mirelund_renderer), 1, "corvane2-light", "onnxruntime-cpu", rendererOpen, rendererInfo,
    rendererPushAudio, rendererPullFrame, rendererFinish, rendererPerform, rendererInterrupt, rendererClose};

}  // namespace
}  // namespace mirelund::engine

LB_EXPORT const mirelund_renderer* mirelund_renderer_entry(int version) {
  return version == 1 ? &mirelund::engine::kRendererTable : nullptr;
}
