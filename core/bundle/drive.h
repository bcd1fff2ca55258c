// The driving data of a bundle: keypoints and the identity frame of each
// driving frame.
#pragma once

#include <cstdint>
#include <vector>

#include "core/bundle/manifest.h"

namespace le {

struct Drive {
  std::vector<float> xs;    // frames x 63 source keypoints
  std::vector<float> xd;    // frames x 63 driven keypoints
  std::vector<int32_t> si;  // frames identity (loop) frame indices, each in [0, NT)
  int32_t frames = 0;
};

// Reads "drive/xs.f32", "drive/xd.f32" and "drive/si.i32", each exactly the
// size the manifest's frame count implies. Throws std::runtime_error.
Drive loadDrive(const Manifest& manifest);

// Exactly `count` elements of T from a headerless little-endian file: throws
// "cannot open <path>" or "size mismatch <path>" when the file holds any
// other number of bytes.
template <class T>
std::vector<T> readRaw(const std::string& path, size_t count);

}  // namespace le
