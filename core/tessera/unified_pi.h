// The director's elliptical compose region ("pi") rebuilt from the keypoints:
// a lip ellipse plus a teeth gate that opens with the mouth.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::tessera {

// Half-open pixel rectangle [x0, x1) x [y0, y1) on the compose canvas.
struct PixelBox {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool empty() const { return x1 <= x0 || y1 <= y0; }
  int width() const { return x1 - x0; }
  int height() const { return y1 - y0; }
};

PixelBox unite(const PixelBox& a, const PixelBox& b);

// A soft ellipse in normalised coordinates; cy already includes "down".
struct Ellipse {
  double cx = 0, cy = 0, rx = 0, ry = 0;
  double sharpness = 0;  // H = sqrt(rx * ry) * 256
};

// Float mask value to byte: clamp to [0, 1], times 255, ties to even.
uint8_t maskByte(float v);

class UnifiedPi {
 public:
  // Largest canvas side accepted; canvases size S x S buffers.
  static constexpr int kMaxCanvas = 8192;

  // Reads the manifest's "unified" block; throws on every refusal.
  static UnifiedPi fromManifestJson(const std::string& json, int canvas);
  // Picks which of the three corpus lip geometries the bank was built on by
  // matching canonical centroids over xsTarget (NT sets of 63 floats).
  static UnifiedPi corpusFromManifestJson(const std::string& json, int canvas, const float* xsTarget, int NT,
                                          const double* cCanon, std::string* geometryOut);

  int canvas() const { return canvas_; }
  bool cornerRecovery() const { return cornerRecovery_; }
  double propGateScale() const { return propGateScale_; }
  double padX() const { return padX_; }
  double padY() const { return padY_; }
  double down() const { return down_; }
  const std::vector<int>& lipIdx() const { return lipIdx_; }
  // A copy with other lip geometry parameters.
  UnifiedPi withLipGeom(double padX, double padY, double down) const;

  Ellipse ellParams(const float* kp, double padX, double padY, double minRx, double minRy, double scale,
                    double down) const;
  // Full-canvas soft ellipse mask.
  void ellMask(const float* kp, double padX, double padY, double minRx, double minRy, double scale, double down,
               float* out) const;
  void lipMask(const float* kp, float* out) const;
  void propTeethGate(const float* kp, float* out) const;
  Ellipse lipParams(const float* kp) const;
  // Gate ellipse, and in `gate` the opening factor g in [0, 1].
  Ellipse gateParams(const float* kp, double& gate) const;
  // Pixels where the ellipse can be non-zero.
  PixelBox ellBox(const Ellipse& e) const;
  // Pixels where the pi mask can be non-zero.
  PixelBox supportBox(const float* kp) const;

  void piU8(const float* kp, uint8_t* out) const;
  // As piU8; returns the support box (everything outside it is zero).
  PixelBox piU8Boxed(const float* kp, uint8_t* out) const;
  // The pi mask and its value-weighted centroid in pixels; false when empty.
  bool piU8Centroid(const float* kp, uint8_t* out, double& cx, double& cy) const;
  // Inside `box`: byte(min(contour, max(lip, g x gate))); zero elsewhere.
  // `contour` is an S x S image read only inside the box.
  void piU8ShrunkBy(const float* kp, const float* contour, const PixelBox& box, uint8_t* out) const;
  // The pi mask and the whole-pixel shift of its centroid from `centroid`
  // (x, y); false when the mask is empty.
  bool piU8AndShift(const float* kp, const double* centroid, uint8_t* out, int& dy, int& dx) const;
  // Mean pi centroid (x, y) over NT keypoint sets; throws when every pi is empty.
  void canonicalCentroid(const float* xs, int NT, double* out) const;

  // Value of an ellipse at pixel (i, j).
  float ellValue(const Ellipse& e, int i, int j) const;

 private:
  UnifiedPi() = default;

  int canvas_ = 0;
  bool cornerRecovery_ = false;
  double propGateScale_ = 1.0;
  std::vector<int> lipIdx_;
  double padX_ = 0, padY_ = 0, down_ = 0;
  std::vector<float> gx_, gy_;  // normalised x per column, y per row
};

}  // namespace le::tessera
