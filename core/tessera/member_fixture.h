// Test helper: hand-written teeth-member bundles whose sidecar and manifest
// the tests edit one field at a time.
#pragma once

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace le::test {

// Directory of a generated teeth-member bundle variant
// (tools/tessera_members.py). Generates the set once when it is missing or
// stale; the generator locks, so parallel test processes are safe.
inline std::string tesseraVariant(const std::string& name) {
  static std::once_flag once;
  const std::string root = dataDir() + "/tessera";
  std::call_once(once, [&] {
    std::string cmd = "'" + python() + "' '" + sourceDir() + "/tools/tessera_members.py' --all-variants '" + root +
                      "' --if-stale";
    if (runCommand(cmd) != 0) throw std::runtime_error("The teeth-member generator failed: " + cmd);
  });
  return root + "/" + name;
}

struct SidecarSpec {
  std::string format = "\"tessera_bank.v1\"";
  std::string nDonors;  // defaults to the order's length
  std::vector<int> order = {2, 0, 1};
  std::string cent;      // defaults to n (x, y) pairs
  std::string aperture;  // defaults to n numbers
  std::string canon = "[64.0, 90.5]";
  std::string geometry =
      "{\"canvas_w\":128,\"canvas_h\":128,\"window_x0\":32,\"window_y0\":72,\"window_w\":64,\"window_h\":40,"
      "\"pad\":4,\"band_r0\":8,\"band_r1\":32,\"band_c0\":8,\"band_c1\":56,\"shift_margin\":2}";
  std::string codec = "{\"codec\":\"h264\",\"pix_fmt\":\"yuv444p\"}";

  std::string json() const {
    const std::size_t n = order.size();
    std::string o = "[", c = "[", a = "[";
    for (std::size_t i = 0; i < n; ++i) {
      if (i) o += ",", c += ",", a += ",";
      o += std::to_string(order[i]);
      c += "[" + std::to_string(10 + i) + ".5," + std::to_string(20 + i) + "]";
      a += "0." + std::to_string(i + 1);
    }
    o += "]", c += "]", a += "]";
    return "{\"format\":" + format + ",\"n_donors\":" + (nDonors.empty() ? std::to_string(n) : nDonors) +
           ",\"track_order\":" + o + ",\"cent\":" + (cent.empty() ? c : cent) +
           ",\"aperture\":" + (aperture.empty() ? a : aperture) + ",\"c_canon\":" + canon +
           ",\"geometry\":" + geometry + ",\"codec\":" + codec + "}";
  }
};

// Writes a bundle with all four members (the track and weights are opaque
// bytes here) and the given manifest text.
inline void writeMemberBundle(const std::string& dir, const SidecarSpec& side,
                              const std::string& manifest = "{\"format\":\"le-bundle-v0\",\"tessera\":{}}") {
  writeFile(dir + "/manifest.json", manifest);
  writeFile(dir + "/tessera_bank.v1.json", side.json());
  writeFile(dir + "/tessera_bank.v1.mp4", std::string("track"));
  writeFile(dir + "/tessera_head.v1.pt", std::string("PK\x03\x04weights", 10));
  writeFile(dir + "/tessera_head.v1.json", std::string("{\"retrieval\":{}}"));
}

}  // namespace le::test
