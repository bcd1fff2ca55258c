// The teeth head's weights (BlendHead(16), or BlendHead8(16) without the
// "syn" layers), read from a PyTorch state-dict file without any PyTorch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace le::tessera {

struct HeadWeights {
  static constexpr int64_t kFullParams = 4082;  // BlendHead(16)
  static constexpr int64_t kCandParams = 3489;  // BlendHead8(16): no syn layers

  std::vector<float> cand0_w, cand0_b;  // [16, 7, 3, 3], [16]
  std::vector<float> cand2_w, cand2_b;  // [16, 16, 3, 3], [16]
  std::vector<float> cand4_w, cand4_b;  // [1, 16, 3, 3], [1]
  std::vector<float> syn0_w, syn0_b;    // [16, 3, 3, 3], [16]; empty without syn
  std::vector<float> syn2_w, syn2_b;    // [1, 16, 3, 3], [1]; empty without syn

  struct Params {
    int64_t total = 0;    // every float
    int64_t weights = 0;  // floats of the .weight arrays
  };
  Params params() const;
  bool hasSyn() const { return !syn0_w.empty(); }
};

// Reads a state-dict archive (stored ZIP, protocol-2 pickle, float32
// storages); throws "teeth: ..." on every refusal and never runs pickled code.
HeadWeights loadHeadPt(const uint8_t* data, std::size_t size);

}  // namespace le::tessera
