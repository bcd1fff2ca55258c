// The avatar's own face data, per loop frame: the warp prior P, the pooled
// and synthesis features, and the paste transform M. The large arrays are
// mapped read-only; a prior carried only as video is decoded on demand.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/bundle/manifest.h"

namespace le {

class DriverCursor;

// A read-only private mapping of a whole file; unmapped on destruction.
class FileMapping {
 public:
  FileMapping() = default;
  FileMapping(void* base, size_t length) : base_(base), length_(length) {}
  ~FileMapping();
  FileMapping(FileMapping&& o) noexcept;
  FileMapping& operator=(FileMapping&& o) noexcept;
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;

  bool empty() const { return base_ == nullptr; }
  const void* data() const { return base_; }
  size_t length() const { return length_; }

 private:
  void* base_ = nullptr;
  size_t length_ = 0;
};

// Maps `path`, which must be exactly `bytes` long: throws "cannot open
// <path>", "size mismatch <path>" or "mmap failed <path>".
FileMapping mapFile(const std::string& path, uint64_t bytes);

// Refuses a bundle that carries no usable warp prior (raw, features or video).
void ensureIdentityMembers(const Manifest& manifest);

class Identity {
 public:
  // Maps and reads everything; throws std::runtime_error naming the member.
  explicit Identity(const Manifest& manifest);
  ~Identity();
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  int32_t NT() const { return NT_; }
  int32_t crop() const { return crop_; }
  const Manifest& manifest() const { return manifest_; }
  // Full path of the prior video; empty when the prior is not played from one.
  const std::string& priorPath() const { return priorPath_; }
  bool hasFsRed() const { return !fsRedMap_.empty(); }
  // Whether P(si) has frames to give: mapped from P.f16 or played from video.
  bool hasPrior() const { return !pMap_.empty() || !priorPath_.empty(); }
  // Whether P(si) points into the mapped P.f16 (stable for the identity's life).
  bool priorMapped() const { return !pMap_.empty(); }

  // crop x crop x 3 halves (planes R, G, B) of loop frame si: from the
  // mapping, else decoded by the prior cursor and copied into a buffer of
  // the calling thread (valid until that thread's next call).
  const uint16_t* P(int si);
  // The 65536 pooled-feature halves of frame si.
  const uint16_t* pooled64(int si) const;
  // The 262144 synthesis-feature halves of frame si; throws when the bundle
  // carries no fs_red.f16.
  const uint16_t* fsRed(int si) const;
  // The 2 x 3 row-major paste transform of frame si.
  const float* M(int si) const;
  // Keeps the prior video's read-ahead moving; nothing when it is mapped or absent.
  void walkP(int si);
  // The prior cursor, opened on first call (look-ahead 2, history 11).
  DriverCursor& prior();

  std::string priorBackend() const;
  uint64_t priorResidentBytes() const;
  uint64_t priorSeeks() const;

  // Scales M from the canvas it was authored on (M_src_w x M_src_h) to W x H.
  void rescaleM(const Manifest& manifest);

 private:
  void checkFrame(int si) const;

  int32_t NT_;
  int32_t crop_;
  FileMapping pooledMap_;
  FileMapping pMap_;
  FileMapping fsRedMap_;
  std::vector<float> M_;
  std::string priorPath_;
  Manifest manifest_;
  std::mutex priorMu_;  // guards pulls from the prior cursor and the copy P makes
  // Guards opening priorCursor_; taken after priorMu_ when both are held.
  std::mutex priorOpenMu_;
  std::unique_ptr<DriverCursor> priorCursor_;
  // Set once the cursor exists, for the getters that do not open it.
  std::atomic<DriverCursor*> priorReady_{nullptr};
};

}  // namespace le
