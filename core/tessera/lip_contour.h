// A baked lip polygon deformed onto each frame's lip keypoints and rasterised
// with an outward feathered edge: the tight mouth region that replaces the
// pi ellipse.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/tessera/json.h"
#include "core/tessera/unified_pi.h"

namespace le::tessera {

// Not thread-safe: the rasterisers share the object's work images.
class LipContour {
 public:
  static constexpr const char* kTemplateName = "lip_template.v1.json";
  // More vertices than this is not a lip template; it only sizes buffers.
  static constexpr int kMaxVertices = 4096;

  // Validates the template (and its lip_map when present); throws.
  static LipContour fromTemplateJson(const std::string& json, int canvas);
  // Validates and attaches an anchor-linear lip_map object; throws.
  void attachMap(const json::JVal& lipMap);

  int canvas() const { return canvas_; }
  double featherPx() const { return feather_; }
  int vertexCount() const { return static_cast<int>(uCanon_.size() / 2); }
  bool hasMap() const { return hasMap_; }

  // Polygon vertices in canvas pixels, (x, y) interleaved.
  void polygon(const float* kp, std::vector<double>& verts) const;
  // Vertex bounds grown by the feather + 2 px, clamped to the canvas.
  PixelBox box(const std::vector<double>& verts) const;
  // Box-sized 0/1 image of the polygon (edges included).
  void fillScanline(const std::vector<double>& verts, const PixelBox& box, uint8_t* inside) const;
  // Feathered polygon into the S x S image `out`, written only inside box.
  void contourF32(const std::vector<double>& verts, const PixelBox& box, float* out);
  // Whole-canvas contour mask (zero outside the box).
  void contourF32Canvas(const float* kp, float* out);
  // byte(min(contour, pi)) inside the contour box; false when the box is empty.
  bool deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out);
  // mask = min(mask, byte(contour)) inside `box`; false when the polygon box is empty.
  bool shrinkU8InPlace(const float* kp, const PixelBox& box, uint8_t* mask);
  // The pi mask with its centroid shift, shrunk to the contour within the pi's support box.
  bool deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double* centroid, uint8_t* out, int& dy,
                           int& dx);

 private:
  LipContour() = default;

  int canvas_ = 0;
  double feather_ = 0;
  std::vector<double> uCanon_;  // nv x 2
  std::vector<int> lipIdx_;
  bool hasMap_ = false;
  std::vector<double> mapW_;  // 2nv x 2n, row-major
  std::vector<double> mapB_;  // 2nv
  std::vector<int> mapIdx_;   // n rows
  // Work images (any use of the object is single-threaded).
  std::vector<float> work_;     // S x S
  std::vector<uint8_t> inside_;  // box-sized
  std::vector<float> dist_;      // box-sized
  std::vector<double> verts_;
  std::vector<double> xs_;       // scanline crossings
};

}  // namespace le::tessera
