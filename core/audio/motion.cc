#include "core/audio/motion.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "core/audio/speech_features.h"
#include "core/bundle/file_read.h"
#include "core/bundle/manifest.h"
#include "core/bundle/member_names.h"
#include "core/foundation/pool.h"

namespace le {

namespace {

using motion::LogMel;

constexpr int kWindowFrames = 5;          // video frames per student window
constexpr int kWindowLead = 2000;         // samples read before a window's first frame
constexpr int kWindowNeed = 4480;         // samples a window needs past its first frame
constexpr int kStudentFrames = 20;

int framesOf(size_t samples) { return static_cast<int>((samples + Motion::kHop - 1) / Motion::kHop); }

bool envStartsWithOne(const char* name) {
  const char* v = std::getenv(name);
  return v && v[0] == '1';
}

const char* coremlUnits(const std::string& ep) {
  const std::string unit = ep.size() < 8 ? "all" : ep.substr(7);
  if (unit == "cpu") return "CPUOnly";
  if (unit == "gpu") return "CPUAndGPU";
  if (unit == "ane") return "CPUAndNeuralEngine";
  return "ALL";
}

}  // namespace

Motion::Motion(const std::string& dir, int threads, const std::string& ep) {
  const std::string d = dir.empty() ? "." : dir;
  meta_ = motion::scanMeta(readFile(d + "/meta.json"));
  if (meta_.nSrc != meta_.nt) throw std::runtime_error("le_motion: n_src != nt unsupported");
  auto table = [&](const char* name, size_t count) { return motion::readTable(d + "/" + name, count); };
  mel_ = std::make_unique<LogMel>(table("hubert_stft_window.bin", LogMel::kFft),
                                  table("hubert_stft_binmat.bin", size_t(LogMel::kBins) * LogMel::kMels));
  fmean_ = table("hubert_fmean.bin", kFeat);
  fstd_ = table("hubert_fstd.bin", kFeat);
  emo_ = table("emo.bin", size_t(meta_.nEmo) * 8);
  chXs_ = table("ch_xs_info.bin", motion::kInfoValues);
  chSc_ = table("ch_sc.bin", kValues);
  eyeOpen_ = table("ch_eye_open.bin", 2);
  eyeBall_ = table("ch_eye_ball.bin", 6);
  std::vector<float> minMax = table("v_min_max.bin", 2 * kVector);
  vMin_.assign(minMax.begin(), minMax.begin() + kVector);
  vMax_.assign(minMax.begin() + kVector, minMax.end());
  srcXs_ = table("src_xs_info.bin", size_t(meta_.nSrc) * motion::kInfoValues);
  xsTarget_ = motion::readTable(resolveMember(d, "xs_target.bin"), size_t(meta_.nt) * kValues);

  const float srcScale = srcXs_[motion::kInfoScale];
  ratio_ = chXs_[motion::kInfoScale] / srcScale;
  if (!std::isfinite(ratio_))
    throw std::runtime_error("le_motion: the lip ratio (scale of ch_xs_info.bin over scale " + std::to_string(srcScale) +
                             " of src_xs_info.bin row 0) is not finite");
  refVector_.assign(kVector, 0.f);
  refVector_[0] = chXs_[motion::kInfoScale] - 1.f;
  std::copy_n(chXs_.begin() + motion::kInfoPitch, 66, refVector_.begin() + 1);
  std::copy_n(chXs_.begin() + motion::kInfoYaw, 66, refVector_.begin() + 67);
  std::copy_n(chXs_.begin() + motion::kInfoRoll, 66, refVector_.begin() + 133);
  std::copy_n(chXs_.begin() + motion::kInfoTrans, 3, refVector_.begin() + 199);
  std::copy_n(chXs_.begin() + motion::kInfoExpr, kValues, refVector_.begin() + kPoseValues);
  for (int f = 0; f < meta_.nt; ++f) {
    const float* q = srcXs_.data() + size_t(f) * motion::kInfoValues;
    const float a1 = motion::bin66(q + motion::kInfoPitch);
    const float a2 = motion::bin66(q + motion::kInfoYaw);
    const float a3 = motion::bin66(q + motion::kInfoRoll);
    rot_.push_back(motion::poseToR(a1, a2, a3));
    rotDriven_.push_back(motion::poseToR(a1 + meta_.deltaPitch, a2, a3));
  }
  if (const char* dumpDir = std::getenv("LE_MOTION_DUMP")) dumpDir_ = dumpDir;

  env_ = Ort::Env(ORT_LOGGING_LEVEL_WARNING, "le_motion");
  options_ = Ort::SessionOptions();
  options_.SetIntraOpNumThreads(threads >= 1 ? threads : pool::threads());
  options_.SetInterOpNumThreads(1);
  options_.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  if (!envStartsWithOne("LE_ORT_SPIN")) options_.AddConfigEntry("session.intra_op.allow_spinning", "0");
  if (!ep.empty()) {
    if (ep.compare(0, 6, "coreml") != 0) throw std::runtime_error("le_motion: unknown ep '" + ep + "'");
    try {
      options_.AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"},
                                                  {"MLComputeUnits", coremlUnits(ep)},
                                                  {"ModelCacheDirectory", coremlCacheDir(d)}});
    } catch (const Ort::Exception& e) {
      // ONNX Runtime builds without CoreML (every Linux build) refuse it here.
      throw std::runtime_error("le_motion: ep '" + ep + "': " + e.what());
    }
  }
  student_ = std::make_unique<OnnxNet>(env_, options_, d + "/hubert_student.onnx", 1, 1);
  student_->inputShape(0, size_t(LogMel::kMels) * LogMel::kFrames);
  lmdm_ = std::make_unique<OnnxNet>(env_, options_, d + "/lmdm.onnx", 2, 1);
  lmdm_->inputShape(0, kVector);
  lmdm_->inputShape(1, size_t(kChunk) * kCond);
  stitch_ = std::make_unique<OnnxNet>(env_, options_, d + "/stitch.onnx", 2, 1);
  stitch_->inputShape(0, kValues);
  stitch_->inputShape(1, kValues);
  reset(0, 1, true);
}

