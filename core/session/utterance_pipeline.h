// The real-time utterance pipeline behind le_utt: speech pushed by a host
// becomes a continuous 25 fps stream of finished frames. Between utterances
// it plays the driving loop (idle frames); speech drives an animation source
// whose frames are rendered, optionally given borrowed teeth, pasted into
// their driving frames and queued in a ring of 8; after an utterance, or an
// interrupt, ramp frames ease the face back onto the loop.
//
// Threads: run (the loop below), warm-up (creates the source once),
// dispatch (every source call), paste (when paste pipelining is on) and
// teeth (when a pipelined teeth pass is attached). The main lock and the
// dispatch lock are never held together; rendering, decoding, pasting and
// source calls run with no lock held. Interrupts bump a generation: work
// made before one is dropped at its next checkpoint.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/session/animation_source.h"
#include "core/session/speech_handover.h"
#include "core/session/teeth_port.h"
#include "core/telemetry/frame_cpu.h"
#include "le/le.h"

namespace le {

class Renderer;

// Makes the animation source on the warm-up thread (openAnimationSource's
// signature); tests substitute their own.
using SourceOpener = std::function<std::unique_ptr<AnimationSource>(bool a2x, const std::string& motionDir,
                                                                     int workers, const std::string& ep,
                                                                     std::string* error)>;

class UtterancePipeline {
 public:
  // Borrows ctx (its renderer must exist) and starts the threads. Throws
  // std::runtime_error on bad options.
  UtterancePipeline(le_ctx* ctx, const le_utt_opts& opts, SourceOpener opener = openAnimationSource);
  // Stops and joins every thread, then frees the source.
  ~UtterancePipeline();
  UtterancePipeline(const UtterancePipeline&) = delete;
  UtterancePipeline& operator=(const UtterancePipeline&) = delete;

  // 1 ready, 0 warming up, -1 failed (then *error holds the source's error).
  int ready(std::string* error);
  // False, with *error (when given) holding the source's error, for n > 0
  // once the source failed: nothing would ever take that audio.
  bool pushAudio(const int16_t* pcm, int n, std::string* error = nullptr);
  void endUtterance();
  void interrupt();
  int framesAvailable();
  // 1 copied, 0 ring empty, -1 dst_len too small (the frame stays). kp,
  // when given, receives the frame's 63 driving keypoint values.
  int pullFrame(uint8_t* dst, size_t dstLen, le_utt_frame_info* info, float* kp = nullptr);
  le_utt_stats stats();
  // Failure count and last text; -1 after a fatal failure, else 0.
  int renderStatus(int64_t* failures, std::string* message);

  // Arms a teeth pass (replacing any earlier one) with its geometry text.
  void attachTeeth(std::unique_ptr<TeethPort> pass, std::string geometry);
  // Composed frames, failed results, last message; 0 none, 1 attached, -1 failed.
  int teethStats(int64_t* composed, int64_t* failedResults, std::string* message);
  bool teethSynthW(double* mean, double* last, int64_t* count);
  bool teethGeometry(std::string* geometry);

  // What construction settled on, for tests and reports.
  bool a2xMode() const { return a2x_; }
  bool pastePipelined() const { return pastePipe_; }
  double holdMs() const { return holdMs_; }
  int endRamp() const { return endRamp_; }
  int interruptRamp() const { return interruptRamp_; }
  bool hybrid() const { return hybrid_; }
  int eagerValue() const { return eager_; }
  const std::string& steadyModel() const { return steadyModel_; }
  bool hasXsTarget() const { return !xsTarget_.empty(); }
  const std::vector<float>& xsTarget() const { return xsTarget_; }
  int crop() const { return crop_; }
  int NT() const { return NT_; }
  le_ctx* context() const { return ctx_; }
  // The chunk renderer's batch once warm-up installed one, else 0.
  int chunkBatch();

