#include "tools/animation_choice.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "le/le.h"

namespace le::tools {
namespace {

// The encoder whose presence makes the pipeline pick the audio-to-expression
// stream, under both of its member names.
const char* const kA2xEncoderNames[] = {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"};

bool hasMember(const std::string& dir, const char* member) {
  char path[4096];
  return le_bundle_resolve_member(dir.c_str(), member, path, sizeof path) == 1;
}

bool isA2xEncoder(const char* name) {
  for (const char* e : kA2xEncoderNames)
    if (std::strcmp(name, e) == 0) return true;
  return false;
}

std::string tempRoot() {
  const char* t = std::getenv("TMPDIR");
  return t && *t ? t : "/tmp";
}

// Views are named after the process that made them, so that one left
// behind by a process that was killed can be told from one in use.
const char kViewPrefix[] = "le-motion-";

// The owner's pid in a view's name "le-motion-<pid>-<suffix>", or -1.
long viewOwner(const char* name) {
  if (std::strncmp(name, kViewPrefix, sizeof kViewPrefix - 1) != 0) return -1;
  const char* digits = name + sizeof kViewPrefix - 1;
  char* end = nullptr;
  errno = 0;
  const long pid = std::strtol(digits, &end, 10);
  if (end == digits || *end != '-' || errno != 0 || pid <= 0) return -1;
  return pid;
}

bool processGone(long pid) { return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH; }

// Names in `dir` but "." and ".."; false when it cannot be listed.
bool listNames(const std::string& dir, std::vector<std::string>& names) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  while (dirent* e = ::readdir(d))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  ::closedir(d);
  return true;
}

// Removes `view` when it holds nothing but links, as every view does; a
// directory holding anything else is not one of ours and stays.
void removeLinksDir(const std::string& view) {
  std::vector<std::string> names;
  if (!listNames(view, names)) return;
  for (const auto& n : names) {
    struct stat st;
    if (::lstat((view + "/" + n).c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return;
  }
  for (const auto& n : names) ::unlink((view + "/" + n).c_str());
  ::rmdir(view.c_str());
}

// Removes the views in `root` whose owner has gone without removing its
// own (killed, say), so that they do not pile up. Best effort: a view that
// cannot be removed is left for the next start.
void removeStaleViews(const std::string& root) {
  std::vector<std::string> names;
  if (!listNames(root, names)) return;
  for (const auto& n : names) {
    const long pid = viewOwner(n.c_str());
    if (pid < 0 || !processGone(pid)) continue;
    const std::string path = root + "/" + n;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) continue;
    removeLinksDir(path);
  }
}

}  // namespace

AnimationKind parseAnimationKind(const std::string& name) {
  if (name == "a2x") return AnimationKind::kA2x;
  if (name == "motion") return AnimationKind::kMotion;
  throw std::runtime_error("The animation source must be a2x or motion, not '" + name + "'.");
}

const char* animationKindName(AnimationKind kind) { return kind == AnimationKind::kA2x ? "a2x" : "motion"; }

AnimationChoice::AnimationChoice(const std::string& bundle, AnimationKind kind) : kind_(kind) {
  char resolved[4096];
  if (le_bundle_resolve_handle(bundle.c_str(), resolved, sizeof resolved) != 1)
    throw std::runtime_error("Cannot resolve bundle " + bundle + " to a directory.");
  const std::string dir = resolved;
  const bool a2x = hasMember(dir, kA2xEncoderNames[0]);
  if (kind == AnimationKind::kA2x) {
    if (!a2x)
      throw std::runtime_error("Bundle " + bundle + " has no a2x_enc_stream.onnx, so it cannot run the a2x source.");
    motionDir_ = dir;
    return;
  }
  if (!hasMember(dir, "lmdm.onnx"))
    throw std::runtime_error("Bundle " + bundle + " has no lmdm.onnx, so it cannot run the motion source.");
  if (!a2x) {
    motionDir_ = dir;
    return;
  }
  // Links to every member but the a2x encoder: the bundle itself stays as
  // it is, and the view costs nothing to make. A link's target is read
  // relative to the view, so a bundle named by a relative path is linked
  // by its absolute one.
  char* absolute = ::realpath(dir.c_str(), nullptr);
  if (!absolute)
    throw std::runtime_error("Cannot find the absolute path of bundle directory " + dir + ": " + std::strerror(errno) +
                             ".");
  const std::string target = absolute;
  std::free(absolute);
  removeStaleViews(tempRoot());
  std::string tmpl = tempRoot() + "/" + kViewPrefix + std::to_string(::getpid()) + "-XXXXXX";
  if (!::mkdtemp(tmpl.data()))
    throw std::runtime_error("Cannot make a motion view of bundle " + bundle + " in " + tempRoot() + ": " +
                             std::strerror(errno) + ".");
  view_ = tmpl;
  DIR* d = ::opendir(dir.c_str());
  if (!d) {
    const std::string why = std::strerror(errno);
    removeView();
    throw std::runtime_error("Cannot list bundle directory " + dir + ": " + why + ".");
  }
  std::string failure;
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0 || isA2xEncoder(e->d_name)) continue;
    const std::string from = target + "/" + e->d_name, to = view_ + "/" + e->d_name;
    if (::symlink(from.c_str(), to.c_str()) != 0) {
      failure = "Cannot link " + from + " into the motion view " + view_ + ": " + std::strerror(errno) + ".";
      break;
    }
  }
  ::closedir(d);
  if (!failure.empty()) {
    removeView();
    throw std::runtime_error(failure);
  }
  motionDir_ = view_;
}

AnimationChoice::~AnimationChoice() { removeView(); }

void AnimationChoice::removeView() {
  if (view_.empty()) return;
  removeLinksDir(view_);
  view_.clear();
}

}  // namespace le::tools
