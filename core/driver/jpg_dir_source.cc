// Driving frames stored as a directory of numbered JPEG files.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/driver/image_rgb.h"
#include "core/driver/source.h"

// stb_image stays private to this file (static linkage), so another part of
// the engine may carry its own copy without a symbol clash.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wtype-limits"
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO_FOPEN_WARNING
#include <stb_image.h>
#pragma GCC diagnostic pop

namespace le {

ImageRGB loadImageRGB(const std::string& path) {
  int w = 0, h = 0, comp = 0;
  stbi_uc* data = stbi_load(path.c_str(), &w, &h, &comp, 3);
  if (!data) throw std::runtime_error("decode failed: " + path);
  ImageRGB img;
  img.w = w;
  img.h = h;
  img.pixels.assign(data, data + size_t(w) * size_t(h) * 3);
  stbi_image_free(data);
  return img;
}

namespace driver {
namespace {

class JpgDirSource final : public Source {
 public:
  JpgDirSource(std::string dir, int nt, int w, int h) : dir_(std::move(dir)), NT_(nt), W_(w), H_(h) {}

  int NT() const override { return NT_; }
  int W() const override { return W_; }
  int H() const override { return H_; }

  bool next(uint8_t* dst) override {
    if (cursor_ >= NT_) return false;
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%06d.jpg", cursor_);
    const std::string path = dir_ + name;
    ImageRGB img = loadImageRGB(path);
    if (img.w != W_ || img.h != H_) {
      throw std::runtime_error("le_driver: " + path + " is " + std::to_string(img.w) + "x" +
                               std::to_string(img.h) + ", the manifest says " + std::to_string(W_) + "x" +
                               std::to_string(H_) + " — refusing");
    }
    std::memcpy(dst, img.pixels.data(), img.pixels.size());
    ++cursor_;
    return true;
  }

  void rewind() override { cursor_ = 0; }

  void seek(int i) override {
    if (i < 0 || i >= NT_) throw std::runtime_error("le_driver: seek outside the member");
    cursor_ = i;
  }

  std::string name() const override { return "jpg/stb"; }
  uint64_t residentBytes() const override { return 0; }

 private:
  std::string dir_;
  int NT_, W_, H_;
  int cursor_ = 0;  // index of the next frame
};

}  // namespace

std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H) {
  return std::make_unique<JpgDirSource>(dir, NT, W, H);
}

}  // namespace driver
}  // namespace le
