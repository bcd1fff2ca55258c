// The demo director's warp on a drawn mouth, run through ONNX Runtime as the
// renderer runs it: upper lip, teeth, lower lip in three bands at the demo
// face's inner lip rows; and on a picture of its own coordinates, which
// shows where each pixel was read from.
#include <array>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include <onnxruntime_cxx_api.h>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace {

constexpr int kCrop = 256;  // the demo bundle's crop
constexpr int kRows = 21;
constexpr int kUpperRows[] = {14, 19}, kLowerRows[] = {17, 20};  // outer, inner
constexpr int kLeftCorner = 6, kRightCorner = 12;
constexpr float kUpperY = 0.157f, kLowerY = 0.216f;                // the demo's inner lips at idle
// Closed as the speech models close it: the upper lip takes a third of the
// gap, the lower lip the rest.
constexpr float kLineY = kUpperY + (kLowerY - kUpperY) / 3.f;

using Rgb = std::array<float, 3>;
constexpr Rgb kSkin{0.8f, 0.55f, 0.5f};
constexpr Rgb kUpperLip{0.8f, 0.2f, 0.1f};
constexpr Rgb kTeeth{1.f, 1.f, 1.f};
constexpr Rgb kLowerLip{0.6f, 0.1f, 0.5f};

float centre(int i) { return (float(i) + 0.5f) / kCrop * 2.f - 1.f; }

// The demo face's keypoints at rest (x, y, depth); only the mouth's matter here.
std::vector<float> restKeypoints();

// The rest keypoints with each lip moved down by its own amount.
std::vector<float> lipsMoved(float upperDown, float lowerDown) {
  auto kp = restKeypoints();
  for (int r : kUpperRows) kp[size_t(r) * 3 + 1] += upperDown;
  for (int r : kLowerRows) kp[size_t(r) * 3 + 1] += lowerDown;
  return kp;
}

// `kp` with each mouth corner moved `in` towards the middle (negative: out).
std::vector<float> cornersIn(std::vector<float> kp, float in) {
  kp[size_t(kLeftCorner) * 3] += in;
  kp[size_t(kRightCorner) * 3] -= in;
  return kp;
}

std::vector<float> restKeypoints() {
  static const float kXy[kRows][2] = {
      {-0.364f, -0.367f}, {-0.095f, -0.367f}, {0.109f, -0.354f}, {0.352f, -0.342f}, {-0.325f, -0.280f},
      {-0.121f, -0.270f}, {-0.235f, 0.132f},  {0.122f, -0.260f}, {0.314f, -0.265f}, {-0.006f, -0.239f},
      {0.000f, -0.009f},  {-0.018f, 0.489f},  {0.212f, 0.144f},  {-0.414f, 0.247f}, {-0.011f, 0.114f},
      {0.404f, 0.246f},   {-0.351f, 0.017f},  {-0.018f, 0.285f}, {0.340f, 0.016f},  {-0.010f, kUpperY},
      {-0.018f, kLowerY}};
  std::vector<float> kp;
  for (const auto& r : kXy) kp.insert(kp.end(), {r[0], r[1], 0.f});
  return kp;
}

// Planar [3,S,S]: skin, with the lips and the teeth between them across the middle.
std::vector<float> drawnMouth() {
  std::vector<float> img(size_t(3) * kCrop * kCrop);
  for (int y = 0; y < kCrop; ++y) {
    const float cy = centre(y);
    for (int x = 0; x < kCrop; ++x) {
      const bool mouth = std::fabs(centre(x)) < 0.22f;
      const Rgb& c = !mouth                  ? kSkin
                     : cy < 0.10f           ? kSkin
                     : cy < kUpperY         ? kUpperLip
                     : cy < kLowerY         ? kTeeth
                     : cy < 0.29f           ? kLowerLip
                                            : kSkin;
      for (int ch = 0; ch < 3; ++ch) img[(size_t(ch) * kCrop + y) * kCrop + x] = c[size_t(ch)];
    }
  }
  return img;
}

// Planar [3,S,S] whose colour is its own position: red (x + 1) / 2, green
// (y + 1) / 2. Bilinear sampling of a ramp is exact and its second
// differences vanish, so each output pixel tells where the warp read it from.
std::vector<float> positionRamp() {
  std::vector<float> img(size_t(3) * kCrop * kCrop, 0.5f);
  for (int y = 0; y < kCrop; ++y) {
    for (int x = 0; x < kCrop; ++x) {
      img[size_t(y) * kCrop + x] = (centre(x) + 1.f) / 2.f;
      img[(size_t(kCrop) + y) * kCrop + x] = (centre(y) + 1.f) / 2.f;
    }
  }
  return img;
}

