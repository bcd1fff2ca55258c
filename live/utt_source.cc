#include "live/utt_source.h"

#include <stdexcept>

#include "le/le.h"
#include "tools/teeth_attach.h"

namespace le::live {

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
