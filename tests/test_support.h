// Shared helpers for tests and benchmarks: where generated data lives, how
// to run the bundle generator, scratch directories, whole-file reads.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace le::test {

// Directory of generated test data (bundles, videos, models).
std::string dataDir();
// The project's source directory.
std::string sourceDir();
// The Python interpreter that has onnx, numpy and Pillow.
std::string python();

// Runs tools/make_bundle.py with `args`; throws when it fails.
void runGenerator(const std::vector<std::string>& args);
// Runs a shell command; returns its exit status.
int runCommand(const std::string& cmd);
// Shell words that run the built program `path`: its quoted path, behind the
// emulator that CTest runs the tests under in a cross build.
std::string programCommand(const std::string& path);

// How many times slower than this machine's own speed the test runs:
// $LE_TEST_TIME_SCALE (a cross build sets it for runs under its emulator),
// else 1. Deadlines that wait for work to finish stretch by it.
int timeScale();

// Path of a generated bundle directory, e.g. bundlePath("tiny").
std::string bundlePath(const std::string& name);

// The demo bundle with its hoisted (b1_fp32) and in-graph (b1_fixed)
// directors, generated on first use.
std::string demoBundleWithDirectors();

// A fresh directory removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<unsigned char> readFile(const std::string& path);

// Runs `f` and returns the text of the std::runtime_error it throws, or
// "(nothing thrown)".
std::string thrownBy(const std::function<void()>& f);
void writeFile(const std::string& path, const void* data, size_t size);
void writeFile(const std::string& path, const std::string& text);

}  // namespace le::test

namespace le::test {

// A decoded video: frames of packed RGB24, width × height × 3 bytes each.
struct DecodedVideo {
  int width = 0;
  int height = 0;
  std::vector<std::vector<unsigned char>> frames;
};

// Decodes every frame of `path` with FFmpeg into RGB24 (BT.601 limited
// range); throws when the file cannot be decoded.
DecodedVideo decodeVideoRgb24(const std::string& path);

// PSNR in dB between two equally sized byte images (infinity when equal).
double psnr(const unsigned char* a, const unsigned char* b, size_t n);

}  // namespace le::test
