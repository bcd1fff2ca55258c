// The native half-precision convolution backend of the director. This build
// carries no such engine: available() is false and the renderer always runs
// the director on ONNX Runtime.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace le {

// One loaded director graph on the native backend.
class ConvEngine {
 public:
  virtual ~ConvEngine() = default;
  // Frames per call.
  virtual int batch() const = 0;
  // Fills the first n crops (3 x 512 x 512 floats each) of `rgb` from the
  // per-frame pooled64 and P halves and the n x 63 keypoints.
  virtual void render(const uint16_t* const* pooled, const uint16_t* const* P, const float* kpSource,
                      const float* kpDriving, int n, float* rgb) = 0;
};

class ConvBackend {
 public:
  // Whether this build and processor can run the native engine.
  static bool available();
  // Whether `modelPath` is the fused director graph the engine runs.
  static bool graphSupported(const std::string& modelPath);
  // Loads `modelPath`; throws when the backend is unavailable.
  static std::unique_ptr<ConvEngine> create(const std::string& modelPath, int threads);
};

}  // namespace le
