#include "core/session/utterance_pipeline.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "core/audio/a2x_tables.h"
#include "core/bundle/member_names.h"
#include "core/render/renderer.h"
#include "core/session/context.h"
#include "core/session/source_lag.h"
#include "core/telemetry/telemetry.h"

namespace le {
namespace {

constexpr int kRing = 8;
constexpr auto kWait = std::chrono::milliseconds(2);
// How long a thread with nothing to do sleeps when no event wakes it: a
// safety net, not a poll (every event that brings work notifies).
constexpr auto kIdleWait = std::chrono::milliseconds(40);
constexpr int kKp = 63;
// Finished frames kept ready ahead of a host that pulls at the frame rate,
// so that a pull never waits for a decode and the first speech frame of an
// utterance lands behind them rather than on an empty ring.
constexpr int kIdleLead = 2;

const char* envOrNull(const char* name) { return std::getenv(name); }

int wrap(int i, int n) { return n <= 0 ? 0 : ((i % n) + n) % n; }

// A mean that follows recent samples (0 until the first one): the host's
// pace and the stages' times drift with the machine's load.
void addToRunningMean(double& mean, double sample) { mean = mean > 0 ? mean * 0.8 + sample * 0.2 : sample; }

// Adds the wall milliseconds of its scope to a sum.
class WallMs {
 public:
  explicit WallMs(double& sum) : sum_(sum), t0_(std::chrono::steady_clock::now()) {}
  ~WallMs() { sum_ += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0_).count(); }
  WallMs(const WallMs&) = delete;
  WallMs& operator=(const WallMs&) = delete;

 private:
  double& sum_;
  std::chrono::steady_clock::time_point t0_;
};

// Process-wide counts of what every pipeline did, for the telemetry document.
struct UttTelemetry {
  telemetry::Counter& published = telemetry::counter("utt.frames_published");
  telemetry::Counter& idle = telemetry::counter("utt.idle_frames");
  telemetry::Counter& speech = telemetry::counter("utt.speech_frames");
  telemetry::Counter& ramp = telemetry::counter("utt.ramp_frames");
  telemetry::Counter& utterances = telemetry::counter("utt.utterances");
  telemetry::Counter& interrupts = telemetry::counter("utt.interrupts");
  telemetry::Counter& cancelledRenders = telemetry::counter("utt.renders_cancelled");
  telemetry::Counter& ramps = telemetry::counter("utt.ramps");
  telemetry::Counter& emptyPulls = telemetry::counter("utt.empty_pulls");
  telemetry::Counter& renderFailures = telemetry::counter("utt.render_failures");
  telemetry::Counter& teethComposed = telemetry::counter("utt.teeth_composed");
  telemetry::Counter& teethFailures = telemetry::counter("utt.teeth_failures");
  telemetry::Counter& teethSkipped = telemetry::counter("utt.teeth_skipped_for_a_due_pull");
  telemetry::Counter& teethStopped = telemetry::counter("utt.teeth_passes_stopped");
  telemetry::Value& firstFrameMs = telemetry::value("utt.first_frame_ms");
  telemetry::Value& renderMs = telemetry::value("utt.render_ms");
  telemetry::Value& pasteMs = telemetry::value("utt.paste_ms");
  telemetry::Counter& ofKind(int kind) { return kind == 1 ? speech : kind == 2 ? ramp : idle; }
};

UttTelemetry& tel() {
  static UttTelemetry t;
  return t;
}

}  // namespace

double UtterancePipeline::nowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

UtterancePipeline::UtterancePipeline(le_ctx* ctx, const le_utt_opts& opts, SourceOpener opener)
    : ctx_(ctx), opener_(std::move(opener)) {
  if (!opts.motion_dir || !*opts.motion_dir) throw std::runtime_error("opts.motion_dir required");
  motionDir_ = opts.motion_dir;
  workers_ = opts.threads >= 1 ? opts.threads : ctx->threads;
  ep_ = opts.ep ? opts.ep : "";
  a2x_ = motionDirIsA2x(motionDir_);
  pastePipe_ = a2x_;
  if (const char* v = envOrNull("LE_UTT_PIPELINE_PASTE")) pastePipe_ = std::strtol(v, nullptr, 10) != 0;
  steadyModel_ = opts.steady_model && *opts.steady_model ? opts.steady_model : "b24_fp32";
  if (const char* v = envOrNull("LE_STEADY_MODEL")) steadyModel_ = v;
  if (opts.eager == -2) {
    hybrid_ = true;
    eager_ = -1;
  } else if (opts.eager >= 1) {
    eager_ = opts.eager;
  } else {
    eager_ = -1;
    const char* h = envOrNull("LE_UTT_HYBRID");
    hybrid_ = h && *h && std::strcmp(h, "0") != 0;
  }
  curEager_ = hybrid_ ? 3 : eager_;
  holdMs_ = opts.hold_s == 0 ? 600.0 : opts.hold_s < 0 ? -1.0 : opts.hold_s * 1000.0;
  endRamp_ = opts.ramp_frames >= 1 ? opts.ramp_frames : 6;
  interruptRamp_ = opts.interrupt_ramp_frames >= 1 ? opts.interrupt_ramp_frames : 4;

  const Manifest& m = ctx->manifest;
  NT_ = m.NT;
  W_ = m.W;
  H_ = m.H;
  crop_ = m.crop;
  // Without exactly NT x 63 loop keypoints there are no ramps.
  a2x::readExactFloats(resolveMember(motionDir_, "xs_target.bin"), size_t(NT_) * kKp, &xsTarget_);
  // The audio-to-expression stream's driving keypoints are its loop frame's
  // own plus offsets that do not depend on the frame; keypoint motion's do.
  movable_ = a2x_ && !xsTarget_.empty();

  bufIdx_.resize(kBufferFrames);
  bufXs_.resize(size_t(kBufferFrames) * kKp);
  bufXd_.resize(size_t(kBufferFrames) * kKp);
  bufSrcCpu_.resize(kBufferFrames);
  bufAvailMs_.resize(kBufferFrames);
  resIdx_.resize(kBufferFrames);
  resXs_.resize(size_t(kBufferFrames) * kKp);
  resXd_.resize(size_t(kBufferFrames) * kKp);
  for (Slot& s : ring_) s.rgb.assign(size_t(W_) * size_t(H_) * 3, 0);
  trace_ = envOrNull("LE_UTT_TRACE") != nullptr;

  run_ = std::thread([this] { runLoop(); });
  warm_ = std::thread([this] { warmUp(); });
  dispatch_ = std::thread([this] { dispatchLoop(); });
  if (pastePipe_) paste_ = std::thread([this] { pasteLoop(); });
}

