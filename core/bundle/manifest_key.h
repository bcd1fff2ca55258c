// Key scanner over raw manifest text. The manifest is not parsed as a tree:
// the scanner finds every occurrence of a key at any nesting depth and picks
// the single scalar occurrence a loader may read. A key that occurs as a
// scalar more than once where the loader cannot tell which is meant is an
// error, never a silent first or last pick.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace le::manifest_key {

// One occurrence of a key.
struct KeyHit {
  // Offset of the value's first byte (first non-space byte after the
  // colon); the text length when nothing follows.
  uint64_t pos = 0;
  // Bracket depth at the key: the root object's keys have depth 1.
  int32_t depth = 0;
  // True when the value's first byte is neither '[' nor '{'; false when the
  // text ends before a value.
  bool scalar = false;
};

// "No such key" result of scalarValuePos().
constexpr uint64_t kNone = ~uint64_t{0};

// Every occurrence of `key` in `text`, in text order. Never throws on content
// and never reads outside `text`, whatever its bytes.
std::vector<KeyHit> keyHits(const std::string& text, const char* key);

// Offset of the one scalar value of `key`: the single root-level scalar when
// there is one (nested occurrences are then ignored), else the single scalar
// at any depth, else kNone. Throws std::runtime_error listing the byte
// offsets when two or more candidates tie.
uint64_t scalarValuePos(const std::string& text, const char* key);

// Offset of the value of required key `key`; throws "manifest: missing key
// <key>" when it has no scalar occurrence.
size_t findKey(const std::string& text, const char* key);

// Required string value: the bytes between the first double quote at or
// after the value and the next one (escapes are not decoded).
std::string strField(const std::string& text, const char* key);

// Required number under `key`, or under `altKey` when `key` is absent.
double numFieldEither(const std::string& text, const char* key, const char* altKey);

// Required number under `key`.
double numField(const std::string& text, const char* key);

// Optional number: the value under `key`, else under `altKey` (may be null);
// false when neither is present.
bool optNumEither(const std::string& text, const char* key, const char* altKey, double* out);

// Optional string value. False when the key is absent, its value is not a
// string, or the string is unterminated; otherwise stores the bytes between
// the quotes in `out` and returns whether they are non-empty.
bool optStr(const std::string& text, const char* key, std::string& out);

// Parses a number as C strtod does in the "C" locale (whatever locale the
// host has set), starting at byte `pos` of `text`; 0 when no number starts
// there.
double parseNumber(const std::string& text, size_t pos);

}  // namespace le::manifest_key
