// Feeds arbitrary bytes to the plug-in's container reader: test, list, read
// every member, unpack into a scratch directory. Checks that the answers
// agree with each other, that nothing appears outside the destination, that
// a refused container wrote nothing, and that the tree is removed whole.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "backend/imx_reader.h"
#include "backend/temp_dir.h"
#include "fuzz/fuzz_files.h"

namespace {

namespace c = mirelund::engine::container;

const std::string& scratch() { return le::fuzz::scratchDir("backend_imx_fuzz"); }

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> out;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") out.insert(n);
    }
    ::closedir(d);
  }
  return out;
}

// Only regular files and directories may appear inside an unpacked tree.
void checkTree(const std::string& dir) {
  for (const auto& n : entries(dir)) {
    const std::string p = dir + "/" + n;
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) std::abort();
    if (S_ISDIR(st.st_mode)) checkTree(p);
    else if (!S_ISREG(st.st_mode)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string box = scratch() + "/c.imx";
  const std::string out = scratch() + "/out";
  le::fuzz::writeFile(box, data, size);
  const bool isImx = c::imx_is_container(box.c_str());
  std::vector<c::ImxEntry> toc;
  const int listed = c::imx_list_entries(box.c_str(), toc);
  if (listed == c::kImxOk && !isImx) std::abort();
  if (listed != c::kImxOk && !toc.empty()) std::abort();
  bool unsafe = false;
  for (const c::ImxEntry& e : toc) {
    if (e.offset > size || e.size > size - e.offset) std::abort();
    std::vector<uint8_t> bytes;
    if (c::imx_read_entry(box.c_str(), e.name.c_str(), bytes) != c::kImxOk) std::abort();
    unsafe = unsafe || c::imx_unsafe_name(e.name);
  }
  std::vector<uint8_t> manifest;
  const int read = c::imx_read_manifest(box.c_str(), manifest);
  if ((read == c::kImxOk) != (listed == c::kImxOk)) std::abort();

  const int extracted = c::imx_extract_all(box.c_str(), out.c_str());
  if (extracted == c::kImxOk && (listed != c::kImxOk || unsafe)) std::abort();
  // A refused container wrote nothing at all.
  if ((listed != c::kImxOk || unsafe) && entries(scratch()) != std::set<std::string>{"c.imx"}) std::abort();
  std::set<std::string> allowed = {"c.imx", "out"};
  for (const auto& n : entries(scratch()))
    if (!allowed.count(n)) std::abort();
  checkTree(out);
  if (!mirelund::engine::removeTree(out)) std::abort();
  if (entries(scratch()) != std::set<std::string>{"c.imx"}) std::abort();
  return 0;
}
