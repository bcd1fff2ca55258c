// Feeds arbitrary bytes to the IMX reader and unwraps them as a container
// into a scratch directory, then checks that nothing escaped the
// destination and that a failed unwrap left no marker or staging tree.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <string>

#include "core/bundle/bundle_path.h"
#include "core/bundle/imx_container.h"
#include "core/bundle/imx_unwrap.h"
#include "core/bundle/paths.h"
#include "fuzz/fuzz_files.h"

namespace {

const std::string& scratch() {
  static const std::string& dir = [] () -> const std::string& {
    const std::string& d = le::fuzz::scratchDir("imx_fuzz");
    ::unsetenv("LE_IMX_UNWRAP_ROOT");
    if (!le::mkdirs(d + "/root/box")) std::abort();
    return d;
  }();
  return dir;
}

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> out;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") out.insert(n);
    }
    ::closedir(d);
  }
  return out;
}

// Only regular files and directories may appear inside an unwrap.
void checkTree(const std::string& dir) {
  for (const auto& n : entries(dir)) {
    std::string p = dir + "/" + n;
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) std::abort();
    if (S_ISDIR(st.st_mode)) checkTree(p);
    else if (!S_ISREG(st.st_mode)) std::abort();
  }
}

// The unwrap's progress line is noise at fuzzing speed.
class QuietStderr {
 public:
  QuietStderr() : saved_(::dup(2)) {
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    ::close(null);
  }
  ~QuietStderr() {
    ::dup2(saved_, 2);
    ::close(saved_);
  }

 private:
  int saved_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string root = scratch() + "/root";
  const std::string box = root + "/box";
  const std::string container = box + "/c.imx";
  const std::string dest = box + "/c.lebundle";
  const std::string marker = dest + ".imx_unwrapped";
  le::fuzz::writeFile(container, data, size);
  ::unlink(marker.c_str());  // every input is unpacked afresh

  bool isImx = le::isImxV2File(container);
  bool ok = false;
  {
    QuietStderr quiet;
    try {
      ok = le::unwrapOnce(container) == dest;
    } catch (const std::runtime_error&) {
    }
  }
  // A container the quick test rejects can never unwrap.
  if (ok && !isImx) std::abort();
  if (entries(root) != std::set<std::string>{"box"}) std::abort();
  std::set<std::string> allowed = {"c.imx", "c.lebundle", "c.lebundle.imx_unwrapped", "c.lebundle.imx_lock"};
  for (const auto& n : entries(box)) {
    if (!allowed.count(n)) std::abort();
  }
  struct stat st;
  bool haveMarker = ::lstat(marker.c_str(), &st) == 0;
  if (ok != haveMarker) std::abort();
  if (ok) checkTree(dest);
  le::rmTree(dest);
  ::unlink(marker.c_str());
  return 0;
}
