// The driver cursor against a bare FFmpeg decode + swscale loop of the same
// file, the cost of a jump back within the cursor's history, and the memory
// a cursor over a 720p loop holds.
//
//   build/bench/bench_driver
//
// Throughput is wall-clock (the cursor decodes on its own thread). Compare
// BM_CursorPull*_X with BM_BareDecodeSwscale_X for the cursor's overhead, and
// BM_CursorBackJumpInHistory_Demo (two pulls an iteration) with
// BM_FrameCopy_Demo for the cost of a jump back within the history.
//
// Videos: the tiny and demo bundles' target_frames.mp4 when those bundles
// have been generated, else the small test video and a 720p loop that
// tools/driver_videos.py writes on first use.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "core/driver/driver_cursor.h"
#include "core/driver/test_videos.h"
#include "tests/test_support.h"

namespace {

bool exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

std::string tinyVideo() {
  const std::string bundled = le::test::bundlePath("tiny") + "/target_frames.mp4";
  return exists(bundled) ? bundled : le::test::videoPath("drive.mp4");
}

std::string demoVideo() {
  const std::string bundled = le::test::bundlePath("demo") + "/target_frames.mp4";
  if (exists(bundled)) return bundled;
  const std::string dir = le::test::dataDir() + "/driver_demo";
  if (!exists(dir)) {
    const std::string cmd = "'" + le::test::python() + "' '" + le::test::sourceDir() +
                            "/tools/driver_videos.py' --demo --out '" + dir + "'";
    if (le::test::runCommand(cmd) != 0) throw std::runtime_error("Writing the benchmark video failed: " + cmd);
  }
  return dir + "/demo.mp4";
}

struct Probe {
  int nt = 0, w = 0, h = 0;
};

Probe probe(const std::string& path) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) throw std::runtime_error("cannot open " + path);
  avformat_find_stream_info(fmt, nullptr);
  Probe p;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    const AVStream* st = fmt->streams[i];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      p = {int(st->nb_frames), st->codecpar->width, st->codecpar->height};
      break;
    }
  }
  avformat_close_input(&fmt);
  if (p.nt <= 0) throw std::runtime_error(path + " states no frame count");
  return p;
}

// The plain way to play a file: demux, decode with the same threading the
// cursor's source uses, convert each picture to packed RGB with swscale.
class BareDecoder {
 public:
  explicit BareDecoder(const std::string& path) {
    avformat_open_input(&fmt_, path.c_str(), nullptr, nullptr);
    avformat_find_stream_info(fmt_, nullptr);
    stream_ = av_find_best_stream(fmt_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodecParameters* par = fmt_->streams[stream_]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    dec_ = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec_, par);
    dec_->thread_count = 4;
    dec_->thread_type = FF_THREAD_FRAME;
    avcodec_open2(dec_, codec, nullptr);
    w_ = par->width;
    h_ = par->height;
    pkt_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    rgb_.resize(size_t(w_) * h_ * 3);
  }
  ~BareDecoder() {
    sws_freeContext(sws_);
    av_frame_free(&frame_);
    av_packet_free(&pkt_);
    avcodec_free_context(&dec_);
    avformat_close_input(&fmt_);
  }

  // Decodes every frame of the file once; returns how many.
  int playOnce() {
    av_seek_frame(fmt_, stream_, 0, AVSEEK_FLAG_BACKWARD);
    avcodec_flush_buffers(dec_);
    int frames = 0;
    bool eof = false;
    for (;;) {
      const int r = avcodec_receive_frame(dec_, frame_);
      if (r == 0) {
        sws_ = sws_getCachedContext(sws_, w_, h_, AVPixelFormat(frame_->format), w_, h_, AV_PIX_FMT_RGB24,
                                    SWS_BILINEAR, nullptr, nullptr, nullptr);
        uint8_t* dst[1] = {rgb_.data()};
        const int stride[1] = {w_ * 3};
        sws_scale(sws_, frame_->data, frame_->linesize, 0, h_, dst, stride);
        av_frame_unref(frame_);
        ++frames;
        continue;
      }
      if (r == AVERROR_EOF || (r == AVERROR(EAGAIN) && eof)) return frames;
      if (av_read_frame(fmt_, pkt_) < 0) {
        eof = true;
        avcodec_send_packet(dec_, nullptr);
        continue;
      }
      if (pkt_->stream_index == stream_) avcodec_send_packet(dec_, pkt_);
      av_packet_unref(pkt_);
    }
  }

  const uint8_t* rgb() const { return rgb_.data(); }

