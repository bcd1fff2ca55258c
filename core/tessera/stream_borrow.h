// The teeth pass as a stream over rendered face crops: builds each frame's
// canvas bytes and mouth mask from the crop and its driving keypoints, feeds
// the teeth pass, and writes the pass's window back into a canvas as a delta.
// Output lags input by one frame, like the pass. One thread drives a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/tessera/lip_contour.h"
#include "core/tessera/teeth_pass.h"
#include "core/tessera/unified_pi.h"

namespace le::tessera {

class StreamBorrow {
 public:
  // Builds the pass; the pi canvas must equal the bank's square compose
  // canvas. A non-empty lipTemplateJson selects the lip-contour mouth mask,
  // else the pi ellipse serves (each choice announced on stderr). Throws.
  StreamBorrow(const BankData& bank, const HeadWeights& head, const ServeConfig& config, const UnifiedPi& pi,
               const std::string& lipTemplateJson);

  // Three S x S float planes (R, G, B in [0, 1]) and 21 x 3 driving
  // keypoints. Returns true when `out` received the previous frame.
  bool push(const float* planar, const float* kp, FrameResult* out);
  // S x S RGBA bytes (alpha ignored).
  bool pushRgba(const uint8_t* rgba, const float* kp, FrameResult* out);
  // With canvas() already filled with the frame's S x S x 3 bytes.
  bool pushSynth(const float* kp, FrameResult* out);
  // Emits the held frame; false when there was none.
  bool flush(FrameResult* out);
  // Drops the held frame without computing it; false when there was none.
  bool discard() { return pass_.discard(); }
  // See TeethPass::setStopCheck: push and flush throw TeethPass::Stopped.
  void setStopCheck(std::function<bool()> check) { pass_.setStopCheck(std::move(check)); }

  // Why result r cannot be written back into a side x side canvas under the
  // stamp (its window size disagrees, or the stamp window escapes the
  // canvas); empty when it can.
  static std::string windowProblem(int side, const FrameResult& r, const GeometryStamp& stamp);

  // Applies a result's window to a float canvas (three side x side planes):
  // each value moves by (result byte / 255 - its own byte quantisation), so
  // sub-byte detail survives where the pass left a byte unchanged. Skipped
  // results change nothing. Throws when the window's size or placement
  // disagrees with the stamp or the canvas side.
  static void writeWindowDelta(float* canvasPlanar, int side, const FrameResult& r, const GeometryStamp& stamp);
  // The same on RGBA bytes; every pixel's alpha becomes 255 first.
  static void writeWindowDeltaRgba(uint8_t* canvasRgba, int side, const FrameResult& r, const GeometryStamp& stamp);

  // Clamp to [0, 1], x 255, round half to even; the canvas bytes push uses.
  static uint8_t quantize(float v);

  // The last pushed crop as bytes, written only where the pass reads it
  // (TeethPass::readRows / readCols); elsewhere it stays 0.
  uint8_t* canvas() { return canvas_.data(); }
  int side() const { return side_; }
  const TeethPass& pass() const { return pass_; }
  const GeometryStamp& stamp() const { return pass_.stamp(); }
  bool usesLipContour() const { return static_cast<bool>(contour_); }
  const char* backend() const { return "cpu"; }
  int hostSplit(double*) const { return 0; }

 private:
  TeethPass pass_;
  UnifiedPi pi_;
  std::unique_ptr<LipContour> contour_;
  int side_ = 0;
  std::vector<uint8_t> canvas_;  // S x S x 3, written within the pass's read region
  std::vector<uint8_t> mask_;    // S x S
  double centroid_[2] = {0, 0};  // (x, y)
  int counter_ = 0;
};

// A stream borrow and the name of the corpus pi geometry it was placed by.
struct StreamBorrowBuild {
  std::unique_ptr<StreamBorrow> borrow;
  std::string geometry;  // "v1", "v2" or "v3"
};

// Builds a stream borrow from raw member contents, as an utterance attaches
// one: bands (nDonors reference bands of the stamp's stored size, packed RGB,
// donor order), cent (2 x nDonors), cCanon (2), aperture (nDonors), stamp (12
// integers), the head weights bytes, the head configuration and manifest
// texts, the bundle's xs_target keypoints (NT x 63 floats) and its lip
// template text (may be empty). The stamp is validated first; its canvas is
// the compose canvas. Throws std::runtime_error with the failing step's text;
// checks specific to the caller (null pointers, the render crop) are the
// caller's.
StreamBorrowBuild makeStreamBorrow(const uint8_t* bands, int nDonors, const double* cent, const double* cCanon,
                                   const double* aperture, const int32_t* stamp, const uint8_t* headPt,
                                   std::size_t headPtLen, const std::string& headJson,
                                   const std::string& manifestJson, const float* xsTarget, int NT,
                                   const std::string& lipTemplateJson);

// The bank of raw member contents (bands copied); validates the stamp.
BankData makeBankData(const uint8_t* bands, int nDonors, const double* cent, const double* cCanon,
                      const double* aperture, const int32_t* stamp);

}  // namespace le::tessera