UtterancePipeline::~UtterancePipeline() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
    pasteStop_ = true;
    teethStop_ = true;
  }
  cv_.notify_all();
  pasteCv_.notify_all();
  teethCv_.notify_all();
  if (teethThread_.joinable()) teethThread_.join();
  if (paste_.joinable()) paste_.join();
  if (run_.joinable()) run_.join();
  if (warm_.joinable()) warm_.join();
  {
    std::lock_guard<std::mutex> lk(dmu_);
    dispatchStop_ = true;
  }
  dcv_.notify_all();
  if (dispatch_.joinable()) dispatch_.join();
  source_.reset();
  if (envOrNull("LE_UTT_STAGE_REPORT")) {
    const double sf = stageFrames_ > 0 ? double(stageFrames_) : 1.0;
    if (jobsC_ > 0) {
      std::fprintf(stderr,
                   "[le_utt-stage] pipe=%d jobsB=%lld jobsC=%lld stageA_ms=%.3f stageA_work_ms=%.3f "
                   "stageA_wait_ms=%.3f stageB_ms=%.3f stageC_ms=%.3f deliver_lat_ms=%.3f over %lld speech frames\n",
                   teethPipelined_ ? 1 : 0, (long long)jobsB_, (long long)jobsC_, (stageAWork_ + stageAWait_) / sf,
                   stageAWork_ / sf, stageAWait_ / sf, jobsB_ > 0 ? stageB_ / double(jobsB_) : 0.0,
                   stageC_ / double(jobsC_), deliverLat_ / sf, (long long)stageFrames_);
    } else {
      std::fprintf(stderr,
                   "[le_utt-stage] MEASURED NOTHING — the stage report was asked for and the paste-job counter "
                   "never advanced (pipe=%d jobsB=%lld jobsC=0, %lld speech frames delivered). "
                   "stageA/stageB/stageC and the deliver latency are NOT reported rather than reported as zero: "
                   "on this path the paste does not run through the counted queue.\n",
                   teethPipelined_ ? 1 : 0, (long long)jobsB_, (long long)speechPulled_);
    }
  }
}

// ---- Host side ----

int UtterancePipeline::ready(std::string* error) {
  std::lock_guard<std::mutex> lk(mu_);
  if (sourceFailed_) {
    *error = sourceError_;
    return -1;
  }
  return source_ ? 1 : 0;
}

bool UtterancePipeline::pushAudio(const int16_t* pcm, int n, std::string* error) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (n > 0 && sourceFailed_) {
      if (error) *error = sourceError_;
      return false;
    }
    lastPushMs_ = nowMs();
    // Only samples start an utterance's clock; an empty push refreshes the
    // hold alone.
    if (n > 0 && pending_.empty()) firstPushMs_ = lastPushMs_;
    if (n > 0 && !endMarks_.empty() && endMarks_.back().at == pending_.size()) endMarks_.back().nextMs = lastPushMs_;
    for (int i = 0; i < n; ++i) pending_.push_back(float(pcm[i]) * (1.0f / 32768.0f));
  }
  cv_.notify_all();
  pasteCv_.notify_all();
  return true;
}

void UtterancePipeline::endUtterance() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    endMarks_.push_back({pending_.size(), 0.0});
  }
  cv_.notify_all();
}

void UtterancePipeline::interrupt() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    pending_.clear();
    endMarks_.clear();
    readIdx_ = writeIdx_;
    pasteQueue_.clear();
    teethQueue_.clear();
    teethPasteWaiting_ = 0;
    ++generation_;
    interruptMs_ = nowMs();
    // A render for the old utterance would hold up the ramp the host now
    // waits for: stop it at once rather than at its next checkpoint.
    if (rendering_ && !renderCancelled_) {
      rendering_->cancel();
      renderCancelled_ = true;
      tel().cancelledRenders.add();
    }
  }
  tel().interrupts.add();
  cv_.notify_all();
  pasteCv_.notify_all();
  teethCv_.notify_all();
}

int UtterancePipeline::framesAvailable() {
  std::lock_guard<std::mutex> lk(mu_);
  return int(writeIdx_ - readIdx_);
}

int UtterancePipeline::pullFrame(uint8_t* dst, size_t dstLen, le_utt_frame_info* info, float* kp) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    // The host's pace, from its calls whether or not a frame was ready.
    const double now = nowMs();
    if (lastPullMs_ > 0) {
      const double gap = now - lastPullMs_;
      addToRunningMean(pullPeriodMs_, gap);
    }
    lastPullMs_ = now;
    if (writeIdx_ == readIdx_) {
      tel().emptyPulls.add();
      return 0;
    }
    if (dstLen < size_t(W_) * size_t(H_) * 3) return -1;
    const Slot& s = ring_[readIdx_ % kRing];
    std::memcpy(dst, s.rgb.data(), s.rgb.size());
    if (info) {
      info->seq = s.seq;
      info->kind = s.kind;
      info->src_index = s.src;
      info->speech_index = s.speechIndex;
    }
    if (kp) std::memcpy(kp, s.kp, sizeof s.kp);
    pulledAny_ = true;
    lastPulledKind_ = s.kind;
    lastPulledSrc_ = s.src;
    std::memcpy(lastPulledKp_, s.kp, sizeof lastPulledKp_);
    ++readIdx_;
    ++framesPulled_;
    if (s.kind == 1) ++speechPulled_;
  }
  cv_.notify_all();
  return 1;
}

le_utt_stats UtterancePipeline::stats() {
  std::lock_guard<std::mutex> lk(mu_);
  le_utt_stats s{};
  s.frames_pulled = framesPulled_;
  s.speech_frames_pulled = speechPulled_;
  s.utterances = utterances_;
  s.first_frame_latency_ms = firstFrameLatency_;
  s.render_ms_avg = renderAvg_;
  s.state = state_.load();
  return s;
}

int UtterancePipeline::renderStatus(int64_t* failures, std::string* message) {
  std::lock_guard<std::mutex> lk(mu_);
  if (failures) *failures = failures_;
  if (message) *message = failureText_;
  return fatal_ ? -1 : 0;
}

int UtterancePipeline::chunkBatch() {
  std::lock_guard<std::mutex> lk(mu_);
  return chunk_ ? chunk_->batch() : 0;
}

void UtterancePipeline::recordFailure(const char* stage, const std::string& what, bool fatal) {
  tel().renderFailures.add();
  std::lock_guard<std::mutex> lk(mu_);
  ++failures_;
  failureText_ = std::string("ep=") + (ctx_->renderer ? ctx_->renderer->ep() : "unknown") + " " + stage + ": " +
                 (what.empty() ? "unknown failure" : what);
  if (fatal) fatal_ = true;
}

// ---- Warm-up ----

