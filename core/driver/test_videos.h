// What tools/driver_videos.py writes, for the frame-source tests.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace le::test {

constexpr int kVidNT = 40;
constexpr int kVidW = 64;
constexpr int kVidH = 48;
constexpr int kVidCrop = 32;

// Path of a generated file; the first call writes the data when the fixture
// has not run yet (the directory appears whole, by rename).
inline std::string videoPath(const std::string& name) {
  static const std::string dir = [] {
    const std::string d = dataDir() + "/driver";
    struct stat st;
    if (::stat(d.c_str(), &st) != 0) {
      const std::string cmd = "'" + python() + "' '" + sourceDir() + "/tools/driver_videos.py' --out '" + d + "'";
      if (runCommand(cmd) != 0) throw std::runtime_error("Writing the test videos failed: " + cmd);
    }
    return d;
  }();
  return dir + "/" + name;
}

// BT.601 limited range, integer, as the canvas conversion is defined.
inline std::vector<uint8_t> referenceRgb(const std::vector<uint8_t>& yuv, int frame, int w, int h) {
  const size_t fsz = size_t(w) * h * 3 / 2;
  const uint8_t* Y = yuv.data() + fsz * frame;
  const uint8_t* U = Y + size_t(w) * h;
  const uint8_t* V = U + size_t(w / 2) * (h / 2);
  auto cl = [](int x) { return uint8_t(x < 0 ? 0 : x > 255 ? 255 : x); };
  std::vector<uint8_t> out(size_t(w) * h * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const int c = 298 * (Y[y * w + x] - 16) + 128;
      const int d = U[(y / 2) * (w / 2) + x / 2] - 128;
      const int e = V[(y / 2) * (w / 2) + x / 2] - 128;
      uint8_t* px = &out[(size_t(y) * w + x) * 3];
      px[0] = cl((c + 409 * e) >> 8);
      px[1] = cl((c - 208 * e - 100 * d) >> 8);
      px[2] = cl((c + 516 * d) >> 8);
    }
  }
  return out;
}

// A manifest.json for a hand-built bundle in `dir`; `extra` is spliced in
// as further root keys (",\"key\": value...").
inline void writeManifest(const std::string& dir, int nt, int w, int h, int crop, int frames,
                          const std::string& extra = "", int msrcW = 0, int msrcH = 0) {
  const std::string text = "{\"format\": \"le-bundle-v0\", \"agent\": \"t\", \"NT\": " + std::to_string(nt) +
                           ", \"H\": " + std::to_string(h) + ", \"W\": " + std::to_string(w) +
                           ", \"crop\": " + std::to_string(crop) +
                           ", \"amount\": 1.3, \"sigma\": 2.0, \"ksize\": 13, \"frames\": " + std::to_string(frames) +
                           ", \"M_src_w\": " + std::to_string(msrcW ? msrcW : w) +
                           ", \"M_src_h\": " + std::to_string(msrcH ? msrcH : h) + extra + "}\n";
  writeFile(dir + "/manifest.json", text);
}

}  // namespace le::test
