#include "live/utt_source.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "le/le.h"
#include "tools/teeth_attach.h"

namespace le::live {

int a2xLookAheadFrames(const std::string& motionDir) {
  constexpr int kBlock = 8;
  int right = 12;
  if (const char* r = std::getenv("LE_A2X_W2V_RIGHT"); r && *r) right = std::max(0, std::atoi(r));
  int model = 0;
  char path[4096];
  if (le_bundle_resolve_member(motionDir.c_str(), "a2x_meta.json", path, sizeof path) == 1) {
    // A meta the stream cannot read fails the stream itself; here it only
    // leaves the model's share out.
    const nlohmann::json meta = nlohmann::json::parse(std::ifstream(path), nullptr, false);
    auto integer = [&](const char* key, int fallback) {
      if (!meta.is_object()) return fallback;
      const auto it = meta.find(key);
      return it != meta.end() && it->is_number_integer() ? it->get<int>() : fallback;
    };
    model = std::max(0, integer("window", 0)) * std::max(1, integer("layers", 6));
  }
  return kBlock + std::max(model, right + kBlock);
}

void setLiveEngineDefaults() {
  setenv("LE_UTT_PIPELINE_PASTE", "1", 0);
  setenv("LE_ORT_ARENA_SHRINK", "0", 0);
}

UttSource::UttSource(const std::string& bundle, const std::string& modelKey, int threads, bool teeth,
                     tools::AnimationKind kind) {
  ctx_ = le_create(bundle.c_str(), modelKey.c_str(), threads, nullptr);
  if (!ctx_) throw std::runtime_error("Cannot open bundle " + bundle + ": " + le_last_error());
  try {
    animation_ = std::make_unique<tools::AnimationChoice>(bundle, kind);
  } catch (...) {
    le_destroy(ctx_);
    throw;
  }
  width_ = le_width(ctx_);
  height_ = le_height(ctx_);
  lookAhead_ = kind == tools::AnimationKind::kA2x ? a2xLookAheadFrames(animation_->motionDir()) : kMotionLookAheadFrames;
  le_utt_opts opts{};
  opts.motion_dir = animation_->motionDir().c_str();
  opts.eager = animation_->eager();
  utt_ = le_utt_create(ctx_, &opts);
  if (!utt_) {
    const std::string why = le_utt_last_error();
    le_destroy(ctx_);
    throw std::runtime_error("Cannot start the utterance pipeline on " + bundle + ": " + why);
  }
  if (!teeth) return;
  try {
    teeth_ = le::tools::attachTeeth(utt_, bundle).status;
  } catch (...) {
    le_utt_destroy(utt_);
    le_destroy(ctx_);
    throw;
  }
}

UttSource::~UttSource() {
  le_utt_destroy(utt_);
  le_destroy(ctx_);
}

int UttSource::ready() {
  const int r = le_utt_ready(utt_);
  if (r < 0 && failure_.empty()) failure_ = le_utt_last_error();
  return r;
}

void UttSource::pushAudio(const int16_t* pcm, int n) { le_utt_push_audio(utt_, pcm, n); }
void UttSource::endUtterance() { le_utt_end_utterance(utt_); }
void UttSource::interrupt() { le_utt_interrupt(utt_); }

bool UttSource::pullFrame(uint8_t* rgb, std::size_t len, FrameInfo& info) {
  le_utt_frame_info fi{};
  if (le_utt_pull_frame(utt_, rgb, len, &fi) != 1) return false;
  info.seq = fi.seq;
  info.kind = fi.kind;
  info.srcIndex = fi.src_index;
  info.speechIndex = fi.speech_index;
  return true;
}

SourceStats UttSource::stats() {
  le_utt_stats st{};
  le_utt_get_stats(utt_, &st);
  SourceStats s;
  s.framesPulled = st.frames_pulled;
  s.speechFramesPulled = st.speech_frames_pulled;
  s.utterances = st.utterances;
  s.firstFrameLatencyMs = st.first_frame_latency_ms;
  s.renderMsAvg = st.render_ms_avg;
  s.state = st.state;
  return s;
}

}  // namespace le::live
