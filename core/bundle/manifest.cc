#include "core/bundle/manifest.h"

#include <fcntl.h>
#include <unistd.h>

#include <onnxruntime_c_api.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "core/bundle/bundle_path.h"
#include "core/bundle/file_read.h"
#include "core/bundle/manifest_key.h"
#include "core/bundle/member_names.h"

namespace le {

namespace mk = manifest_key;

namespace {

std::string numberText(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// Truncates toward zero. A value outside the type (or NaN) has no defined
// conversion, so it is refused rather than turned into an arbitrary number.
int32_t toInt32(double v, const char* key) {
  if (!(v > -2147483649.0 && v < 2147483648.0))
    throw std::runtime_error(std::string("manifest: key \"") + key + "\" holds " + numberText(v) +
                             ", which does not fit a 32-bit integer");
  return static_cast<int32_t>(v);
}

float toFloat(double v, const char* key) {
  if (!std::isfinite(v) || std::fabs(v) > std::numeric_limits<float>::max())
    throw std::runtime_error(std::string("manifest: key \"") + key + "\" holds " + numberText(v) +
                             ", which is not a finite 32-bit float");
  return static_cast<float>(v);
}

bool canOpen(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// The paste transform M only means something on the canvas it was authored
// on, so the manifest must say which canvas that was.
void readPasteSpace(const std::string& text, Manifest& m) {
  double w = 0.0, h = 0.0;
  bool haveW = mk::optNumEither(text, "M_src_w", "paste_source_width", &w);
  bool haveH = mk::optNumEither(text, "M_src_h", "paste_source_height", &h);
  if (haveW && haveH) {
    m.M_src_w = toInt32(w, "M_src_w");
    m.M_src_h = toInt32(h, "M_src_h");
  } else {
    const char* ok = std::getenv("CORVANE2_MSRC_MISSING_OK");
    if (ok && std::strcmp(ok, "1") == 0) {
      std::fprintf(stderr,
                   "[le] WARNING CORVANE2_MSRC_MISSING_OK=1: %s/manifest.json carries no "
                   "paste-space stamp; ASSUMING M was authored on this %dx%d canvas. If it was "
                   "not, the face pastes off-target and nothing will say so.\n",
                   m.dir.c_str(), m.W, m.H);
      m.M_src_w = m.W;
      m.M_src_h = m.H;
    } else {
      throw std::runtime_error(
          m.dir +
          "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka "
          "paste_source_width/height) \xE2\x80\x94 the canvas is " +
          std::to_string(m.W) + "x" + std::to_string(m.H) +
          ", so M cannot be placed: absence is not evidence that M was authored at that size. "
          "Re-stamp the bundle (models/corvane-2/inference/backfill_msrc.py), or set "
          "CORVANE2_MSRC_MISSING_OK=1 to restore the legacy assumption.");
    }
  }
  if (m.M_src_w < 1 || m.M_src_h < 1)
    throw std::runtime_error("manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");
}

}  // namespace

std::string Manifest::modelPath(const std::string& name) const {
  return resolveMember(dir, "model_" + name + ".onnx");
}

Manifest loadManifest(const std::string& path) {
  Manifest m;
  m.dir = resolveBundlePath(path);
  const std::string text = readFile(m.dir + "/manifest.json");
  if (mk::strField(text, "format") != "le-bundle-v0")
    throw std::runtime_error("not an le-bundle-v0: " + m.dir);
  m.agent = mk::strField(text, "agent");
  m.NT = toInt32(mk::numFieldEither(text, "NT", "frame_count"), "NT");
  m.H = toInt32(mk::numField(text, "H"), "H");
  m.W = toInt32(mk::numField(text, "W"), "W");
  m.crop = toInt32(mk::numFieldEither(text, "crop", "crop_size"), "crop");
  m.unsharp.amount = toFloat(mk::numField(text, "amount"), "amount");
  m.unsharp.sigma = toFloat(mk::numField(text, "sigma"), "sigma");
  m.unsharp.ksize = toInt32(mk::numField(text, "ksize"), "ksize");
  m.frames = toInt32(mk::numField(text, "frames"), "frames");
  if (m.NT < 1 || m.H < 1 || m.W < 1 || m.crop < 1) throw std::runtime_error("manifest: bad dims");
  readPasteSpace(text, m);
  std::string lip = resolveMember(m.dir, "lip_template.v1.json");
  if (canOpen(lip)) m.lipTemplateJson = readFile(lip);
  return m;
}

std::string coremlCacheDir(const std::string& dir) {
  const OrtApiBase* base = OrtGetApiBase();
  const char* v = base ? base->GetVersionString() : nullptr;
  return dir + "/.coreml_cache/ort" + (v && *v ? v : "unknown");
}

}  // namespace le
