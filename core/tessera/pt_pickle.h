// A protocol-2 pickle interpreter for torch state dicts. It models exactly
// two callables (OrderedDict and _rebuild_tensor_v2) and one storage type;
// nothing in the stream is ever imported or executed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace le::tessera {

struct PVal {
  enum class Kind { kNone, kBool, kInt, kString, kTuple, kList, kDict, kGlobal, kStorage, kTensor };
  Kind kind = Kind::kNone;
  bool boolean = false;
  int64_t integer = 0;  // int; storage element count; tensor storage offset
  std::string text;     // string; global "module name"; storage type
  std::string key;      // storage and tensor: storage key
  std::vector<PVal*> items;                          // tuple, list
  std::vector<std::pair<std::string, PVal*>> dict;   // dict, duplicate keys kept
  std::vector<int64_t> shape, strides;               // tensor
};

// The values of one pickle; they live as long as this object.
struct Unpickled {
  std::vector<std::unique_ptr<PVal>> arena;
  PVal* root = nullptr;
};

// Runs the pickle in [data, data + size) to its STOP. Throws
// "teeth: unsupported pickle opcode 0x<hh> in head .pt", "teeth: pickle
// truncated", memo and call refusals.
Unpickled unpickle(const uint8_t* data, std::size_t size);

}  // namespace le::tessera
