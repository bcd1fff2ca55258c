#include "tests/test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace le::test {
namespace {

std::string envOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? v : fallback;
}

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

}  // namespace

std::string dataDir() { return envOr("LE_TEST_DATA_DIR", LE_TEST_DATA_DIR_DEFAULT); }
std::string sourceDir() { return envOr("LE_SOURCE_DIR", LE_SOURCE_DIR_DEFAULT); }
std::string python() { return envOr("LE_PYTHON", LE_PYTHON_DEFAULT); }
std::string bundlePath(const std::string& name) { return dataDir() + "/" + name; }

int runCommand(const std::string& cmd) {
  int rc = std::system(cmd.c_str());
  if (rc == -1) return -1;
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128;
}

void runGenerator(const std::vector<std::string>& args) {
  std::string cmd = shellQuote(python()) + " " + shellQuote(sourceDir() + "/tools/make_bundle.py");
  for (const auto& a : args) cmd += " " + shellQuote(a);
  if (runCommand(cmd) != 0) throw std::runtime_error("The bundle generator failed: " + cmd);
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "le_test_XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("Cannot create a scratch directory.");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<unsigned char> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot read " + path + ".");
  return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) throw std::runtime_error("Cannot write " + path + ".");
}

void writeFile(const std::string& path, const std::string& text) { writeFile(path, text.data(), text.size()); }

}  // namespace le::test