void UtterancePipeline::warmUp() {
  std::string error;
  std::unique_ptr<AnimationSource> source = opener_(a2x_, motionDir_, workers_, ep_, &error);
  if (!source) {
    std::lock_guard<std::mutex> lk(mu_);
    sourceFailed_ = true;
    sourceError_ = error;
    return;
  }
  source->setEager(hybrid_ ? 3 : eager_);
  // Measured once on silence: the source's lag does not depend on the words.
  const int lag = measureLagFrames(*source);
  std::unique_ptr<Renderer> chunk;
  if (steadyModel_ != "-") {
    try {
      chunk = std::make_unique<Renderer>(ctx_->manifest, *ctx_->identity, steadyModel_, ctx_->threads, ctx_->ep);
    } catch (const std::exception&) {
      chunk.reset();
    }
    Renderer& main = *ctx_->renderer;
    if (chunk && std::strncmp(main.ep(), "coreml-native", 13) == 0 &&
        std::strncmp(chunk->ep(), "coreml-native", 13) != 0) {
      std::fprintf(stderr,
                   "[le_utt] steady chunk renderer '%s' DROPPED (rendering b1-only): this frame graph runs on ep=%s "
                   "while the chunk graph fell back to ep=%s. A chunk that gives up the bundle's own CoreML director "
                   "costs MORE per frame than the per-frame path it was meant to amortize, and letting timing "
                   "choose between two runtimes makes the delivered pixels depend on scheduling.\n",
                   steadyModel_.c_str(), main.ep(), chunk->ep());
      chunk.reset();
    }
  }
  if (ctx_->drive.frames > 0) {
    const int si = ctx_->drive.si[0];
    const float* xs = ctx_->drive.xs.data();
    try {
      ctx_->renderer->render(&si, xs, xs, 1);
      if (chunk) chunk->render(&si, xs, xs, 1);
    } catch (const std::exception& e) {
      recordFailure("warm-up", e.what(), false);
    }
  }
  {
    std::lock_guard<std::mutex> lk(mu_);
    chunk_ = std::move(chunk);
    lagFrames_ = lag;
    source_ = std::move(source);
  }
  cv_.notify_all();
}

// ---- Dispatch ----

void UtterancePipeline::dispatchLoop() {
  for (;;) {
    Request r;
    {
      std::unique_lock<std::mutex> lk(dmu_);
      dcv_.wait(lk, [&] { return reqFlag_ || dispatchStop_; });
      if (dispatchStop_) return;
      reqFlag_ = false;
      r.source = req_.source;
      r.audio = std::move(req_.audio);
      req_.audio.clear();
      r.reset = req_.reset;
      r.start = req_.start;
      r.finish = req_.finish;
      r.eager = req_.eager;
      r.wanted = req_.wanted;
    }
    AnimationSource* s = r.source;
    const double cpu0 = telemetry::threadCpuMs();
    if (r.reset) s->reset(r.start);
    if (r.eager != 0) s->setEager(r.eager);
    if (!r.audio.empty() && !s->push(r.audio.data(), int(r.audio.size())))
      recordFailure("source", "refused " + std::to_string(r.audio.size()) + " samples: " + s->error(), false);
    if (r.finish) s->finish();
    const int avail = s->avail();
    int pulled = 0;
    const int want = std::min(avail, std::min(r.wanted, kBufferFrames));
    if (want > 0) pulled = std::max(0, s->pull(resIdx_.data(), resXs_.data(), resXd_.data(), want));
    const int total = s->total();
    const double cpu = telemetry::threadCpuMs() - cpu0;
    {
      std::lock_guard<std::mutex> lk(dmu_);
      resCpuMs_ = cpu;
      resPulled_ = pulled;
      resAvail_ = std::max(0, avail - pulled);
      resTotal_ = total;
      resFlag_ = true;
    }
    cv_.notify_all();
    dcv_.notify_all();
  }
}

void UtterancePipeline::postRequest(bool finishDue, int eagerChange) {
  {
    std::lock_guard<std::mutex> lk(dmu_);
    req_.source = sourceRun_;
    req_.audio = std::move(accAudio_);
    req_.reset = resetNext_;
    req_.start = resetNext_ ? handover_.begin(idleCursor_, uttSamples_) : idleCursor_;
    if (trace_ && resetNext_)
      std::fprintf(stderr,
                   "[le_utt] utterance starts the source at loop frame %d (idle cursor %d, %lld samples in, lag %d "
                   "frames, first speech frame after %d frames of audio)\n",
                   req_.start, idleCursor_, (long long)uttSamples_, lagRun_, handover_.gateFrames());
    req_.finish = finishDue;
    req_.eager = eagerChange;
    req_.wanted = kBufferFrames - (filled_ - consumed_);
    reqFlag_ = true;
    resFlag_ = false;
  }
  accAudio_.clear();
  resetNext_ = false;
  if (finishDue) finishSent_ = true;
  inFlight_ = true;
  inFlightGen_ = genSeen_;
  dcv_.notify_all();
}

void UtterancePipeline::collectResult() {
  std::lock_guard<std::mutex> lk(dmu_);
  if (!inFlight_ || !resFlag_) return;
  inFlight_ = false;
  resFlag_ = false;
  lastResultMs_ = nowMs();
  if (inFlightGen_ != genSeen_) return;
  const int n = resPulled_;
  if (filled_ + n > kBufferFrames) {
    const int keep = filled_ - consumed_;
    std::memmove(bufIdx_.data(), bufIdx_.data() + consumed_, sizeof(int32_t) * size_t(keep));
    std::memmove(bufXs_.data(), bufXs_.data() + size_t(consumed_) * kKp, sizeof(float) * size_t(keep) * kKp);
    std::memmove(bufXd_.data(), bufXd_.data() + size_t(consumed_) * kKp, sizeof(float) * size_t(keep) * kKp);
    std::memmove(bufSrcCpu_.data(), bufSrcCpu_.data() + consumed_, sizeof(double) * size_t(keep));
    std::memmove(bufAvailMs_.data(), bufAvailMs_.data() + consumed_, sizeof(double) * size_t(keep));
    filled_ = keep;
    rebasedTo_ = std::max(0, rebasedTo_ - consumed_);
    consumed_ = 0;
  }
  const int fit = std::min(n, kBufferFrames - filled_);
  std::memcpy(bufIdx_.data() + filled_, resIdx_.data(), sizeof(int32_t) * size_t(fit));
  std::memcpy(bufXs_.data() + size_t(filled_) * kKp, resXs_.data(), sizeof(float) * size_t(fit) * kKp);
  std::memcpy(bufXd_.data() + size_t(filled_) * kKp, resXd_.data(), sizeof(float) * size_t(fit) * kKp);
  // The source's work is shared by the frames it yields; a request that
  // yields none (audio still inside the source's lag) passes its share on.
  srcCpuCarry_ += resCpuMs_;
  if (fit > 0) {
    std::fill_n(bufSrcCpu_.data() + filled_, fit, srcCpuCarry_ / fit);
    srcCpuCarry_ = 0;
  }
  std::fill_n(bufAvailMs_.data() + filled_, fit, nowMs());
  filled_ += fit;
  srcPulled_ += fit;
  srcHeld_ = resAvail_;
  srcTotal_ = resTotal_;
}

// ---- Run thread ----

void UtterancePipeline::runLoop() {
  for (;;) {
    HostInput in;
    if (!takeHostInput(&in)) return;
    bool produced = false;
    if (in.interrupted) {
      handleInterrupt(in.pulledAny, in.lastKind, in.lastSrc, in.lastKp);
      produced = true;  // the ramp's first frame is due now: no wait before it
    } else {
      collectResult();
      takeAudio(in);
      requestFrames(in);
      produced = produceStep(in);
    }
    if (!produced && !waitForWork()) return;
  }
}

