// The three native dependencies working together on generated data: FFmpeg
// decodes the tiny bundle's driving video, ONNX Runtime runs a generated
// model, Highway reports the target it dispatches to.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <onnxruntime_cxx_api.h>

#include <gtest/gtest.h>

#include "le/le.h"
#include "tests/test_support.h"

namespace {

int manifestInt(const std::string& text, const std::string& key) {
  auto at = text.find("\"" + key + "\"");
  if (at == std::string::npos) return -1;
  at = text.find(':', at);
  return std::stoi(text.substr(at + 1));
}

TEST(DependencySmoke, FfmpegDecodesTheTinyDrivingVideo) {
  const std::string dir = le::test::bundlePath("tiny");
  const auto bytes = le::test::readFile(dir + "/manifest.json");
  const std::string manifest(bytes.begin(), bytes.end());
  const int nt = manifestInt(manifest, "NT"), w = manifestInt(manifest, "W"), h = manifestInt(manifest, "H");
  ASSERT_GT(nt, 0);

  const auto video = le::test::decodeVideoRgb24(dir + "/target_frames.mp4");
  EXPECT_EQ(video.frames.size(), size_t(nt));
  EXPECT_EQ(video.width, w);
  EXPECT_EQ(video.height, h);
}

TEST(DependencySmoke, OnnxRuntimeRunsAGeneratedModel) {
  le::test::TempDir tmp;
  const std::string model = tmp.file("smoke.onnx");
  ASSERT_EQ(le::test::runCommand("'" + le::test::python() + "' '" + le::test::sourceDir() +
                                 "/tools/smoke_model.py' '" + model + "'"),
            0);
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "smoke");
  Ort::SessionOptions opts;
  opts.SetIntraOpNumThreads(1);
  Ort::Session session(env, model.c_str(), opts);
  float x[4] = {10, 20, 30, 40};
  int64_t shape[1] = {4};
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, x, 4, shape, 1);
  const char* inName = "x";
  const char* outName = "y";
  auto out = session.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
  const float* y = out[0].GetTensorData<float>();
  EXPECT_EQ(y[0], 11.f);
  EXPECT_EQ(y[3], 44.f);
  std::printf("onnxruntime %s\n", Ort::GetVersionString().c_str());
}

TEST(DependencySmoke, HighwayReportsItsBestTarget) {
  const std::string target = le_simd_target();
  std::printf("highway best target: %s\n", target.c_str());
  EXPECT_FALSE(target.empty());
  EXPECT_NE(target, "Unknown");
}

}  // namespace
