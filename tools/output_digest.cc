// Prints a digest of the paste compositor's and of the teeth pass's output
// bytes on fixed inputs, so that builds for different machines can be
// compared byte for byte (scripts/arm64.sh compares the x86-64 build with the
// aarch64 one under qemu). Every SIMD target this CPU runs is tried; the
// program fails when two of them disagree.
//
// Usage: le_output_digest [HEADS_PT]
//   HEADS_PT: teeth head weights (default: the generated heads/ok.pt).
// Output: one "<case> <64-bit FNV-1a hex>" line per case on stdout, the
// targets tried on stderr.
#include <hwy/targets.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/bundle/manifest.h"
#include "core/paste/paste.h"
#include "core/paste/paste_testing.h"
#include "core/tessera/member_fixture.h"
#include "core/tessera/teeth_pass.h"
#include "le/le.h"
#include "tests/test_support.h"
#include "tools/cli_options.h"

namespace {

using Digests = std::vector<std::pair<std::string, std::uint64_t>>;

class Fnv {
 public:
  void add(const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < n; ++i) h_ = (h_ ^ p[i]) * 0x100000001b3ULL;
  }
  template <class T>
  void addValue(T v) { add(&v, sizeof v); }
  std::uint64_t value() const { return h_; }

 private:
  std::uint64_t h_ = 0xcbf29ce484222325ULL;
};

// Crop-to-frame maps {a, b, c, d, e, f}: fractional shift, rotations with
// scale (up and down), a mirror and one hanging over the frame's corner.
std::vector<std::vector<float>> pasteMaps() {
  std::vector<std::vector<float>> maps = {
      {1.0f, 0.0f, 30.37f, 0.0f, 1.0f, 11.81f},
      {-1.0f, 0.0f, 130.5f, 0.0f, 1.0f, 7.25f},
      {0.71f, 0.0f, 120.0f, 0.0f, 0.71f, 70.6f},
  };
  for (double deg : {7.5, -23.0, 61.0}) {
    for (double scale : {0.83, 1.61}) {
      const double r = deg * 3.14159265358979323846 / 180.0;
      const float ca = float(scale * std::cos(r)), sa = float(scale * std::sin(r));
      maps.push_back({ca, -sa, 64.0f + float(deg) * 0.1f, sa, ca, 24.0f - float(scale) * 3.0f});
    }
  }
  return maps;
}

Digests pasteDigests() {
  Digests out;
  constexpr int kSide = 96, kW = 200, kH = 150;
  const std::vector<float> crop = le::paste::testing::makeCrop(kSide, 11);
  const auto maps = pasteMaps();
  for (const char* mode : {"0", "1", "2"}) {
    le::paste::testing::ScopedEnv fast("LE_PASTE_FAST", std::string(mode));
    for (const le::Unsharp& u : {le::Unsharp{1.3f, 2.0f, 13}, le::Unsharp{0.6f, 1.1f, 7}}) {
      le::Paste paste(le::paste::testing::makeMask(kSide, 9), kSide, u);
      Fnv h;
      for (const auto& m : maps) {
        std::vector<std::uint8_t> frame = le::paste::testing::makeFrame(kW, kH, 5);
        paste.composite(crop.data(), 255.0f, m.data(), frame.data(), kW, kH);
        h.add(frame.data(), frame.size());
      }
      out.emplace_back(std::string("paste.fast") + mode + ".k" + std::to_string(u.ksize), h.value());
    }
  }
  return out;
}

std::uint32_t mix(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  return x ^ (x >> 16);
}

// canvas 64, window 32 x 24 at (16, 28), pad 3, band rows 4..20, cols 4..28,
// shift margin 2: stored bands of 20 x 28. Even donors show a teeth-like
// bright block.
constexpr std::int32_t kStamp[12] = {64, 64, 16, 28, 32, 24, 3, 4, 20, 4, 28, 2};
constexpr double kCanonX = 32, kCanonY = 40;

le::tessera::BankData makeBank(int n) {
  le::tessera::BankData b;
  b.stamp = le::tessera::GeometryStamp::fromArray(kStamp);
  b.n = n;
  const int H = b.stamp.storedH(), W = b.stamp.storedW();
  b.stored.resize(std::size_t(n) * H * W * 3);
  for (int d = 0; d < n; ++d) {
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        std::uint8_t* p = &b.stored[((std::size_t(d) * H + y) * W + x) * 3];
        const bool teeth = d % 2 == 0 && y >= 6 && y < 14 && x >= 6 && x < 22;
        for (int c = 0; c < 3; ++c)
          p[c] = teeth ? std::uint8_t(200 + mix(d * 7919 + y * 131 + x * 17 + c) % 40)
                       : std::uint8_t((60 + 37 * d + 23 * c + mix(d * 31 + y * 7 + x + c) % 50) % 256);
      }
    b.cent.push_back(kCanonX + (d % 5) - 2);
    b.cent.push_back(kCanonY + (d % 3) - 1 + 0.5);
    b.aperture.push_back(d >= 9 ? 1.0 : 0.30 + 0.01 * d);
  }
  b.c_canon = {kCanonX, kCanonY};
  return b;
}