Motion::~Motion() = default;

void Motion::reset(int start, int step, bool loop) {
  // Swapped out rather than cleared: an utterance that ran for hours leaves
  // no capacity behind.
  std::vector<float>().swap(audio_);
  audioBase_ = 0;
  finished_ = false;
  total_ = -1;
  std::vector<float>().swap(cond_);
  condBase_ = 0;
  featured_ = 0;
  std::vector<float>().swap(motion_);
  motionBase_ = 0;
  motionN_ = 0;
  nextChunk_ = 0;
  pulled_ = 0;
  drive_ = std::clamp(start, 0, meta_.nt - 1);
  step_ = step < 0 ? -1 : 1;
  loop_ = loop;
  refExpr_.assign(kValues, 0.f);
  refFinal_ = false;
  eagerMark_ = 0;
  provisional_ = false;
  provisionalAudio_ = 0;
  savedTail_.clear();
}

bool Motion::push(const float* samples, size_t n) {
  if (finished_) return false;
  a2x::appendSamples(audio_, samples, n);
  return true;
}

void Motion::finish() {
  if (finished_) return;
  finished_ = true;
  total_ = framesOf(audioEnd());
  if (provisional_) rollback();
  computeWindows(true, audioEnd());
  computeChunks(true, total_);
  dump("cond.bin", cond_.data(), cond_.size(), false);
  dump("final.bin", motion_.data(), motion_.size(), false);
}

int Motion::total() const { return finished_ ? total_ : -1; }

int Motion::eagerStep() const {
  if (pulled_ > 0) {
    const int s = std::min(8, static_cast<int>(eagerMs_ / 40.0 + 0.999));
    if (s > 0) return s;
  }
  return 1;
}

int Motion::ready() const {
  if (finished_) return std::min(total_, motionN_);
  if (provisional_) return std::min({eagerMark_, motionN_, featured_});
  return std::max(0, std::min(featured_ - 1, motionN_ - (kFade + 1)));
}

int Motion::avail() {
  advance();
  return std::max(0, ready() - pulled_);
}

