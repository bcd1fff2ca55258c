#include "core/audio/log_mel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/test_support.h"

namespace le::motion {
namespace {

template <class T>
std::vector<T> load(const std::string& name) {
  const std::vector<unsigned char> bytes = test::readFile(test::dataDir() + "/motion_mel/" + name);
  std::vector<T> out(bytes.size() / sizeof(T));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
  return out;
}

// Single-precision FFT and sums against numpy's double precision: the log
// turns the relative rounding of the mel sums (a few float ulps) into an
// absolute error; 1e-4 leaves room above the 3e-5 measured.
constexpr double kTolerance = 1e-4;

TEST(LogMel, MatchesTheNumpyReference) {
  const auto signal = load<float>("signal.f32");
  const auto ref = load<double>("mel.f64");
  ASSERT_EQ(signal.size(), size_t(LogMel::kSpan));
  ASSERT_EQ(ref.size(), size_t(LogMel::kMels) * LogMel::kFrames);
  LogMel mel(load<float>("window.f32"), load<float>("binmat.f32"));
  std::vector<float> out(ref.size());
  mel.compute(signal.data(), out.data());
  double worst = 0;
  for (size_t i = 0; i < out.size(); ++i) worst = std::max(worst, std::abs(out[i] - ref[i]));
  EXPECT_LT(worst, kTolerance);
  RecordProperty("max_abs_error", std::to_string(worst));

  // Other threads have their own FFT scratch and get the same numbers.
  std::vector<float> other(out.size());
  std::thread t([&] { mel.compute(signal.data(), other.data()); });
  t.join();
  EXPECT_EQ(other, out);
}

TEST(LogMel, SilenceIsTheFloorAndSizesAreChecked) {
  LogMel mel(load<float>("window.f32"), load<float>("binmat.f32"));
  std::vector<float> zeros(LogMel::kSpan, 0.f), out(size_t(LogMel::kMels) * LogMel::kFrames);
  mel.compute(zeros.data(), out.data());
  for (float v : out) EXPECT_FLOAT_EQ(v, std::log(1e-8f));
  EXPECT_EQ(test::thrownBy([] { LogMel(std::vector<float>(511), std::vector<float>(20560)); }),
            "LogMel: the window holds 511 values, expected 512");
  EXPECT_EQ(test::thrownBy([] { LogMel(std::vector<float>(512), std::vector<float>(20559)); }),
            "LogMel: the mel matrix holds 20559 values, expected 20560");
}

}  // namespace
}  // namespace le::motion
