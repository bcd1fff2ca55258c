// Keypoint motion: speech samples in, per video frame a driving-frame index
// with its source keypoints and the driving keypoints the renderer warps to.
// Audio becomes log-mel windows, student speech features, 80-frame motion
// chunks, and per pulled frame the lip expression of the generated motion
// on the driving frame's own pose, corrected by the stitching network.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/audio/log_mel.h"
#include "core/audio/motion_pose.h"
#include "core/audio/motion_tables.h"
#include "core/audio/onnx_net.h"

namespace le {

class Motion {
 public:
  static constexpr int kHop = 640;          // samples per video frame
  static constexpr int kValues = 63;        // keypoint values per frame
  static constexpr int kVector = 265;       // motion vector
  static constexpr int kPoseValues = 202;   // scale, angle logits and translation of a vector
  static constexpr int kFeat = 1024;        // audio features per frame
  static constexpr int kCond = 1103;        // conditioning row per frame
  static constexpr int kChunk = 80;
  static constexpr int kStride = 70;
  static constexpr int kFade = kChunk - kStride;

  // Loads motion directory `dir` ("xs_target.bin" resolved as a bundle
  // member) and opens its three models with `threads` intra-op threads
  // (below 1: le::pool::threads()) on execution provider `ep` ("" for the
  // CPU, "coreml..." for CoreML). Throws on any missing or malformed file.
  Motion(const std::string& dir, int threads, const std::string& ep);
  ~Motion();
  Motion(const Motion&) = delete;
  Motion& operator=(const Motion&) = delete;

  // Appends n samples; false (nothing stored) once the audio is finished.
  bool push(const float* samples, size_t n);
  // Ends the audio and computes every remaining window and chunk.
  void finish();
  // Frames of the utterance after finish, else -1.
  int total() const;
  // Computes what the audio allows (eagerly when set) and returns the frames
  // ready to pull.
  int avail();
  // Writes up to max frames: driving index (idx may be null), 63 source and
  // 63 driving keypoint values each. Nothing is consumed when it throws.
  int pull(int32_t* idx, float* xs, float* xd, int max);
  // Starts a new utterance at driving frame `start` (clamped to 0..nt-1),
  // walking by -1 for a negative step else +1, looping or bouncing.
  void reset(int start, int step, bool loop);
  void setEager(int eager) { eager_ = eager; }
  int nt() const { return meta_.nt; }

  // Frames whose motion vectors exist (tests and benchmarks).
  int motionFrames() const { return motionN_; }
  // The eager step the next advance waits for (tests and benchmarks).
  int eagerStep() const;

 private:
  void computeWindows(bool asFinished, size_t samples);
  void computeWindow(int w);
  void computeChunks(bool asFinished, int total);
  void computeChunk(int k);
  void smoothPose(int first, int last);
  // Frame f's pose values averaged over frames f - 1 .. f + 1 that exist.
  void poseBox(int f, float* out) const;
  float* vectorAt(int f) { return motion_.data() + size_t(f - motionBase_) * kVector; }
  const float* vectorAt(int f) const { return motion_.data() + size_t(f - motionBase_) * kVector; }
  // Frees the audio, conditioning rows and motion vectors no later window,
  // chunk or pull can read.
  void release();
  void advance();
  void eagerAdvance(int framesIn);
  void rollback();
  int ready() const;
  void dump(const char* name, const float* data, size_t n, bool append) const;

  motion::Meta meta_;
  std::unique_ptr<motion::LogMel> mel_;
  std::vector<float> fmean_, fstd_, emo_, chXs_, chSc_, eyeOpen_, eyeBall_, vMin_, vMax_, srcXs_, xsTarget_;
  std::vector<float> refVector_;       // reference motion vector from "ch_xs_info.bin"
  std::vector<motion::Mat3> rot_, rotDriven_;  // per driving frame: R and R' (pitch + delta_pitch)
  float ratio_ = 1.f;                  // lip expression gain
  std::string dumpDir_;                // LE_MOTION_DUMP, empty when off

  Ort::Env env_{nullptr};
  Ort::SessionOptions options_{nullptr};
  std::unique_ptr<OnnxNet> student_, lmdm_, stitch_;

  // Stream state of the current utterance. Each array holds the frames from
  // its base on: what a stream that never finishes can still need.
  std::vector<float> audio_;  // samples [audioBase_, audioEnd())
  size_t audioBase_ = 0;
  size_t audioEnd() const { return audioBase_ + audio_.size(); }
  bool finished_ = false;
  int total_ = -1;
  std::vector<float> cond_;   // kCond per frame of [condBase_, featured_)
  int condBase_ = 0;
  int featured_ = 0;
  std::vector<float> motion_; // kVector per frame of [motionBase_, motionN_)
  int motionBase_ = 0;
  int motionN_ = 0;
  int nextChunk_ = 0;
  int pulled_ = 0;
  int drive_ = 0, step_ = 1;
  bool loop_ = true;
  std::vector<float> refExpr_;  // expression of the first emitted frame
  bool refFinal_ = false;

  // Eager mode: provisional windows and chunks over the audio received so
  // far, undone when more audio arrives.
  int eager_ = 0;
  double eagerMs_ = 0;          // running cost of an eager advance
  int eagerMark_ = 0;           // whole frames of audio at the last advance
  bool provisional_ = false;
  size_t provisionalAudio_ = 0; // samples the provisional state was computed from
  int savedFeatured_ = 0, savedMotionN_ = 0, savedNextChunk_ = 0;
  std::vector<float> savedTail_; // the last kFade vectors before the provisional chunks
};

}  // namespace le