void Motion::advance() {
  if (finished_) {
    // A model run that failed inside finish() is tried again here; once
    // every window and chunk is computed both calls return at once.
    computeWindows(true, audioEnd());
    computeChunks(true, total_);
    return;
  }
  if (provisional_ && audioEnd() != provisionalAudio_) rollback();
  if (!provisional_) {
    computeWindows(false, audioEnd());
    computeChunks(false, total_);
  }
  if (eager_ <= 0) return;
  const int framesIn = static_cast<int>(audioEnd() / kHop);
  if (framesIn - eagerMark_ >= eagerStep() && framesIn > ready()) eagerAdvance(framesIn);
}

void Motion::eagerAdvance(int framesIn) {
  const auto t0 = std::chrono::steady_clock::now();
  savedFeatured_ = featured_;
  savedMotionN_ = motionN_;
  savedNextChunk_ = nextChunk_;
  const int keep = std::min(kFade, motionN_);
  savedTail_.assign(motion_.end() - ptrdiff_t(keep) * kVector, motion_.end());
  provisional_ = true;
  provisionalAudio_ = audioEnd();
  eagerMark_ = framesIn;
  try {
    computeWindows(true, audioEnd());
    computeChunks(true, framesOf(audioEnd()));
  } catch (...) {
    rollback();
    throw;
  }
  const double x = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  eagerMs_ = eagerMs_ == 0 ? x : 0.7 * eagerMs_ + 0.3 * x;
}

void Motion::rollback() {
  featured_ = savedFeatured_;
  cond_.resize(size_t(featured_ - condBase_) * kCond);
  motionN_ = savedMotionN_;
  nextChunk_ = savedNextChunk_;
  motion_.resize(size_t(motionN_ - motionBase_) * kVector);
  std::copy(savedTail_.begin(), savedTail_.end(), motion_.end() - ptrdiff_t(savedTail_.size()));
  provisional_ = false;
}

void Motion::computeWindows(bool asFinished, size_t samples) {
  const int frames = framesOf(samples);
  for (;;) {
    const int w = featured_;
    const bool complete = samples >= size_t(w) * kHop + kWindowNeed;
    if (!complete && !(asFinished && w < frames)) break;
    computeWindow(w);
  }
}

void Motion::computeWindow(int w) {
  std::vector<float> seg(LogMel::kSpan, 0.f);
  const int64_t first = int64_t(w) * kHop - kWindowLead;
  for (int i = 0; i < LogMel::kSpan; ++i) {
    const int64_t s = first + i;
    if (s >= int64_t(audioBase_) && s < int64_t(audioEnd())) seg[size_t(i)] = audio_[size_t(s) - audioBase_];
  }
  std::vector<float> mel(size_t(LogMel::kMels) * LogMel::kFrames);
  mel_->compute(seg.data(), mel.data());
  std::vector<float> feat(size_t(kStudentFrames) * kFeat);
  student_->run({mel.data()}, {mel.size()}, {feat.data()}, {feat.size()});
  for (int t = 0; t < kStudentFrames; ++t)
    for (int j = 0; j < kFeat; ++j) {
      float& v = feat[size_t(t) * kFeat + j];
      v = v * fstd_[size_t(j)] + fmean_[size_t(j)];
    }
  if (w == 0) {
    dump("mel0.bin", mel.data(), mel.size(), false);
    dump("feat0.bin", feat.data(), feat.size(), false);
  }
  cond_.resize(size_t(featured_ + kWindowFrames - condBase_) * kCond);
  for (int m = 0; m < kWindowFrames; ++m) {
    const int f = w + m;
    float* row = cond_.data() + size_t(f - condBase_) * kCond;
    const float* a = feat.data() + size_t(6 + 2 * m) * kFeat;
    const float* b = a + kFeat;
    for (int j = 0; j < kFeat; ++j) row[j] = 0.5f * (a[j] + b[j]);
    float* tail = row + kFeat;
    tail = std::copy_n(emo_.data() + size_t(f % meta_.nEmo) * 8, 8, tail);
    tail = std::copy_n(eyeOpen_.data(), 2, tail);
    tail = std::copy_n(eyeBall_.data(), 6, tail);
    std::copy_n(chSc_.data(), kValues, tail);
  }
  featured_ += kWindowFrames;
}

