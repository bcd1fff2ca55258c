// The audio-to-expression bundle's small files: the meta text and the raw
// single-precision tables.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace le::a2x {

// The integer after the first occurrence of "<key>" and its colon (base 10,
// leading white space skipped); `true` and `false` read as 1 and 0. False
// when the key, its colon or a number is missing. Values beyond the int
// range are clamped to it.
bool metaInt(const std::string& text, const char* key, int& out);

// The settings of "a2x_meta.json".
struct Meta {
  int h = 256;          // decoder hidden size and position-table width
  int window = -1;      // attention look-ahead per layer, frames
  int left = -1;        // attention look-back per layer, frames
  int layers = 6;
  int width = 0;        // 1 when the encoder should have a "wn" output
  int silencePrime = 0;
};

// Reads the meta text. Throws std::runtime_error with "meta lacks causal
// window/left (not a streaming a2x)" when either is missing or negative, and
// with a message naming the member when h, layers, window or left is outside
// what a stream can hold.
Meta parseMeta(const std::string& text);

// All values of a headerless little-endian float file; empty when the file
// cannot be opened or read whole (a trailing partial value is dropped).
std::vector<float> readFloats(const std::string& path);

// Exactly `count` floats of a headerless little-endian file into *out; false
// (out untouched) when the file is missing or of another size.
bool readExactFloats(const std::string& path, size_t count, std::vector<float>* out);

}  // namespace le::a2x