bool UtterancePipeline::takeHostInput(HostInput* in) {
  std::lock_guard<std::mutex> lk(mu_);
  if (stop_) return false;
  // An interrupt is handled before anything pushed after it is taken, so
  // the first audio of the next utterance is not dropped with the old one.
  in->interrupted = generation_ != genSeen_;
  if (in->interrupted) {
    genSeen_ = generation_;
    in->pulledAny = pulledAny_;
    in->lastKind = lastPulledKind_;
    in->lastSrc = lastPulledSrc_;
    std::memcpy(in->lastKp, lastPulledKp_, sizeof in->lastKp);
  } else if (state_ != 3 && !(speaking_ && ended_)) {
    // Audio that comes once the utterance has ended (the source is, or is
    // about to be, told to finish) waits, as during a ramp, and starts the
    // next one.
    in->firstPushMs = firstPushMs_;
    takePending(&in->audio, &in->endRequested);
  }
  in->ringFill = int(writeIdx_ - readIdx_);
  in->handOffQueued = pasteQueue_.size() + teethQueue_.size() + size_t(stageBusy_);
  in->lastPushMs = lastPushMs_;
  in->haveSource = source_ != nullptr;
  sourceRun_ = source_.get();
  chunkRun_ = chunk_.get();
  lagRun_ = lagFrames_;
  teethRun_ = teeth_ != nullptr;
  // A teeth pass answers for a frame when the next one comes: the last frame
  // of a block the source yields goes out with the next block.
  handover_.configure(lagRun_, teethRun_ ? 1 : 0, movable_, NT_);
  return true;
}

void UtterancePipeline::takeAudio(const HostInput& in) {
  if (!in.audio.empty()) {
    if (!speaking_) {
      speaking_ = true;
      resetNext_ = true;
      renderedAny_ = false;
      ended_ = false;
      finishSent_ = false;
      speechCounter_ = 0;
      consumed_ = filled_ = rebasedTo_ = 0;
      srcPulled_ = srcHeld_ = 0;
      srcTotal_ = -1;
      srcCpuCarry_ = 0;
      uttSamples_ = 0;
      rebaseSet_ = false;
      rebase_ = 0;
      handover_.clear();
      uttStartMs_ = in.firstPushMs;
      if (state_ == 0) state_ = 1;
    }
    accAudio_.insert(accAudio_.end(), in.audio.begin(), in.audio.end());
    uttSamples_ += int64_t(in.audio.size());
  }
  if (speaking_ && (in.endRequested || (holdMs_ >= 0 && nowMs() - in.lastPushMs >= holdMs_))) ended_ = true;
}

bool UtterancePipeline::utteranceComplete() const {
  return finishSent_ && !inFlight_ && srcTotal_ >= 0 && srcPulled_ >= srcTotal_;
}

int UtterancePipeline::eagerChange(int buffered, int ringFill) {
  if (hybrid_) {
    const int backlog = buffered + srcHeld_ + ringFill;
    if (!hybridHigh_ && backlog > 23) hybridHigh_ = true;
    else if (hybridHigh_ && backlog < 12) hybridHigh_ = false;
    curEager_ = hybridHigh_ ? 24 : 3;
  } else {
    curEager_ = eager_;
  }
  return curEager_ != lastEagerSent_ ? curEager_ : 0;
}

void UtterancePipeline::requestFrames(const HostInput& in) {
  const int buffered = filled_ - consumed_;
  const int eager = eagerChange(buffered, in.ringFill);
  if (!speaking_ || !in.haveSource || inFlight_) return;
  const int batch = chunkRun_ ? chunkRun_->batch() : 1;
  const bool finishDue = ended_ && !finishSent_;
  const bool chunkShort = batch > 1 && buffered < batch && srcHeld_ > 0;
  if (accAudio_.empty() && !finishDue && !chunkShort) {
    if (buffered >= 8 || utteranceComplete()) return;
    // A request that brings nothing only asks whether the source has made
    // frames meanwhile; it is answered at once and wakes this thread, so
    // asked back to back the two threads would spin. Once per wait is enough.
    if (nowMs() - lastResultMs_ < std::chrono::duration<double, std::milli>(kWait).count()) return;
  }
  postRequest(finishDue, eager);
  if (eager != 0) lastEagerSent_ = eager;
  // The result is collected by a later iteration: the source never holds
  // up rendering (the dispatch thread wakes this one when it is done).
}

bool UtterancePipeline::produceStep(const HostInput& in) {
  const int buffered = filled_ - consumed_;
  if (state_ == 3) {
    if (rampRemaining_ <= 0 || in.ringFill >= kRing) return false;
    // The frame due next is still in the teeth or paste stage (after an
    // interrupt, the first ramp frame, with the host already waiting on it
    // and the ring empty), and rendering the next one now would take the
    // cores it needs, with or without teeth. Right after an interrupt those
    // stages hold only the old utterance's work, which is dropped.
    if (!rampUrgent_ && in.ringFill < kIdleLead && in.handOffQueued > 0) return false;
    produceRamp();
    return true;
  }
  if (buffered >= 1 && in.ringFill <= kRing - 1 && playoutStarted()) {
    // When the ring runs low the frames due next are still in the teeth and
    // paste stages: rendering further ahead now would take the cores they
    // need (the render, the pass and the paste together outrun two cores).
    // One frame on its way is let be: the pass holds the frame before it
    // until this render's frame comes, so waiting for it would serialise
    // render, pass and paste and fall behind the host at speech start.
    if (teethRun_ && in.ringFill < kIdleLead && in.handOffQueued > 1) return false;
    const int n = chooseChunk(buffered);
    if (n <= 0) return false;
    state_ = 2;
    return renderSpeech(n);
  }
  if (speaking_ && buffered == 0 && utteranceComplete()) {
    finishUtterance();
    return true;
  }
  // The loop goes on until the first speech frame is due, so the host never
  // finds the ring empty while the source gathers its look-ahead. Once it
  // is due the loop stops where the source was started.
  // Without a source (warming up, or failed) nothing can be spoken yet, and
  // the loop goes on while the audio waits.
  const bool awaiting = state_ == 1 && !renderedAny_ && (!in.haveSource || handover_.idleDue(uttSamples_, ended_));
  // With a teeth pass the first speech frame takes too long through the pass
  // and the paste to follow a single idle frame in time: the lead stays.
  const bool speechReady = buffered >= 1 && !teethRun_;
  const int lead = awaiting ? handover_.idleLead(uttSamples_, ended_, speechReady, kIdleLead, kRing - 1) : kIdleLead;
  if ((state_ == 0 || awaiting) && in.ringFill + int(in.handOffQueued) < lead) {
    if (!produceIdle()) return false;
    if (awaiting) handover_.idleProduced();
    return true;
  }
  return false;
}

bool UtterancePipeline::playoutStarted() const {
  return renderedAny_ || handover_.speechMayStart(uttSamples_, ended_);
}

