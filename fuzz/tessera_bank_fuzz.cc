// Decodes arbitrary bytes as a teeth bank's reference track (5 donors of
// 16 x 12, the seed tracks' geometry). Every refusal must be a clean
// exception; a track that decodes fills exactly the donor buffer.
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "core/tessera/bank_track.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    av_log_set_level(AV_LOG_QUIET);
    return true;
  }();
  (void)quiet;
  static const std::vector<int> kOrder = {3, 0, 4, 1, 2};
  try {
    const std::vector<uint8_t> out = le::tessera::decodeBankTrack(data, size, 5, 12, 16, kOrder);
    if (out.size() != 5u * 12 * 16 * 3) std::abort();
  } catch (const std::exception&) {
  }
  return 0;
}