 private:
  // One frame on its way to the ring (also the paste queue's job).
  struct Job {
    std::vector<float> crop;  // empty for an idle frame
    bool hasCrop = false;
    int32_t kind = 0, src = 0, speechIndex = -1;
    float kp[63] = {};
    uint64_t gen = 0;
    double queuedMs = 0;
    double uttStartMs = 0;  // first push of the frame's utterance
    double availMs = 0, renderStartMs = 0, renderEndMs = 0;  // speech frames, for the frame trace
    // The host is about to wait for this frame (the first of an utterance or
    // of an interrupt's ramp): a teeth pass answers for it at once instead of
    // holding it for the next frame's lookahead.
    bool urgent = false;
    // The host's next pull comes before the teeth pass could answer for
    // this frame: it goes out with the mouth it was rendered with.
    bool skipTeeth = false;
    telemetry::FrameCpu cpu;  // CPU ms each stage has spent on the frame so far
  };
  struct Slot {
    std::vector<uint8_t> rgb;
    int64_t seq = 0;
    int32_t kind = 0, src = 0, speechIndex = -1;
    float kp[63] = {};
  };

  // What one run-thread iteration takes from the host side under the main lock.
  struct HostInput {
    std::vector<float> audio;
    bool endRequested = false, interrupted = false, pulledAny = false, haveSource = false;
    int ringFill = 0, lastKind = 0, lastSrc = 0;
    size_t handOffQueued = 0;  // jobs queued for, or being worked on by, the teeth or paste thread
    double lastPushMs = 0, firstPushMs = 0;
    float lastKp[63] = {};
  };

  void warmUp();
  // One iteration: take the host's input, handle an interrupt or collect
  // the source's frames, take audio, ask the source for more, then produce
  // at most one step of output; sleep when nothing was produced.
  void runLoop();
  bool takeHostInput(HostInput* in);  // false once stopped
  void takeAudio(const HostInput& in);
  void requestFrames(const HostInput& in);
  bool produceStep(const HostInput& in);
  bool produceIdle();
  // Whether the utterance's speech frames may go out: it is already
  // playing, or its first frame may take over from the loop (handover_).
  bool playoutStarted() const;
  // Moves buffered frames [first, first + n) onto the loop frames that follow
  // the idle cursor (see rebase_).
  void rebaseFrames(int first, int n);
  bool waitForWork();  // false once stopped
  bool utteranceComplete() const;
  int eagerChange(int buffered, int ringFill);
  void dispatchLoop();
  void pasteLoop();
  void teethLoop();

  // Under mu_: moves the pending audio up to the first end mark (all of it
  // without one) into *audio; *ended tells whether a mark closed it.
  void takePending(std::vector<float>* audio, bool* ended);
  void handleInterrupt(bool lastPulled, int lastKind, int lastSrc, const float* lastKp);
  void collectResult();
  void postRequest(bool finishDue, int eagerChange);
  bool renderSpeech(int n);
  void produceRamp();
  // Whether a frame done now would miss the host's next pull if it went
  // through the teeth pass first (the host must ask for frames at a
  // display's pace for a pull to be due at all).
  bool teethWouldMissThePull(double now);
  // Renders through r unless the host interrupts first; an interrupt during
  // the call cancels it. Null with *stale set when the host interrupted
  // before or during the call (its frames will not be shown); otherwise the
  // crops, or the renderer's failure thrown.
  const float* renderUnlessInterrupted(Renderer& r, const int* idx, const float* xs, const float* xd, int n,
                                       bool* stale);
  void finishUtterance();
  int chooseChunk(int buffered);

  // Hands a frame on: to the teeth stage, the paste queue or the ring.
  void emit(Job&& job, double* waitMs);
  void teethStage(Job&& job, bool pipelined);
  void toPaste(Job&& job, bool fromTeeth, double* waitMs);
  void publish(const Job& job, double* workMs);
  void recordFailure(const char* stage, const std::string& what, bool fatal);
  static double nowMs();

