#include "tools/speech_frame_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/paste/paste_tables.h"
#include "tools/frame_tolerance.h"

namespace le::tools {

int compareSpeechDumps(const StageDump& a, const StageDump& b, std::vector<std::string>* lines) {
  int failed = 0;
  auto report = [&](const std::string& line, bool ok) {
    lines->push_back(std::string(ok ? "ok   " : "FAIL ") + line);
    if (!ok) ++failed;
  };
  auto exact = [&](const std::string& name) {
    const bool same = a.arrays().at(name).isFloat ? a.floats(name) == b.floats(name) : a.bytes(name) == b.bytes(name);
    report(name + ": " + (same ? "equal" : "DIFFERS"), same);
  };
  auto within = [&](const std::string& name, double tol) {
    const FloatDiff d = floatDiff(name, a.floats(name), b.floats(name));
    char line[256];
    std::snprintf(line, sizeof line, "%s: max |diff| %.3g at %zu (%zu of %zu differ; allowed %.3g)", name.c_str(),
                  d.maxAbs, d.worst, d.differing, a.floats(name).size(), tol);
    report(line, d.maxAbs <= tol);
    return d.maxAbs;
  };
  int worstLsb = 0;
  size_t worstBytes = 0;
  auto pasted = [&](const std::string& prefix, double cropDelta, double gain) {
    const FrameDiff d = frameDiff(prefix + ".frame", a.bytes(prefix + ".frame"), b.bytes(prefix + ".frame"),
                                  a.bytes(prefix + ".footprint"));
    // Never beyond the budget: a crop past its tolerance fails on its own
    // and does not excuse its frame.
    const FrameBound bound = frameBound(std::min(cropDelta, cropTolerance(gain)), gain, d.inside);
    const std::string verdict = frameVerdict(prefix + ".frame", d, bound);
    worstLsb = std::max(worstLsb, d.maxAbs);
    worstBytes = std::max(worstBytes, d.differingInside + d.differingOutside);
    char line[256];
    std::snprintf(line, sizeof line, "%s.frame: max %d LSB, %zu of %zu footprint bytes differ (allowed %d LSB, %zu)",
                  prefix.c_str(), d.maxAbs, d.differingInside, d.inside, bound.maxLsb, bound.maxDiffering);
    report(verdict.empty() ? line : verdict, verdict.empty());
  };

  // Both runs must have recorded the same things: a record on one side only
  // is a stage that ran differently (a crop rendered, an idle frame more).
  for (const auto* pair : {&a, &b}) {
    const StageDump& other = pair == &a ? b : a;
    for (const auto& [name, arr] : pair->arrays())
      if (!other.has(name) || other.arrays().at(name).isFloat != arr.isFloat)
        report("record \"" + name + "\" is not on both sides alike", false);
  }
  if (failed) return failed;
  exact("paste.amount");
  exact("speech.src");
  for (const auto& [name, arr] : a.arrays())
    if (name.rfind("idle.", 0) == 0 || name.find(".footprint") != std::string::npos) exact(name);
  const double gain = pasteGain(a.floats("paste.amount").at(0), le::paste::lanczos8Table(), 8);
  const double cropTol = cropTolerance(gain);
  const int side = int(std::lround(std::sqrt(double(a.floats("drive.crop").size()) / 3.0)));
  const double kpTol = keypointTolerance(side);
  within("features", kFeatureRelative * maxMagnitude(a.floats("features")));
  pasted("drive", within("drive.crop", cropTol), gain);
  const size_t frames = a.floats("speech.src").size();
  double kpMax = 0, cropMax = 0;
  for (size_t k = 0; k < frames; ++k) {
    const std::string prefix = "speech." + std::to_string(k);
    kpMax = std::max(kpMax, within(prefix + ".kp", kpTol));
    // Frames whose crop was recorded are held to what their own crop
    // difference explains; the others to the crop tolerance.
    double delta = cropTol;
    if (a.has(prefix + ".crop") || b.has(prefix + ".crop")) {
      delta = within(prefix + ".crop", cropTol);
      cropMax = std::max(cropMax, delta);
    }
    pasted(prefix, delta, gain);
  }
  char summary[256];
  std::snprintf(summary, sizeof summary,
                "speech frames: %zu; keypoints %.2g (allowed %.2g), crops %.2g (allowed %.2g), frames %d LSB in "
                "%zu bytes at most; paste gain %.0f LSB per unit crop",
                frames, kpMax, kpTol, cropMax, cropTol, worstLsb, worstBytes, gain);
  lines->push_back(summary);
  return failed;
}

}  // namespace le::tools
