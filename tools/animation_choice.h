// Which animation source an utterance pipeline runs, chosen by the host.
// The pipeline takes the audio-to-expression stream whenever the motion
// directory holds its encoder, so a bundle that carries both sources is
// handed to it as a view without that encoder when the keypoint-motion
// source is wanted.
#pragma once

#include <string>

namespace le::tools {

enum class AnimationKind { kA2x, kMotion };

// "a2x" or "motion"; throws std::runtime_error naming `name` otherwise.
AnimationKind parseAnimationKind(const std::string& name);
const char* animationKindName(AnimationKind kind);

class AnimationChoice {
 public:
  // Prepares `kind` over the animation files of `bundle` (a directory or
  // anything the engine resolves to one). A view is a directory of links in
  // TMPDIR named after this process; views there whose process has gone
  // (killed before it could remove its own) are removed first. Throws
  // std::runtime_error naming the bundle and the missing model when it
  // does not carry that source, or when the view cannot be made.
  AnimationChoice(const std::string& bundle, AnimationKind kind);
  // Removes the view, if one was made.
  ~AnimationChoice();
  AnimationChoice(const AnimationChoice&) = delete;
  AnimationChoice& operator=(const AnimationChoice&) = delete;

  AnimationKind kind() const { return kind_; }
  // The motion directory to hand the pipeline.
  const std::string& motionDir() const { return motionDir_; }
  // The pipeline's eager value: hybrid (-2) for keypoint motion, whose
  // first frame then needs only a few tens of ms of speech; 0 (the
  // engine's choice) for the audio-to-expression stream, whose look-ahead
  // is fixed by design.
  int eager() const { return kind_ == AnimationKind::kMotion ? -2 : 0; }

 private:
  void removeView();

  AnimationKind kind_;
  std::string motionDir_;
  std::string view_;  // temporary directory of links, empty when none
};

}  // namespace le::tools
