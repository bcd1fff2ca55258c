#include "core/bundle/member_names.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace le {

namespace {

struct NamePair {
  const char* welded;
  const char* canonical;
};

constexpr NamePair kExact[] = {
    {"P.f16", "source_frames.f16"},
    {"P_hevc.mov", "source_frames.hevc"},
    {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
    {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
    {"M.f32", "paste_transform.f32"},
    {"mask_512.u8", "paste_mask.u8"},
    {"pooled64.f16", "pooled_features.f16"},
    {"fs_red.f16", "feature_synth.f16"},
    {"xs_target.bin", "target_keypoints.bin"},
};

bool startsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

bool endsWith(const std::string& s, const char* suffix) {
  size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Non-blocking so that a FIFO under a member name cannot stall resolution.
bool canOpen(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace

std::string canonicalMember(const std::string& name) {
  for (const auto& p : kExact) {
    if (name == p.welded) return p.canonical;
  }
  static constexpr char kBatchPrefix[] = "model_b";
  static constexpr char kOnnx[] = ".onnx";
  const size_t pre = sizeof(kBatchPrefix) - 1, suf = sizeof(kOnnx) - 1;
  if (name.size() > pre + suf && startsWith(name, kBatchPrefix) && endsWith(name, kOnnx)) {
    std::string mid = name.substr(pre, name.size() - pre - suf);
    auto us = mid.find('_');
    std::string head = us == std::string::npos ? mid : mid.substr(0, us);
    std::string tail = us == std::string::npos ? std::string() : mid.substr(us + 1);
    std::string out = "render_model.batch" + head;
    if (!tail.empty()) out += "." + tail;
    return out + kOnnx;
  }
  static constexpr char kDrive[] = "drive/";
  if (startsWith(name, kDrive)) {
    std::string rest = name.substr(sizeof(kDrive) - 1);
    auto dot = rest.find('.');
    std::string stem = dot == std::string::npos ? rest : rest.substr(0, dot);
    std::string ext = dot == std::string::npos ? std::string() : rest.substr(dot);
    if (stem == "xs") stem = "source_keypoints";
    else if (stem == "xd") stem = "driven_keypoints";
    else if (stem == "si") stem = "source_index";
    return "idle_loop/" + stem + ext;
  }
  return name;
}

std::string resolveMember(const std::string& dir, const std::string& name) {
  std::string welded = dir + "/" + name;
  std::string canonical = canonicalMember(name);
  if (canonical == name) return welded;
  if (canOpen(welded)) return welded;
  std::string alt = dir + "/" + canonical;
  if (canOpen(alt)) return alt;
  return welded;
}

}  // namespace le