void UtterancePipeline::rebaseFrames(int first, int n) {
  if (!rebaseSet_) {
    rebaseSet_ = true;
    const int src = bufIdx_[size_t(first)];
    // Only where the source's own keypoints are the loop's can its frames
    // move along the loop: the driving keypoints keep their offset from them.
    const bool onLoop = movable_ && src >= 0 && src < NT_ &&
                        std::memcmp(bufXs_.data() + size_t(first) * kKp, xsTarget_.data() + size_t(src) * kKp,
                                    sizeof(float) * kKp) == 0;
    rebase_ = onLoop ? wrap(idleCursor_ - src, NT_) : 0;
  }
  // Frames left in the buffer by a failed render were moved already.
  const int from = std::max(first, rebasedTo_);
  rebasedTo_ = std::max(rebasedTo_, first + n);
  if (rebase_ == 0) return;
  for (int i = from; i < first + n; ++i) {
    const int32_t moved = wrap(bufIdx_[size_t(i)] + rebase_, NT_);
    float* xs = bufXs_.data() + size_t(i) * kKp;
    float* xd = bufXd_.data() + size_t(i) * kKp;
    const float* loop = xsTarget_.data() + size_t(moved) * kKp;
    for (int k = 0; k < kKp; ++k) {
      xd[k] = loop[k] + (xd[k] - xs[k]);
      xs[k] = loop[k];
    }
    bufIdx_[size_t(i)] = moved;
  }
}

bool UtterancePipeline::produceIdle() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (teethFailed_) return false;
  }
  Job job;
  job.kind = 0;
  job.src = idleCursor_;
  job.gen = genSeen_;
  job.queuedMs = nowMs();
  idleCursor_ = wrap(idleCursor_ + 1, NT_);
  emit(std::move(job), nullptr);
  return true;
}

bool UtterancePipeline::waitForWork() {
  std::unique_lock<std::mutex> lk(mu_);
  if (stop_) return false;
  // Every event that gives this thread work notifies cv_ (a push, pull,
  // interrupt, publication, source result or warm-up); while speaking it
  // also watches the hold time, so it looks again soon.
  cv_.wait_for(lk, speaking_ || inFlight_ ? kWait : kIdleWait);
  return true;
}

void UtterancePipeline::takePending(std::vector<float>* audio, bool* ended) {
  if (endMarks_.empty()) {
    audio->swap(pending_);
    *ended = false;
    return;
  }
  const EndMark mark = endMarks_.front();
  endMarks_.pop_front();
  audio->assign(pending_.begin(), pending_.begin() + std::ptrdiff_t(mark.at));
  pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(mark.at));
  for (EndMark& m : endMarks_) m.at -= mark.at;
  if (!pending_.empty()) firstPushMs_ = mark.nextMs;
  *ended = true;
}

int UtterancePipeline::chooseChunk(int buffered) {
  const int batch = chunkRun_ ? chunkRun_->batch() : 1;
  if (batch <= 1) return 1;
  if (buffered >= batch) return batch;
  if (buffered + srcHeld_ >= batch && inFlight_) return 0;
  return 1;
}

bool UtterancePipeline::renderSpeech(int n) {
  n = std::min(n, filled_ - consumed_);
  rebaseFrames(consumed_, n);
  const double renderStart = nowMs();
  const int32_t* idx = bufIdx_.data() + consumed_;
  const float* xs = bufXs_.data() + size_t(consumed_) * kKp;
  const float* xd = bufXd_.data() + size_t(consumed_) * kKp;
  const size_t cropFloats = size_t(crop_) * size_t(crop_) * 3;
  const float* crops = nullptr;
  double perFrame = 0, perFrameCpu = 0;
  int count = n;
  bool stale = false;
  if (n > 1 && chunkRun_ && chunkRun_->batch() >= n) {
    const double t0 = nowMs(), cpu0 = telemetry::threadCpuMs();
    try {
      crops = renderUnlessInterrupted(*chunkRun_, idx, xs, xd, n, &stale);
      if (stale) return true;
      perFrame = (nowMs() - t0) / n;
      perFrameCpu = (telemetry::threadCpuMs() - cpu0) / n;
    } catch (const std::exception& e) {
      recordFailure("b24 chunk", e.what(), false);
      crops = nullptr;
    }
  }
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      // The rest of a chunk that an interrupt made stale is not handed on
      // (each hand-off copies a crop).
      std::lock_guard<std::mutex> lk(mu_);
      if (generation_ != genSeen_) return true;
    }
    const float* crop = nullptr;
    double t = perFrame, cpu = perFrameCpu;
    if (crops) {
      crop = crops + size_t(i) * cropFloats;
    } else {
      const double t0 = nowMs(), cpu0 = telemetry::threadCpuMs();
      try {
        crop = renderUnlessInterrupted(*ctx_->renderer, idx + i, xs + size_t(i) * kKp, xd + size_t(i) * kKp, 1,
                                       &stale);
        if (stale) return true;
      } catch (const std::exception& e) {
        recordFailure("render", e.what(), true);
        // The frame is dropped, not retried: the utterance goes on (its
        // speech index shows the gap) and ends as it would.
        ++speechCounter_;
        ++consumed_;
        idleCursor_ = wrap(idx[i] + 1, NT_);
        return false;
      }
      t = nowMs() - t0;
      cpu = telemetry::threadCpuMs() - cpu0;
    }
    const double handStart = nowMs();
    idleCursor_ = idx[i];
    lastSrc_ = idx[i];
    std::memcpy(lastKp_, xd + size_t(i) * kKp, sizeof lastKp_);
    Job job;
    job.crop.assign(crop, crop + cropFloats);
    job.hasCrop = true;
    job.kind = 1;
    job.src = idx[i];
    job.speechIndex = speechCounter_;
    job.urgent = speechCounter_ == 0;
    std::memcpy(job.kp, lastKp_, sizeof job.kp);
    job.gen = genSeen_;
    job.queuedMs = handStart;
    job.uttStartMs = uttStartMs_;
    job.cpu[telemetry::Stage::kRender] = cpu;
    job.cpu[telemetry::Stage::kSource] = bufSrcCpu_[size_t(consumed_)];
    job.availMs = bufAvailMs_[size_t(consumed_)];
    job.renderStartMs = crops ? renderStart : handStart - t;
    job.renderEndMs = handStart;
    double wait = 0;
    emit(std::move(job), &wait);
    ++speechCounter_;
    ++consumed_;
    renderedAny_ = true;
    {
      std::lock_guard<std::mutex> lk(mu_);
      tel().renderMs.record(t);
      renderAvg_ = renderAvgSet_ ? renderAvg_ * 0.9 + t * 0.1 : t;
      renderAvgSet_ = true;
      ++stageFrames_;
      stageAWork_ += t + (nowMs() - handStart) - wait;
      stageAWait_ += wait;
    }
  }
  idleCursor_ = wrap(lastSrc_ + 1, NT_);
  return true;
}

