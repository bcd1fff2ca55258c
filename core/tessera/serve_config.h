// How the teeth pass serves: retrieval sizes, aperture tolerance and the
// temporal smoothing, read from the head member's JSON.
#pragma once

#include <string>

namespace le::tessera {

struct ServeConfig {
  // Largest candidate list and re-scored set accepted; the pass sizes
  // per-frame buffers by them.
  static constexpr int kMaxList = 4096;

  int kshort = 512;             // donors re-scored exactly after the pooled pass
  double aperture_tol = 0.3;    // relative tolerance on the donor's mouth aperture
  int cut = 96;                 // exact-ranked donors examined by the aperture gate
  int K = 64;                   // candidate list length handed to the head
  int hysteresis = 8;           // donors carried to the next frame
  int lookahead = 8;            // next-frame donors that lead the current list
  double teeth_luma_min = 100.0;    // 0..255 scale
  double teeth_rg_limit = 25.0;     // maximum |G - R|, 0..255 scale
  int min_teeth_pixels = 32;        // below this the whole mask counts
  double weight_carry = 0.6;        // decay of the previous frame's weight map
  bool lookahead_enabled = true;

  // Requires objects "retrieval" (kshort, aperture_tol, cut, K) and
  // "temporal" (hysteresis, lookahead); an optional "decode" object must
  // carry envelope_clamp_255 = 12. Throws on every refusal.
  static ServeConfig fromHeadMemberJson(const std::string& json);
};

}  // namespace le::tessera