  // Configuration (fixed after construction).
  le_ctx* ctx_;
  SourceOpener opener_;
  std::string motionDir_, ep_, steadyModel_;
  int workers_ = 1;
  int eager_ = -1;
  bool hybrid_ = false;
  double holdMs_ = 600;
  int endRamp_ = 6, interruptRamp_ = 4;
  bool a2x_ = true;
  bool pastePipe_ = false;
  int NT_ = 1, W_ = 0, H_ = 0, crop_ = 0;
  std::vector<float> xsTarget_;  // NT x 63, empty when absent
  // Whether the source's frames can be moved along the loop (see rebase_);
  // otherwise the loop is held to the frame the source was started at.
  bool movable_ = false;

  // Guarded by mu_ (the main lock), with cv_ (main), pasteCv_ and teethCv_.
  std::mutex mu_;
  std::condition_variable cv_, pasteCv_, teethCv_;
  std::vector<float> pending_;
  // Where each end-utterance call fell in the pending audio: the samples
  // before a mark close one utterance, those after it begin the next.
  struct EndMark {
    size_t at = 0;       // pending samples before the call
    double nextMs = 0;   // push that began the audio after it
  };
  std::deque<EndMark> endMarks_;
  uint64_t generation_ = 0;
  double interruptMs_ = 0;  // when the host last interrupted, for the frame trace
  std::atomic<bool> stop_{false};
  // Time of the last push, and of the push that began the pending audio (the
  // first push of the utterance that audio starts).
  double lastPushMs_ = 0, firstPushMs_ = 0;
  std::unique_ptr<AnimationSource> source_;
  bool sourceFailed_ = false;
  std::string sourceError_;
  int lagFrames_ = -1;  // the source's lag (measureLagFrames), -1 unknown
  std::unique_ptr<Renderer> chunk_;
  Slot ring_[8];
  int64_t readIdx_ = 0, writeIdx_ = 0, nextSeq_ = 0;
  bool pulledAny_ = false;
  // The host's pace: when it last asked for a frame and the mean time
  // between its asks (0 until known).
  double lastPullMs_ = 0, pullPeriodMs_ = 0;
  // Mean wall time of the teeth stage per frame and of a publication.
  double teethStageMs_ = 0, publishMs_ = 0;
  int32_t lastPulledKind_ = 0, lastPulledSrc_ = 0;
  float lastPulledKp_[63] = {};
  int64_t framesPulled_ = 0, speechPulled_ = 0, utterances_ = 0;
  double firstFrameLatency_ = 0, renderAvg_ = 0;
  bool renderAvgSet_ = false;
  std::atomic<int> state_{0};
  int64_t failures_ = 0;
  std::string failureText_;
  bool fatal_ = false;
  std::deque<Job> pasteQueue_, teethQueue_;
  bool pasteStop_ = false, teethStop_ = false;
  int teethPasteWaiting_ = 0;  // paste jobs queued by the teeth thread
  // Jobs the teeth or paste thread has taken off its queue and not yet
  // handed on, held or published: frames on their way to the ring that the
  // queues no longer show.
  int stageBusy_ = 0;
  // The renderer the run thread is inside (null when none), and whether an
  // interrupt has cancelled that render; the run thread resumes it.
  Renderer* rendering_ = nullptr;
  bool renderCancelled_ = false;
  double decodeCpuSeen_ = 0;  // the cursor's decode CPU at the last publication
  // Stage accounting for the report.
  int64_t jobsB_ = 0, jobsC_ = 0, stageFrames_ = 0;
  double stageAWork_ = 0, stageAWait_ = 0, stageB_ = 0, stageC_ = 0, deliverLat_ = 0;
  // Teeth pass (its object is used by one producer at a time). The producer
  // holds its own reference while inside it, so a pass replaced by a later
  // attach is freed once no producer can be inside it.
  std::shared_ptr<TeethPort> teeth_;
  bool teethPipelined_ = false;
  std::string teethGeometry_;
  int64_t teethComposed_ = 0, teethFailedResults_ = 0, teethSynthCount_ = 0;
  double teethSynthSum_ = 0, teethSynthLast_ = 0;
  std::string teethMessage_;
  bool teethFailed_ = false;
  std::unique_ptr<Job> teethHeld_;  // the frame the pass answers next; teeth producer only
  std::shared_ptr<TeethPort> teethHeldPass_;  // the pass teethHeld_ went into; teeth producer only
  std::thread teethThread_;  // started under mu_ by the first attach, joined by the destructor

