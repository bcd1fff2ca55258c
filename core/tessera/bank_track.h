// Decodes the teeth bank's reference track (one video stream, one frame per
// donor) into packed RGB donor patches in donor order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace le::tessera {

// Returns n x h x w x 3 bytes: decoded frame k lands in donor slot
// trackOrder[k]. Throws a "... refusing to serve" error for an empty track,
// bad geometry, an order that is not a permutation of 0..n-1, a track that
// is not a readable video, frames of the wrong size and a frame count other
// than n (more than n is refused before the extra frame is decoded).
std::vector<uint8_t> decodeBankTrack(const uint8_t* data, std::size_t size, int n, int h, int w,
                                     const std::vector<int>& trackOrder);

// The libavcodec version this build was compiled against, e.g. "59.37.100".
const char* bankDecoderBuild();

}  // namespace le::tessera