// Frame t: noise with donor (3t mod n)'s mouth brightened, shifted by
// (t mod 2, -(t mod 3)), under an elliptical mask with a soft rim.
void makeFrame(const le::tessera::BankData& b, int t, std::vector<std::uint8_t>& canvas,
               std::vector<std::uint8_t>& mask) {
  const auto& s = b.stamp;
  const int donor = (3 * t) % b.n, dy = t % 2, dx = -(t % 3), lift = 5 * t;
  canvas.assign(64 * 64 * 3, 0);
  mask.assign(64 * 64, 0);
  for (std::size_t i = 0; i < canvas.size(); ++i) canvas[i] = std::uint8_t(mix((20u + t) * 1000003u + std::uint32_t(i)));
  const int H = s.storedH(), W = s.storedW();
  for (int i = 0; i < s.window_h; ++i)
    for (int j = 0; j < s.window_w; ++j) {
      const int br = i + s.shift_margin - s.band_r0, bc = j + s.shift_margin - s.band_c0;
      std::uint8_t* p = &canvas[(std::size_t(s.window_y0 + dy + i) * 64 + std::size_t(s.window_x0 + dx + j)) * 3];
      for (int c = 0; c < 3; ++c) {
        const int v = (br >= 0 && br < H && bc >= 0 && bc < W) ? b.stored[((std::size_t(donor) * H + br) * W + bc) * 3 + c] : 0;
        p[c] = std::uint8_t(std::min(255, v + lift));
      }
    }
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) {
      const double ex = (x - (kCanonX + dx)) / 11.0, ey = (y - (kCanonY + dy)) / 6.0;
      const double r = ex * ex + ey * ey;
      mask[std::size_t(y) * 64 + x] = r <= 1 ? 255 : (r <= 1.3 ? 100 : 0);
    }
}

Digests teethDigests(const le::tessera::HeadWeights& head) {
  const le::tessera::BankData bank = makeBank(12);
  le::tessera::ServeConfig config;
  config.kshort = 12, config.cut = 12, config.K = 8, config.hysteresis = 3, config.lookahead = 2;
  le::tessera::TeethPass pass(bank, head, config);
  Fnv windows, choices;
  std::vector<std::uint8_t> canvas, mask;
  le::tessera::FrameResult r;
  int blended = 0;
  auto take = [&] {
    if (!r.skipped && r.candidates > 0) ++blended;
    windows.add(r.window.data(), r.window.size());
    choices.addValue(r.frame_index);
    choices.addValue(r.skipped);
    for (int d : r.donors) choices.addValue(d);
    choices.addValue(r.keep_mean);
    choices.addValue(r.keep_max);
  };
  for (int t = 0; t < 6; ++t) {
    makeFrame(bank, t, canvas, mask);
    if (pass.push(t, canvas.data(), mask.data(), nullptr, &r)) take();
  }
  if (pass.flush(&r)) take();
  // Frames that all skip the blend would compare nothing of the pass.
  if (blended < 4) throw std::runtime_error("Only " + std::to_string(blended) + " of 6 teeth frames were blended.");
  return {{"teeth.windows", windows.value()}, {"teeth.choices", choices.value()}};
}

}  // namespace

int main(int argc, char** argv) {
  le::cli::OptionParser parser("le_output_digest",
                               "le_output_digest [HEADS_PT]\n"
                               "  HEADS_PT  teeth head weights (default: the generated heads/ok.pt)",
                               le_version());
  const std::vector<std::string> pos = parser.parseOrExit(argc, argv);
  if (pos.size() > 1) parser.fail("takes at most one head weights file");
  try {
    const std::string headsPath = !pos.empty() ? pos[0] : le::test::tesseraVariant("heads") + "/ok.pt";
    const std::vector<unsigned char> bytes = le::test::readFile(headsPath);
    const le::tessera::HeadWeights head = le::tessera::loadHeadPt(bytes.data(), bytes.size());

    std::map<std::string, std::uint64_t> first;
    Digests order;
    bool agree = true;
    std::string tried;
    for (std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
      hwy::SetSupportedTargetsForTest(target);
      hwy::GetChosenTarget().Update(hwy::SupportedTargets());
      tried += std::string(tried.empty() ? "" : " ") + hwy::TargetName(target);
      Digests got = pasteDigests();
      for (auto& d : teethDigests(head)) got.push_back(d);
      for (const auto& [name, value] : got) {
        const auto [it, fresh] = first.emplace(name, value);
        if (fresh) {
          order.emplace_back(name, value);
        } else if (it->second != value) {
          std::fprintf(stderr, "le_output_digest: %s differs on %s\n", name.c_str(), hwy::TargetName(target));
          agree = false;
        }
      }
    }
    hwy::SetSupportedTargetsForTest(0);
    std::fprintf(stderr, "targets: %s\n", tried.c_str());
    for (const auto& [name, value] : order) std::printf("%s %016llx\n", name.c_str(), static_cast<unsigned long long>(value));
    return agree ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "le_output_digest: %s\n", e.what());
    return 2;
  }
}
