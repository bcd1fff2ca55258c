#include "tests/test_support.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace le::test {
namespace {

std::string envOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? v : fallback;
}

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

}  // namespace

std::string dataDir() { return envOr("LE_TEST_DATA_DIR", LE_TEST_DATA_DIR_DEFAULT); }
std::string sourceDir() { return envOr("LE_SOURCE_DIR", LE_SOURCE_DIR_DEFAULT); }
std::string python() { return envOr("LE_PYTHON", LE_PYTHON_DEFAULT); }
std::string bundlePath(const std::string& name) { return dataDir() + "/" + name; }

int runCommand(const std::string& cmd) {
  int rc = std::system(cmd.c_str());
  if (rc == -1) return -1;
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128;
}

int timeScale() {
  const char* v = std::getenv("LE_TEST_TIME_SCALE");
  const int scale = v ? std::atoi(v) : 1;
  return std::clamp(scale, 1, 1000);
}

std::string programCommand(const std::string& path) {
  const std::string emulator = LE_TEST_EMULATOR;
  return emulator.empty() ? shellQuote(path) : emulator + " " + shellQuote(path);
}

void runGenerator(const std::vector<std::string>& args) {
  std::string cmd = shellQuote(python()) + " " + shellQuote(sourceDir() + "/tools/make_bundle.py");
  for (const auto& a : args) cmd += " " + shellQuote(a);
  if (runCommand(cmd) != 0) throw std::runtime_error("The bundle generator failed: " + cmd);
}

std::string demoBundleWithDirectors() {
  static const std::string dir = [] {
    const std::string d = bundlePath("demo");
    if (runCommand("test -f '" + d + "/model_b1_fixed.onnx'") != 0) {
      runGenerator({"--preset", "demo", "--out", d});
      runCommand(shellQuote(python()) + " " + shellQuote(sourceDir() + "/tools/director_model.py") + " --bundle " +
                 shellQuote(d) + " --keys b1_fp32,b1_fixed:1:fixed > /dev/null");
    }
    return d;
  }();
  return dir;
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "le_test_XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("Cannot create a scratch directory.");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<unsigned char> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot read " + path + ".");
  return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) throw std::runtime_error("Cannot write " + path + ".");
}

std::string thrownBy(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

void writeFile(const std::string& path, const std::string& text) { writeFile(path, text.data(), text.size()); }

}  // namespace le::test

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <cmath>
#include <limits>
#include <memory>

namespace le::test {

DecodedVideo decodeVideoRgb24(const std::string& path) {
  AVFormatContext* fmtRaw = nullptr;
  if (avformat_open_input(&fmtRaw, path.c_str(), nullptr, nullptr) < 0)
    throw std::runtime_error("Cannot open video " + path + ".");
  std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> fmt(&fmtRaw, avformat_close_input);
  if (avformat_find_stream_info(fmtRaw, nullptr) < 0) throw std::runtime_error("No stream info in " + path + ".");
  const int si = av_find_best_stream(fmtRaw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (si < 0) throw std::runtime_error("No video stream in " + path + ".");
  const AVCodec* codec = avcodec_find_decoder(fmtRaw->streams[si]->codecpar->codec_id);
  if (!codec) throw std::runtime_error("No decoder for " + path + ".");
  AVCodecContext* decRaw = avcodec_alloc_context3(codec);
  std::unique_ptr<AVCodecContext*, void (*)(AVCodecContext**)> dec(&decRaw, avcodec_free_context);
  avcodec_parameters_to_context(decRaw, fmtRaw->streams[si]->codecpar);
  if (avcodec_open2(decRaw, codec, nullptr) < 0) throw std::runtime_error("Cannot open decoder for " + path + ".");
  AVPacket* pktRaw = av_packet_alloc();
  std::unique_ptr<AVPacket*, void (*)(AVPacket**)> pkt(&pktRaw, av_packet_free);
  AVFrame* frameRaw = av_frame_alloc();
  std::unique_ptr<AVFrame*, void (*)(AVFrame**)> frame(&frameRaw, av_frame_free);
  SwsContext* sws = nullptr;
  DecodedVideo out;
  auto drain = [&] {
    while (avcodec_receive_frame(decRaw, frameRaw) == 0) {
      out.width = frameRaw->width;
      out.height = frameRaw->height;
      sws = sws_getCachedContext(sws, out.width, out.height, static_cast<AVPixelFormat>(frameRaw->format), out.width,
                                 out.height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr);
      std::vector<unsigned char> rgb(static_cast<size_t>(out.width) * out.height * 3);
      uint8_t* dst[1] = {rgb.data()};
      int dstStride[1] = {3 * out.width};
      sws_scale(sws, frameRaw->data, frameRaw->linesize, 0, out.height, dst, dstStride);
      out.frames.push_back(std::move(rgb));
    }
  };
  while (av_read_frame(fmtRaw, pktRaw) >= 0) {
    if (pktRaw->stream_index == si) {
      avcodec_send_packet(decRaw, pktRaw);
      drain();
    }
    av_packet_unref(pktRaw);
  }
  avcodec_send_packet(decRaw, nullptr);
  drain();
  sws_freeContext(sws);
  return out;
}

double psnr(const unsigned char* a, const unsigned char* b, size_t n) {
  double se = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = double(a[i]) - double(b[i]);
    se += d * d;
  }
  if (se == 0) return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(255.0 * 255.0 * double(n) / se);
}

}  // namespace le::test
