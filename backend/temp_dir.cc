#include "backend/temp_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace mirelund::engine {
namespace {

// Names of a directory's entries, read through a descriptor that refuses a
// symbolic link; the listing is closed before any recursion so that a deep
// tree does not hold one descriptor per level.
bool listDirectory(const std::string& path, std::vector<std::string>& names) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    return false;
  }
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  return true;
}

}  // namespace

std::string makePrivateTempDir() {
  const char* env = std::getenv("TMPDIR");
  std::string root = (env && *env) ? env : "/tmp";
  while (!root.empty() && root.back() == '/') root.pop_back();
  std::string tmpl = root + "/libengine-c2l-XXXXXX";
  if (!::mkdtemp(tmpl.data())) return {};
  return tmpl;
}

bool removeTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0;
  std::vector<std::string> names;
  if (listDirectory(path, names))
    for (const std::string& name : names) removeTree(path + "/" + name);
  return ::rmdir(path.c_str()) == 0;
}

}  // namespace mirelund::engine