 private:
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  SwsContext* sws_ = nullptr;
  AVPacket* pkt_ = nullptr;
  AVFrame* frame_ = nullptr;
  int stream_ = -1, w_ = 0, h_ = 0;
  std::vector<uint8_t> rgb_;
};

std::unique_ptr<le::DriverCursor> cursorOver(const std::string& path) {
  setenv("LE_DRIVER_HWDEC", "0", 1);
  const Probe p = probe(path);
  return le::DriverCursor::over(le::driver::openMp4(path, p.nt, p.w, p.h), 2, 11);
}

uint64_t residentSetBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * uint64_t(sysconf(_SC_PAGESIZE));
}

// Registered first, so that no earlier benchmark's freed memory is reused.
void BM_CursorResidentDemo(benchmark::State& state) {
  const std::string path = demoVideo();
  for (auto _ : state) {
    const uint64_t before = residentSetBytes();
    auto cur = cursorOver(path);
    std::vector<uint8_t> frame(cur->frameBytes());
    for (int i = 0; i < cur->NT(); ++i) cur->pull(frame.data());
    const uint64_t grown = residentSetBytes() - before;
    state.counters["residentBytes_MB"] = double(cur->residentBytes()) / 1e6;
    state.counters["processGrowth_MB"] = double(grown) / 1e6;
    state.counters["growth_over_resident"] = double(grown) / double(cur->residentBytes());
    state.counters["loop_MB"] = double(cur->frameBytes()) * cur->NT() / 1e6;
  }
}
BENCHMARK(BM_CursorResidentDemo)->Iterations(1)->Unit(benchmark::kMillisecond);

void bareLoop(benchmark::State& state, const std::string& path) {
  BareDecoder dec(path);
  int64_t frames = 0;
  for (auto _ : state) {
    frames += dec.playOnce();
    benchmark::DoNotOptimize(dec.rgb());
  }
  state.SetItemsProcessed(frames);
}

void cursorLoop(benchmark::State& state, const std::string& path, bool inPlace) {
  auto cur = cursorOver(path);
  std::vector<uint8_t> frame(cur->frameBytes());
  int64_t frames = 0;
  for (auto _ : state) {
    for (int i = 0; i < cur->NT(); ++i) {
      if (inPlace) {
        int f = -1;
        benchmark::DoNotOptimize(cur->pull(&f));
      } else {
        cur->pull(frame.data());
      }
    }
    frames += cur->NT();
  }
  state.SetItemsProcessed(frames);
  state.counters["seeks"] = double(cur->seeks());
}

void BM_BareDecodeSwscale_Tiny(benchmark::State& s) { bareLoop(s, tinyVideo()); }
void BM_CursorPullCopy_Tiny(benchmark::State& s) { cursorLoop(s, tinyVideo(), false); }
void BM_CursorPullInPlace_Tiny(benchmark::State& s) { cursorLoop(s, tinyVideo(), true); }
void BM_BareDecodeSwscale_Demo(benchmark::State& s) { bareLoop(s, demoVideo()); }
void BM_CursorPullCopy_Demo(benchmark::State& s) { cursorLoop(s, demoVideo(), false); }
void BM_CursorPullInPlace_Demo(benchmark::State& s) { cursorLoop(s, demoVideo(), true); }
BENCHMARK(BM_BareDecodeSwscale_Tiny)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_CursorPullCopy_Tiny)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_CursorPullInPlace_Tiny)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_BareDecodeSwscale_Demo)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_CursorPullCopy_Demo)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_CursorPullInPlace_Demo)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Back and forth between two frames 10 apart, both within the history of 11:
// every pull is served from memory (the seeks counter stays 0).
void BM_CursorBackJumpInHistory_Demo(benchmark::State& state) {
  auto cur = cursorOver(demoVideo());
  std::vector<uint8_t> frame(cur->frameBytes());
  for (int i = 0; i <= 20; ++i) cur->pull(frame.data());
  for (auto _ : state) {
    cur->pullAt(10, frame.data());
    cur->pullAt(20, frame.data());
  }
  state.SetItemsProcessed(state.iterations() * 2);
  state.counters["seeks"] = double(cur->seeks());
}
BENCHMARK(BM_CursorBackJumpInHistory_Demo)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What one frame copy costs, for comparison with the jump above.
void BM_FrameCopy_Demo(benchmark::State& state) {
  const Probe p = probe(demoVideo());
  std::vector<uint8_t> a(size_t(p.w) * p.h * 3, 1), b(a.size());
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), a.size());
    benchmark::DoNotOptimize(b.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameCopy_Demo)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
