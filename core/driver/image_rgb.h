// Still-image decoding to packed 8-bit RGB.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le {

struct ImageRGB {
  int w = 0;
  int h = 0;
  std::vector<uint8_t> pixels;  // w * h * 3 bytes, rows top to bottom
};

// Decodes a JPEG (or any format stb_image reads) to three 8-bit channels.
// Throws std::runtime_error "decode failed: <path>" when it cannot.
ImageRGB loadImageRGB(const std::string& path);

}  // namespace le
