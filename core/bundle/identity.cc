#include "core/bundle/identity.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "core/bundle/drive.h"
#include "core/bundle/file_read.h"
#include "core/bundle/manifest_key.h"
#include "core/bundle/member_names.h"
#include "core/driver/driver_cursor.h"

namespace le {
namespace {

constexpr uint64_t kPooledBytes = 131072;  // 65536 halves a frame
constexpr uint64_t kFsRedBytes = 524288;   // 262144 halves a frame

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Opens are non-blocking, so that a FIFO under a member name cannot stall
// the load; only a regular file is mapped.
bool readable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace

FileMapping::~FileMapping() {
  if (base_) ::munmap(base_, length_);
}

FileMapping::FileMapping(FileMapping&& o) noexcept : base_(o.base_), length_(o.length_) {
  o.base_ = nullptr;
  o.length_ = 0;
}

FileMapping& FileMapping::operator=(FileMapping&& o) noexcept {
  if (this != &o) {
    if (base_) ::munmap(base_, length_);
    base_ = o.base_;
    length_ = o.length_;
    o.base_ = nullptr;
    o.length_ = 0;
  }
  return *this;
}

FileMapping mapFile(const std::string& path, uint64_t bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) != bytes) {
    ::close(fd);
    throw std::runtime_error("size mismatch " + path);
  }
  void* base = ::mmap(nullptr, size_t(bytes), PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (base == MAP_FAILED) throw std::runtime_error("mmap failed " + path);
  return FileMapping(base, size_t(bytes));
}

void ensureIdentityMembers(const Manifest& manifest) {
  const std::string text = readText(manifest.dir + "/manifest.json");
  std::string rawName = "P.f16";
  std::string named;
  if (manifest_key::optStr(text, "P_rgb", named)) rawName = named;
  const bool haveP = exists(resolveMember(manifest.dir, "P.f16"));
  const bool haveFsRed = exists(resolveMember(manifest.dir, "fs_red.f16"));
  if (haveP || haveFsRed) return;
  if (rawName != "P.f16" && exists(resolveMember(manifest.dir, rawName))) {
    throw std::runtime_error(
        "this bundle's manifest names its raw warp prior '" + rawName +
        "' (P_rgb) but le::Identity maps the welded name P.f16 and would find nothing — it maps NOTHING silently "
        "and Identity::P(si) is then an offset from a null pointer. REFUSING rather than rendering off a prior "
        "nothing will read.");
  }
  std::string video;
  if (!manifest_key::optStr(text, "P_hevc", video)) {
    throw std::runtime_error("this bundle carries neither " + rawName +
                             " nor fs_red.f16, and its manifest names no P_hevc member to play one from — the "
                             "renderer has no warp prior and le::Identity would hand it a null pointer. REFUSING "
                             "to create a session.");
  }
  const std::string videoPath = resolveMember(manifest.dir, video);
  if (!exists(videoPath)) {
    throw std::runtime_error("this bundle's manifest names P_hevc '" + video + "' and the file is not there (" +
                             videoPath + ") — the renderer has no warp prior. REFUSING to create a session.");
  }
}

Identity::Identity(const Manifest& manifest) : NT_(manifest.NT), crop_(manifest.crop), manifest_(manifest) {
  ensureIdentityMembers(manifest_);
  const std::string& dir = manifest_.dir;
  const uint64_t nt = uint64_t(NT_);
  pooledMap_ = mapFile(resolveMember(dir, "pooled64.f16"), nt * kPooledBytes);
  const std::string pPath = resolveMember(dir, "P.f16");
  const std::string fsRedPath = resolveMember(dir, "fs_red.f16");
  if (readable(pPath)) {
    pMap_ = mapFile(pPath, nt * uint64_t(crop_) * uint64_t(crop_) * 6);
  } else if (!readable(fsRedPath)) {
    std::string name;
    if (!manifest_key::optStr(readText(dir + "/manifest.json"), "P_hevc", name)) name = "P_hevc.mov";
    const std::string path = resolveMember(dir, name);
    if (readable(path)) priorPath_ = path;
  }
  if (readable(fsRedPath)) fsRedMap_ = mapFile(fsRedPath, nt * kFsRedBytes);
  M_ = readRaw<float>(resolveMember(dir, "M.f32"), size_t(nt) * 6);
  rescaleM(manifest_);
}

Identity::~Identity() = default;

void Identity::checkFrame(int si) const {
  if (si < 0 || si >= NT_) {
    throw std::runtime_error("le::Identity: loop frame " + std::to_string(si) + " is outside [0," +
                             std::to_string(NT_) + ")");
  }
}

const uint16_t* Identity::P(int si) {
  checkFrame(si);
  if (!pMap_.empty()) {
    return static_cast<const uint16_t*>(pMap_.data()) + size_t(si) * size_t(crop_) * size_t(crop_) * 3;
  }
  // Played from video, the frame is copied out while no other caller can
  // move the cursor: the renderer's prep thread and idle frames' walkP pull
  // from the same cursor, and a seek by one lets the decoder overwrite the
  // slot the other still reads.
  thread_local std::vector<uint16_t> copy;
  const size_t halves = size_t(crop_) * size_t(crop_) * 3;
  copy.resize(halves);
  std::lock_guard<std::mutex> lock(priorMu_);
  int frame = -1;
  const uint8_t* bytes = prior().pullAt(si, &frame);
  std::memcpy(copy.data(), bytes, halves * sizeof(uint16_t));
  return copy.data();
}

const uint16_t* Identity::pooled64(int si) const {
  checkFrame(si);
  return static_cast<const uint16_t*>(pooledMap_.data()) + size_t(si) * (kPooledBytes / 2);
}

const uint16_t* Identity::fsRed(int si) const {
  checkFrame(si);
  if (fsRedMap_.empty()) {
    throw std::runtime_error("le::Identity: this bundle carries no fs_red.f16 (" + manifest_.dir + ")");
  }
  return static_cast<const uint16_t*>(fsRedMap_.data()) + size_t(si) * (kFsRedBytes / 2);
}

const float* Identity::M(int si) const {
  checkFrame(si);
  return M_.data() + size_t(si) * 6;
}

void Identity::walkP(int si) {
  if (!pMap_.empty() || priorPath_.empty()) return;
  std::lock_guard<std::mutex> lock(priorMu_);
  int frame = -1;
  prior().pullAt(si, &frame);
}

DriverCursor& Identity::prior() {
  // A lock and a test rather than std::call_once: an open that failed is
  // tried again by the next call, and a call_once whose function threw
  // hangs the next caller on some runtimes (ThreadSanitizer's among them).
  std::lock_guard<std::mutex> lock(priorOpenMu_);
  if (!priorCursor_) {
    priorCursor_ = DriverCursor::openPrior(manifest_, 2, 11);
    priorReady_.store(priorCursor_.get(), std::memory_order_release);
  }
  return *priorCursor_;
}

std::string Identity::priorBackend() const {
  if (!pMap_.empty()) return "mmap P.f16";
  if (const DriverCursor* c = priorReady_.load(std::memory_order_acquire)) return c->backend();
  return "none";
}

uint64_t Identity::priorResidentBytes() const {
  if (!pMap_.empty()) return 0;
  const DriverCursor* c = priorReady_.load(std::memory_order_acquire);
  return c ? c->residentBytes() : 0;
}

uint64_t Identity::priorSeeks() const {
  if (!pMap_.empty()) return 0;
  const DriverCursor* c = priorReady_.load(std::memory_order_acquire);
  return c ? c->seeks() : 0;
}

void Identity::rescaleM(const Manifest& manifest) {
  if (manifest.M_src_w < 1 || manifest.M_src_h < 1) {
    throw std::runtime_error(
        "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing to paste M without "
        "knowing the space it was authored in");
  }
  if (manifest.M_src_w == manifest.W && manifest.M_src_h == manifest.H) return;
  const double sx = double(manifest.W) / double(manifest.M_src_w);
  const double sy = double(manifest.H) / double(manifest.M_src_h);
  for (size_t f = 0; f + 6 <= M_.size(); f += 6) {
    for (int k = 0; k < 3; ++k) M_[f + k] = float(double(M_[f + k]) * sx);
    for (int k = 3; k < 6; ++k) M_[f + k] = float(double(M_[f + k]) * sy);
  }
}

}  // namespace le
