// Renders an avatar bundle to an H.264 MP4: each frame is rendered by the
// bundle's director from (source frame, source keypoints, driving keypoints)
// and pasted back into its driving frame.
//
//   le_render BUNDLE OUT.mp4 [--key KEY] [--threads N] [--frames N] [--loops N]
//                            [--gain G] [--kp FILE]
//
// Without --kp it plays the bundle's drive frames in order (--loops times).
// --kp reads a text file of frames, one per line: the source frame index,
// then 63 source and 63 driving keypoint values (21 rows of x, y, z); blank
// lines and lines starting with '#' are skipped. --gain scales the driven
// motion (driving minus source keypoints) before rendering.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/session/context.h"
#include "le/le.h"
#include "tools/mp4_writer.h"

namespace {

constexpr int kKp = 63;

struct Frame {
  int si = 0;
  std::vector<float> xs, xd;
};

struct Options {
  std::string bundle, out, key = "b1_fp32", kpFile;
  int threads = 0, frames = -1, loops = 1;
  float gain = 1.f;
};

[[noreturn]] void usage(const char* msg) {
  std::fprintf(stderr,
               "le_render: %s\nusage: le_render BUNDLE OUT.mp4 [--key KEY] [--threads N] [--frames N] [--loops N] "
               "[--gain G] [--kp FILE]\n",
               msg);
  std::exit(2);
}

int toInt(const char* text, const char* opt) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (!*text || *end || v < 0 || v > 1000000) usage((std::string(opt) + " needs a whole number, got '" + text + "'").c_str());
  return int(v);
}

Options parse(int argc, char** argv) {
  Options o;
  std::vector<std::string> pos;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage((a + " needs a value").c_str());
      return argv[++i];
    };
    if (a == "--key") o.key = value();
    else if (a == "--threads") o.threads = toInt(value(), "--threads");
    else if (a == "--frames") o.frames = toInt(value(), "--frames");
    else if (a == "--loops") o.loops = toInt(value(), "--loops");
    else if (a == "--kp") o.kpFile = value();
    else if (a == "--gain") {
      const char* v = value();
      char* end = nullptr;
      o.gain = std::strtof(v, &end);
      if (!*v || *end) usage((std::string("--gain needs a number, got '") + v + "'").c_str());
    } else if (a.rfind("--", 0) == 0) usage(("unknown option " + a).c_str());
    else pos.push_back(a);
  }
  if (pos.size() != 2) usage("need a bundle and an output file");
  o.bundle = pos[0];
  o.out = pos[1];
  return o;
}

std::vector<Frame> readKpFile(const std::string& path, int nt) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open keypoint file " + path);
  std::vector<Frame> frames;
  std::string line;
  for (int lineNo = 1; std::getline(in, line); ++lineNo) {
    const size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    std::istringstream ss(line);
    Frame f;
    std::vector<double> v;
    double x;
    while (ss >> x) v.push_back(x);
    if (!ss.eof() || v.size() != 1 + 2 * kKp)
      throw std::runtime_error(path + ":" + std::to_string(lineNo) + ": expected a source frame index and " +
                               std::to_string(2 * kKp) + " keypoint values.");
    f.si = int(v[0]);
    if (double(f.si) != v[0] || f.si < 0 || f.si >= nt)
      throw std::runtime_error(path + ":" + std::to_string(lineNo) + ": source frame " + std::to_string(v[0]) +
                               " is not a loop frame (0 to " + std::to_string(nt - 1) + ").");
    f.xs.assign(v.begin() + 1, v.begin() + 1 + kKp);
    f.xd.assign(v.begin() + 1 + kKp, v.end());
    frames.push_back(std::move(f));
  }
  if (frames.empty()) throw std::runtime_error(path + " holds no frames.");
  return frames;
}

std::vector<Frame> driveFrames(le_ctx* ctx, int loops) {
  std::vector<Frame> frames;
  const int n = le_drive_frames(ctx);
  for (int l = 0; l < loops; ++l)
    for (int i = 0; i < n; ++i) {
      Frame f;
      f.si = ctx->drive.si[size_t(i)];
      f.xs.assign(ctx->drive.xs.begin() + ptrdiff_t(i) * kKp, ctx->drive.xs.begin() + ptrdiff_t(i + 1) * kKp);
      f.xd.assign(ctx->drive.xd.begin() + ptrdiff_t(i) * kKp, ctx->drive.xd.begin() + ptrdiff_t(i + 1) * kKp);
      frames.push_back(std::move(f));
    }
  return frames;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  le_ctx* ctx = le_create(o.bundle.c_str(), o.key.c_str(), o.threads, nullptr);
  if (!ctx) {
    std::fprintf(stderr, "le_render: %s\n", le_last_error());
    return 1;
  }
  int rc = 0;
  try {
    std::vector<Frame> frames = o.kpFile.empty() ? driveFrames(ctx, o.loops) : readKpFile(o.kpFile, le_nt(ctx));
    if (o.frames >= 0 && size_t(o.frames) < frames.size()) frames.resize(size_t(o.frames));
    le::tools::Mp4Writer video(o.out, le_width(ctx), le_height(ctx), 25);
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < frames.size(); ++i) {
      Frame& f = frames[i];
      for (int k = 0; k < kKp; ++k) f.xd[size_t(k)] = f.xs[size_t(k)] + o.gain * (f.xd[size_t(k)] - f.xs[size_t(k)]);
      if (!le_render_kp_crop(ctx, f.si, f.xs.data(), f.xd.data()))
        throw std::runtime_error(std::string(le_last_error()));
      const uint8_t* rgb = le_paste_last(ctx, f.si);
      if (!rgb) throw std::runtime_error(std::string(le_last_error()));
      video.write(rgb);
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      std::fprintf(stderr, "\r[le_render] frame %zu/%zu  %.1f fps", i + 1, frames.size(), double(i + 1) / s);
    }
    video.close();
    std::fprintf(stderr, "\n");
    std::printf("wrote %s: %zu frames, %dx%d, 25 fps\n", o.out.c_str(), frames.size(), le_width(ctx),
                le_height(ctx));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "\nle_render: %s\n", e.what());
    rc = 1;
  }
  le_destroy(ctx);
  return rc;
}
