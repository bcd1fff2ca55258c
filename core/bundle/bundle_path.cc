#include "core/bundle/bundle_path.h"

#include <sys/stat.h>

#include "core/bundle/imx_container.h"
#include "core/bundle/imx_unwrap.h"
#include "core/bundle/paths.h"

namespace le {

namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string resolveBundlePath(const std::string& path) {
  if (path.empty()) return path;
  struct stat st;
  bool isDir = ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (isDir) {
    // A plain directory is used as is; an unwrap product (marker beside it)
    // falls through so that its container is checked for changes.
    if (!exists(rstripSlash(path) + ".imx_unwrapped")) return path;
  } else if (endsWith(path, ".imx") && isImxV2File(path)) {
    return unwrapOnce(path);
  }
  std::string candidate = rstripSlash(path) + ".imx";
  if (isImxV2File(candidate)) return unwrapOnce(candidate);
  if (isImxV2File(path)) return unwrapOnce(path);
  return path;
}

}  // namespace le
