// Feeds arbitrary bytes to the teeth-member JSON reader and to the two mask
// configurations built on it. Refusals are fine; crashes, overreads and
// unbounded recursion are not.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "core/tessera/json.h"
#include "core/tessera/lip_contour.h"
#include "core/tessera/unified_pi.h"

namespace {

// Walks the tree the way the loaders do, so every accessor sees odd shapes.
void walk(const le::tessera::json::JVal& v, int depth) {
  if (depth > 8) return;
  (void)v.find("format");
  (void)v.optStr("pix_fmt", "");
  try {
    (void)v.reqNum("n_donors");
  } catch (const std::exception&) {
  }
  for (const auto& e : v.arr) walk(e, depth + 1);
  for (const auto& kv : v.obj) walk(kv.second, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy: any read past the input trips the sanitizer.
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    le::tessera::json::JParser parser(reinterpret_cast<const char*>(data), size);
    walk(parser.parse(), 0);
  } catch (const std::exception&) {
  }
  try {
    auto pi = le::tessera::UnifiedPi::fromManifestJson(text, 32);
    float kp[63] = {};
    uint8_t mask[32 * 32];
    double c[2] = {16, 16};
    int dy, dx;
    (void)pi.piU8AndShift(kp, c, mask, dy, dx);
  } catch (const std::exception&) {
  }
  try {
    auto lc = le::tessera::LipContour::fromTemplateJson(text, 32);
    float kp[63] = {};
    for (int i = 0; i < 63; ++i) kp[i] = 0.05f * static_cast<float>(i % 7) - 0.15f;
    float out[32 * 32];
    lc.contourF32Canvas(kp, out);
  } catch (const std::exception&) {
  }
  return 0;
}
