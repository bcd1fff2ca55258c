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

namespace {

std::string gScratch;

void removeScratch() { le::rmTree(gScratch); }

std::string makeScratch() {
  struct stat st;
  std::string base = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
  std::string tmpl = base + "/imx_fuzz_XXXXXX";
  if (!::mkdtemp(&tmpl[0])) std::abort();
  ::unsetenv("LE_IMX_UNWRAP_ROOT");
  gScratch = tmpl;
  std::atexit(removeScratch);
  if (!le::mkdirs(tmpl + "/root/box")) std::abort();
  return tmpl;
}

const std::string& scratch() {
  static const std::string dir = makeScratch();
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

void writeAll(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
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
  writeAll(container, data, size);
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
