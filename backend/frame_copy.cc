#include "backend/frame_copy.h"

namespace mirelund::engine {

void rgbaToRgb(const uint8_t* rgba, uint8_t* rgb, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i, rgba += 4, rgb += 3) {
    rgb[0] = rgba[0];
    rgb[1] = rgba[1];
    rgb[2] = rgba[2];
  }
}

}  // namespace mirelund::engine