bool UtterancePipeline::teethWouldMissThePull(double now) {
  // A host that pulls faster than a display shows frames has no due time.
  constexpr double kDisplayPeriodMs = 30;
  std::lock_guard<std::mutex> lk(mu_);
  if (!teeth_) return false;
  const double due = lastPullMs_ + pullPeriodMs_ - now, need = teethStageMs_ + publishMs_;
  if (trace_)
    std::fprintf(stderr,
                 "[le_utt] ramp frame ready: the host pulls every %.1f ms, next in %.1f ms; teeth and paste take "
                 "%.1f ms\n",
                 pullPeriodMs_, due, need);
  return pullPeriodMs_ >= kDisplayPeriodMs && need > due;
}

const float* UtterancePipeline::renderUnlessInterrupted(Renderer& r, const int* idx, const float* xs,
                                                        const float* xd, int n, bool* stale) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    *stale = generation_ != genSeen_;
    if (*stale) return nullptr;
    rendering_ = &r;
  }
  const float* crops = nullptr;
  std::exception_ptr failure;
  try {
    crops = r.render(idx, xs, xd, n);
  } catch (...) {
    failure = std::current_exception();
  }
  {
    std::lock_guard<std::mutex> lk(mu_);
    rendering_ = nullptr;
    if (renderCancelled_) {
      r.resume();
      renderCancelled_ = false;
    }
    *stale = generation_ != genSeen_;
  }
  // A cancelled render fails; its frames are dropped like any stale work.
  if (*stale) return nullptr;
  if (failure) std::rethrow_exception(failure);
  return crops;
}

void UtterancePipeline::finishUtterance() {
  speaking_ = false;
  handover_.clear();
  if (!xsTarget_.empty() && renderedAny_) {
    const float* xs = xsTarget_.data() + size_t(lastSrc_) * kKp;
    for (int k = 0; k < kKp; ++k) rampOffset_[k] = lastKp_[k] - xs[k];
    idleCursor_ = wrap(lastSrc_ + 1, NT_);
    rampRemaining_ = rampLength_ = endRamp_;
    rampStartMs_ = nowMs();
    state_ = 3;
    tel().ramps.add();
  } else {
    state_ = 0;
  }
}

void UtterancePipeline::produceRamp() {
  const float w = float(rampRemaining_ - 1) / float(rampLength_);
  const int src = idleCursor_;
  const float* xs = xsTarget_.data() + size_t(src) * kKp;
  float xd[kKp];
  for (int k = 0; k < kKp; ++k) xd[k] = xs[k] + w * rampOffset_[k];
  const double t0 = nowMs();
  const float* crop = nullptr;
  telemetry::FrameCpu cpu;
  try {
    const telemetry::ScopedCpu timer(cpu, telemetry::Stage::kRender);
    bool stale = false;
    crop = renderUnlessInterrupted(*ctx_->renderer, &src, xs, xd, 1, &stale);
    if (stale) return;  // the next iteration starts the new interrupt's ramp
  } catch (const std::exception& e) {
    recordFailure("ramp", e.what(), true);
  }
  if (crop) {
    std::memcpy(lastKp_, xd, sizeof lastKp_);
    lastSrc_ = src;
    Job job;
    job.crop.assign(crop, crop + size_t(crop_) * size_t(crop_) * 3);
    job.hasCrop = true;
    job.kind = 2;
    job.src = src;
    job.speechIndex = -1;
    std::memcpy(job.kp, xd, sizeof job.kp);
    job.gen = genSeen_;
    job.queuedMs = nowMs();
    job.uttStartMs = rampStartMs_;
    job.renderStartMs = t0;
    job.renderEndMs = job.queuedMs;
    job.cpu = cpu;
    // An interrupt emptied the ring: the host waits on this frame, and
    // showing the last frame a second time would be worse than one ramp
    // frame without borrowed teeth.
    job.urgent = rampUrgent_;
    job.skipTeeth = rampUrgent_ && teethWouldMissThePull(job.queuedMs);
    if (job.skipTeeth) tel().teethSkipped.add();
    rampUrgent_ = false;
    emit(std::move(job), nullptr);
  }
  idleCursor_ = wrap(idleCursor_ + 1, NT_);
  if (--rampRemaining_ <= 0) state_ = 0;
}

void UtterancePipeline::handleInterrupt(bool lastPulled, int lastKind, int lastSrc, const float* lastKp) {
  speaking_ = resetNext_ = finishSent_ = renderedAny_ = ended_ = false;
  handover_.clear();
  speechCounter_ = 0;
  consumed_ = filled_ = rebasedTo_ = 0;
  accAudio_.clear();
  srcPulled_ = srcHeld_ = 0;
  srcTotal_ = -1;
  rampRemaining_ = 0;
  std::shared_ptr<TeethPort> inlinePass;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (teeth_ && !teethPipelined_) inlinePass = teeth_;
  }
  if (inlinePass) {
    // Whatever the pass held belongs to the interrupted utterance.
    inlinePass->discard();
    teethHeld_.reset();
    teethHeldPass_.reset();
  }
  if (lastPulled && lastKind != 0 && !xsTarget_.empty()) {
    idleCursor_ = wrap(lastSrc + 1, NT_);
    const float* xs = xsTarget_.data() + size_t(wrap(lastSrc, NT_)) * kKp;
    for (int k = 0; k < kKp; ++k) rampOffset_[k] = lastKp[k] - xs[k];
    rampRemaining_ = rampLength_ = interruptRamp_;
    rampUrgent_ = true;
    {
      std::lock_guard<std::mutex> lk(mu_);
      rampStartMs_ = interruptMs_;
    }
    if (trace_)
      std::fprintf(stderr,
                   "[le_utt] interrupt taken by the run thread %.1f ms after it came (%lld renders cancelled so "
                   "far)\n",
                   nowMs() - rampStartMs_, (long long)tel().cancelledRenders.value());
    state_ = 3;
    tel().ramps.add();
  } else {
    // Without a ramp the loop still continues after the last frame shown.
    if (lastPulled) idleCursor_ = wrap(lastSrc + 1, NT_);
    state_ = 0;
  }
}

// ---- Publishing ----

void UtterancePipeline::emit(Job&& job, double* waitMs) {
  bool teeth, teethPipe;
  {
    std::lock_guard<std::mutex> lk(mu_);
    teeth = teeth_ != nullptr;
    teethPipe = teethPipelined_;
  }
  // A frame that leaves out the pass is the first of its generation: the
  // teeth thread holds nothing before it that it would overtake.
  if (teeth && teethPipe && !job.skipTeeth) {
    // Queue for the teeth thread: 2 waiting, or a whole chunk, so that the
    // run thread goes on to render the next chunk while the teeth and paste
    // threads work through this one.
    const size_t cap = std::max<size_t>(2, chunkRun_ ? size_t(chunkRun_->batch()) : 0);
    const double t0 = nowMs();
    std::unique_lock<std::mutex> lk(mu_);
    while (teethQueue_.size() >= cap) {
      if (stop_ || generation_ != job.gen) return;
      cv_.wait_for(lk, kIdleWait);  // the teeth thread notifies as it takes a job
    }
    if (stop_ || generation_ != job.gen) return;
    teethQueue_.push_back(std::move(job));
    if (waitMs) *waitMs += nowMs() - t0;
    lk.unlock();
    teethCv_.notify_all();
    return;
  }
  if (teeth && !teethPipe) {
    teethStage(std::move(job), false);
    return;
  }
  if (pastePipe_) {
    toPaste(std::move(job), false, waitMs);
    return;
  }
  double work = 0;
  publish(job, &work);
}

