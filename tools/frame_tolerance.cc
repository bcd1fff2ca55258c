#include "tools/frame_tolerance.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace le::tools {

double cropTolerance(double gain) {
  if (!(gain > 0.0)) throw std::runtime_error("A paste gain of " + std::to_string(gain) + " is not positive.");
  return kFrameEpsBudget / gain;
}

double keypointTolerance(int side) {
  if (side < 2) throw std::runtime_error("A crop side of " + std::to_string(side) + " pixels is too small.");
  return kKeypointPixels / (side / 2.0);
}

double maxMagnitude(const std::vector<float>& v) {
  double m = 0.0;
  for (float x : v) m = std::isnan(x) ? std::numeric_limits<double>::infinity() : std::max(m, std::abs(double(x)));
  return m;
}

FloatDiff floatDiff(const std::string& what, const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size())
    throw std::runtime_error(what + " has " + std::to_string(a.size()) + " values on one side and " +
                             std::to_string(b.size()) + " on the other.");
  FloatDiff d;
  for (size_t i = 0; i < a.size(); ++i) {
    const bool nanA = std::isnan(a[i]), nanB = std::isnan(b[i]);
    double e;
    if (nanA || nanB)
      e = nanA == nanB ? 0.0 : std::numeric_limits<double>::infinity();
    else
      e = std::abs(double(a[i]) - double(b[i]));
    if (e > 0.0) ++d.differing;
    if (e > d.maxAbs) d.maxAbs = e, d.worst = i;
  }
  return d;
}

double pasteGain(float amount, const std::vector<float>& table, int taps) {
  if (taps < 1 || table.empty() || table.size() % size_t(taps) != 0)
    throw std::runtime_error("A resampling table of " + std::to_string(table.size()) + " weights does not hold " +
                             std::to_string(taps) + "-tap phases.");
  double widest = 0.0;
  for (size_t p = 0; p < table.size(); p += size_t(taps)) {
    double sum = 0.0;
    for (int i = 0; i < taps; ++i) sum += std::abs(double(table[p + size_t(i)]));
    widest = std::max(widest, sum);
  }
  return 255.0 * (1.0 + 2.0 * std::abs(double(amount))) * widest * widest;
}

FrameBound frameBound(double delta, double gain, size_t bytes) {
  FrameBound b;
  // NaN must not pass as no difference (std::max would turn it into 0).
  const double eps = std::isnan(delta) ? std::numeric_limits<double>::infinity() : std::max(0.0, delta) * gain;
  if (!std::isfinite(eps) || eps >= 255.0) {
    b.maxLsb = 255;
    b.maxDiffering = bytes;
    return b;
  }
  b.maxLsb = int(std::floor(eps)) + 1;
  const double n = double(bytes);
  const double share = eps + (n > 0 ? 4.0 * std::sqrt(eps / n) : 0.0);
  b.maxDiffering = size_t(std::min(n, std::floor(share * n)));
  return b;
}

FrameDiff frameDiff(const std::string& what, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                    const std::vector<uint8_t>& footprint) {
  if (a.size() != b.size() || a.size() != footprint.size() * 3)
    throw std::runtime_error(what + ": frames of " + std::to_string(a.size()) + " and " + std::to_string(b.size()) +
                             " bytes do not match a footprint of " + std::to_string(footprint.size()) + " pixels.");
  FrameDiff d;
  for (size_t i = 0; i < a.size(); ++i) {
    const int e = std::abs(int(a[i]) - int(b[i]));
    const bool in = footprint[i / 3] != 0;
    d.inside += in;
    d.maxAbs = std::max(d.maxAbs, e);
    if (e) ++(in ? d.differingInside : d.differingOutside);
  }
  return d;
}

std::string frameVerdict(const std::string& what, const FrameDiff& diff, const FrameBound& bound) {
  if (diff.differingOutside)
    return what + ": " + std::to_string(diff.differingOutside) +
           " bytes outside the paste footprint differ, where the crop has no say.";
  if (diff.maxAbs > bound.maxLsb)
    return what + ": a byte differs by " + std::to_string(diff.maxAbs) + ", more than the " +
           std::to_string(bound.maxLsb) + " that the crop difference allows.";
  if (diff.differingInside > bound.maxDiffering)
    return what + ": " + std::to_string(diff.differingInside) + " of " + std::to_string(diff.inside) +
           " bytes inside the footprint differ, more than the " + std::to_string(bound.maxDiffering) +
           " that the crop difference allows.";
  return "";
}

}  // namespace le::tools
