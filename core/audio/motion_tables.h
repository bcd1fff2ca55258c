// The small files of a keypoint-motion directory: the meta.json sizes and the
// raw little-endian float32 tables, each of which must hold an exact count.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace le::motion {

// Sizes and offsets read from "meta.json".
struct Meta {
  int nt = 0;             // driving frames
  int nSrc = 0;           // rows of "src_xs_info.bin"
  int nEmo = 0;           // rows of "emo.bin"
  float sBridge = 0.f;    // gain of the stitching correction
  float deltaPitch = 0.f; // pitch offset of the driving pose, degrees (optional)
};

// Largest frame or row count accepted from meta.json; keeps every table size
// far from overflow.
constexpr int kMaxRows = 1 << 20;

// Scans meta.json text: for each key the value after the first quoted
// occurrence and its colon, read as a decimal number. Throws "meta.json:
// missing <key>" for an absent required key and "meta.json: bad <key>" when
// the colon or a number is missing, a count is not a whole number in
// 1..kMaxRows, or a value is not finite. Never reads outside `text`.
Meta scanMeta(const std::string& text);

// Reads a raw float32 table that must hold exactly `count` values. Throws
// "cannot open <path>", "short read <path>: <n> of <count> values" or
// "<path> holds <n> values where <count> are expected"; a size that is not a
// whole number of floats is refused likewise.
std::vector<float> readTable(const std::string& path, size_t count);

}  // namespace le::motion
