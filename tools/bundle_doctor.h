// What is wrong with an avatar bundle: every loader of the engine run over
// it without rendering, each member reported as the loaders found it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::doctor {

enum class Status {
  kAccepted,   // a loader read it and found nothing wrong
  kRefused,    // a loader refused it; the detail is the engine's message
  kAbsent,     // not in the bundle (optional, or required and reported so)
  kUnchecked,  // present, but a loader it depends on stopped first
  kUnread,     // present, and no loader of the engine reads it
};
const char* statusName(Status s);

struct MemberReport {
  std::string member;  // name in the bundle ("drive/si.i32", "target_frames/")
  Status status = Status::kAbsent;
  std::string detail;
  uint64_t bytes = 0;  // file size, or the sum over a directory
  bool present = false;
};

struct Director {
  std::string key;  // "b1_fp32": the model is "model_<key>.onnx"
  int batch = 0;
};

struct BundleReport {
  std::string path;  // as given
  std::string dir;   // the bundle directory it resolved to
  bool renders = false;  // opens for rendering: a context and one director
  std::vector<MemberReport> members;
  std::vector<Director> directors;
  std::vector<std::string> speech;  // "a2x", "motion"
  bool teeth = false;
  int width = 0, height = 0, crop = 0, loopFrames = 0, driveFrames = 0;
  uint64_t totalBytes = 0;
  double milliseconds = 0;

  const MemberReport* find(const std::string& member) const;
  // Members a loader refused.
  std::vector<const MemberReport*> refused() const;
};

struct Options {
  // Speech encoder for the audio-to-expression check; empty: $W2V_ONNX,
  // and that check is skipped when neither is given.
  std::string speechEncoder;
};

// Runs every loader over the bundle at `path` (directory or container).
// Never throws for what is wrong with the bundle; that is the report.
BundleReport examineBundle(const std::string& path, const Options& options);

// One line a member, then what the bundle can do and its sizes.
std::string formatText(const BundleReport& report);
std::string formatJson(const BundleReport& report);

}  // namespace le::doctor
