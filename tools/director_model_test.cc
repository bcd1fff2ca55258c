// The demo director's warp on a drawn mouth, run through ONNX Runtime as the
// renderer runs it: upper lip, teeth, lower lip in three bands at the demo
// face's inner lip rows.
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

}  // namespace
