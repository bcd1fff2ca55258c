#include "backend/dependency_resolver.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "backend/sha256.h"

namespace mirelund::engine::container {
namespace {

std::string envValue(const char* name) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : std::string();
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool endsWith(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// A digest names a file inside a store; only hex digits may do that, so a
// hostile manifest cannot point the lookup outside the store.
bool isHexDigest(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

bool digestMatches(const std::string& path, const std::string& sha256) { return sha256_file_hex(path) == sha256; }

// Cursor over manifest text for parse_dependencies.
class Scanner {
 public:
  Scanner(const char* text, size_t len) : s_(text, len) {}

  bool atEnd() const { return pos_ >= s_.size(); }
  char peek() const { return s_[pos_]; }
  void advance() { ++pos_; }

  void skipBlanks() {
    while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) advance();
  }

  bool seek(std::string_view key) {
    const size_t at = s_.find(key);
    if (at == std::string_view::npos) return false;
    pos_ = at + key.size();
    return true;
  }

  bool expect(char c) {
    if (atEnd() || peek() != c) return false;
    advance();
    return true;
  }

  // From the opening quote to the next unescaped quote; a backslash makes the
  // next character literal and escapes are kept as written.
  bool readJsonString(std::string& out) {
    out.clear();
    if (!expect('"')) return false;
    while (!atEnd()) {
      const char c = peek();
      advance();
      if (c == '"') return true;
      out += c;
      if (c == '\\') {
        if (atEnd()) return false;
        out += peek();
        advance();
      }
    }
    return false;
  }

  // A bare value, up to the next blank, comma or closing brace.
  std::string readBare() {
    std::string out;
    while (!atEnd()) {
      const char c = peek();
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == '}') break;
      out += c;
      advance();
    }
    return out;
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

// Reads one object's members after its opening brace; false when malformed.
bool readObject(Scanner& sc, Dependency& dep) {
  std::string key, value;
  for (;;) {
    while (!sc.atEnd() && (sc.peek() == ',' || sc.peek() == ' ' || sc.peek() == '\t' || sc.peek() == '\n' ||
                           sc.peek() == '\r'))
      sc.advance();
    if (sc.atEnd()) return false;
    if (sc.peek() == '}') {
      sc.advance();
      return true;
    }
    if (!sc.readJsonString(key)) return false;
    sc.skipBlanks();
    if (!sc.expect(':')) return false;
    sc.skipBlanks();
    if (sc.atEnd()) return false;
    const bool quoted = sc.peek() == '"';
    if (quoted) {
      if (!sc.readJsonString(value)) return false;
    } else {
      value = sc.readBare();
      if (value.empty()) return false;
    }
    if (quoted && key == "id") dep.id = value;
    else if (quoted && key == "sha256") dep.sha256 = value;
    else if (key == "bytes") dep.bytes = std::strtoull(value.c_str(), nullptr, 10);
  }
}

}  // namespace

std::vector<Dependency> parse_dependencies(const char* text, size_t len) {
  std::vector<Dependency> deps;
  if (!text) return deps;
  Scanner sc(text, len);
  if (!sc.seek("\"dependencies\"")) return deps;
  sc.skipBlanks();
  if (!sc.expect(':')) return deps;
  sc.skipBlanks();
  if (!sc.expect('[')) return deps;
  for (;;) {
    while (!sc.atEnd() && (sc.peek() == ',' || sc.peek() == ' ' || sc.peek() == '\t' || sc.peek() == '\n' ||
                           sc.peek() == '\r'))
      sc.advance();
    if (sc.atEnd() || sc.peek() == ']') return deps;
    if (sc.peek() != '{') return deps;
    sc.advance();
    Dependency dep;
    if (!readObject(sc, dep)) return deps;
    if (!dep.id.empty()) deps.push_back(std::move(dep));
  }
}

bool is_audio_encoder_id(const std::string& id) {
  return id == "audio-encoder-fp32" || id == "audio-encoder-fp16" || id == "audio-encoder-fp16-window-trunk" ||
         id == "audio-encoder-fp16-window-head";
}

bool find_audio_encoder(const std::vector<Dependency>& deps, const std::string& wanted, Dependency& out) {
  const Dependency* first = nullptr;
  for (const Dependency& d : deps) {
    if (!is_audio_encoder_id(d.id)) continue;
    if (!wanted.empty() && d.id == wanted) {
      out = d;
      return true;
    }
    if (!first) first = &d;
  }
  if (!first) return false;
  out = *first;
  return true;
}

bool is_audio_encoder_filename(const std::string& name) {
  if (name == "wav2vec2_int8.onnx" || name == "audio_encoder_fp32.onnx" || name == "audio_encoder_fp16.onnx")
    return true;
  if (startsWith(name, "a2x_w2v") && endsWith(name, ".onnx")) return true;
  return startsWith(name, "wav2vec2") && endsWith(name, ".onnx") && name.find("8s") != std::string::npos;
}

std::vector<std::string> canonical_filenames(const std::string& id) {
  if (id == "audio-encoder-fp32")
    return {"audio_encoder_fp32.onnx", "wav2vec2_fp32_8s.onnx", "a2x_w2v.fp32.onnx", "a2x_w2v.onnx", "w2v.onnx"};
  if (id == "audio-encoder-fp16") return {"audio_encoder_fp16.onnx", "wav2vec2_fp16_8s.onnx", "a2x_w2v.fp16.onnx"};
  if (id == "audio-encoder-fp16-window-trunk") return {"audio_encoder_fp16_window_trunk.onnx", "w2v_trunk32.onnx"};
  if (id == "audio-encoder-fp16-window-head") return {"audio_encoder_fp16_window_head.onnx", "w2v_head32.onnx"};
  return {};
}

std::vector<std::string> dependency_store_dirs() {
  std::vector<std::string> dirs;
  const std::string deps = envValue("MIRELUND_DEPS_DIR");
  if (!deps.empty()) dirs.push_back(deps);
  const std::string home = envValue("HOME");
  if (!home.empty()) dirs.push_back(home + "/.mirelund/deps");
  dirs.push_back("/opt/mirelund/deps");
  return dirs;
}

std::vector<std::string> shared_asset_dirs(const std::string& self_dir) {
  std::vector<std::string> dirs;
  if (!self_dir.empty()) {
    for (const char* sub : {"", "/models", "/corvane2-resources", "/../share/mirelund",
                            "/../share/mirelund/corvane2-resources", "/../models"})
      dirs.push_back(self_dir + sub);
  }
  const std::string root = envValue("MIRELUND_MODELS_ROOT");
  if (!root.empty()) {
    dirs.push_back(root);
    dirs.push_back(root + "/corvane2-resources");
  }
  dirs.push_back("/opt/mirelund/models");
  dirs.push_back("/usr/local/share/mirelund");
  dirs.push_back("/usr/local/share/mirelund/corvane2-resources");
  const std::string home = envValue("HOME");
  if (!home.empty()) dirs.push_back(home + "/.mirelund/models");
  return dirs;
}

std::string resolve_shared_audio_encoder(const std::string& self_dir) {
  const std::string named = envValue("MIRELUND_W2V_ONNX");
  if (isRegularFile(named)) return named;
  for (const std::string& dir : shared_asset_dirs(self_dir)) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) continue;
    std::string found;
    while (const dirent* e = ::readdir(d)) {
      if (is_audio_encoder_filename(e->d_name)) {
        found = dir + "/" + e->d_name;
        break;
      }
    }
    ::closedir(d);
    if (!found.empty()) return found;
  }
  return {};
}

bool window_pair_in(const std::string& dir, std::string& trunk, std::string& head) {
  const std::vector<std::string> trunks = canonical_filenames("audio-encoder-fp16-window-trunk");
  const std::vector<std::string> heads = canonical_filenames("audio-encoder-fp16-window-head");
  for (size_t i = 0; i < trunks.size() && i < heads.size(); ++i) {
    const std::string t = dir + "/" + trunks[i], h = dir + "/" + heads[i];
    if (isRegularFile(t) && isRegularFile(h)) {
      trunk = t;
      head = h;
      return true;
    }
  }
  return false;
}

bool resolve_audio_encoder_window_pair(std::string& trunk, std::string& head, const std::string& self_dir) {
  for (const char* var : {"MIRELUND_W2V_ONNX", "W2V_ONNX"}) {
    const std::string encoder = envValue(var);
    const size_t slash = encoder.rfind('/');
    if (slash != std::string::npos && window_pair_in(encoder.substr(0, slash), trunk, head)) return true;
  }
  for (const std::string& dir : shared_asset_dirs(self_dir))
    if (window_pair_in(dir, trunk, head)) return true;
  return false;
}

std::string resolve_dependency(const Dependency& dep, bool verify, const std::string& self_dir) {
  if (isHexDigest(dep.sha256)) {
    for (const std::string& store : dependency_store_dirs()) {
      std::vector<std::string> files = {store + "/" + dep.sha256};
      if (dep.sha256.size() > 1) files.push_back(store + "/" + dep.sha256.substr(0, 2) + "/" + dep.sha256);
      for (const std::string& file : files) {
        // A store file is named by its digest; with verify set its bytes must say so too.
        if (isRegularFile(file) && (!verify || digestMatches(file, dep.sha256))) return file;
      }
    }
  }
  const char* explicitVar = dep.id == "audio-encoder-fp32"   ? "MIRELUND_AUDIO_ENCODER_FP32"
                            : dep.id == "audio-encoder-fp16" ? "MIRELUND_AUDIO_ENCODER_FP16"
                                                             : nullptr;
  if (explicitVar) {
    const std::string file = envValue(explicitVar);
    if (isRegularFile(file) && (!verify || dep.sha256.empty() || digestMatches(file, dep.sha256))) return file;
  }
  for (const std::string& dir : shared_asset_dirs(self_dir)) {
    for (const std::string& name : canonical_filenames(dep.id)) {
      const std::string file = dir + "/" + name;
      if (isRegularFile(file) && (!verify || digestMatches(file, dep.sha256))) return file;
    }
  }
  return {};
}

}  // namespace mirelund::engine::container
