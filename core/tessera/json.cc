#include "core/tessera/json.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace le::tessera::json {
namespace {

// Characters strtod may consume; the candidate is copied out first so that
// strtod never runs past the end of an unterminated input.
bool numberChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '+' ||
         c == '-' || c == '.';
}

// A longer run than this is not a number anyone writes; strtod gets a prefix.
constexpr std::size_t kMaxNumberChars = 400;

}  // namespace

const JVal* JVal::find(const std::string& key) const {
  if (kind != Kind::kObject) return nullptr;
  for (const auto& kv : obj)
    if (kv.first == key) return &kv.second;
  return nullptr;
}

const JVal& JVal::req(const std::string& key) const {
  const JVal* v = find(key);
  if (!v) throw std::runtime_error("teeth: member JSON lacks key '" + key + "'");
  return *v;
}

double JVal::reqNum(const std::string& key) const {
  const JVal& v = req(key);
  if (!v.isNum()) throw std::runtime_error("teeth: member JSON key '" + key + "' is not a number");
  return v.number;
}

std::string JVal::optStr(const std::string& key, const std::string& fallback) const {
  const JVal* v = find(key);
  return (v && v->isStr()) ? v->str : fallback;
}

JVal parse(const std::string& text) { return JParser(text).parse(); }

JVal JParser::parse() { return value(0); }

void JParser::skipWs() {
  while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
}

bool JParser::literal(const char* word) {
  std::size_t n = std::strlen(word);
  if (static_cast<std::size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
  p_ += n;
  return true;
}

JVal JParser::value(int depth) {
  if (depth > kMaxDepth)
    throw std::runtime_error("teeth: JSON nests deeper than " + std::to_string(kMaxDepth) + " levels");
  skipWs();
  if (p_ >= end_) throw std::runtime_error("teeth: JSON truncated");
  JVal v;
  switch (*p_) {
    case '{':
      return object(depth);
    case '[':
      return array(depth);
    case '"':
      v.kind = Kind::kString;
      v.str = string();
      return v;
    default:
      break;
  }
  if (literal("true")) {
    v.kind = Kind::kBool;
    v.boolean = true;
  } else if (literal("false")) {
    v.kind = Kind::kBool;
  } else if (literal("null")) {
    v.kind = Kind::kNull;
  } else {
    v = number();
  }
  return v;
}

JVal JParser::object(int depth) {
  ++p_;  // '{'
  JVal v;
  v.kind = Kind::kObject;
  skipWs();
  if (p_ < end_ && *p_ == '}') {
    ++p_;
    return v;
  }
  for (;;) {
    skipWs();
    if (p_ >= end_ || *p_ != '"') throw std::runtime_error("teeth: malformed JSON object");
    std::string key = string();
    skipWs();
    if (p_ >= end_ || *p_ != ':') throw std::runtime_error("teeth: malformed JSON object");
    ++p_;
    JVal member = value(depth + 1);
    v.obj.emplace_back(std::move(key), std::move(member));
    skipWs();
    if (p_ < end_ && *p_ == ',') {
      ++p_;
      continue;
    }
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      return v;
    }
    throw std::runtime_error("teeth: malformed JSON object");
  }
}

JVal JParser::array(int depth) {
  ++p_;  // '['
  JVal v;
  v.kind = Kind::kArray;
  skipWs();
  if (p_ < end_ && *p_ == ']') {
    ++p_;
    return v;
  }
  for (;;) {
    v.arr.push_back(value(depth + 1));
    skipWs();
    if (p_ < end_ && *p_ == ',') {
      ++p_;
      continue;
    }
    if (p_ < end_ && *p_ == ']') {
      ++p_;
      return v;
    }
    throw std::runtime_error("teeth: malformed JSON array");
  }
}

std::string JParser::string() {
  ++p_;  // opening quote
  std::string out;
  while (p_ < end_) {
    char c = *p_++;
    if (c == '"') return out;
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (p_ >= end_) break;
    char e = *p_++;
    switch (e) {
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        // Code points are not decoded: the members only carry ASCII keys.
        std::size_t avail = static_cast<std::size_t>(end_ - p_);
        p_ += avail < 4 ? avail : 4;
        out.push_back('?');
        break;
      }
      default: out.push_back(e); break;
    }
  }
  return out;  // an unclosed string ends with the input
}

JVal JParser::number() {
  const char* start = p_;
  std::size_t n = 0;
  while (start + n < end_ && n < kMaxNumberChars && numberChar(start[n])) ++n;
  char buf[kMaxNumberChars + 1];
  std::memcpy(buf, start, n);
  buf[n] = '\0';
  char* stop = nullptr;
  double d = std::strtod(buf, &stop);
  if (stop == buf) throw std::runtime_error("teeth: bad JSON number");
  p_ = start + (stop - buf);
  JVal v;
  v.kind = Kind::kNumber;
  v.number = d;
  return v;
}

}  // namespace le::tessera::json
