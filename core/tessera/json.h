// Strict, bounded JSON reader for the teeth-bank members. Every file it reads
// comes from a bundle and is untrusted: the reader never looks past the bytes
// it is given and refuses documents nested deeper than kMaxDepth instead of
// recursing without limit.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace le::tessera::json {

enum class Kind { kNull = 0, kBool = 1, kNumber = 2, kString = 3, kArray = 4, kObject = 5 };

// A parsed JSON value. Objects keep their keys in document order, duplicates
// included; lookups take the first occurrence.
struct JVal {
  Kind kind = Kind::kNull;
  bool boolean = false;
  double number = 0.0;
  std::string str;
  std::vector<JVal> arr;
  std::vector<std::pair<std::string, JVal>> obj;

  bool isNull() const { return kind == Kind::kNull; }
  bool isBool() const { return kind == Kind::kBool; }
  bool isNum() const { return kind == Kind::kNumber; }
  bool isStr() const { return kind == Kind::kString; }
  bool isArr() const { return kind == Kind::kArray; }
  bool isObj() const { return kind == Kind::kObject; }

  // First member named `key`, or null when this is not an object or lacks it.
  const JVal* find(const std::string& key) const;
  // First member named `key`; throws "teeth: member JSON lacks key '<key>'".
  const JVal& req(const std::string& key) const;
  // The number under `key`; throws when it is missing or not a number.
  double reqNum(const std::string& key) const;
  // The string under `key`, or `fallback` when it is missing or not a string.
  std::string optStr(const std::string& key, const std::string& fallback) const;
};

class JParser {
 public:
  // Deeper nesting than this is refused: the reader recurses once per level.
  static constexpr int kMaxDepth = 200;

  JParser(const char* data, std::size_t size) : p_(data), end_(data + size) {}
  explicit JParser(const std::string& text) : JParser(text.data(), text.size()) {}

  // Parses the first complete value; any text after it is ignored.
  JVal parse();

 private:
  void skipWs();
  JVal value(int depth);
  JVal object(int depth);
  JVal array(int depth);
  std::string string();
  JVal number();
  bool literal(const char* word);

  const char* p_;
  const char* end_;
};

// Convenience: JParser(text).parse().
JVal parse(const std::string& text);

}  // namespace le::tessera::json