void UtterancePipeline::toPaste(Job&& job, bool fromTeeth, double* waitMs) {
  const double t0 = nowMs();
  std::unique_lock<std::mutex> lk(mu_);
  const size_t cap = fromTeeth ? 2 : 8;
  for (;;) {
    if (stop_ || generation_ != job.gen) return;
    const size_t waiting = fromTeeth ? size_t(teethPasteWaiting_) : pasteQueue_.size();
    if (waiting < cap) break;
    cv_.wait_for(lk, kIdleWait);  // the paste thread notifies as it takes a job
  }
  if (fromTeeth) ++teethPasteWaiting_;
  pasteQueue_.push_back(std::move(job));
  if (waitMs) *waitMs += nowMs() - t0;
  lk.unlock();
  pasteCv_.notify_all();
}

void UtterancePipeline::pasteLoop() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lk(mu_);
      // Producers, interrupts and the destructor notify pasteCv_.
      pasteCv_.wait(lk, [&] { return pasteStop_ || !pasteQueue_.empty(); });
      if (pasteStop_) return;
      job = std::move(pasteQueue_.front());
      pasteQueue_.pop_front();
      if (teethPasteWaiting_ > 0 && teeth_ && teethPipelined_) --teethPasteWaiting_;
      if (job.gen != generation_) {
        cv_.notify_all();
        continue;
      }
      ++stageBusy_;
    }
    cv_.notify_all();
    double work = 0;
    publish(job, &work);
    {
      std::lock_guard<std::mutex> lk(mu_);
      --stageBusy_;
    }
    cv_.notify_all();
  }
}

void UtterancePipeline::teethLoop() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lk(mu_);
      // Producers, interrupts and the destructor notify teethCv_.
      teethCv_.wait(lk, [&] { return teethStop_ || !teethQueue_.empty(); });
      if (teethStop_) return;
      job = std::move(teethQueue_.front());
      teethQueue_.pop_front();
      ++stageBusy_;
    }
    cv_.notify_all();
    const double t0 = nowMs();
    teethStage(std::move(job), true);
    {
      std::lock_guard<std::mutex> lk(mu_);
      --stageBusy_;
      ++jobsB_;
      stageB_ += nowMs() - t0;
    }
    cv_.notify_all();
  }
}

void UtterancePipeline::teethStage(Job&& job, bool pipelined) {
  std::shared_ptr<TeethPort> pass;
  uint64_t gen;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (teethFailed_ || !teeth_) return;
    pass = teeth_;
    gen = generation_;
  }
  auto forward = [&](Job&& out) {
    if (pipelined) toPaste(std::move(out), true, nullptr);
    else if (pastePipe_) toPaste(std::move(out), false, nullptr);
    else {
      double work = 0;
      publish(out, &work);
    }
  };
  auto fail = [&](const std::string& message, bool resultFailed) {
    std::lock_guard<std::mutex> lk(mu_);
    if (resultFailed) ++teethFailedResults_;
    tel().teethFailures.add();
    teethMessage_ = message;
    teethFailed_ = true;
  };
  // A frame of another generation means an interrupt came between: whatever
  // the pass holds belongs to the old utterance.
  if (job.gen != gen) return;
  if (teethHeld_ && teethHeld_->gen != job.gen) {
    // Dropped unserved: its result would be thrown away, and computing it
    // would hold up the frame the host now waits for.
    teethHeldPass_->discard();
    teethHeld_.reset();
    teethHeldPass_.reset();
  }
  // The pass answers for the held frame while it takes the next one: that
  // work, and the compose, are the held frame's teeth stage.
  double passCpu = 0, passWall = 0;
  // Composes the held frame's result (from the pass it went into) into it
  // and sends it on.
  auto deliverHeld = [&]() -> bool {
    TeethPort& from = *teethHeldPass_;
    std::string why;
    if (from.failed(&why)) {
      fail(why, true);
      teethHeld_.reset();
      teethHeldPass_.reset();
      return false;
    }
    bool composed;
    {
      const telemetry::ScopedCpu timer(passCpu);
      const WallMs wall(passWall);
      // A skipped result leaves the crop as rendered: not counted as composed.
      composed = from.compose(teethHeld_->crop.data());
    }
    teethHeld_->cpu[telemetry::Stage::kTeeth] += passCpu;
    double w = 0;
    if (composed) {
      std::lock_guard<std::mutex> lk(mu_);
      ++teethComposed_;
      tel().teethComposed.add();
      if (from.synthWeight(&w)) {
        teethSynthSum_ += w;
        teethSynthLast_ = w;
        ++teethSynthCount_;
      }
    }
    Job held = std::move(*teethHeld_);
    teethHeld_.reset();
    teethHeldPass_.reset();
    forward(std::move(held));
    return true;
  };
  // Has the pass emit the held frame (no lookahead) and sends it on.
  auto drainHeld = [&]() -> bool {
    bool flushed;
    {
      const telemetry::ScopedCpu timer(passCpu);
      const WallMs wall(passWall);
      flushed = pass->flush();
    }
    if (!flushed) {
      fail("flush: the pass held no pending frame while a crop was held — refusing to deliver it uncomposed", false);
      teethHeld_.reset();
      teethHeldPass_.reset();
      return false;
    }
    return deliverHeld();
  };
  // The pass's own time for a frame (push, emit and compose), without the
  // waits for the paste queue.
  auto timeStage = [&] {
    std::lock_guard<std::mutex> lk(mu_);
    addToRunningMean(teethStageMs_, passWall);
  };
  // An interrupt during the pass makes its frames stale: it stops at its
  // next stage rather than keep a core from the ramp the host now waits for.
  pass->setStopCheck([this, g = job.gen] {
    std::lock_guard<std::mutex> lk(mu_);
    return stop_ || generation_ != g;
  });
  struct ClearStopCheck {  // the check refers to this pipeline and this frame
    TeethPort& port;
    ~ClearStopCheck() { port.setStopCheck(nullptr); }
  } clearStopCheck{*pass};
  try {
    // A frame held by a pass that a later attach replaced comes out of that
    // pass, so the utterance keeps every speech frame.
    if (teethHeld_ && teethHeldPass_ != pass) {
      if (!teethHeldPass_->flush()) {
        teethHeld_.reset();
        teethHeldPass_.reset();
      } else if (!deliverHeld()) {
        return;
      }
    }
    if (job.hasCrop && !job.skipTeeth) {
      bool out;
      {
        const telemetry::ScopedCpu timer(passCpu);
        const WallMs wall(passWall);
        out = pass->push(job.crop.data(), job.kp);
      }
      if (out && teethHeld_ && !deliverHeld()) return;
      const bool urgent = job.urgent;
      teethHeld_ = std::make_unique<Job>(std::move(job));
      teethHeldPass_ = pass;
      // Waiting for the next frame would cost the host a render: the frame
      // goes out now, without that frame's lookahead.
      if (urgent) drainHeld();
      timeStage();
    } else {
      if (teethHeld_ && !drainHeld()) return;
      forward(std::move(job));
    }
  } catch (const TeethStopped&) {
    tel().teethStopped.add();
    teethHeld_.reset();
    teethHeldPass_.reset();
  } catch (const std::exception& e) {
    fail(e.what(), false);
    teethHeld_.reset();
    teethHeldPass_.reset();
  }
}

