// Helpers shared by the bundle tests: packing containers with the project's
// packer, scoped environment variables and directory listings.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace le::bundle_test {

inline std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

// Runs tools/imx_pack.py DIR OUT [options]; returns its exit status.
inline int packStatus(const std::string& dir, const std::string& out, const std::vector<std::string>& options = {}) {
  std::string cmd = shellQuote(test::python()) + " " + shellQuote(test::sourceDir() + "/tools/imx_pack.py") + " " +
                    shellQuote(dir) + " " + shellQuote(out);
  for (const auto& o : options) cmd += " " + shellQuote(o);
  return test::runCommand(cmd + " 2>/dev/null");
}

inline void pack(const std::string& dir, const std::string& out, const std::vector<std::string>& options = {}) {
  if (packStatus(dir, out, options) != 0) throw std::runtime_error("imx_pack.py failed for " + out);
}

inline void makeDirs(const std::string& path) { std::filesystem::create_directories(path); }

inline void writeText(const std::string& path, const std::string& text) {
  makeDirs(std::filesystem::path(path).parent_path().string());
  test::writeFile(path, text);
}

inline std::string readText(const std::string& path) {
  auto bytes = test::readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

inline bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Every entry below `dir` as a relative path ("sub/" for directories).
inline std::set<std::string> listTree(const std::string& dir) {
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::string rel = std::filesystem::relative(it->path(), dir).string();
    out.insert(it->is_directory() && !it->is_symlink() ? rel + "/" : rel);
  }
  return out;
}

// Sets or clears an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_) ::setenv(name_.c_str(), old_.c_str(), 1);
    else ::unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_, old_;
  bool had_ = false;
};

}  // namespace le::bundle_test
