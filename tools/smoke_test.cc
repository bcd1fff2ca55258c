// The three native dependencies working together on generated data: FFmpeg
// decodes the tiny bundle's driving video, ONNX Runtime runs a generated
// model, Highway reports the target it dispatches to.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}
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

  AVFormatContext* fmt = nullptr;
  const std::string video = dir + "/target_frames.mp4";
  ASSERT_EQ(avformat_open_input(&fmt, video.c_str(), nullptr, nullptr), 0) << video;
  ASSERT_GE(avformat_find_stream_info(fmt, nullptr), 0);
  const int si = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  ASSERT_GE(si, 0);
  const AVCodec* codec = avcodec_find_decoder(fmt->streams[si]->codecpar->codec_id);
  ASSERT_NE(codec, nullptr);
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(dec, fmt->streams[si]->codecpar);
  ASSERT_EQ(avcodec_open2(dec, codec, nullptr), 0);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  int frames = 0;
  auto drain = [&] {
    while (avcodec_receive_frame(dec, frame) == 0) {
      EXPECT_EQ(frame->width, w);
      EXPECT_EQ(frame->height, h);
      ++frames;
    }
  };
  while (av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == si) {
      avcodec_send_packet(dec, pkt);
      drain();
    }
    av_packet_unref(pkt);
  }
  avcodec_send_packet(dec, nullptr);
  drain();
  EXPECT_EQ(frames, nt);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&fmt);
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
