// The avatar bundle's manifest: the fixed set of values the loaders read from
// manifest.json, pulled out with the key scanner of manifest_key.h.
#pragma once

#include <cstdint>
#include <string>

namespace le {

// Sharpening the paste compositor applies to the rendered crop.
struct Unsharp {
  float amount = 1.3f;  // gain
  float sigma = 2.0f;   // Gaussian sigma
  int32_t ksize = 13;   // kernel size
};

struct Manifest {
  std::string dir;     // resolved bundle directory; members resolve under it
  std::string agent;   // the avatar's identifier as the bundle states it
  int32_t NT = 0;      // frames in the driving loop
  int32_t H = 0;       // output canvas height, pixels
  int32_t W = 0;       // output canvas width, pixels
  int32_t M_src_w = 0; // canvas width the paste transform M was authored on
  int32_t M_src_h = 0; // canvas height the paste transform M was authored on
  int32_t crop = 512;  // side of the square face crop, pixels
  Unsharp unsharp;
  int32_t frames = 0;  // frames in the driving keypoint arrays
  std::string lipTemplateJson;  // lip_template.v1.json, empty when absent

  // Path of neural model `name` ("model_<name>.onnx", or its canonical name).
  std::string modelPath(const std::string& name) const;
};

// Resolves `path` (directory or IMX container) and loads its manifest.json.
// Throws std::runtime_error naming what is missing or wrong.
Manifest loadManifest(const std::string& path);

// Cache directory for models compiled by the CoreML execution provider:
// dir + "/.coreml_cache/ort" + the ONNX Runtime version ("unknown" when none).
std::string coremlCacheDir(const std::string& dir);

}  // namespace le
