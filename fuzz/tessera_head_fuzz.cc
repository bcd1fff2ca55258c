// Reads arbitrary bytes as teeth-head weights. Every refusal must be a clean
// exception; a head that loads must have one of the two parameter counts.
#include <cstdint>
#include <cstdlib>
#include <exception>

#include "core/tessera/head_weights.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const le::tessera::HeadWeights w = le::tessera::loadHeadPt(data, size);
    const int64_t n = w.params().total;
    if (n != le::tessera::HeadWeights::kFullParams && n != le::tessera::HeadWeights::kCandParams) std::abort();
  } catch (const std::exception&) {
  }
  return 0;
}
