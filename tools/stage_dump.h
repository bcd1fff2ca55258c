// Named arrays written by one machine and read back on another: the stage
// outputs that le_speech_frame_dump records and le_speech_frame_compare
// checks. A file is a sequence of records, each a name, an element type and
// the elements in little-endian order; no padding, no header.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace le::tools {

// One array: float32 values or bytes (exactly one of the two is used).
struct StageArray {
  bool isFloat = false;
  std::vector<float> f;
  std::vector<uint8_t> b;
  size_t size() const { return isFloat ? f.size() : b.size(); }
};

// Records kept in name order; names are unique.
class StageDump {
 public:
  // Adds a record; throws std::runtime_error when the name is taken or empty.
  void addFloats(const std::string& name, const float* data, size_t n);
  void addBytes(const std::string& name, const uint8_t* data, size_t n);

  // The record `name`; throws std::runtime_error naming the record and the
  // file it was read from when it is absent or of the other type.
  const std::vector<float>& floats(const std::string& name) const;
  const std::vector<uint8_t>& bytes(const std::string& name) const;
  bool has(const std::string& name) const { return arrays_.count(name) != 0; }
  const std::map<std::string, StageArray>& arrays() const { return arrays_; }

  // Writes every record to `path`; throws std::runtime_error when the file
  // cannot be written completely.
  void write(const std::string& path) const;
  // Reads a file that write() made; throws std::runtime_error naming the
  // file and the offset of a truncated, oversized or unknown record.
  static StageDump read(const std::string& path);

 private:
  const StageArray& find(const std::string& name) const;

  std::string origin_ = "(in memory)";
  std::map<std::string, StageArray> arrays_;
};

}  // namespace le::tools
