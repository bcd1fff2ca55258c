// Loading and validating the teeth-bank members a pass is built from.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace le {

struct Manifest;

// Owner's cap on the bank size; larger banks are refused, never trimmed.
constexpr int kTesseraMaxDonors = 1024;
// Largest stored band side accepted; keeps n_donors x band_h x band_w x 3 far
// from overflowing and from sizing absurd buffers.
constexpr int kTesseraMaxBandSide = 16384;

// Everything the borrowed-teeth pass is given, loaded and checked.
struct TesseraAttachInputs {
  int32_t n_donors = 0;
  std::vector<int32_t> track_order;  // entry t: donor slot of reference band t
  std::vector<double> cent;          // (x, y) per donor
  std::array<double, 2> c_canon{};
  std::vector<double> aperture;      // per donor
  std::array<int32_t, 12> stamp{};   // geometry keys, tesseraStampKeys() order
  std::vector<uint8_t> head_pt;
  std::string head_json;
  std::string manifest_json;
  std::string bank_track_path;
  std::string bank_container;
  std::string bank_codec;
  std::string bank_pix_fmt;
  std::string bank_packing;
  int32_t band_w = 0;
  int32_t band_h = 0;

  // n_donors x band_h x band_w x 3.
  int64_t bandBytes() const;
};

// The twelve geometry keys, in stamp order.
const std::array<const char*, 12>& tesseraStampKeys();
// "{canvas_w=.., canvas_h=.., ...}".
std::string tesseraStampText(const std::array<int32_t, 12>& stamp);

// Applies the members rule, then reads and validates every member; throws.
TesseraAttachInputs loadTesseraMembers(const std::string& bundlePath);
// The same over a loaded manifest's bundle directory.
TesseraAttachInputs loadTesseraMembers(const Manifest& manifest);

// Copies reference band t of `src` (track order) to band track_order[t] of
// `dst` (donor order). Both buffers hold inputs.bandBytes() bytes.
void reorderTrackToDonor(const TesseraAttachInputs& inputs, const uint8_t* src, uint8_t* dst);

}  // namespace le
