// The rectangle the teeth bank was built on: the compose canvas, the mouth
// window inside it, the band of the window that retrieval compares and the
// margins that bound a frame's shift.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace le::tessera {

struct GeometryStamp {
  int32_t canvas_w = 0;
  int32_t canvas_h = 0;
  int32_t window_x0 = 0;
  int32_t window_y0 = 0;
  int32_t window_w = 0;
  int32_t window_h = 0;
  int32_t pad = 0;
  int32_t band_r0 = 0;
  int32_t band_r1 = 0;
  int32_t band_c0 = 0;
  int32_t band_c1 = 0;
  int32_t shift_margin = 0;

  // From twelve integers in key order (canvas_w ... shift_margin).
  static GeometryStamp fromArray(const int32_t* values);
  std::array<int32_t, 12> toArray() const;

  // Checks every rule; when any fails throws "teeth: GeometryStamp
  // incoherent:" followed by " <rule text>;" for each failed rule in order.
  void validate() const;

  // Rows and columns of one stored reference band: the band widened by
  // shift_margin on every side. Meaningful only for a valid stamp.
  int storedH() const { return band_r1 - band_r0 + 2 * shift_margin; }
  int storedW() const { return band_c1 - band_c0 + 2 * shift_margin; }

  // "{canvas_w=.., canvas_h=.., ...}".
  std::string text() const;
};

}  // namespace le::tessera