void Motion::computeChunks(bool asFinished, int total) {
  for (;;) {
    const int s = nextChunk_ * kStride;
    const bool ready = (asFinished && s < featured_ && s < total) || s + kChunk - 1 < featured_;
    if (!ready) break;
    computeChunk(nextChunk_);
  }
}

void Motion::computeChunk(int k) {
  const int s = k * kStride;
  std::vector<float> aud(size_t(kChunk) * kCond);
  for (int j = 0; j < kChunk; ++j) {
    const int f = std::min(s + j, featured_ - 1);
    std::copy_n(cond_.data() + size_t(f - condBase_) * kCond, kCond, aud.data() + size_t(j) * kCond);
  }
  std::vector<float> kp = refVector_;
  if (k > 0) std::copy_n(vectorAt(s - 1), kPoseValues, kp.data());
  std::vector<float> pred(size_t(kChunk) * kVector);
  lmdm_->run({kp.data(), aud.data()}, {kp.size(), aud.size()}, {pred.data()}, {pred.size()});
  if (k == 0) {
    dump("lmdm0_kp.bin", kp.data(), kp.size(), false);
    dump("lmdm0_aud.bin", aud.data(), aud.size(), false);
    dump("lmdm0_pred.bin", pred.data(), pred.size(), false);
    motion_ = pred;
    motionBase_ = 0;
    motionN_ = kChunk;
    nextChunk_ = 1;
    smoothPose(0, kChunk - 1);
    return;
  }
  if (motionN_ != s + kFade) throw std::logic_error("Motion: chunk " + std::to_string(k) + " out of order");
  for (int j = 0; j < kFade; ++j) {
    const float b = float(j) / kFade;
    float* old = vectorAt(s + j);
    const float* nw = pred.data() + size_t(j) * kVector;
    for (int v = 0; v < kVector; ++v) old[v] = (1.f - b) * old[v] + b * nw[v];
  }
  motion_.insert(motion_.end(), pred.begin() + ptrdiff_t(kFade) * kVector, pred.end());
  motionN_ = s + kChunk;
  nextChunk_ = k + 1;
  smoothPose(s, s + kFade);
}

void Motion::poseBox(int f, float* out) const {
  const int a = std::max(f - 1, 0), b = std::min(f + 1, motionN_ - 1);
  for (int v = 0; v < kPoseValues; ++v) {
    float sum = 0.f;
    for (int g = a; g <= b; ++g) sum += vectorAt(g)[v];
    out[v] = sum / float(b - a + 1);
  }
}

void Motion::smoothPose(int first, int last) {
  // Every frame's box reads the values from before the pass.
  std::vector<float> boxed(size_t(last - first + 1) * kPoseValues);
  for (int f = first; f <= last; ++f) poseBox(f, boxed.data() + size_t(f - first) * kPoseValues);
  for (int f = first; f <= last; ++f) std::copy_n(boxed.data() + size_t(f - first) * kPoseValues, kPoseValues, vectorAt(f));
}

void Motion::release() {
  // The debug dump writes whole arrays at finish.
  if (!dumpDir_.empty()) return;
  // Provisional results are rolled back to the saved counts; keep what
  // recomputing from there reads.
  const int windowFrom = provisional_ ? std::min(featured_, savedFeatured_) : featured_;
  const int chunkFrom = (provisional_ ? std::min(nextChunk_, savedNextChunk_) : nextChunk_) * kStride;
  int motionFrom = std::min(pulled_, chunkFrom) - 1;
  if (provisional_) motionFrom = std::min(motionFrom, savedMotionN_ - kFade - 1);
  if (!refFinal_) motionFrom = 0;  // frame 0 still sets the expression reference
  auto drop = [](std::vector<float>& v, auto& base, auto keepFrom, size_t perFrame, int batch) {
    if (keepFrom <= base || size_t(keepFrom - base) < size_t(batch)) return;
    const size_t n = std::min(v.size(), size_t(keepFrom - base) * perFrame);
    v.erase(v.begin(), v.begin() + ptrdiff_t(n));
    base = keepFrom;
  };
  constexpr int kBatch = 256;  // frames dropped at a time
  const int64_t audioFrom = std::max<int64_t>(0, int64_t(windowFrom) * kHop - kWindowLead);
  drop(audio_, audioBase_, size_t(std::min<int64_t>(audioFrom, int64_t(audioEnd()))), 1, kBatch * kHop);
  drop(cond_, condBase_, std::min(chunkFrom, featured_), kCond, kBatch);
  drop(motion_, motionBase_, std::min(std::max(motionFrom, 0), motionN_), kVector, kBatch);
}