void UtterancePipeline::publish(const Job& job, double* workMs) {
  int64_t slotIndex;
  {
    std::unique_lock<std::mutex> lk(mu_);
    for (;;) {
      if (stop_ || job.gen != generation_) return;
      if (writeIdx_ - readIdx_ < kRing) break;
      cv_.wait_for(lk, kIdleWait);  // every pull notifies
    }
    slotIndex = writeIdx_;
  }
  const double t0 = nowMs();
  Slot& slot = ring_[slotIndex % kRing];
  telemetry::FrameCpu cpu = job.cpu;
  try {
    const telemetry::ScopedCpu timer(cpu, telemetry::Stage::kPaste);
    // A cursor that failed on one frame refuses every later one; this
    // reopens it, so only the frame that cannot be decoded is lost.
    pullDriving(*ctx_, job.src, slot.rgb.data());
    if (job.hasCrop)
      ctx_->paste->composite(job.crop.data(), 255.0f, ctx_->identity->M(job.src), slot.rgb.data(), W_, H_);
    else
      ctx_->identity->walkP(job.src);
  } catch (const std::exception& e) {
    recordFailure("paste", e.what(), true);
    // Nothing reaches the ring, so the producer would hand the next frame
    // over at once: the failed frame takes a frame period (kIdleWait)
    // instead, or a member that fails at every frame would keep a core
    // spinning.
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait_for(lk, kIdleWait, [&] { return stop_ || job.gen != generation_; });
    return;
  }
  const double t1 = nowMs();
  *workMs += t1 - t0;
  if (job.hasCrop) {
    std::lock_guard<std::mutex> lk(mu_);
    addToRunningMean(publishMs_, t1 - t0);
  }
  slot.kind = job.kind;
  slot.src = job.src;
  slot.speechIndex = job.speechIndex;
  if (job.hasCrop) std::memcpy(slot.kp, job.kp, sizeof slot.kp);
  else std::memset(slot.kp, 0, sizeof slot.kp);
  {
    std::lock_guard<std::mutex> lk(mu_);
    // The host may have interrupted (emptying the ring) while this slot was
    // filled; the frame then belongs to a discarded utterance.
    if (stop_ || job.gen != generation_ || writeIdx_ != slotIndex) return;
    slot.seq = nextSeq_++;
    ++writeIdx_;
    // The cursor decodes each frame once, ahead of its publication.
    const double decoded = ctx_->cursor->decodeCpuMs();
    // A reopened cursor counts from zero again.
    cpu[telemetry::Stage::kDecode] = decoded >= decodeCpuSeen_ ? decoded - decodeCpuSeen_ : decoded;
    decodeCpuSeen_ = decoded;
    telemetry::recordFrameCpu(cpu);
    tel().published.add();
    tel().ofKind(job.kind).add();
    tel().pasteMs.record(t1 - t0);
    if (trace_ && job.kind == 1) {
      const double u = job.uttStartMs;
      std::fprintf(stderr,
                   "[le_utt] frame seq=%lld speech=%d src=%d avail=%.1f render=%.1f..%.1f queued=%.1f "
                   "published=%.1f ring=%lld (ms after the utterance's first push)\n",
                   (long long)slot.seq, job.speechIndex, job.src, job.availMs - u, job.renderStartMs - u,
                   job.renderEndMs - u, job.queuedMs - u, nowMs() - u, (long long)(writeIdx_ - readIdx_));
    }
    if (trace_ && job.kind == 2) {
      const double r = job.uttStartMs;
      std::fprintf(stderr,
                   "[le_utt] ramp frame seq=%lld src=%d%s render=%.1f..%.1f published=%.1f ring=%lld (ms after the "
                   "ramp began)\n",
                   (long long)slot.seq, job.src, job.skipTeeth ? " (no teeth: the pull was due)" : "",
                   job.renderStartMs - r, job.renderEndMs - r, nowMs() - r, (long long)(writeIdx_ - readIdx_));
    }
    if (job.kind == 1 && job.speechIndex == 0) {
      ++utterances_;
      firstFrameLatency_ = nowMs() - job.uttStartMs;
      tel().utterances.add();
      tel().firstFrameMs.record(firstFrameLatency_);
    }
    if (pastePipe_) {
      ++jobsC_;
      stageC_ += t1 - t0;
      if (job.kind == 1) deliverLat_ += nowMs() - job.queuedMs;
    }
  }
  cv_.notify_all();
}

// ---- Teeth pass bookkeeping ----

void UtterancePipeline::attachTeeth(std::unique_ptr<TeethPort> pass, std::string geometry) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    teeth_ = std::move(pass);
    teethPipelined_ = pastePipe_;
    teethGeometry_ = std::move(geometry);
    teethComposed_ = teethFailedResults_ = teethSynthCount_ = 0;
    teethSynthSum_ = teethSynthLast_ = 0;
    teethMessage_.clear();
    teethFailed_ = false;
    // Started under the lock, so two attaches cannot both start it; the
    // thread waits for the lock before it reads anything.
    if (teethPipelined_ && !teethThread_.joinable()) teethThread_ = std::thread([this] { teethLoop(); });
  }
}

int UtterancePipeline::teethStats(int64_t* composed, int64_t* failedResults, std::string* message) {
  std::lock_guard<std::mutex> lk(mu_);
  if (composed) *composed = teethComposed_;
  if (failedResults) *failedResults = teethFailedResults_;
  if (message) *message = teethMessage_;
  if (!teeth_) return 0;
  return teethFailed_ ? -1 : 1;
}

bool UtterancePipeline::teethSynthW(double* mean, double* last, int64_t* count) {
  std::lock_guard<std::mutex> lk(mu_);
  if (!teeth_ || teethSynthCount_ == 0) return false;
  if (mean) *mean = teethSynthSum_ / double(teethSynthCount_);
  if (last) *last = teethSynthLast_;
  if (count) *count = teethSynthCount_;
  return true;
}

bool UtterancePipeline::teethGeometry(std::string* geometry) {
  std::lock_guard<std::mutex> lk(mu_);
  *geometry = teethGeometry_;
  return teeth_ != nullptr;
}

}  // namespace le
