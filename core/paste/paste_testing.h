// Inputs shared by the compositor's tests: reproducible crops, masks and
// frames, and scoped environment settings.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace le::paste::testing {

// Sets (or unsets, for nullopt) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_.c_str(), old_->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Three planes of side x side values in 0..1: smooth gradients with noise,
// so that sharpening both clamps and stays in range.
inline std::vector<float> makeCrop(int side, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> noise(-0.15f, 0.15f);
  std::vector<float> planes(3 * size_t(side) * side);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        const float base = 0.2f + 0.6f * float((x * (c + 1) + y * (3 - c)) % (2 * side)) / (2 * side);
        planes[(size_t(c) * side + y) * side + x] = base + noise(rng);
      }
  return planes;
}

// A feathered mask: opaque in the middle, falling to 0 over `feather` pixels.
inline std::vector<std::uint8_t> makeMask(int side, int feather) {
  std::vector<std::uint8_t> mask(size_t(side) * side);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) {
      const int edge = std::min(std::min(x, y), std::min(side - 1 - x, side - 1 - y));
      const int v = feather > 0 ? std::min(255, edge * 255 / feather) : 255;
      mask[size_t(y) * side + x] = std::uint8_t(v);
    }
  return mask;
}

inline std::vector<std::uint8_t> makeFrame(int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> frame(size_t(w) * h * 3);
  for (auto& b : frame) b = std::uint8_t(rng() & 0xFF);
  return frame;
}

}  // namespace le::paste::testing