int Motion::pull(int32_t* idx, float* xs, float* xd, int max) {
  const int n = std::min(avail(), max);
  if (n <= 0) return 0;
  // The box over the pose values and the clamp, as a frame is emitted.
  auto processed = [&](int f, float* out) {
    std::copy_n(vectorAt(f), kVector, out);
    poseBox(f, out);
    for (int v = 0; v < kVector; ++v) out[v] = std::min(std::max(out[v], vMin_[size_t(v)]), vMax_[size_t(v)]);
  };
  float vec[kVector];
  // The reference is frame 0 as emitted; a provisional frame 0 is replaced
  // by its final value once the audio behind it is complete.
  if (!refFinal_) {
    processed(0, vec);
    std::copy_n(vec + kPoseValues, kValues, refExpr_.begin());
    refFinal_ = finished_ || (provisional_ ? savedMotionN_ : motionN_) > kFade;
  }
  int drive = drive_, step = step_;
  float expr[kValues], xsKp[kValues], xdKp[kValues], stitched[kValues];
  for (int i = 0; i < n; ++i) {
    const int f = pulled_ + i;
    processed(f, vec);
    const int d = drive;
    int next = drive + step;
    if (loop_) {
      next = ((next % meta_.nt) + meta_.nt) % meta_.nt;
    } else if (next < 0) {
      step = 1;
      next = 1;
    } else if (next >= meta_.nt) {
      step = -1;
      next = meta_.nt - 2;
    }
    drive = std::clamp(next, 0, meta_.nt - 1);

    const float* q = srcXs_.data() + size_t(d) * motion::kInfoValues;
    std::copy_n(q + motion::kInfoExpr, kValues, expr);
    for (int r : motion::kLipRows)
      for (int c = 0; c < 3; ++c) {
        const int k = 3 * r + c;
        expr[k] += ratio_ * (vec[kPoseValues + k] - refExpr_[size_t(k)]);
      }
    motion::keypoints(q, rot_[size_t(d)], q + motion::kInfoExpr, xsKp);
    motion::keypoints(q, rotDriven_[size_t(d)], expr, xdKp);
    stitch_->run({xsKp, xdKp}, {size_t(kValues), size_t(kValues)}, {stitched}, {size_t(kValues)});
    const float* target = xsTarget_.data() + size_t(d) * kValues;
    float* xsOut = xs + size_t(i) * kValues;
    float* xdOut = xd + size_t(i) * kValues;
    for (int k = 0; k < kValues; ++k) {
      xsOut[k] = target[k];
      xdOut[k] = target[k] + meta_.sBridge * (stitched[k] - xsKp[k]);
    }
    if (idx) idx[i] = d;
    if (!dumpDir_.empty()) {
      dump("res_post.bin", vec, kVector, true);
      dump("xsla.bin", xsKp, kValues, true);
      dump("xdla.bin", xdKp, kValues, true);
      dump("xs.bin", xsOut, kValues, true);
      dump("xd.bin", xdOut, kValues, true);
    }
  }
  pulled_ += n;
  drive_ = drive;
  step_ = step;
  release();
  return n;
}

void Motion::dump(const char* name, const float* data, size_t n, bool append) const {
  if (dumpDir_.empty()) return;
  const std::string path = dumpDir_ + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), append ? "ab" : "wb");
  if (!f) {
    std::fprintf(stderr, "[le_motion] LE_MOTION_DUMP: cannot write %s\n", path.c_str());
    return;
  }
  if (n) std::fwrite(data, sizeof(float), n, f);
  std::fclose(f);
}

}  // namespace le
