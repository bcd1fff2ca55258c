// Driving frames stored as a directory of numbered JPEG files.
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/bundle/file_read.h"
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
#define STBI_NO_STDIO  // files are read by readFile, which refuses pipes
#include <stb_image.h>
#pragma GCC diagnostic pop

namespace le {

namespace {

// The file's bytes, read without blocking on a pipe under its name.
std::string imageBytes(const std::string& path) {
  try {
    return readFile(path);
  } catch (const std::exception&) {
    throw std::runtime_error("decode failed: " + path);
  }
}

ImageRGB decodeImage(const std::string& path, const std::string& bytes) {
  if (bytes.size() > size_t(INT_MAX)) throw std::runtime_error("decode failed: " + path);
  int w = 0, h = 0, comp = 0;
  stbi_uc* data = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(bytes.data()), int(bytes.size()), &w, &h,
                                        &comp, 3);
  if (!data) throw std::runtime_error("decode failed: " + path);
  ImageRGB img;
  img.w = w;
  img.h = h;
  img.pixels.assign(data, data + size_t(w) * size_t(h) * 3);
  stbi_image_free(data);
  return img;
}

std::string sizeMismatch(const std::string& path, int w, int h, int W, int H) {
  return "le_driver: " + path + " is " + std::to_string(w) + "x" + std::to_string(h) + ", the manifest says " +
         std::to_string(W) + "x" + std::to_string(H) + " — refusing";
}

}  // namespace

ImageRGB loadImageRGB(const std::string& path) { return decodeImage(path, imageBytes(path)); }

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
    const std::string bytes = imageBytes(path);
    // The header's size is checked first: a few bytes can claim a picture of
    // gigabytes.
    int w = 0, h = 0, comp = 0;
    if (bytes.size() <= size_t(INT_MAX) &&
        stbi_info_from_memory(reinterpret_cast<const stbi_uc*>(bytes.data()), int(bytes.size()), &w, &h, &comp) &&
        (w != W_ || h != H_)) {
      throw std::runtime_error(sizeMismatch(path, w, h, W_, H_));
    }
    const ImageRGB img = decodeImage(path, bytes);
    if (img.w != W_ || img.h != H_) throw std::runtime_error(sizeMismatch(path, img.w, img.h, W_, H_));
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
