// The compositor that puts the rendered face crop back into its full frame:
// scale to 0..255, sharpen each channel with an unsharp mask, then resample
// the crop through the inverse of a per-frame affine map and blend it over
// the frame with a feathered 8-bit mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/bundle/manifest.h"

namespace le {

class Paste {
 public:
  // `unsharp` is the manifest's sharpening (amount, sigma, ksize).
  // `mask` holds side x side bytes (0 transparent, 255 opaque) and is taken
  // over. Throws when the mask size disagrees with the side, when ksize is
  // even or below 1, or when the side or the settings are unusable.
  // Reads LE_PASTE_FAST (0 Lanczos, 1 bicubic, 2 bilinear) and
  // LE_PASTE_KSIZE (a smaller odd kernel width) from the environment.
  Paste(std::vector<uint8_t> mask, int side, const Unsharp& unsharp);

  Paste(const Paste&) = delete;
  Paste& operator=(const Paste&) = delete;

  // Pastes three consecutive side x side float planes (R, G, B), multiplied
  // by `scale`, into the packed RGB frame of w x h pixels through the map
  // M = {a, b, c, d, e, f}: crop (u, v) -> frame (a u + b v + c, d u + e v + f).
  // Only pixels inside the crop's footprint change. A singular map or a
  // footprint off the frame leaves the frame untouched. Not reentrant: one
  // composite at a time per object.
  void composite(const float* planes, float scale, const float* m, uint8_t* frame, int w, int h);

  // The steps of composite, public so that they can be timed and checked.
  // Scales the three input planes into the object's planes.
  void fillPlanes(const float* planes, float scale);
  // Sharpens one side x side plane in place; throws for sides over 1024.
  void unsharpPlane(float* plane);
  // Resamples and blends the object's planes into frame rows y0..y1,
  // columns x0..x1, with the row map (ru, rv) and offsets (ou, ov); the
  // column increments must already be set up (see composite).
  void compositeTail(uint8_t* frame, int w, int x0, int x1, int y0, int y1,
                     double ru, double rv, double ou, double ov);

  int side() const { return side_; }
  int ksize() const { return ksize_; }
  int fastMode() const { return fast_; }
  const std::vector<float>& gauss() const { return gauss_; }
  // Channel c (0 R, 1 G, 2 B) of the scaled, sharpened crop.
  float* plane(int c) { return planes_.data() + std::size_t(c) * side_ * side_; }

 private:
  void tailLanczos(uint8_t* frame, int w, int x0, int x1, int y0, int y1,
                   double ru, double rv, double ou, double ov);
  void tailScalar(uint8_t* frame, int w, int x0, int x1, int y0, int y1,
                  double ru, double rv, double ou, double ov);

  int side_;
  int ksize_;
  int padded_;  // side + ksize - 1
  float amount_;
  int fast_ = 0;
  std::vector<uint8_t> mask_;
  std::vector<float> gauss_;
  std::vector<float> lanczos_;
  std::vector<float> bilinear_;
  std::vector<float> bicubic_;
  std::vector<float> planes_;  // 3 x side x side
  std::vector<float> pad_;     // padded x padded, one channel
  std::vector<float> hblur_;   // padded x padded
  std::vector<float> rgba_;    // side x side x 4, the Lanczos kernel's source
  std::vector<int> xs_, ys_;   // per-column source increments, 1/1024 pixel
};

}  // namespace le
