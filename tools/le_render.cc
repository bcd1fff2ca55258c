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
//
// Like any host it goes through the public C API (le/le.h) alone; the drive
// frames are read from the bundle members that le_bundle_resolve_member finds.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/le.h"
#include "tools/cli_options.h"
#include "tools/mp4_writer.h"
#include "tools/temp_output.h"

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

Options parse(int argc, char** argv) {
  Options o;
  le::cli::OptionParser parser("le_render", "le_render BUNDLE OUT.mp4 [options]", le_version());
  parser.text("--key", "KEY", "director model key (default b1_fp32)", &o.key)
      .integer("--threads", "N", "worker threads (default: the engine's choice)", &o.threads, 0, 256)
      .integer("--frames", "N", "frames to render (default: all)", &o.frames, 0, 1000000)
      .integer("--loops", "N", "times to play the drive frames (default 1)", &o.loops, 0, 1000000)
      .number("--gain", "G", "scales the driven motion (default 1)", &o.gain)
      .text("--kp", "FILE", "render the keypoint frames of FILE instead of the drive frames", &o.kpFile);
  const std::vector<std::string> pos = parser.parseOrExit(argc, argv);
  if (pos.size() != 2) parser.fail("need a bundle and an output file");
  o.bundle = pos[0];
  o.out = pos[1];
  return o;
}

// The value of one number of a keypoint file, refused (rather than converted
// into nonsense) when it is not a finite number a float can hold.
double number(const std::string& token, const std::string& where) {
  const char* text = token.c_str();
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  const bool overflow = errno == ERANGE && std::fabs(v) > 1.0;
  if (end == text || *end || overflow || !std::isfinite(v) || std::fabs(v) > std::numeric_limits<float>::max())
    throw std::runtime_error(where + ": '" + token + "' is not a finite number that a float can hold.");
  return v;
}

std::vector<Frame> readKpFile(const std::string& path, int nt) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open keypoint file " + path);
  std::vector<Frame> frames;
  std::string line;
  for (int lineNo = 1; std::getline(in, line); ++lineNo) {
    const size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    const std::string where = path + ":" + std::to_string(lineNo);
    std::istringstream ss(line);
    std::vector<std::string> tokens;
    for (std::string t; ss >> t;) tokens.push_back(t);
    if (tokens.size() != 1 + 2 * kKp)
      throw std::runtime_error(where + ": expected a source frame index and " + std::to_string(2 * kKp) +
                               " keypoint values, found " + std::to_string(tokens.size()) + " numbers.");
    // The index is range-checked while it is still a double: converting an
    // out-of-range value to int first would be undefined.
    const double si = number(tokens[0], where);
    if (si != std::floor(si) || si < 0 || si >= nt)
      throw std::runtime_error(where + ": source frame " + tokens[0] + " is not a loop frame (0 to " +
                               std::to_string(nt - 1) + ").");
    Frame f;
    f.si = int(si);
    for (size_t k = 1; k < tokens.size(); ++k)
      (k <= size_t(kKp) ? f.xs : f.xd).push_back(float(number(tokens[k], where)));
    frames.push_back(std::move(f));
  }
  if (frames.empty()) throw std::runtime_error(path + " holds no frames.");
  return frames;
}

// Exactly `count` values of T from the bundle member `member`, found the way
// a host finds any member.
template <class T>
std::vector<T> readMember(const std::string& bundle, const char* member, size_t count) {
  char path[4096];
  const int found = le_bundle_resolve_member(bundle.c_str(), member, path, sizeof path);
  if (found != 1)
    throw std::runtime_error(std::string("the bundle has no readable ") + member +
                             (found < 0 ? std::string(": ") + le_last_error() : std::string()));
  std::ifstream in(path, std::ios::binary);
  std::vector<T> v(count);
  if (!in.read(reinterpret_cast<char*>(v.data()), std::streamsize(count * sizeof(T))) || in.peek() != EOF)
    throw std::runtime_error(std::string(path) + " does not hold exactly " + std::to_string(count) + " values.");
  return v;
}

// The bundle's own drive frames, read from its drive members, played
// `loops` times and cut to the first `limit` when it is not negative.
std::vector<Frame> driveFrames(le_ctx* ctx, const std::string& bundle, int loops, int limit) {
  const size_t n = size_t(le_drive_frames(ctx));
  const std::vector<float> xs = readMember<float>(bundle, "drive/xs.f32", n * kKp);
  const std::vector<float> xd = readMember<float>(bundle, "drive/xd.f32", n * kKp);
  const std::vector<int32_t> si = readMember<int32_t>(bundle, "drive/si.i32", n);
  size_t count = n * size_t(loops);
  if (limit >= 0) count = std::min(count, size_t(limit));
  std::vector<Frame> frames;
  for (size_t k = 0; k < count; ++k) {
    const size_t i = k % n;
    Frame f;
    f.si = si[i];
    f.xs.assign(xs.begin() + ptrdiff_t(i * kKp), xs.begin() + ptrdiff_t((i + 1) * kKp));
    f.xd.assign(xd.begin() + ptrdiff_t(i * kKp), xd.begin() + ptrdiff_t((i + 1) * kKp));
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
    std::vector<Frame> frames =
        o.kpFile.empty() ? driveFrames(ctx, o.bundle, o.loops, o.frames) : readKpFile(o.kpFile, le_nt(ctx));
    if (o.frames >= 0 && size_t(o.frames) < frames.size()) frames.resize(size_t(o.frames));
    // Written beside OUT and renamed when complete: a failed render keeps what was there.
    le::tools::TempOutput out(o.out);
    le::tools::Mp4Writer video(out.path(), le_width(ctx), le_height(ctx), 25);
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
    out.commit();
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
