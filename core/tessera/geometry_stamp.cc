#include "core/tessera/geometry_stamp.h"

#include <algorithm>
#include <stdexcept>

#include "core/tessera/members.h"

namespace le::tessera {

GeometryStamp GeometryStamp::fromArray(const int32_t* v) {
  GeometryStamp s;
  s.canvas_w = v[0];
  s.canvas_h = v[1];
  s.window_x0 = v[2];
  s.window_y0 = v[3];
  s.window_w = v[4];
  s.window_h = v[5];
  s.pad = v[6];
  s.band_r0 = v[7];
  s.band_r1 = v[8];
  s.band_c0 = v[9];
  s.band_c1 = v[10];
  s.shift_margin = v[11];
  return s;
}

std::array<int32_t, 12> GeometryStamp::toArray() const {
  return {canvas_w, canvas_h, window_x0, window_y0, window_w, window_h,
          pad,      band_r0,  band_r1,   band_c0,   band_c1,  shift_margin};
}

void GeometryStamp::validate() const {
  // 64-bit sums: a stamp comes from a bundle and may hold any 32-bit values.
  const int64_t cw = canvas_w, ch = canvas_h, x0 = window_x0, y0 = window_y0, ww = window_w, wh = window_h;
  const int64_t p = pad, r0 = band_r0, r1 = band_r1, c0 = band_c0, c1 = band_c1, sm = shift_margin;
  std::string failed;
  auto rule = [&](bool broken, const char* text) {
    if (broken) failed += std::string(" ") + text + ";";
  };
  rule(ww < 1 || wh < 1, "window dims must be positive");
  rule(x0 < 0 || x0 + ww > cw, "window x-range escapes canvas");
  rule(y0 < 0 || y0 + wh > ch, "window y-range escapes canvas");
  rule(r0 < 0 || r1 <= r0 || r1 > wh, "band rows escape window");
  rule(c0 < 0 || c1 <= c0 || c1 > ww, "band cols escape window");
  rule(sm < 0 || p < 1, "pad/shift_margin must be positive");
  rule(p + r0 < sm || p + r1 + sm > wh + 2 * p, "stored band rows escape patch");
  rule(p + c0 < sm || p + c1 + sm > ww + 2 * p, "stored band cols escape patch");
  // A shift cannot leave the canvas, and a larger pad overflows the pass's
  // pixel arithmetic.
  rule(p > std::max(cw, ch), "pad exceeds the canvas");
  if (!failed.empty()) throw std::runtime_error("teeth: GeometryStamp incoherent:" + failed);
}

std::string GeometryStamp::text() const { return tesseraStampText(toArray()); }

}  // namespace le::tessera