class DemoDirector : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new le::test::TempDir();
    std::ofstream(dir_->file("manifest.json")) << "{\"crop\": " << kCrop << "}\n";
    ASSERT_EQ(le::test::runCommand("'" + le::test::python() + "' '" + le::test::sourceDir() +
                                   "/tools/director_model.py' --bundle '" + dir_->path() +
                                   "' --keys b1_fp32 > /dev/null"),
              0);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  // Runs the director on `img` with the rest keypoints as the source.
  std::vector<float> render(const std::vector<float>& img, std::vector<float> driving) {
    Ort::SessionOptions opts;
    opts.SetIntraOpNumThreads(1);
    Ort::Session session(env_, dir_->file("model_b1_fp32.onnx").c_str(), opts);
    std::vector<float> pooled(size_t(64) * 32 * 32, 0.f), source = restKeypoints(), image = img;
    const int64_t pooledShape[] = {1, 64, 32, 32}, imgShape[] = {1, 3, kCrop, kCrop}, kpShape[] = {1, kRows, 3};
    auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    std::vector<Ort::Value> in;
    in.push_back(Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), pooledShape, 4));
    in.push_back(Ort::Value::CreateTensor<float>(mem, image.data(), image.size(), imgShape, 4));
    in.push_back(Ort::Value::CreateTensor<float>(mem, driving.data(), driving.size(), kpShape, 3));
    in.push_back(Ort::Value::CreateTensor<float>(mem, source.data(), source.size(), kpShape, 3));
    const char* names[] = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
    const char* outName = "rgb";
    auto out = session.Run(Ort::RunOptions{nullptr}, names, in.data(), in.size(), &outName, 1);
    const float* p = out[0].GetTensorData<float>();
    return std::vector<float>(p, p + img.size());
  }

  static Rgb at(const std::vector<float>& img, int x, int y) {
    Rgb c;
    for (int ch = 0; ch < 3; ++ch) c[size_t(ch)] = img[(size_t(ch) * kCrop + y) * kCrop + x];
    return c;
  }
  // Where the warp read output pixel (x, y) from, off a rendered positionRamp().
  static std::array<float, 2> readFrom(const std::vector<float>& img, int x, int y) {
    const Rgb c = at(img, x, y);
    return {c[0] * 2.f - 1.f, c[1] * 2.f - 1.f};
  }
  static int pixel(float v) { return int((v + 1.f) / 2.f * kCrop); }
  static float distance(const Rgb& a, const Rgb& b) {
    return std::fabs(a[0] - b[0]) + std::fabs(a[1] - b[1]) + std::fabs(a[2] - b[2]);
  }

  Ort::Env env_{ORT_LOGGING_LEVEL_WARNING, "director_model_test"};
  static le::test::TempDir* dir_;
};

le::test::TempDir* DemoDirector::dir_ = nullptr;

TEST_F(DemoDirector, RestKeypointsReturnTheCropUnchanged) {
  const auto img = drawnMouth();
  const auto out = render(img, restKeypoints());
  float worst = 0.f;
  for (size_t i = 0; i < img.size(); ++i) worst = std::max(worst, std::fabs(out[i] - img[i]));
  EXPECT_LE(worst, 1e-5f);
}

// Inner lips driven to contact: across the middle of the mouth every row of
// the old gap shows lip, the upper lip's above the mouth line and the lower
// lip's below it. An averaged field cancels there and shows the teeth.
TEST_F(DemoDirector, LipsDrivenToContactCoverTheTeethEachWithItsOwnColour) {
  const auto out = render(drawnMouth(), lipsMoved(kLineY - kUpperY, kLineY - kLowerY));
  const float pixel = 2.f / kCrop;
  int checked = 0;
  for (int x = 0; x < kCrop; ++x) {
    if (std::fabs(centre(x)) > 0.05f) continue;
    for (int y = 0; y < kCrop; ++y) {
      const float cy = centre(y);
      if (cy < kUpperY || cy > kLowerY) continue;
      const Rgb c = at(out, x, y);
      // The row on the line samples the lips' own edges, half lip at least.
      const float lipness = std::fabs(cy - kLineY) < pixel ? 0.5f : 0.8f;
      EXPECT_GT(distance(c, kTeeth), lipness) << "teeth show at x " << centre(x) << ", y " << cy;
      if (cy < kLineY - pixel) {
        EXPECT_LT(distance(c, kUpperLip), 0.25f) << "above the line at x " << centre(x) << ", y " << cy;
      } else if (cy > kLineY + pixel) {
        EXPECT_LT(distance(c, kLowerLip), 0.25f) << "below the line at x " << centre(x) << ", y " << cy;
      }
      ++checked;
    }
  }
  EXPECT_GT(checked, 80);
}

