#include "backend/backend_object.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "backend/frame_copy.h"
#include "backend/imx_reader.h"
#include "backend/open_config.h"
#include "backend/temp_dir.h"
#include "tools/teeth_attach.h"

namespace mirelund::engine {
namespace {

constexpr const char* kName = "corvane2-light";
constexpr int kSampleRate = 16000;
constexpr int kSamplesPerFrame = 640;
constexpr int kFps = 25;
constexpr int kKpValues = le::kHostKpRows * 3;
constexpr size_t kMaxPushChunk = INT_MAX / 2;  // the core takes int counts

std::string unwrapRefusal(int status, const char* path) {
  char line[64];
  std::snprintf(line, sizeof line, "%d", status);
  return std::string("[corvane2-light] open refused: packed-container unwrap failed (status ") + line + ") for " +
         path;
}

// Why a container is no bundle, read from its manifest before anything is
// unpacked; empty when it may be one.
std::string manifestProblem(const char* path) {
  constexpr uint64_t kMaxManifest = 4u << 20;
  std::vector<container::ImxEntry> entries;
  if (container::imx_list_entries(path, entries) != container::kImxOk) return "its table of contents is unreadable";
  const container::ImxEntry* manifest = nullptr;
  for (const container::ImxEntry& e : entries)
    if (e.name == "manifest.json") manifest = &e;  // the last entry of the name wins
  if (!manifest) return "it has no manifest.json";
  if (manifest->size > kMaxManifest) return "its manifest.json is larger than 4 MiB";
  std::vector<uint8_t> text;
  if (container::imx_read_manifest(path, text) != container::kImxOk) return "its manifest.json is unreadable";
  if (std::string(text.begin(), text.end()).find("le-bundle-v0") == std::string::npos)
    return "its manifest.json is not an le-bundle-v0 manifest";
  return {};
}

void zeroResult(be_engine_frame_result* result) {
  if (result) std::memset(result, 0, sizeof *result);
}

// Everything an open creates, taken back unless the open completes.
struct OpenRollback {
  std::string tempDir;
  EnvPublisher env;
  le_ctx* ctx = nullptr;
  bool committed = false;
  ~OpenRollback() {
    if (committed) return;
    le_destroy(ctx);
    env.rollback();
    if (!tempDir.empty()) removeTree(tempDir);
  }
};

}  // namespace

int Backend::open(const char* path, const be_engine_open_options* options, Backend** out, std::string* reason) {
  if (out) *out = nullptr;
  if (!path || !out) return BE_STATUS_BAD_ARGS;
  auto refuse = [reason](int status, const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    if (reason) *reason = line;
    return status;
  };
  if (!threadsOptionValid(options))
    return refuse(BE_STATUS_BAD_ARGS, "[corvane2-light] open refused: threads " + std::to_string(options->threads) +
                                          " is outside 0.." + std::to_string(kMaxThreads));
  OpenRollback rb;
  std::string bundleDir = path;
  if (container::imx_is_container(path)) {
    // Nothing is unpacked from a container that is not a bundle.
    const std::string notBundle = manifestProblem(path);
    if (!notBundle.empty()) {
      std::fprintf(stderr, "[corvane2-light] %s: %s\n", path, notBundle.c_str());
      return refuse(BE_STATUS_UNWRAP_FAILED, unwrapRefusal(BE_STATUS_UNWRAP_FAILED, path));
    }
    rb.tempDir = makePrivateTempDir();
    int status = rb.tempDir.empty() ? BE_STATUS_RESOURCE : BE_STATUS_OK;
    std::string why;
    if (status == BE_STATUS_OK && container::imx_extract_all(path, rb.tempDir.c_str(), 0, &why) != container::kImxOk)
      status = BE_STATUS_UNWRAP_FAILED;
    if (!why.empty()) std::fprintf(stderr, "[corvane2-light] %s: %s\n", path, why.c_str());
    if (status != BE_STATUS_OK) return refuse(status, unwrapRefusal(status, path));
    bundleDir = rb.tempDir;
  }

  const std::string modelKey = chooseModelKey(bundleDir, options ? options->model_key : nullptr);
  const int threads = chooseThreadCount(options, std::thread::hardware_concurrency());
  const char* provider = (options && options->prefer_gpu != 0) ? "coreml:all" : "";

  rb.ctx = le_create(bundleDir.c_str(), modelKey.c_str(), threads, provider);
  if (!rb.ctx)
    return refuse(BE_STATUS_ENGINE_FAILED, "[corvane2-light] open refused: le_create(" + bundleDir + ", " + modelKey +
                                               ") failed: " + le_last_error());

  std::unique_ptr<Backend> b(new (std::nothrow) Backend());
  if (!b) return BE_STATUS_RESOURCE;
  b->width_ = le_width(rb.ctx);
  b->height_ = le_height(rb.ctx);
  b->nt_ = le_nt(rb.ctx);
  b->driveFrames_ = le_drive_frames(rb.ctx);

  publishEngineEnvironment(pluginDirectory(), rb.env);
  b->utterance_ = utteranceProducerSelected();
  if (b->utterance_) {
    le_utt_opts o{};
    o.motion_dir = bundleDir.c_str();
    o.threads = threads;
    o.ep = provider;
    o.steady_model = "b24_fp32";
    o.eager = -2;
    o.hold_s = 0.6;
    b->utt_ = le_utt_create(rb.ctx, &o);
    if (!b->utt_)
      return refuse(BE_STATUS_ENGINE_FAILED,
                    std::string("[corvane2-light] open refused: le_utt_create failed: ") + le_utt_last_error());
    // The bundle's borrowed teeth, as le_speak and le_live attach them; a
    // bundle whose teeth members do not load is refused, not served without.
    if (teethSelected()) {
      try {
        const le::tools::TeethAttach teeth = le::tools::attachTeeth(b->utt_, bundleDir);
        std::fprintf(stderr, "[corvane2-light] %s\n", teeth.status.c_str());
      } catch (const std::exception& e) {
        return refuse(BE_STATUS_ENGINE_FAILED, std::string("[corvane2-light] open refused: ") + e.what());
      }
    } else {
      std::fprintf(stderr, "[corvane2-light] teeth: left out (MIRELUND_CORVANE2_TEETH=0)\n");
    }
  } else {
    // Without a stream the object still serves idle frames; audio calls report no producer.
    b->a2x_ = le_a2x_create(bundleDir.c_str(), threads);
    if (b->a2x_) le_a2x_reset(b->a2x_, 0, 1, 1);
  }
  b->ctx_ = rb.ctx;
  b->tempDir_ = rb.tempDir;
  rb.committed = true;
  *out = b.release();
  return BE_STATUS_OK;
}

Backend::~Backend() {
  le_utt_destroy(utt_);
  le_a2x_destroy(a2x_);
  le_destroy(ctx_);
  if (!tempDir_.empty()) removeTree(tempDir_);
}

int Backend::feedAudio(const int16_t* pcm, size_t n) {
  if (!pcm && n > 0) return BE_STATUS_BAD_ARGS;
  if (n == 0) {
    endUtterance();
    return BE_STATUS_OK;
  }
  return utterance_ ? feedUtterance(pcm, n) : feedDirect(pcm, n);
}

bool Backend::flushHeld() {
  if (!utt_ || held_.empty() || le_utt_ready(utt_) == 0) return true;
  bool ok = true;
  for (size_t at = 0; at < held_.size() && ok; at += kMaxPushChunk) {
    const size_t n = std::min(kMaxPushChunk, held_.size() - at);
    ok = le_utt_push_audio(utt_, held_.data() + at, static_cast<int>(n)) == 1;
  }
  held_.clear();
  return ok;
}

int Backend::feedUtterance(const int16_t* pcm, size_t n) {
  if (!utt_) return BE_STATUS_NOT_READY;
  if (le_utt_ready(utt_) == 0) {
    held_.insert(held_.end(), pcm, pcm + n);
    return BE_STATUS_OK;
  }
  bool ok = flushHeld();
  for (size_t at = 0; at < n && ok; at += kMaxPushChunk)
    ok = le_utt_push_audio(utt_, pcm + at, static_cast<int>(std::min(kMaxPushChunk, n - at))) == 1;
  return ok ? BE_STATUS_OK : BE_STATUS_RENDER_FAILED;
}

int Backend::pushA2x(const int16_t* pcm, size_t n) {
  std::vector<float> samples(std::min(n, kMaxPushChunk));
  for (size_t at = 0; at < n; at += samples.size()) {
    const size_t m = std::min(samples.size(), n - at);
    for (size_t i = 0; i < m; ++i) samples[i] = static_cast<float>(pcm[at + i]) * (1.0f / 32768.0f);
    if (le_a2x_push(a2x_, samples.data(), static_cast<int>(m)) != 1) return BE_STATUS_RENDER_FAILED;
  }
  speechActive_ = true;
  return BE_STATUS_OK;
}

int Backend::feedDirect(const int16_t* pcm, size_t n) {
  if (!a2x_) return BE_STATUS_NOT_READY;
  if (finishSent_) {
    postFinish_.insert(postFinish_.end(), pcm, pcm + n);
    return BE_STATUS_OK;
  }
  return pushA2x(pcm, n);
}

void Backend::endUtterance() {
  if (utterance_) {
    if (!utt_) return;
    flushHeld();
    le_utt_end_utterance(utt_);
    return;
  }
  if (a2x_ && speechActive_ && !finishSent_) {
    le_a2x_finish(a2x_);
    finishSent_ = true;
  }
}

void Backend::interrupt() {
  if (utterance_) {
    if (utt_) le_utt_interrupt(utt_);
  } else if (a2x_) {
    le_a2x_reset(a2x_, 0, 1, 1);
    speechActive_ = false;
    finishSent_ = false;
    pulledInUtterance_ = 0;
    postFinish_.clear();
  }
  held_.clear();
}

int Backend::pullFrame(int index, unsigned char* dst, size_t dstLen, be_engine_frame_result* result) {
  if (!dst || dstLen < frameBytes()) {
    zeroResult(result);
    return BE_STATUS_BUFFER_SMALL;
  }
  return utterance_ ? pullUtterance(dst, dstLen, result) : pullDirect(index, dst, dstLen, result);
}

int Backend::pullUtterance(unsigned char* dst, size_t dstLen, be_engine_frame_result* result) {
  zeroResult(result);
  if (!utt_) return BE_STATUS_OK;
  flushHeld();
  le_utt_frame_info fi{};
  if (le_utt_pull_frame(utt_, dst, dstLen, &fi) == 1 && result) {
    result->frame_index = fi.src_index;
    result->byte_count = static_cast<int32_t>(frameBytes());
    result->kind = fi.kind;
    result->has_frame = 1;
  }
  return BE_STATUS_OK;
}

int Backend::copyFrame(unsigned char* dst, int frameIndex, int kind, be_engine_frame_result* result) {
  rgbaToRgb(rgba_.data(), dst, static_cast<size_t>(width_) * height_);
  zeroResult(result);
  if (result) {
    result->frame_index = frameIndex;
    result->byte_count = static_cast<int32_t>(frameBytes());
    result->kind = kind;
    result->has_frame = 1;
  }
  return BE_STATUS_OK;
}

int Backend::pullDirect(int index, unsigned char* dst, size_t /*dstLen*/, be_engine_frame_result* result) {
  rgba_.resize(static_cast<size_t>(width_) * height_ * 4);
  if (a2x_ && speechActive_) {
    int32_t idx = 0;
    float xs[kKpValues], xd[kKpValues];
    if (le_a2x_pull(a2x_, &idx, xs, xd, 1) == 1) {
      ++pulledInUtterance_;
      if (le_render_kp_rgba(ctx_, idx, xs, xd, rgba_.data(), rgba_.size()) != 1) {
        zeroResult(result);
        return BE_STATUS_RENDER_FAILED;
      }
      return copyFrame(dst, idx, 1, result);
    }
    if (!finishSent_) {
      zeroResult(result);
      return BE_STATUS_OK;
    }
    const int total = le_a2x_total(a2x_);
    if (total >= 0 && total > pulledInUtterance_) {
      zeroResult(result);
      return BE_STATUS_RENDER_FAILED;
    }
    // The utterance is over: audio that came after its finish starts the next one.
    le_a2x_reset(a2x_, 0, 1, 1);
    finishSent_ = false;
    pulledInUtterance_ = 0;
    speechActive_ = false;
    if (!postFinish_.empty()) {
      std::vector<int16_t> next;
      next.swap(postFinish_);
      zeroResult(result);
      return pushA2x(next.data(), next.size());
    }
  }
  int frame = index;
  if (frame < 0) {
    frame = driveFrames_ > 0 ? static_cast<int>(idleCounter_ % static_cast<uint64_t>(driveFrames_)) : 0;
    ++idleCounter_;
  }
  if (le_render_drive_rgba(ctx_, frame, rgba_.data(), rgba_.size()) != 1) {
    zeroResult(result);
    return BE_STATUS_RENDER_FAILED;
  }
  return copyFrame(dst, frame, 0, result);
}

void Backend::info(be_engine_info* info) const {
  auto* bytes = reinterpret_cast<unsigned char*>(info);
  std::memset(bytes + 31, 0, sizeof(be_engine_info) - 31);
  std::strncpy(info->name, kName, 31);
  info->name[31] = '\0';
  info->width = width_;
  info->height = height_;
  info->sample_rate = kSampleRate;
  info->samples_per_frame = kSamplesPerFrame;
  info->frame_count = nt_;
  info->fps = kFps;
}

}  // namespace mirelund::engine
