#include "core/bundle/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace le {

std::string rstripSlash(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string baseName(const std::string& path) {
  std::string p = rstripSlash(path);
  auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string dirName(const std::string& path) {
  std::string p = rstripSlash(path);
  auto slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

namespace {

bool isDir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Empties the directory open as `fd` (which this call closes). Works through
// descriptors and never follows a link, so a tree that changes underneath
// cannot redirect the removal outside it.
int clearDirFd(int fd) {
  DIR* d = ::fdopendir(fd);
  if (!d) {
    int err = errno;
    ::close(fd);
    return err;
  }
  // Names are collected first: unlinking while readdir() walks is allowed,
  // but collecting keeps the walk simple to reason about.
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(std::move(n));
  }
  int first = 0;
  int dfd = ::dirfd(d);
  for (const auto& n : names) {
    struct stat st;
    if (::fstatat(dfd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT && !first) first = errno;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      int child = ::openat(dfd, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) {
        int err = clearDirFd(child);
        if (err && !first) first = err;
      }
      if (::unlinkat(dfd, n.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT && !first) first = errno;
    } else if (::unlinkat(dfd, n.c_str(), 0) != 0 && errno != ENOENT && !first) {
      first = errno;
    }
  }
  ::closedir(d);
  return first;
}

}  // namespace

bool mkdirs(const std::string& path) {
  if (path.empty()) return false;
  if (path == "/" || path == ".") return true;
  if (isDir(path)) return true;
  std::string parent = dirName(path);
  if (parent != path && !mkdirs(parent)) return false;
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  return isDir(path);  // another creator may have won the race
}

int rmTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0 ? 0 : errno;
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int err = fd >= 0 ? clearDirFd(fd) : 0;
  if (::rmdir(path.c_str()) != 0) return err ? err : errno;
  return 0;
}

}  // namespace le