// Parting the lips moves each away from the line: the teeth show where the
// lips were, and the skin beyond them stays skin.
TEST_F(DemoDirector, PartedLipsShowMoreTeeth) {
  const auto out = render(drawnMouth(), lipsMoved(-0.03f, 0.03f));
  const int mid = kCrop / 2;
  auto row = [](float y) { return int((y + 1.f) / 2.f * kCrop); };
  EXPECT_LT(distance(at(out, mid, row(kUpperY - 0.015f)), kTeeth), 0.3f);
  EXPECT_LT(distance(at(out, mid, row(kLowerY + 0.015f)), kTeeth), 0.3f);
  EXPECT_LT(distance(at(out, mid, row(-0.3f)), kSkin), 1e-4f);
}

// "oo" and "ee": the corners drawn in (or pushed out) take the lips between
// them along, gathered towards the still middle, and leave the face beyond
// the mouth where it was. A warp that moves the corner pixel alone, or only
// half way, shows no rounding.
TEST_F(DemoDirector, CornersDrawnInGatherTheLipsAndLeaveTheFaceAround) {
  const auto rest = restKeypoints();
  const float cy = (rest[size_t(kLeftCorner) * 3 + 1] + rest[size_t(kRightCorner) * 3 + 1]) / 2.f;
  for (const float in : {0.06f, -0.06f}) {
    SCOPED_TRACE(in > 0 ? "rounded" : "spread");
    const auto driving = cornersIn(rest, in);
    const auto out = render(positionRamp(), driving);
    for (const int corner : {kLeftCorner, kRightCorner}) {
      const float side = corner == kLeftCorner ? 1.f : -1.f;  // inward
      const float sx = rest[size_t(corner) * 3], dx = driving[size_t(corner) * 3];
      const float y = driving[size_t(corner) * 3 + 1];
      // The driven corner shows the source corner, give or take a pixel.
      EXPECT_NEAR(readFrom(out, pixel(dx), pixel(y))[0], sx, 2.f / kCrop) << "corner row " << corner;
      // Half way to the middle, on both lips, the lips move part of the way.
      for (const float ly : {kUpperY - 0.02f, kLowerY + 0.03f}) {
        const float half = dx / 2.f;
        const float moved = side * (half - readFrom(out, pixel(half), pixel(ly))[0]) / in;
        EXPECT_GT(moved, 0.25f) << "half way to corner row " << corner << " at y " << ly;
        EXPECT_LT(moved, 0.8f) << "half way to corner row " << corner << " at y " << ly;
      }
    }
    // Beyond the mouth: the middle, the eyes' height, the chin and the
    // cheeks past the corners barely move, and nothing moves up or down.
    float worstY = 0.f;
    for (int y = 0; y < kCrop; ++y) {
      for (int x = 0; x < kCrop; ++x) worstY = std::max(worstY, std::fabs(readFrom(out, x, y)[1] - centre(y)));
    }
    EXPECT_LT(worstY, 1e-4f);
    const std::array<float, 2> still[] = {{0.f, cy}, {0.f, kLowerY}, {-0.2f, -0.3f}, {0.2f, -0.3f},
                                          {0.f, 0.49f}, {-0.6f, cy}, {0.6f, cy}};
    for (const auto& p : still) {
      EXPECT_LT(std::fabs(readFrom(out, pixel(p[0]), pixel(p[1]))[0] - centre(pixel(p[0]))), 0.1f * std::fabs(in))
          << "at x " << p[0] << ", y " << p[1];
    }
  }
}

// A closure while the mouth rounds ("m" into "oo"): the corners' sideways
// reach must not weaken the lips' vertical pull, so the middle of the mouth
// reads the rows it reads with the corners at rest, within a tenth of a pixel.
TEST_F(DemoDirector, RoundingLeavesTheClosureAsItIs) {
  const auto closed = lipsMoved(kLineY - kUpperY, kLineY - kLowerY);
  const auto plain = render(positionRamp(), closed);
  const auto rounded = render(positionRamp(), cornersIn(closed, 0.06f));
  for (int x = pixel(-0.03f); x <= pixel(0.03f); ++x) {
    for (int y = pixel(kUpperY - 0.03f); y <= pixel(kLowerY + 0.03f); ++y) {
      EXPECT_NEAR(readFrom(rounded, x, y)[1], readFrom(plain, x, y)[1], 0.1f * 2.f / kCrop)
          << "at x " << centre(x) << ", y " << centre(y);
    }
  }
  // And it still covers the teeth in the middle.
  const auto out = render(drawnMouth(), cornersIn(closed, 0.06f));
  for (int y = pixel(kUpperY) + 1; y < pixel(kLowerY); ++y) {
    EXPECT_GT(distance(at(out, kCrop / 2, y), kTeeth), 0.5f) << "teeth show at y " << centre(y);
  }
}

}  // namespace