  // Dispatch mailbox, guarded by dmu_ with dcv_.
  std::mutex dmu_;
  std::condition_variable dcv_;
  bool reqFlag_ = false, resFlag_ = false, dispatchStop_ = false;
  struct Request {
    AnimationSource* source = nullptr;
    std::vector<float> audio;
    bool reset = false;
    int start = 0;
    bool finish = false;
    int eager = 0;
    int wanted = 0;
  } req_;
  int resPulled_ = 0, resAvail_ = 0, resTotal_ = -1;
  double resCpuMs_ = 0;  // the dispatch thread's CPU for the request
  std::vector<int32_t> resIdx_;
  std::vector<float> resXs_, resXd_;

  // Run-thread state (run thread only). The source and chunk renderer are
  // copied from the installed ones under the main lock; both live until
  // destruction once installed.
  AnimationSource* sourceRun_ = nullptr;
  Renderer* chunkRun_ = nullptr;
  int lagRun_ = -1;
  bool teethRun_ = false;  // a teeth pass was attached at the last look
  uint64_t genSeen_ = 0;
  int idleCursor_ = 0;
  bool speaking_ = false, ended_ = false, finishSent_ = false, renderedAny_ = false, resetNext_ = false;
  int speechCounter_ = 0;
  bool inFlight_ = false;
  uint64_t inFlightGen_ = 0;
  double lastResultMs_ = 0;  // when the last source result was collected
  int srcPulled_ = 0, srcHeld_ = 0, srcTotal_ = -1;
  int curEager_ = -1;
  bool hybridHigh_ = false;
  int rampRemaining_ = 0, rampLength_ = 0;
  bool rampUrgent_ = false;  // the next ramp frame is the first after an interrupt
  double rampStartMs_ = 0;   // when the current ramp began (the interrupt's time for an interrupt ramp)
  float rampOffset_[63] = {};
  float lastKp_[63] = {};
  int lastSrc_ = 0;
  double uttStartMs_ = 0;
  int64_t uttSamples_ = 0;  // audio taken for the current utterance
  // Loop frames added to the source's indices this utterance, so that its
  // first speech frame follows the last idle frame whatever frame the source
  // was started at; fixed when that frame is rendered (rebaseSet_), 0 when
  // the source's keypoints are not the loop's own.
  int rebase_ = 0;
  bool rebaseSet_ = false;
  int rebasedTo_ = 0;  // buffer frames below this index are moved already
  // When the first speech frame takes over from the loop, and where.
  SpeechHandover handover_;
  bool trace_ = false;  // LE_UTT_TRACE: one line per speech or ramp frame published
  static constexpr int kBufferFrames = 32;
  std::vector<int32_t> bufIdx_;
  std::vector<float> bufXs_, bufXd_;
  std::vector<double> bufSrcCpu_;  // source CPU ms of each buffered frame
  std::vector<double> bufAvailMs_;  // when each buffered frame came from the source
  double srcCpuCarry_ = 0;         // source CPU of requests that yielded no frame yet
  int consumed_ = 0, filled_ = 0;
  std::vector<float> accAudio_;
  int lastEagerSent_ = 0;

  std::thread run_, warm_, dispatch_, paste_;
};

}  // namespace le
