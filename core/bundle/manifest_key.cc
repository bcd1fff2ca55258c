#include "core/bundle/manifest_key.h"

#include <locale.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace le::manifest_key {

namespace {

// Internal "absent" mark of the number readers.
constexpr double kAbsent = -1e300;

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

size_t skipSpace(const std::string& text, size_t i) {
  while (i < text.size() && isSpace(text[i])) ++i;
  return i;
}

[[noreturn]] void throwAmbiguous(const char* key, const std::vector<uint64_t>& positions) {
  std::string msg = std::string("manifest: key \"") + key + "\" is AMBIGUOUS \xE2\x80\x94 " +
                    std::to_string(positions.size()) + " scalar occurrences (";
  for (size_t i = 0; i < positions.size(); ++i) {
    if (i) msg += ", ";
    msg += "byte " + std::to_string(positions[i]);
  }
  msg +=
      "). A loader that picks one silently installs a number nobody checks. Rename the "
      "colliding key (a nested block must not reuse a name the bundle loader reads: "
      "NT/frame_count, H, W, crop/crop_size, amount, sigma, ksize, frames, "
      "M_src_w/paste_source_width, M_src_h/paste_source_height), or produce the bundle with "
      "the legacy manifest layout.";
  throw std::runtime_error(msg);
}

// A "C" locale made once; strtod alone would follow whatever LC_NUMERIC the
// host application has set and read "1.3" as 1 under a comma locale.
locale_t cLocale() {
  static const locale_t loc = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

// Number under `key` or kAbsent when the key has no scalar occurrence.
double numOrAbsent(const std::string& text, const char* key) {
  uint64_t pos = scalarValuePos(text, key);
  if (pos == kNone) return kAbsent;
  return parseNumber(text, static_cast<size_t>(pos));
}

}  // namespace

std::vector<KeyHit> keyHits(const std::string& text, const char* key) {
  std::vector<KeyHit> hits;
  const size_t keyLen = std::strlen(key);
  const size_t n = text.size();
  int32_t depth = 0;
  size_t i = 0;
  while (i < n) {
    char c = text[i];
    if (c == '[' || c == '{') {
      ++depth;
      ++i;
      continue;
    }
    if (c == ']' || c == '}') {
      --depth;
      ++i;
      continue;
    }
    if (c != '"') {
      ++i;
      continue;
    }
    // String: find its closing quote; a backslash hides the byte after it.
    size_t start = i + 1;
    size_t j = start;
    while (j < n && text[j] != '"') j += text[j] == '\\' ? 2 : 1;
    if (j >= n) break;          // unterminated string: nothing more to find
    if (j + 1 >= n) break;      // closing quote is the last byte
    size_t after = skipSpace(text, j + 1);
    if (after < n && text[after] == ':' && j - start == keyLen &&
        text.compare(start, keyLen, key, keyLen) == 0) {
      size_t v = skipSpace(text, after + 1);
      KeyHit h;
      h.pos = v;
      h.depth = depth;
      h.scalar = v < n && text[v] != '[' && text[v] != '{';
      hits.push_back(h);
    }
    i = j + 1;  // the colon and value are scanned as ordinary bytes next
  }
  return hits;
}

uint64_t scalarValuePos(const std::string& text, const char* key) {
  std::vector<uint64_t> all, root;
  for (const KeyHit& h : keyHits(text, key)) {
    if (!h.scalar) continue;
    all.push_back(h.pos);
    if (h.depth == 1) root.push_back(h.pos);
  }
  if (root.size() == 1) return root[0];
  if (root.size() > 1) throwAmbiguous(key, root);
  if (all.size() == 1) return all[0];
  if (all.size() > 1) throwAmbiguous(key, all);
  return kNone;
}

size_t findKey(const std::string& text, const char* key) {
  uint64_t pos = scalarValuePos(text, key);
  if (pos == kNone) throw std::runtime_error(std::string("manifest: missing key ") + key);
  return static_cast<size_t>(pos);
}

std::string strField(const std::string& text, const char* key) {
  size_t open = text.find('"', findKey(text, key));
  size_t close = open == std::string::npos ? open : text.find('"', open + 1);
  if (close == std::string::npos) throw std::runtime_error(std::string("manifest: bad string ") + key);
  return text.substr(open + 1, close - open - 1);
}

double parseNumber(const std::string& text, size_t pos) {
  if (pos >= text.size()) return 0.0;
  // c_str() ends in a NUL, so strtod stops inside the text whatever follows.
  const char* p = text.c_str() + pos;
  locale_t loc = cLocale();
  return loc ? ::strtod_l(p, nullptr, loc) : std::strtod(p, nullptr);
}

double numField(const std::string& text, const char* key) {
  return parseNumber(text, findKey(text, key));
}

bool optNumEither(const std::string& text, const char* key, const char* altKey, double* out) {
  double v = numOrAbsent(text, key);
  if (v == kAbsent && altKey) v = numOrAbsent(text, altKey);
  if (v == kAbsent) return false;
  *out = v;
  return true;
}

double numFieldEither(const std::string& text, const char* key, const char* altKey) {
  double v = 0.0;
  if (!optNumEither(text, key, altKey, &v))
    throw std::runtime_error(std::string("manifest: missing key ") + key + "/" + altKey);
  return v;
}

bool optStr(const std::string& text, const char* key, std::string& out) {
  uint64_t pos = scalarValuePos(text, key);
  if (pos == kNone || text[pos] != '"') return false;
  size_t close = text.find('"', pos + 1);
  if (close == std::string::npos) return false;
  out = text.substr(pos + 1, close - pos - 1);
  return !out.empty();
}

}  // namespace le::manifest_key
